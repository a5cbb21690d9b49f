// The main window's small dialogs: the video property dialog (template 139, button 1500), the
// About box (template 100, system-menu item 16) and the help (F1, command 32768).
#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>

#include "card/property_editor.h"

class QTimer;

namespace kestrel {
class WindowPresenter;
}

namespace kestrel::qt {

// The widgets of template 139 over the dialog's logic.
class PropDialogWidget : public QDialog, public PropDialogView {
  Q_OBJECT

 public:
  PropDialogWidget(PropertyEditor& logic, QWidget* parent);

  QWidget* control(uint32_t id) const;

  // PropDialogView.
  bool has_control(uint32_t id) const override { return control(id) != nullptr; }
  void set_range(uint32_t id, int lo, int hi) override;
  void set_pos(uint32_t id, int pos) override;
  int pos(uint32_t id) const override;
  void set_text(uint32_t id, const std::string& text) override;
  void enable(uint32_t id, bool on) override;
  void set_title(const std::string& title) override;
  void reset_items(uint32_t id) override;
  void add_item(uint32_t id, const std::string& text) override;
  void select(uint32_t id, int index) override;
  int selection(uint32_t id) const override;
  void set_timer(uint32_t id, uint32_t period_ms) override;
  void kill_timer(uint32_t id) override;
  void end_dialog(int result) override;

  // Escape and the close box are Cancel; Enter is OK.
  void reject() override;
  void accept() override;

 private:
  PropertyEditor& logic_;
  std::map<uint32_t, QWidget*> controls_;
  std::map<uint32_t, QTimer*> timers_;
};

// Opens the property dialog modally; false when the card did not answer and nothing was shown.
// `prepared` runs once the widgets exist, before the dialog's own loop (tests drive it there).
bool run_property_dialog(WindowPresenter& window, QWidget* parent,
                         const std::function<void(PropDialogWidget&)>& prepared = {});

// The About box's text and title.
QString about_text();
QString about_title(WindowPresenter& window);
void run_about_box(WindowPresenter& window, const std::function<void(QDialog&)>& prepared = {});

// The window's commands that open one of these (1500, 16, 32768), the repair-only notice (1001)
// and the two upgrade buttons (1002, 1003). False for any other id.
bool run_window_dialog(uint32_t id, WindowPresenter& window, QWidget* parent);

// Opens the help beside the running program in the desktop's browser.
void open_help();

}  // namespace kestrel::qt
