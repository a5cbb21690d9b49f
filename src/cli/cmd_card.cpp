// The card's own settings and state: list, status, input, port, config, reg, monitor, log.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "card/first_run.h"
#include "boards/reg_access.h"
#include "boards/registry.h"
#include "card/card.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/many_cards.h"
#include "devlink/board_records.h"
#include "devlink/card_names.h"
#include "devlink/status_records.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/hidraw_backend.h"
#include "res/ui_text.h"

namespace kestrel::cli {

namespace {

std::string hex(uint32_t v, int digits) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", digits, v);
  return b;
}

const char* color_name(uint32_t c) {
  switch (c) {
    case 0: return "RGB24";
    case 1: return "YUV2";
    case 2: return "NV12";
    default: return "unknown";
  }
}

// "1280x720", "1280 X 720", "1280*720": width and height. False for anything else.
bool parse_size(const std::string& text, uint32_t& w, uint32_t& h) {
  unsigned a = 0, b = 0;
  char sep = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), " %u %c %u %n", &a, &sep, &b, &used) != 3 || used != static_cast<int>(text.size()))
    return false;
  if (sep != 'x' && sep != 'X' && sep != '*') return false;
  w = a;
  h = b;
  return true;
}

// The number a default-size entry stores in the card ("1280 X 720 :8" -> 8); 0 for an entry
// without one ("NONE"), which the card does not take.
int size_code(const std::string& item) {
  const size_t colon = item.find(':');
  return colon == std::string::npos ? 0 : std::atoi(item.c_str() + colon + 1);
}

int cmd_list(Session& s) {
  Output& out = s.out();
  qhidev_list& l = s.list();
  platform::HidBackend* be = platform::backend();
  KernelFacts kernel{running_kernel_release()};
  kernel.report_ioctls = platform::kernel_has_report_ioctls(kernel.release);
  nlohmann::json cards = nlohmann::json::array();
  for (uint32_t i = 0; i < l.count; ++i) {
    const qhidev* d = l.items[i].get();
    if (!d) continue;
    nlohmann::json card = {{"index", i},
                           {"name", d->name},
                           {"path", d->path},
                           {"node", d->node},
                           {"vendor_id", hex(d->attributes.vendor_id, 4)},
                           {"product_id", hex(d->attributes.product_id, 4)}};
    const CardNames names = card_names(be, *d);
    // The board is what the card's status text names: asked of each card over a handle of its
    // own; "" for a card that cannot be opened or does not say.
    std::string board;
    {
      Card own(*d);
      if (own.attach() && own.board()) board = own.board()->name;
    }
    card["board"] = board;
    card["port"] = names.port;
    card["serial"] = names.serial;
    card["product"] = names.product;
    char line[2048];
    std::snprintf(line, sizeof line, "%u  %s\n   path %s\n   node %s  vid %04x pid %04x", i, d->name.c_str(),
                  d->path.c_str(), d->node.c_str(), d->attributes.vendor_id, d->attributes.product_id);
    out.line(line);
    out.line("   board " + (board.empty() ? std::string("?") : board) + "  port " +
             (names.port.empty() ? std::string("?") : names.port) +
             "  serial " + (names.serial.empty() ? std::string("-") : names.serial) + "  product " +
             (names.product.empty() ? std::string("-") : names.product));
    // Listing needs no access to the node; using the card does. Say so here rather than at the
    // first command that fails.
    platform::HidInterfaceInfo info;
    if (be && !s.sim() && be->describe(d->node, info)) {
      if (std::optional<NoCardDiagnosis> why = diagnose_card(*be, info, kernel)) {
        card["problem"] = no_card_reason_name(why->reason);
        card["problem_text"] = why->text;
        if (!out.json()) std::fprintf(stderr, "kestrelctl: card %u cannot be used: %s\n", i, why->text.c_str());
      }
    }
    cards.push_back(std::move(card));
  }
  out.doc()["cards"] = cards;
  if (l.count == 0) {
    if (!be) return out.fail(EXIT_NO_CARD, "no card found");
    const NoCardDiagnosis why = diagnose_no_card(*be, kernel);
    out.doc()["no_card_reason"] = no_card_reason_name(why.reason);
    return out.fail(EXIT_NO_CARD, why.text);
  }
  return EXIT_OK;
}

