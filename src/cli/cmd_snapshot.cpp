// kestrelctl snapshot: one frame of the card's picture as a PNG file; and the capture check that
// kestrelctl upgrade --check-capture runs when the card is back.
#include <CLI/CLI.hpp>

#include <cmath>
#include <filesystem>
#include <ctime>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/picture.h"
#include "picture/capture_check.h"
#include "picture/card_picture.h"
#include "picture/convert.h"
#include "picture/png_file.h"
#include "picture/v4l2_source.h"
#include "sim/sim_backend.h"

namespace kestrel::cli {

using namespace picture;

namespace {

constexpr double kDefaultSnapshotWaitS = 5;
// Waits are cut into slices so that Ctrl-C is heard within one.
constexpr int kWaitSliceMs = 200;

std::string default_file_name() {
  char name[64];
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(name, sizeof name, "kestrel-%Y%m%d-%H%M%S.png", &tm);
  return name;
}

int cmd_snapshot(Session& s, std::string file, const std::string& video, const std::string& layout, double wait_s) {
  Output& out = s.out();
  // A directory is a mistake in the command line: said before the card's picture is opened.
  std::error_code ec;
  if (!file.empty() && std::filesystem::is_directory(file, ec))
    return out.fail(EXIT_USAGE, "cannot write " + file + ": it is a directory; give a file name, e.g. " + file + "/frame.png");
  OpenResult o;
  if (!layout.empty()) {
    std::optional<PixelFormat> f;
    for (PixelFormat p : {PixelFormat::YUYV, PixelFormat::NV12, PixelFormat::RGB24, PixelFormat::BGR24})
      if (layout == format_name(p)) f = p;
    if (!f) return out.fail(EXIT_USAGE, "--format takes YUYV, NV12, RGB24 or BGR24, not " + layout);
    if (video.empty()) return out.fail(EXIT_USAGE, "--format goes with --video: the card's own picture comes in its colour format");
    o = open_v4l2({.node = video, .format = f});
  } else {
    o = open_card_picture(s, video);
  }
  if (!o.source) return out.fail(open_failure_exit(o.failure), o.error);
  const uint64_t wait_ms = static_cast<uint64_t>(std::ceil(wait_s * 1000));
  NextResult n;
  for (uint64_t waited = 0; waited < wait_ms && n.status == NextStatus::None; waited += kWaitSliceMs) {
    if (s.interrupted()) return s.interrupted_exit();
    n = o.source->next(static_cast<int>(std::min<uint64_t>(kWaitSliceMs, wait_ms - waited)));
  }
  if (n.status == NextStatus::Error) return out.fail(EXIT_NO_FRAME, n.error);
  if (n.status != NextStatus::Frame) {
    char text[64];
    std::snprintf(text, sizeof text, "no frame from %s in %g s", o.source->name().c_str(), wait_s);
    return out.fail(EXIT_NO_FRAME, o.source->name().empty() ? "no frame" : text);
  }
  const Image img = to_image(n.frame);
  if (img.width == 0) return out.fail(EXIT_FAILED, o.source->name() + " delivered a frame that cannot be converted");
  if (file.empty()) file = default_file_name();
  const std::string error = write_png(img, file);
  if (!error.empty()) return out.fail(EXIT_FAILED, error);
  const double luma = mean_luma(img);
  out.doc()["file"] = file;
  out.doc()["source"] = o.source->name();
  out.doc()["format"] = format_name(n.frame.format);
  out.doc()["width"] = n.frame.width;
  out.doc()["height"] = n.frame.height;
  out.doc()["mean_luma"] = std::round(luma * 100) / 100;
  char line[160];
  std::snprintf(line, sizeof line, "%dx%d %s, mean luma %.1f", n.frame.width, n.frame.height,
                format_name(n.frame.format), luma);
  out.line(file + ": " + line);
  return EXIT_OK;
}

}  // namespace

int open_failure_exit(OpenFailure why) {
  switch (why) {
    case OpenFailure::Busy: return EXIT_BUSY;
    case OpenFailure::NoNode: return EXIT_NO_CARD;
    case OpenFailure::NoSignal: return EXIT_NO_FRAME;
    default: return EXIT_FAILED;
  }
}

OpenResult open_card_picture(Session& s, const std::string& video_node) {
  if (!video_node.empty()) return open_v4l2({.node = video_node, .format = std::nullopt});
  platform::HidBackend* backend = s.sim() ? static_cast<platform::HidBackend*>(s.sim()) : platform::backend();
  OpenResult r = picture::open_card_picture(backend, s.list(), s.card_session().color_format());
  if (!s.list().current) r.error = "no card attached: its picture cannot be found (give a video node with --video)";
  return r;
}

int check_capture_after_upgrade(Session& s, uint32_t seconds, const std::string& video_node) {
  const CaptureCheck c =
      check_capture([&] { return open_card_picture(s, video_node); }, seconds, [&] { return s.interrupted(); });
  if (s.interrupted()) return s.interrupted_exit();
  s.out().doc()["capture"] = {{"ok", c.ok}, {"frames", c.frames}, {"text", c.text}};
  if (!c.ok) return s.out().fail(EXIT_NO_FRAME, c.text);
  s.out().line(c.text);
  return EXIT_OK;
}

void add_picture_commands(CLI::App& app, CommandSet& chosen) {
  static std::string file, video, layout;
  static double wait_s = kDefaultSnapshotWaitS;
  auto* snap = app.add_subcommand("snapshot", "Save one frame of the card's picture as a PNG file");
  snap->add_option("--out,-o", file, "PNG file to write (default: kestrel-<date>-<time>.png here)");
  snap->add_option("--video", video, "V4L2 capture node to use instead of the card's own (e.g. /dev/video0)");
  snap->add_option("--format", layout, "With --video: the layout to ask of the node (YUYV, NV12, RGB24, BGR24)");
  snap->add_option("--timeout", wait_s, "Seconds to wait for a frame (default 5)")->check(seconds_validator());
  snap->callback([&] {
    // A node given by hand needs no card.
    chosen.needs_card = video.empty();
    chosen.scans_cards = video.empty();
    chosen.action = [](Session& s) { return cmd_snapshot(s, file, video, layout, wait_s); };
  });
}

}  // namespace kestrel::cli
