// Board control codes that need no card: the answers made of data, the size
// conditions, and the log line of a failed code-8 send. The exchanges are tested against the
// simulated card (control_sim_test.cpp).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "boards/board_table.h"
#include "boards/control.h"
#include "boards/registry.h"
#include "devlink/hid_link.h"
#include "log/log_capture.h"
#include "support/recording_device.h"

namespace kestrel {
namespace {

class ControlUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_build(reg_, nullptr);
    auto rec = std::make_shared<test::RecordingDevice>();
    dev_ = rec.get();
    auto d = std::make_unique<qhidev>();
    d->handle = rec;
    d->link_flags = QHIDEV_F_ECHO2;
    list_.items[0] = std::move(d);
    list_.count = 1;
    list_.current = list_.items[0].get();
  }
  bool ctl(uint8_t board, uint32_t code, uint32_t size, void* out) {
    BoardContext ctx{link_, page_};
    return board_control(reg_.entries[board - 1], ctx, code, size, out);
  }

  BoardRegistry reg_;
  qhidev_list list_;
  HidLink link_{list_};
  test::RecordingDevice* dev_ = nullptr;
  std::array<uint8_t, 4096> page_{};
};

constexpr uint8_t kAllBoards[] = {1, 2, 3, 4, 5, 6, 7, 8};

TEST_F(ControlUnit, PanelName) {
  for (uint8_t b : kAllBoards) {
    std::array<char, 20> out;
    out.fill('#');
    EXPECT_FALSE(ctl(b, CTL_PANEL_NAME, 12, out.data())) << int(b);
    EXPECT_EQ(out[0], '#');
    EXPECT_FALSE(ctl(b, CTL_PANEL_NAME, 13, nullptr));
    ASSERT_TRUE(ctl(b, CTL_PANEL_NAME, 13, out.data())) << int(b);
    EXPECT_STREQ(out.data(), b == BOARD_MEADOW ? "pbctl:dialog" : "pbtbx:dialog");
    EXPECT_EQ(out[13], '#') << "writes exactly 13 bytes";
  }
  EXPECT_TRUE(dev_->sent.empty());
}

struct FilterCase {
  uint8_t board;
  uint32_t sub;
  bool answer;
  const char* text;  // expected text in word 0 (sub-codes 1, 2, 5)
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << "board " << int(c.board) << " sub-code " << c.sub; }

class FileFilter : public ControlUnit, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FileFilter, SubCode) {
  const FilterCase& c = GetParam();
  FileFilterAnswer ans;
  const void* canary = &ans;
  ans.word[0] = ans.word[1] = canary;
  EXPECT_EQ(ctl(c.board, CTL_FILE_FILTER, c.sub, &ans), c.answer);
  if (c.text) {
    EXPECT_STREQ(ans.text(), c.text);
  }
  switch (c.sub) {
    case CTL_FILTER_RESOLUTIONS:
      EXPECT_EQ(ans.list(), board_resolution_list(c.board));
      EXPECT_EQ(ans.word[1], canary);
      break;
    case CTL_FILTER_ZERO1:
      EXPECT_EQ(ans.word[0], nullptr);
      EXPECT_EQ(ans.word[1], canary);
      break;
    case CTL_FILTER_ZERO2:
      EXPECT_EQ(ans.word[0], nullptr);
      EXPECT_EQ(ans.word[1], nullptr);
      break;
    default:
      if (!c.text) {
        EXPECT_EQ(ans.word[0], nullptr);  // any other sub-code stores zero
      }
      EXPECT_EQ(ans.word[1], canary);
  }
}

constexpr const char* kBit = "FPGA bitstream file (*.bit)|*.bit||";
constexpr const char* kBin = "FPGA bitstream file (*.bin)|*.bin||";
constexpr const char* kImg = "firmware upgrade image (*.img)|*.img||";
constexpr const char* kQzffs = "qzffs file (*.qzffs)|*.qzffs|qzffs file (*.img)|*.img||";

INSTANTIATE_TEST_SUITE_P(
    Boards678, FileFilter,
    ::testing::Values(FilterCase{6, 1, true, kBit}, FilterCase{7, 1, true, kBin}, FilterCase{8, 1, true, kBit},
                      FilterCase{6, 2, true, kImg}, FilterCase{7, 2, true, kImg}, FilterCase{8, 2, true, kImg},
                      FilterCase{6, 5, true, kQzffs}, FilterCase{7, 5, true, kQzffs}, FilterCase{8, 5, true, kQzffs},
                      FilterCase{6, 32, true, nullptr}, FilterCase{7, 32, true, nullptr},
                      FilterCase{8, 32, true, nullptr}, FilterCase{6, 33, true, nullptr},
                      FilterCase{7, 33, true, nullptr}, FilterCase{8, 34, true, nullptr},
                      FilterCase{6, 34, true, nullptr}, FilterCase{6, 3, false, nullptr},
                      FilterCase{7, 0, false, nullptr}, FilterCase{8, 4, false, nullptr},
                      FilterCase{8, 35, false, nullptr}, FilterCase{6, 31, false, nullptr}));