// The figures of the status record, read afresh.
struct Figures {
  bool ok = false;
  uint32_t t_ms = 0, idle = 0;
  uint8_t usbd = 0, busy = 0, vpin = 0, fvpd = 0, signal = 0, rate = 0, interlaced = 0;
  uint16_t width = 0, height = 0;
};

Figures read_figures(Session& s) {
  Figures f;
  uint8_t v[256] = {};
  if (!s.card().status_view_get(v)) return f;
  const std::optional<StatusView> sv = parse_status_view(std::span<const uint8_t>(v, STATUS_VIEW_SIZE));
  if (!sv) return f;
  f.ok = true;
  f.t_ms = sv->t;
  f.usbd = sv->usbd;
  f.busy = sv->busy;
  f.idle = sv->idle;
  f.vpin = sv->vpin;
  f.fvpd = sv->fvpd;
  f.width = sv->width();
  f.height = sv->height();
  f.interlaced = sv->interlaced;
  f.rate = sv->frame_rate;
  f.signal = sv->signal;
  return f;
}

int print_status(Session& s) {
  CardSession& w = s.card_session();
  Output& out = s.out();
  w.refresh_status_display();
  const Figures f = read_figures(s);
  const CardSnapshot v = w.snapshot();
  const qhidev* d = w.card().link().current();
  nlohmann::json& j = out.doc();
  j["board"] = v.board;
  j["version"] = v.version;
  j["link_flags"] = hex(d ? d->link_flags : 0, 2);
  j["signal_format"] = v.signal_format;
  j["title"] = v.title;
  j["input"] = {{"index", v.input}, {"name", v.input_name}, {"hold", v.input_held}, {"locked", v.input_locked}};
  j["color_format"] = color_name(v.color_format);
  j["default_size"] = v.default_size;
  j["output_port"] = v.output_port;
  if (f.ok) {
    j["usbd"] = hex(f.usbd, 2);
    j["idle_percent"] = f.idle / 1000.0;
    j["running_seconds"] = f.t_ms / 1000.0;
    j["busy"] = f.busy != 0;
    j["signal"] = {{"present", f.signal != 0}, {"width", f.width}, {"height", f.height}, {"frame_rate", f.rate},
                   {"interlaced", f.interlaced != 0}};
  }
  out.line("board         " + j["board"].get<std::string>());
  out.line("version       " + v.version);
  out.line("link flags    " + j["link_flags"].get<std::string>());
  out.line("signal        " + v.signal_format);
  if (f.ok) {
    char b[64];
    out.line("usbd          " + j["usbd"].get<std::string>());
    out.line(std::string("busy          ") + (f.busy ? "yes" : "no"));
    std::snprintf(b, sizeof b, "idle          %.1f %%", f.idle / 1000.0);
    out.line(b);
    std::snprintf(b, sizeof b, "running       %.1f s", f.t_ms / 1000.0);
    out.line(b);
  }
  out.line("input         " + std::to_string(v.input) + " " + v.input_name +
           (v.input_locked ? " (locked)" : v.input_held ? " (held)" : " (scanning)"));
  out.line(std::string("colour format ") + color_name(v.color_format));
  out.line("default size  " + v.default_size);
  out.line("output port   " + v.output_port);
  if (!f.ok) return out.fail(EXIT_FAILED, "the card did not answer the status query");
  return EXIT_OK;
}

// With --watch: once a second until SIGINT or SIGTERM, which end it at once (exit 130 or 143).
// `status` of several cards: the current card is each in turn, as in the desktop program's card
// list, and each gets its block (JSON: one object in "cards").
int cmd_status_many(Session& s) {
  Output& out = s.out();
  CardSession& w = s.card_session();
  w.init();
  qhidev_list& l = s.list();
  std::vector<uint32_t> chosen;
  if (const int rc = choose_cards(s, l, chosen); rc != EXIT_OK) return rc;
  nlohmann::json cards = nlohmann::json::array();
  int worst = EXIT_OK;
  for (uint32_t i : chosen) {
    if (l.current != l.items[i].get() || l.current_index != i) w.attach_card(static_cast<int>(i));
    // Opening the card rebuilds its record: read it after the selection.
    const qhidev* d = l.items[i].get();
    if (i != chosen.front()) out.line("");
    out.line("card " + std::to_string(i) + " (" + d->node + ")");
    nlohmann::json block = nlohmann::json::object();
    int rc = EXIT_OK;
    if (l.current != d) {
      rc = EXIT_NO_CARD;
      block["error"] = "cannot be opened";
      if (!out.json()) std::fprintf(stderr, "kestrelctl: card %u cannot be opened\n", i);
    } else {
      std::swap(block, out.doc());
      rc = print_status(s);
      std::swap(block, out.doc());
    }
    block["index"] = i;
    block["node"] = d->node;
    block["exit"] = rc;
    worst = worse_exit(worst, rc);
    cards.push_back(std::move(block));
  }
  out.doc()["cards"] = std::move(cards);
  return worst;
}

