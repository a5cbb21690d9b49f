// The main window's logic without any widget: it holds the window's session with the cards, shows
// the session's state in the controls and turns the controls into the session's and the card's
// operations. Widgets are reached only through the DialogView.
#pragma once

#include <cstdint>
#include <string>

#include "card/card_session.h"
#include "app/view.h"

namespace kestrel {

// The main window over its session: the card's operations and state are the session's and its
// Card's; the window puts what it shows into its controls and turns the user's clicks and choices
// into their operations.
class WindowPresenter : public CardObserver {
 public:
  WindowPresenter(DialogView& view, qhidev_list& list);

  // OnInitDialog's work after the widgets exist: scan, first refresh, runtime texts.
  void on_init_dialog();

  // Dispatches a command id posted to or raised in the window. False when not routed.
  bool on_command(uint32_t id);
  // The video panel's controls and commands; false when `id` is not one of them.
  bool on_video_command(uint32_t id);
  // The engineering commands; false when `id` is none of them.
  bool on_diag_command(uint32_t id);

  // The video panel's controls, read from the view.
  void on_card_selected();         // 1000
  void on_input_selected();        // 1007
  bool on_default_size_selected(); // 1031
  void on_output_port_selected();  // 1056
  void on_half_rate_clicked();     // 1026
  bool on_hold_clicked();          // 1042; true when the card answered the change
  void on_lock_clicked();          // 1051
  void refresh_color_buttons();
  // 32817..32820 with the save dialog. An existing file is replaced only with
  // `replace_existing` (the desktop program's save dialog has asked).
  RegisterSaveResult on_save_registers(uint32_t id, bool replace_existing = true);

  DialogView& view() { return view_; }
  CardSession& session() { return session_; }
  const CardSession& session() const { return session_; }
  Card& card() { return session_.card(); }

  // What the window shows, put into its controls.
  void show(Shown what) override;
  void show_busy(bool busy) override;
  void enable_device_controls(bool enable) override;
  void reset_register_panel() override;
  void show_restart_wait(int percent) override;
  void tell(const std::string& message) override;
  void read_choices(CardShown& shown) const override;
  bool input_list_open() const override;

 private:
  DialogView& view_;
  // Last: it goes first, and stops its reader before anything of the window is gone.
  CardSession session_;
};

}  // namespace kestrel
