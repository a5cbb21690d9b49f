// The main window's widgets: a QDialog built from template 135 that implements the DialogView
// the window's logic drives. Each widget's objectName is its control id. Clicks, selection
// changes, menu items, accelerators and posted commands all end in dispatch_command(), which
// routes them by the window's command table.
#pragma once

#include <QDialog>
#include <QFont>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/qt/dialog_units.h"
#include "app/qt/dialog_template.h"
#include "app/qt/log_pane.h"
#include "app/qt/preview_pane.h"
#include "app/view.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QSettings;
class QWidget;

namespace kestrel::qt {

class QtView : public QDialog, public DialogView {
  Q_OBJECT

 public:
  explicit QtView(QWidget* parent = nullptr);
  ~QtView() override;

  // The command handler of the logic; without one, Logic routes do nothing.
  void set_command_handler(std::function<bool(uint32_t)> handler) { handler_ = std::move(handler); }
  // Routes one command on the GUI thread.
  void dispatch_command(uint32_t id);

  // While an upgrade holds the card nothing else may reach it, and nothing may open a dialog that
  // would stall the upgrade's wait: every control but the progress bar and the whole menu bar are
  // disabled, and dispatch_command drops every command (a click, a menu item, an accelerator,
  // Enter, a posted id, also one posted now and delivered later) with a log line, except the
  // reader's device events, which only log or defer themselves. The window cannot be closed
  // meanwhile. Ending the hold gives each control the state the logic last gave it.
  void set_busy(bool busy);
  bool busy() const { return busy_.load(std::memory_order_acquire); }
  // The commands that still run while busy.
  static bool runs_while_busy(uint32_t id);
  // Ignored while busy: neither OK, Cancel nor the close box ends the window mid-transfer.
  void done(int result) override;

  // Replaces the modal message box (tests); receives the text instead.
  void set_message_sink(std::function<void(const std::string&)> sink) { message_sink_ = std::move(sink); }

  // The log pane below the controls: hidden at start unless the remembered choice shows it; the
  // window grows by the pane's height while it shows.
  LogPane& log_pane() const { return *log_pane_; }
  // `remember` false shows or hides it for this run only (the --log-pane option).
  void show_log_pane(bool on, bool remember = true);
  bool log_pane_visible() const;
  // The preview pane right of the controls, shown and remembered like the log pane; it takes
  // frames while it shows.
  PreviewPane& preview_pane() const { return *preview_; }
  void show_preview_pane(bool on, bool remember = true);
  bool preview_pane_visible() const;
  // With the pane, the window can be made narrower down to the controls and a pane this wide, and
  // opens no wider than its screen; the picture scales to the pane, keeping its aspect ratio.
  static constexpr int kPreviewMinWidthPx = 192;
  // Width of the controls' part of the window, left of the preview pane.
  int controls_width() const { return controls_w_; }

  // The selected card's line above the card list: its board, port and serial, which the list's
  // names do not tell apart.
  void set_card_line(const std::string& text);
  QLabel* card_line() const { return card_line_; }
  // The phase and time left beside the progress bar, shown with it.
  QLabel* progress_note() const { return progress_note_; }
  // Where the log pane's choice is kept across runs: read now, written at each change. Null
  // forgets nothing and remembers nothing (tests).
  void remember_in(QSettings* settings);

  // One item per loaded script at the end of the Service menu: "<n> <name>", command 32780 + n.
  void add_script_items(const std::vector<std::string>& names);

  // What the menu items show: whether a card is attached (items that need one are disabled
  // without it) and whether the card's debug channel is on (the checked item of button 1061).
  struct MenuState {
    bool card = false;
    bool debug_channel = false;
    std::string card_node;  // the attached card's node, what its history rows name
  };
  void set_menu_state_source(std::function<MenuState()> source);
  // Enables and checks the items from the state source; runs when a menu opens and after each item.
  void refresh_menu();
  // The menu item that carries command `id`, or null.
  QAction* menu_item(uint32_t id) const;

