// What the main window's logic needs of its widgets, addressed by control id. The desktop
// program implements it over Qt widgets; tests and the command line over plain memory.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

class DialogView {
 public:
  virtual ~DialogView() = default;

  virtual bool has_control(uint32_t id) const = 0;

  // Lists (drop-down lists and combo boxes).
  virtual void reset_items(uint32_t id) = 0;
  virtual void add_item(uint32_t id, const std::string& text) = 0;
  virtual int item_count(uint32_t id) const = 0;
  virtual std::string item_text(uint32_t id, int index) const = 0;
  virtual void select(uint32_t id, int index) = 0;  // -1: no selection
  virtual int selection(uint32_t id) const = 0;     // -1: none
  virtual bool dropped_down(uint32_t id) const = 0; // a list whose drop-down is open

  // Texts, check boxes, radio buttons.
  virtual void set_text(uint32_t id, const std::string& text) = 0;
  virtual std::string text(uint32_t id) const = 0;
  virtual void set_check(uint32_t id, bool checked) = 0;
  virtual bool checked(uint32_t id) const = 0;

  virtual void enable(uint32_t id, bool on) = 0;
  virtual bool enabled(uint32_t id) const = 0;
  virtual void show(uint32_t id, bool on) = 0;
  virtual bool visible(uint32_t id) const = 0;

  virtual void set_title(const std::string& title) = 0;
  virtual std::string title() const = 0;

  // Progress bar.
  virtual void set_progress_range(uint32_t id, int lo, int hi) = 0;
  virtual void set_progress(uint32_t id, int pos) = 0;
  // What the bar stands for, in words beside it (the phase, the time left); a view without room
  // for it shows nothing.
  virtual void set_progress_text(uint32_t id, const std::string& text) {}

  // A modal message with an OK button; returns when the user has answered.
  virtual void message_box(const std::string& text) = 0;

  // A modal open-file dialog (open mode, no default extension, no initial name) with a filter in
  // the "description|*.ext|description|*.ext||" form. The chosen path, or empty when the user
  // cancelled. A view without file dialogs answers "cancelled".
  virtual std::string open_file_dialog(const std::string& filter) { return {}; }

  // A modal save-file dialog (save mode, overwrite prompt, no read-only box) with a filter in the
  // same form. The chosen path, or empty when the user cancelled. A view without file dialogs
  // answers "cancelled".
  virtual std::string save_file_dialog(const std::string& filter) { return {}; }

  // A command delivered later on the window's own thread, in order. Callable from any thread.
  virtual void post_command(uint32_t id) = 0;
};

}  // namespace kestrel
