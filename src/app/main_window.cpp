// The main window over its current card: construction, initialisation, command routing, and what
// the card's state looks like in the controls.
#include "app/main_window.h"

#include "app/ids.h"
#include "res/ui_text.h"
#include "update/transfer_progress.h"
#include "update/verify.h"

#include <algorithm>

namespace kestrel {

namespace {

struct RuntimeText {
  uint32_t id;
  int text;
};
constexpr RuntimeText kRuntimeTexts[] = {
    {ids::CAPTION_UVC, 2},        {ids::CAPTION_TARGET_VERSION, 3}, {ids::HOLD_BOX, 4},
    {ids::CAPTION_DEFAULT_SIZE, 6}, {ids::CAPTION_OUTPUT_PORT, 7},  {ids::CAPTION_UPGRADE, 8},
    {ids::HALF_RATE_BOX, 9},      {ids::CAPTION_OUTPUT_MODE, 10},   {ids::BTN_USB_FIRMWARE, 13},
    {ids::BTN_FPGA_FIRMWARE, 14}, {ids::BTN_LOCK, 15},              {ids::BTN_1005, 11},
    {ids::BTN_VIDEO_PROPS, 12},   {ids::BTN_EXIT, 39}};

// The window's command id of each of the card's events: they wait in the window's queue behind
// what the user did before them.
constexpr struct {
  CardEvent event;
  uint32_t id;
} kEventCommands[] = {{CardEvent::CardText, ids::ID_DEV_TEXT_EVENT},
                      {CardEvent::StatusChange, ids::ID_DEV_INTR_EVENT},
                      {CardEvent::FrameTiming, ids::ID_MONITOR_QUERY},
                      {CardEvent::StdView, ids::ID_STDVIEW_EVENT},
                      {CardEvent::StatusRefresh, ids::ID_STATUS_REFRESH}};

void fill_list(DialogView& view, uint32_t id, const std::vector<std::string>& items) {
  view.reset_items(id);
  for (const std::string& item : items) view.add_item(id, item);
}

}  // namespace

WindowPresenter::WindowPresenter(DialogView& view, qhidev_list& list) : view_(view), session_(list) {
  session_.observe(this);
  session_.deliver_events_with([this](CardEvent event) {
    for (const auto& e : kEventCommands)
      if (e.event == event) view_.post_command(e.id);
  });
}

void WindowPresenter::on_init_dialog() {
  if (view_.has_control(ids::REG_COUNT)) view_.set_text(ids::REG_COUNT, "1");
  view_.set_progress_range(ids::PROGRESS, 0, 100);
  session_.init();
  for (const RuntimeText& t : kRuntimeTexts)
    if (view_.has_control(t.id)) view_.set_text(t.id, ui_text[t.text]);
}

bool WindowPresenter::on_command(uint32_t id) {
  if (on_diag_command(id)) return true;
  for (const auto& e : kEventCommands)
    if (e.id == id) {
      session_.handle(e.event);
      return true;
    }
  return on_video_command(id);
}

void WindowPresenter::read_choices(CardShown& shown) const {
  CardSession::choose(shown.card, view_.selection(ids::CARD_LIST), shown.cards.size());
  CardSession::choose(shown.input, view_.selection(ids::INPUT_LIST), shown.inputs.size());
  CardSession::choose(shown.default_size, view_.selection(ids::DEFAULT_SIZE_LIST), shown.default_sizes.size());
  CardSession::choose(shown.output_port, view_.selection(ids::OUTPUT_PORT_LIST), shown.output_ports.size());
  shown.half_rate = view_.checked(ids::HALF_RATE_BOX);
  shown.hold = view_.checked(ids::HOLD_BOX);
}

bool WindowPresenter::input_list_open() const { return view_.dropped_down(ids::INPUT_LIST); }

void WindowPresenter::show(Shown what) {
  const CardShown& s = session_.shown();
  switch (what) {
    case Shown::CardList:
      fill_list(view_, ids::CARD_LIST, s.cards);
      view_.select(ids::CARD_LIST, s.card);
      break;
    case Shown::Card: view_.select(ids::CARD_LIST, s.card); break;
    case Shown::Lists:
      fill_list(view_, ids::INPUT_LIST, s.inputs);
      fill_list(view_, ids::DEFAULT_SIZE_LIST, s.default_sizes);
      view_.select(ids::DEFAULT_SIZE_LIST, s.default_size);
      fill_list(view_, ids::OUTPUT_PORT_LIST, s.output_ports);
      view_.select(ids::OUTPUT_PORT_LIST, s.output_port);
      view_.enable(ids::OUTPUT_PORT_LIST, s.output_port_choice);
      break;
    case Shown::Input: view_.select(ids::INPUT_LIST, s.input); break;
    case Shown::DefaultSize: view_.select(ids::DEFAULT_SIZE_LIST, s.default_size); break;
    case Shown::OutputPort: view_.select(ids::OUTPUT_PORT_LIST, s.output_port); break;
    case Shown::HalfRate: view_.set_check(ids::HALF_RATE_BOX, s.half_rate); break;
    case Shown::Hold:
      view_.set_text(ids::HOLD_BOX, ui_text[s.hold ? 5 : 4]);
      view_.set_check(ids::HOLD_BOX, s.hold);
      break;
    case Shown::Locked:
      view_.enable(ids::HOLD_BOX, !session_.input_locked());
      view_.enable(ids::INPUT_LIST, !session_.input_locked());
      view_.set_text(ids::BTN_LOCK, ui_text[session_.input_locked() ? 15 : 16]);
      break;
    case Shown::Color: refresh_color_buttons(); break;
    case Shown::Version: view_.set_text(ids::VERSION_TEXT, s.version); break;
    case Shown::SignalFormat: view_.set_text(ids::FORMAT_LABEL, s.signal_format); break;
    case Shown::Title: view_.set_title(s.title); break;
    case Shown::DebugChannel:
      if (view_.has_control(ids::BTN_DEBUG_1061))
        view_.set_text(ids::BTN_DEBUG_1061, session_.debug_channel_on() ? QZDBG_CAPTION_ON : QZDBG_CAPTION_OFF);
      break;
  }
}

void WindowPresenter::show_busy(bool busy) {
  for (uint32_t id : {ids::BTN_USB_FIRMWARE, ids::BTN_FPGA_FIRMWARE, ids::CARD_LIST, ids::HALF_RATE_BOX, ids::DEFAULT_SIZE_LIST})
    view_.enable(id, !busy);
}

void WindowPresenter::show_restart_wait(int percent) {
  view_.show(ids::PROGRESS, percent >= 0);
  if (percent < 0) return;
  view_.set_progress(ids::PROGRESS, percent);
  // The bar fills as the wait runs out: what is left of it is the time left.
  const double left_s = RESTART_RETURN_WAIT_MS / 1000.0 * (100 - std::min(percent, 100)) / 100.0;
  view_.set_progress_text(ids::PROGRESS, progress_text(ProgressStage::WaitCard, left_s, ui_text == ui_text_zh));
}

void WindowPresenter::tell(const std::string& message) { view_.message_box(message); }


}  // namespace kestrel
