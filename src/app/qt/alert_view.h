// The upgrade confirmation (template 138): information text, a coloured verdict line, accept and
// cancel buttons; the accept button asks a yes/no question first for the dangerous verdicts.
#pragma once

#include <QColor>
#include <QDialog>

#include "update/alert.h"

namespace kestrel::qt {

// Text colour of the verdict line for a colour class (the high byte of the style word).
QColor verdict_colour(uint8_t colour_class);

class CAlertView : public QDialog {
  Q_OBJECT

 public:
  explicit CAlertView(const AlertRequest* request, QWidget* parent = nullptr);
  void accept() override;

 private:
  const AlertRequest* request_;
};

// Runs the dialog modally without a parent; true only when the user accepted.
bool show_alert_dialog(const AlertRequest& request);

}  // namespace kestrel::qt
