// A DialogView over plain memory: the window's controls as data, posted commands in a queue
// that the owner drains on its own thread. Used by tests and by the command line.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/view.h"

namespace kestrel {

class MemoryView : public DialogView {
 public:
  struct Control {
    std::vector<std::string> items;
    int sel = -1;
    std::string text;
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    bool dropped = false;
    int lo = 0, hi = 100, pos = 0;
  };

  // The controls of the main window template.
  MemoryView();
  // Only the given controls exist.
  explicit MemoryView(std::set<uint32_t> ids);

  bool has_control(uint32_t id) const override { return controls_.count(id) != 0; }
  void reset_items(uint32_t id) override;
  void add_item(uint32_t id, const std::string& text) override;
  int item_count(uint32_t id) const override;
  std::string item_text(uint32_t id, int index) const override;
  void select(uint32_t id, int index) override;
  int selection(uint32_t id) const override;
  bool dropped_down(uint32_t id) const override;
  void set_text(uint32_t id, const std::string& text) override;
  std::string text(uint32_t id) const override;
  void set_check(uint32_t id, bool c) override;
  bool checked(uint32_t id) const override;
  void enable(uint32_t id, bool on) override;
  bool enabled(uint32_t id) const override;
  void show(uint32_t id, bool on) override;
  bool visible(uint32_t id) const override;
  void set_title(const std::string& t) override { title_ = t; }
  std::string title() const override { return title_; }
  void set_progress_range(uint32_t id, int lo, int hi) override;
  void set_progress(uint32_t id, int pos) override;
  void post_command(uint32_t id) override;
  void message_box(const std::string& text) override { messages.push_back(text); }
  std::vector<std::string> messages;  // every message box shown, in order

  // open_file_dialog answers from file_answers, oldest first ("" = cancelled; none left:
  // cancelled) and records each filter it was given.
  std::string open_file_dialog(const std::string& filter) override {
    file_filters.push_back(filter);
    if (file_answers.empty()) return {};
    std::string path = std::move(file_answers.front());
    file_answers.pop_front();
    return path;
  }
  std::deque<std::string> file_answers;
  std::vector<std::string> file_filters;

  // save_file_dialog likewise, from save_answers, recording each filter in save_filters.
  std::string save_file_dialog(const std::string& filter) override {
    save_filters.push_back(filter);
    if (save_answers.empty()) return {};
    std::string path = std::move(save_answers.front());
    save_answers.pop_front();
    return path;
  }
  std::deque<std::string> save_answers;
  std::vector<std::string> save_filters;

  // Takes the posted commands, oldest first.
  std::vector<uint32_t> take_posted();
  const Control* control(uint32_t id) const;
  Control* mutable_control(uint32_t id) { return find(id); }

 private:
  Control* find(uint32_t id);
  std::map<uint32_t, Control> controls_;
  std::string title_;
  std::mutex post_lock_;
  std::deque<uint32_t> posted_;
};

}  // namespace kestrel