int cmd_status(Session& s, bool watch) {
  int rc = print_status(s);
  while (watch && rc == EXIT_OK && !s.out().json()) {
    s.run_loop(1.0);
    if (s.stop_signal()) return s.interrupted_exit();
    if (!s.list().current) return s.out().fail(EXIT_NO_CARD, "the card went away");
    s.out().line("");
    rc = print_status(s);
    std::fflush(stdout);
  }
  return rc;
}

int cmd_input(Session& s, const std::string& arg) {
  CardSession& w = s.card_session();
  Output& out = s.out();
  if (arg == "lock" || arg == "unlock") {
    const bool want = arg == "lock";
    if ((w.input_locked()) == want) {
      out.line(std::string("input already ") + (want ? "locked" : "unlocked"));
      out.doc()["locked"] = want;
      return EXIT_OK;
    }
    if (want) w.lock_input(w.snapshot().input);
    else w.unlock_input();
    out.doc()["locked"] = w.input_locked();
    if ((w.input_locked()) != want)
      return out.fail(EXIT_FAILED, std::string("the card did not ") + arg + " the input");
    out.line(std::string("input ") + (want ? "locked" : "unlocked"));
    return EXIT_OK;
  }
  if (w.input_locked()) return out.fail(EXIT_BUSY, "the input is locked; run 'input unlock' first");
  if (arg == "auto") {
    if (!w.set_hold(false, w.snapshot().input)) return out.fail(EXIT_FAILED, "the card did not take the input change");
    out.line("input scanning");
    out.doc()["input"] = "auto";
    return EXIT_OK;
  }
  uint32_t index = 0;
  const CardSnapshot now = w.snapshot();
  if (!parse_number(arg, index) || index >= now.inputs.size())
    return out.fail(EXIT_USAGE, "input takes an index 0.." + std::to_string(static_cast<int>(now.inputs.size()) - 1) +
                                    ", auto, lock or unlock");
  if (!now.input_usable[index]) return out.fail(EXIT_USAGE, "input " + arg + " is not usable");
  // Hold the chosen input, as picking it in the list and ticking the box do.
  if (!w.set_hold(true, static_cast<int>(index))) return out.fail(EXIT_FAILED, "the card did not take the input change");
  out.line("input " + std::to_string(index) + " " + now.inputs[index]);
  out.doc()["input"] = index;
  return EXIT_OK;
}

int cmd_port(Session& s, const std::string& arg) {
  Output& out = s.out();
  uint32_t index = 0;
  const CardSnapshot now = s.card_session().snapshot();
  if (!now.output_port_choice) return out.fail(EXIT_FAILED, "this board has no output-port choice");
  if (!parse_number(arg, index) || index >= now.output_ports.size())
    return out.fail(EXIT_USAGE, "port takes an index 0.." + std::to_string(static_cast<int>(now.output_ports.size()) - 1));
  PortReply r = s.card().switch_output_port(static_cast<uint16_t>(index));
  out.doc()["port"] = r.current;
  if (!r.ok) return out.fail(EXIT_FAILED, "the card did not switch the port");
  out.line("output port " + std::to_string(r.current) + " " +
           (r.current < now.output_ports.size() ? now.output_ports[r.current] : std::string()));
  return EXIT_OK;
}