  QWidget* control(uint32_t id) const;
  const QFont& dialog_font() const { return font_; }
  BaseUnits platform_units() const { return platform_units_; }
  BaseUnits units() const { return units_; }
  QMenuBar* menu_bar() const { return menu_bar_; }
  // The texts `id` may show: its template text and the runtime texts of the active table.
  std::vector<std::string> texts_of(uint32_t id) const;

  // DialogView.
  bool has_control(uint32_t id) const override;
  void reset_items(uint32_t id) override;
  void add_item(uint32_t id, const std::string& text) override;
  int item_count(uint32_t id) const override;
  std::string item_text(uint32_t id, int index) const override;
  void select(uint32_t id, int index) override;
  int selection(uint32_t id) const override;
  bool dropped_down(uint32_t id) const override;
  void set_text(uint32_t id, const std::string& text) override;
  std::string text(uint32_t id) const override;
  void set_check(uint32_t id, bool checked) override;
  bool checked(uint32_t id) const override;
  void enable(uint32_t id, bool on) override;
  bool enabled(uint32_t id) const override;
  void show(uint32_t id, bool on) override;
  using QDialog::show;
  bool visible(uint32_t id) const override;
  void set_title(const std::string& title) override;
  std::string title() const override;
  void set_progress_range(uint32_t id, int lo, int hi) override;
  void set_progress(uint32_t id, int pos) override;
  void set_progress_text(uint32_t id, const std::string& text) override;
  void message_box(const std::string& text) override;
  std::string open_file_dialog(const std::string& filter) override;
  // The next open_file_dialog answers `path` without asking (a rescue's flash write).
  void answer_next_open_file(std::string path) { next_open_ = std::move(path); }
  std::string save_file_dialog(const std::string& filter) override;
  void post_command(uint32_t id) override;

 Q_SIGNALS:
  // Every command that went through dispatch_command, with its route (a Route value).
  void commandRouted(quint32 id, int route);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  std::string next_open_;
  bool refused_while_busy(uint32_t id, bool posted_while_busy) const;
  void build_controls();
  void build_menu();
  QAction* add_menu_item(QMenu* menu, const QString& text, uint32_t id, uint8_t flags);
  void build_accelerators();
  void lay_out();
  // The panes and the menu bar to the window's present size.
  void place_panes();
  int text_room(QWidget* w, const ControlSpec& spec) const;
  void on_radio_clicked(uint32_t id);
  void widen_popup(uint32_t id);

  QFont font_;
  BaseUnits platform_units_;
  BaseUnits units_;
  std::map<uint32_t, QWidget*> controls_;
  QMenuBar* menu_bar_ = nullptr;
  LogPane* log_pane_ = nullptr;
  PreviewPane* preview_ = nullptr;
  QLabel* card_line_ = nullptr;
  QLabel* progress_note_ = nullptr;
  int controls_w_ = 0;   // the template's width
  int body_h_ = 0;       // from below the menu bar to the log pane
  bool preview_sized_ = false;  // the pane's width was chosen since it was shown
  QSettings* settings_ = nullptr;
  std::function<MenuState()> menu_state_;
  std::function<bool(uint32_t)> handler_;
  std::function<void(const std::string&)> message_sink_;
  std::atomic<bool> busy_{false};
  mutable std::set<uint32_t> dropped_told_;  // commands whose drop this upgrade has logged
  std::map<uint32_t, bool> held_;  // while busy: the state each control returns to
  bool menu_was_enabled_ = true;
};

// A Qt name filter ("Images (*.img);;All (*.*)") from the window's "Images|*.img|All|*.*||" form.
QString qt_file_filter(const std::string& filter);

// The first installed family of the dialog font, or of its CJK-capable stand-ins.
QString dialog_font_family();

}  // namespace kestrel::qt
