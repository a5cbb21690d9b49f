// The window's command table, the program's options and the log pane's sink.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>
#include <string>

#include "app/qt/command_routes.h"
#include "app/qt/log_pane.h"
#include "app/qt/options.h"
#include "app/qt/qt_view.h"
#include "log/log.h"

namespace kestrel::qt {
namespace {

struct RouteCase {
  uint32_t id;
  Route route;
};

class Routes : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Routes, AsTheWindowsTableSays) { EXPECT_EQ(route_of(GetParam().id), GetParam().route) << GetParam().id; }

INSTANTIATE_TEST_SUITE_P(
    Table, Routes,
    ::testing::Values(RouteCase{1, Route::EndOk}, RouteCase{2, Route::NoOp}, RouteCase{1041, Route::EndCancel},
                      RouteCase{16, Route::Logic}, RouteCase{32768, Route::Logic}, RouteCase{1500, Route::Logic},
                      RouteCase{1001, Route::Logic}, RouteCase{1003, Route::Logic}, RouteCase{32808, Route::Logic},
                      RouteCase{32806, Route::Logic}, RouteCase{32820, Route::Logic}, RouteCase{32824, Route::Logic},
                      RouteCase{1061, Route::Logic}, RouteCase{1013, Route::Logic}, RouteCase{1007, Route::Logic},
                      RouteCase{32780, Route::Logic}, RouteCase{32795, Route::Logic}, RouteCase{32813, Route::NoOp},
                      RouteCase{1057, Route::NoOp}, RouteCase{1060, Route::NoOp}, RouteCase{32815, Route::Unrouted},
                      RouteCase{32807, Route::Unrouted}, RouteCase{32796, Route::Unrouted}, RouteCase{0, Route::Unrouted},
                      RouteCase{32825, Route::Logic}, RouteCase{32826, Route::View}),
    [](const auto& info) { return "id" + std::to_string(info.param.id); });

TEST(FileFilter, EachPatternShowsOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"FX3 firmware file (*.img)|*.img||", "FX3 firmware file (*.img)"},
      {"qzffs file (*.qzffs)|*.qzffs|qzffs file (*.img)|*.img||", "qzffs file (*.qzffs);;qzffs file (*.img)"},
      {"FPGA logic|*.bit;*.bin||", "FPGA logic (*.bit *.bin)"},
      {"Registers (*.txt)|*.reg||", "Registers (*.txt) (*.reg)"},  // a description naming another pattern keeps it
  };
  for (const auto& [filter, want] : cases) EXPECT_EQ(qt_file_filter(filter).toStdString(), want) << filter;
}

struct OptionCase {
  std::vector<const char*> args;
  bool ok;
  std::string what;  // error text fragment, or a field check below
};

Options parse(std::vector<const char*> args, bool& ok, std::string& error) {
  args.insert(args.begin(), "kestrel");
  Options o;
  ok = parse_options(static_cast<int>(args.size()), args.data(), o, error);
  return o;
}

TEST(Options, ValuesMasksAndErrors) {
  bool ok = false;
  std::string error;
  Options o = parse({"--simulate", "meadow", "--log-level-mask=0x20000", "--log-module-mask", "1000000", "--log-pane",
                     "--log-console", "--log-file", "/tmp/k.log", "--sim-page-ms", "20"},
                    ok, error);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(o.simulate, "meadow");
  EXPECT_EQ(o.level_mask, 0x20000u);
  EXPECT_EQ(o.module_mask, 0x1000000u);
  EXPECT_TRUE(o.log_pane);
  EXPECT_TRUE(o.log_console);
  EXPECT_EQ(o.log_file, "/tmp/k.log");
  EXPECT_EQ(o.sim_page_ms, 20u);

  o = parse({}, ok, error);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(o.level_mask || o.module_mask);

  const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
      {{"--simulate"}, "--simulate needs a value"},
      {{"--log-level-mask", "xyz"}, "hexadecimal"},
      {{"--log-module-mask", "0x123456789"}, "hexadecimal"},
      {{"--log-level-mask", "0x"}, "hexadecimal"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--log-pane=yes"}, "unknown option"},
      {{"--sim-page-ms", "fast"}, "number of milliseconds"},
      {{"--sim-page-ms", "-5"}, "number of milliseconds"},
  };
  for (const auto& [args, fragment] : bad) {
    error.clear();
    parse(args, ok, error);
    EXPECT_FALSE(ok) << args[0];
    EXPECT_NE(error.find(fragment), std::string::npos) << error;
  }
}

TEST(LogPane, ShowsTheLogAndCopiesItToTheFile) {
  char path[] = "/tmp/kestrel_pane_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE* tee = fdopen(fd, "wb");
  {
    LogPane pane;
    FILE* stream = pane.open_stream(tee);
    ASSERT_NE(stream, nullptr);
    log_attach_stream(stream);
    log_printf(0, " kestrel %s\r\n", "2.0");
    log_write_raw("card text\r", 10);
    log_write_raw("\nprogress 1\rprogress 2\r", 23);
    // Nothing reaches the widget until the window's thread takes it.
    EXPECT_TRUE(pane.toPlainText().isEmpty());
    QCoreApplication::processEvents();
    // A line ended by a lone CR shows once the next text arrives.
    EXPECT_EQ(pane.toPlainText().toStdString(), " kestrel 2.0\ncard text\nprogress 1\nprogress 2");
    log_write_raw("done\r\n", 6);
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.toPlainText().toStdString(), " kestrel 2.0\ncard text\nprogress 1\nprogress 2\ndone\n");
    log_attach_stream(nullptr);
    fclose(stream);  // closes the file too
  }
  FILE* f = fopen(path, "rb");
  ASSERT_NE(f, nullptr);
  char buf[256] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  unlink(path);
  EXPECT_EQ(std::string(buf, n), " kestrel 2.0\r\ncard text\r\nprogress 1\rprogress 2\rdone\r\n");
  log_reset_for_test();
}

TEST(LogPane, WritesAfterThePaneIsGoneStillReachTheFile) {
  char path[] = "/tmp/kestrel_pane_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE* stream = nullptr;
  {
    LogPane pane;
    stream = pane.open_stream(fdopen(fd, "wb"));
  }
  fputs("late\r\n", stream);
  fflush(stream);
  QCoreApplication::processEvents();
  fclose(stream);
  FILE* f = fopen(path, "rb");
  char buf[32] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  unlink(path);
  EXPECT_EQ(std::string(buf, n), "late\r\n");
}

}  // namespace
}  // namespace kestrel::qt