std::string joined(const char* const* list) {
  std::string s;
  for (; list && *list; ++list) s += std::string(s.empty() ? "" : "|") + *list;
  return s;
}

TEST(ControlLists, ResolutionAndPortLists) {
  EXPECT_EQ(joined(board_resolution_list(BOARD_TB850V_1CH)),
            "NONE|1920 X 1080:1|1600 X 1200:2|1680 X 1050:3|1440 X 900 :4|1360 X 768 :5|1280 X 1024:6|"
            "1280 X 800 :7|1280 X 720 :8|1024 X 768 :9| 800 X 600 :10| 768 X 576 :11| 720 X 576 :12|"
            " 640 X 480 :13|2560 X 1440:14|3840 X 2160:15|4096 X 2160:16");
  EXPECT_EQ(joined(board_resolution_list(BOARD_MEADOW)), "3840 X 2160:1|1920 X 1080:2");
  EXPECT_EQ(joined(board_resolution_list(BOARD_RW820C)), "1920 X 1080:1");
  EXPECT_EQ(joined(default_resolution_list()),
            "NONE|1920 X 1080:1|1600 X 1200:2|1680 X 1050:3|1440 X 900 :4|1360 X 768 :5|1280 X 1024:6|"
            "1280 X 800 :7|1280 X 720 :8|1024 X 768 :9| 800 X 600 :10| 768 X 576 :11| 720 X 576 :12|"
            " 640 X 480 :13");
  for (uint8_t b = 1; b <= 5; ++b) EXPECT_EQ(board_resolution_list(b), nullptr);
  EXPECT_EQ(joined(board_output_port_list(BOARD_MEADOW)), "FPGA   hdmi|RKCore hdmi|port 2 none");
  EXPECT_EQ(joined(board_output_port_list(BOARD_RW820C)), "color  RGB444|color  YUV422|color  YUV444");
  for (uint8_t b = 1; b <= 6; ++b) EXPECT_EQ(board_output_port_list(b), nullptr);
}

TEST_F(ControlUnit, FileFilterOnBoardsWithoutCodeFiveLeavesOutAlone) {
  for (uint8_t b = 1; b <= 5; ++b) {
    for (uint32_t sub : {1u, 2u, 5u, 32u, 33u, 34u, 3u}) {
      FileFilterAnswer ans;
      ans.word[0] = ans.word[1] = &ans;
      EXPECT_FALSE(ctl(b, CTL_FILE_FILTER, sub, &ans));
      EXPECT_EQ(ans.word[0], &ans);
      EXPECT_EQ(ans.word[1], &ans);
    }
  }
}

TEST_F(ControlUnit, BoardNameOnlyOnTB720V) {
  std::array<char, 32> out;
  out.fill('#');
  EXPECT_FALSE(ctl(BOARD_TB720V_2CH, CTL_BOARD_NAME, 10, out.data()));  // "TB720V-2CH" is 10 long
  EXPECT_EQ(out[0], '#');
  ASSERT_TRUE(ctl(BOARD_TB720V_2CH, CTL_BOARD_NAME, 11, out.data()));
  EXPECT_STREQ(out.data(), "TB720V-2CH");
  EXPECT_EQ(out[11], '#');
  for (uint8_t b : kAllBoards) {
    if (b != BOARD_TB720V_2CH) {
      EXPECT_FALSE(ctl(b, CTL_BOARD_NAME, 32, out.data())) << int(b);
    }
  }
}

TEST_F(ControlUnit, MonitorCapableOnlyOnRw820c) {
  for (uint8_t b : kAllBoards) EXPECT_EQ(ctl(b, CTL_MONITOR_CAPABLE, 4, nullptr), b == BOARD_RW820C) << int(b);
  EXPECT_TRUE(ctl(BOARD_RW820C, CTL_MONITOR_CAPABLE, 0, nullptr));
}

