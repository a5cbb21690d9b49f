// The optional log pane: a read-only text view of everything the log writes. The log sink is a
// stream that keeps the text in memory (and copies it to a file when one is given); the pane
// takes the text on the GUI thread, so that a thread writing the log never waits for it.
#pragma once

#include <QPlainTextEdit>

#include <cstdio>
#include <memory>

namespace kestrel::qt {

class LogPane : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogPane(QWidget* parent = nullptr);
  ~LogPane() override;

  // A stream to attach as the log's stream sink. Writes also go to `tee` when it is not null;
  // closing the stream closes `tee`. Null when the stream cannot be made.
  FILE* open_stream(FILE* tee);

  // Moves the text written so far into the view (runs on its own after each write).
  void take();

  // A line of the window's own, not of the log (it reaches no log file): the name of a menu
  // command the user just gave, so that every click shows in the pane even when the card's
  // answer prints nothing.
  void note(const QString& command);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  bool pending_cr_ = false;
};

}  // namespace kestrel::qt