int cmd_config(Session& s, const std::string& what, const std::string& value) {
  CardSession& w = s.card_session();
  Output& out = s.out();
  if (what == "half-rate") {
    if (value != "on" && value != "off") return out.fail(EXIT_USAGE, "config half-rate takes on or off");
    if (!w.set_half_rate(value == "on")) return out.fail(EXIT_FAILED, "the card did not store the setting");
    out.doc()["half_rate"] = value == "on";
    out.line("half rate " + value);
    return EXIT_OK;
  }
  if (what == "default-size") {
    const std::vector<std::string> items = w.snapshot().default_sizes;
    const int n = static_cast<int>(items.size());
    uint32_t number = 0, want_w = 0, want_h = 0;
    const bool by_number = parse_number(value, number);
    const bool by_size = parse_size(value, want_w, want_h);
    int found = -1;
    std::string sizes;
    for (int i = 0; i < n; ++i) {
      const std::string& item = items[static_cast<size_t>(i)];
      const int code = size_code(item);
      if (code <= 0) continue;  // "NONE": the card takes no such setting
      sizes += "\n  " + item;
      uint32_t w = 0, h = 0;
      const bool match = (by_number && code == static_cast<int>(number)) ||
                         (by_size && parse_size(item.substr(0, item.find(':')), w, h) && w == want_w && h == want_h) ||
                         (!value.empty() && item.rfind(value, 0) == 0);
      if (match && found < 0) found = i;
    }
    if (found < 0) return out.fail(EXIT_USAGE, "no default size '" + value + "'; sizes:" + sizes);
    const DefaultSizeResult r = w.set_default_size(found);
    const std::string msg = ui_text[static_cast<int>(r)];
    out.doc()["default_size"] = items[static_cast<size_t>(found)];
    if (r != DefaultSizeResult::Stored) return out.fail(r == DefaultSizeResult::NoSize ? EXIT_USAGE : EXIT_FAILED, msg);
    out.doc()["message"] = msg;
    out.line(msg);
    return EXIT_OK;
  }
  return out.fail(EXIT_USAGE, "config takes half-rate or default-size");
}

int cmd_reg(Session& s, const std::string& dev, const std::string& reg, const std::string& count) {
  Output& out = s.out();
  uint32_t d = 0, r = 0, n = 0;
  if (!parse_number(dev, d) || d > 0x7F || !parse_number(reg, r) || r > 0xFF || !parse_number(count, n) || n < 1 ||
      n > REG_READ_MAX)
    return out.fail(EXIT_USAGE, "reg read <device 0..0x7f> <register 0..0xff> <count 1..256>");
  std::vector<uint8_t> data(n, 0);
  uint32_t got = 0;
  const int32_t rc = reg_read(s.card().link(), static_cast<uint8_t>(d), static_cast<uint8_t>(r),
                              static_cast<int32_t>(n), data, &got);
  out.doc()["result"] = rc;
  if (rc != REG_READ_OK) return out.fail(EXIT_FAILED, "register read failed (" + std::to_string(rc) + ")");
  // Bytes the card did not return show as "--" (null in the JSON), never as a value.
  nlohmann::json bytes = nlohmann::json::array();
  std::string line;
  for (uint32_t i = 0; i < n; ++i) {
    if (i < got) bytes.push_back(data[i]);
    else bytes.push_back(nullptr);
    char b[8];
    if (i < got) std::snprintf(b, sizeof b, "%s%02x", (i % 16 == 0) ? "" : " ", data[i]);
    else std::snprintf(b, sizeof b, "%s--", (i % 16 == 0) ? "" : " ");
    if (i % 16 == 0) {
      if (!line.empty()) out.line(line);
      char head[16];
      std::snprintf(head, sizeof head, "%02x: ", (r + i) & 0xFF);
      line = head;
    }
    line += b;
  }
  out.line(line);
  out.doc()["device"] = d;
  out.doc()["register"] = r;
  out.doc()["data"] = bytes;
  out.doc()["count"] = n;
  out.doc()["returned"] = got;
  if (got < n)
    return out.fail(EXIT_FAILED, "the card returned " + std::to_string(got) + " of " + std::to_string(n) +
                                     " bytes; the rest show as --");
  return EXIT_OK;
}

// Listens to the card: its debug text and frame timing reach the log, which goes to standard
// output here. Ends when `seconds` pass (0: until Ctrl-C) or on SIGINT/SIGTERM, with 0 either
// way: stopping is how a listener ends.
int cmd_listen(Session& s, double seconds, bool monitor) {
  if (s.out().json()) return s.out().fail(EXIT_USAGE, "monitor and log print as they go; --json does not apply");
  // Nothing would ever come: say so instead of listening.
  if (monitor && !s.card_session().monitor_capable())
    return s.out().fail(EXIT_FAILED, "this board does not answer the monitor query");
  const uint64_t text_before = log_raw_count();
  log_attach_stream(stdout);
  s.start_reader();
  s.run_loop(seconds);
  log_attach_stream(nullptr);
  if (!monitor && log_raw_count() == text_before) s.out().line("no debug text received");
  return EXIT_OK;
}

}  // namespace