TEST_F(ControlUnit, UsbTextOfMeadowAndRw820cNeedsNoCard) {
  for (uint8_t b : {BOARD_MEADOW, BOARD_RW820C}) {
    std::array<char, 40> out;
    out.fill('#');
    EXPECT_FALSE(ctl(b, CTL_USB_SPEED, 31, out.data()));
    EXPECT_EQ(out[0], '#');
    EXPECT_FALSE(ctl(b, CTL_USB_SPEED, 32, nullptr));
    ASSERT_TRUE(ctl(b, CTL_USB_SPEED, 32, out.data()));
    EXPECT_STREQ(out.data(), "2.0 (full speed only)");
  }
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(ControlUnit, VideoPropsSizeMustBe32) {
  std::array<uint8_t, 64> block{};
  for (uint8_t b : kAllBoards)
    for (uint32_t size : {0u, 31u, 33u, 64u}) EXPECT_FALSE(ctl(b, CTL_VIDEO_PROPS, size, block.data())) << int(b);
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(ControlUnit, OutputPortSizeMustBe8) {
  for (uint8_t b : {BOARD_MEADOW, BOARD_RW820C}) {
    PortSwitchRecord rec;
    for (uint32_t size : {0u, 7u, 9u, 16u}) EXPECT_FALSE(ctl(b, CTL_OUTPUT_PORT, size, &rec));
    EXPECT_EQ(rec.names, nullptr);
    EXPECT_FALSE(ctl(b, CTL_OUTPUT_PORT, PORT_SWITCH_RECORD_SIZE, nullptr));
  }
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(ControlUnit, RawCommandLongerThan256Refused) {
  std::array<uint8_t, 300> buf{};
  for (uint8_t b : kAllBoards) EXPECT_FALSE(ctl(b, CTL_RAW_COMMAND, 257, buf.data()));
  EXPECT_FALSE(ctl(1, CTL_RAW_COMMAND, 8, nullptr));
  EXPECT_TRUE(dev_->sent.empty());
}

// The dump codes a board does not implement answer false without a word to the card: 13 on
// meadow, 14 and 15 on boards 1..6. (The dumps themselves are tested against the simulated card.)
TEST_F(ControlUnit, DumpCodesOfOtherBoardsAnswerFalse) {
  std::array<uint8_t, 4096> scratch{};
  EXPECT_FALSE(ctl(BOARD_MEADOW, CTL_FPGA_DUMP, 0, scratch.data()));
  for (uint8_t b = 1; b <= 6; ++b)
    for (uint32_t code : {CTL_DEBUG_INFO, CTL_RUN_STATUS})
      EXPECT_FALSE(ctl(b, code, 0, scratch.data())) << int(b) << " code " << code;
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(ControlUnit, CodesNoBoardImplements) {
  std::array<uint8_t, 4096> scratch{};
  for (uint8_t b : kAllBoards)
    for (uint32_t code : {0u, 2u, 3u, 9u, 16u, 31u, 32u, 33u, 0xFFFFFFFFu})
      EXPECT_FALSE(ctl(b, code, 32, scratch.data())) << int(b) << " code " << code;
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(ControlUnit, WorkStatusAndOutputPortOnlyOnMeadowAndRw820c) {
  std::array<uint8_t, 128> out{};
  PortSwitchRecord rec;
  for (uint8_t b = 1; b <= 6; ++b) {
    EXPECT_FALSE(ctl(b, CTL_WORK_STATUS, 80, out.data()));
    EXPECT_FALSE(ctl(b, CTL_OUTPUT_PORT, 8, &rec));
  }
  EXPECT_EQ(rec.names, nullptr);
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(ControlUnit, FailedVideoPropsSendLogsOnBoardsOneToSix) {
  dev_->fail_send = true;
  for (uint8_t b : kAllBoards) {
    test::LogCapture cap;
    log_set_filter(true, 1u << (LOG_STATUS_FAIL & LOG_LEVEL_MASK), 0);
    std::array<uint8_t, 32> block{};
    EXPECT_FALSE(ctl(b, CTL_VIDEO_PROPS, 32, block.data()));
    EXPECT_EQ(cap.text(), b <= 6 ? " query work status put failed\r\n" : "") << int(b);
  }
}

TEST_F(ControlUnit, CurrentBoardDispatch) {
  std::array<char, 16> out{};
  BoardContext ctx{link_, page_};
  EXPECT_TRUE(board_control_current(reg_, ctx, CTL_PANEL_NAME, 13, out.data()));
  reg_.current = nullptr;
  EXPECT_FALSE(board_control_current(reg_, ctx, CTL_PANEL_NAME, 13, out.data()));
  BoardEntry bare;
  EXPECT_FALSE(board_control(bare, ctx, CTL_PANEL_NAME, 13, out.data()));
}

}  // namespace
}  // namespace kestrel