void add_card_commands(CLI::App& app, CommandSet& chosen) {
  auto* list = app.add_subcommand("list", "List the cards found: index, name, interface path, node, IDs, board, USB port, serial, product");
  list->callback([&] {
    chosen.action = cmd_list;
    chosen.needs_card = false;
  });

  auto* status = app.add_subcommand("status", "Board, version, signal format and the card's state: usb speed, busy, idle share, running time");
  static bool watch = false;
  status->add_flag("--watch,-w", watch, "Refresh once a second until interrupted");
  status->callback([&] {
    chosen.action = [](Session& s) { return cmd_status(s, watch); };
    chosen.many_action = [](Session& s) {
      if (watch) return s.out().fail(EXIT_USAGE, "--watch takes one card (--card N)");
      return cmd_status_many(s);
    };
  });

  auto* input = app.add_subcommand("input", "Capture input: an index, auto (scan), lock or unlock");
  static std::string input_arg;
  input->add_option("what", input_arg, "index | auto | lock | unlock")->required();
  set_needs(input, "an index, auto, lock or unlock");
  input->callback([&] { chosen.action = [](Session& s) { return cmd_input(s, input_arg); }; });

  auto* port = app.add_subcommand("port", "Switch the output port (meadow, rw820c)");
  static std::string port_arg;
  port->add_option("index", port_arg, "port index")->required();
  set_needs(port, "a port index (see status)");
  port->callback([&] { chosen.action = [](Session& s) { return cmd_port(s, port_arg); }; });

  auto* config = app.add_subcommand("config", "Settings stored in the card: half-rate on|off (halve high frame rates), default-size <WxH|number|text> (the size the card starts with)");
  static std::string config_what, config_value;
  config->add_option("setting", config_what, "half-rate | default-size")->required();
  config->add_option("value", config_value,
                     "on|off; or a size as WxH (1280x720), its number or its text (\"1280 X 720\")")
      ->required();
  set_needs(config, "half-rate on|off, or default-size and a size such as 1280x720");
  config->callback([&] { chosen.action = [](Session& s) { return cmd_config(s, config_what, config_value); }; });

  auto* reg = app.add_subcommand("reg", "Read registers of the chips on the card's I2C buses (the FPGA is device 0x10)");
  auto* reg_read_cmd = reg->add_subcommand("read", "reg read <device> <register> <count>");
  static std::string reg_dev, reg_reg, reg_count;
  reg_read_cmd->add_option("device", reg_dev, "7-bit device address, e.g. 0x10")->required();
  reg_read_cmd->add_option("register", reg_reg, "first register")->required();
  reg_read_cmd->add_option("count", reg_count, "bytes to read, 1..256")->required();
  reg->require_subcommand(1);
  set_needs(reg, "read <device> <register> <count>");
  set_needs(reg_read_cmd, "a device address, a first register and a count, e.g. reg read 0x10 0 16");
  reg_read_cmd->callback([&] { chosen.action = [](Session& s) { return cmd_reg(s, reg_dev, reg_reg, reg_count); }; });

  static double listen_seconds = 0;  // 0: not given, until Ctrl-C
  auto* monitor = app.add_subcommand("monitor", "Print the card's frame timing as it arrives");
  monitor->add_option("--seconds", listen_seconds, "Stop after this many seconds (default: until Ctrl-C)")
      ->check(seconds_validator());
  monitor->callback([&] { chosen.action = [](Session& s) { return cmd_listen(s, listen_seconds, true); }; });
  auto* logc = app.add_subcommand("log", "Print the card's debug text as it arrives");
  logc->add_option("--seconds", listen_seconds, "Stop after this many seconds (default: until Ctrl-C)")
      ->check(seconds_validator());
  logc->callback([&] { chosen.action = [](Session& s) { return cmd_listen(s, listen_seconds, false); }; });
}

}  // namespace kestrel::cli
