// The records the card serves, judged by the rules the host applies to them, and the register
// banks that make each model's probe answer as that model.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "devlink/board_records.h"
#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "support/sim_fixture.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

// The status block rules, written out here: magic, one's-complement sum over `length` bytes,
// length >= 65 + text length.
bool status_block_follows_rules(const uint8_t* b, size_t avail) {
  if (avail < 65 || get_le32(b) != MAGIC_ZHHH) return false;
  const uint16_t len = get_le16(b + 4);
  if (len > avail) return false;
  if (frame_csum(b, len) != 0xFFFF) return false;
  return len >= 65 + strnlen(reinterpret_cast<const char*>(b + 64), len - 64);
}

// The registry's rule: the first model whose name is followed by ':' in the text.
std::optional<std::string> model_named_by(const std::string& text) {
  for (std::string_view n : sim::board_names())
    if (text.size() > n.size() && text.compare(0, n.size(), n) == 0 && text[n.size()] == ':') return std::string(n);
  return std::nullopt;
}

class SimRecordsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SimRecordsTest, StatusBlockByCommandFour) {
  test::SimFixture f(GetParam());
  const uint8_t attach = 1;
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_BOARD_STATUS, 0, &attach, 1, 64, f.page(), a));
  EXPECT_TRUE(status_block_follows_rules(a.payload, a.len));
  EXPECT_TRUE(board_status_valid(a.payload, a.len));
  const std::string text(reinterpret_cast<const char*>(a.payload + 64));
  EXPECT_EQ(text, f.card->status_text());
  EXPECT_EQ(model_named_by(text), GetParam());
  EXPECT_NE(text.find(" FPGA:"), std::string::npos);
  EXPECT_EQ(a.len, 65 + text.size());
}

TEST_P(SimRecordsTest, StatusBlockByReportFourOrCommand) {
  test::SimFixture f(GetParam());
  uint8_t block[300] = {};
  uint16_t len = 0;
  ASSERT_TRUE(board_status_read(f.link, block, f.pages, 0, &len));
  EXPECT_TRUE(status_block_follows_rules(block, len));
  const bool report4 = (f.card->initial_scenario().capabilities & sim::CAP_STATUS_RPT) != 0;
  const auto gets = f.card->reports_of(sim::ReportKind::InputGet);
  ASSERT_FALSE(gets.empty());
  EXPECT_EQ(gets[0][0], report4 ? RID_STATUS : RID_ANSWER);
  if (report4) {
    EXPECT_EQ(gets[0].size(), STATUS_REPORT_SIZE);
  }
}

TEST_P(SimRecordsTest, ConfigurationRecordCrcRunsToZero) {
  test::SimFixture f(GetParam());
  uint8_t* rec = board_config_read(f.link, f.page());
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(get_le16(rec + 2), 32);
  EXPECT_EQ(get_le32(rec + 4), 0x12345678u);
  EXPECT_EQ(get_le32(rec + 24), 0x12345678u);
  EXPECT_EQ(crc32_register(rec, 32), 0u);
}

TEST_P(SimRecordsTest, EventRecord) {
  test::SimFixture f(GetParam());
  const sim::Scenario& s = f.card->initial_scenario();
  uint8_t ev[24];
  ASSERT_TRUE(board_event_query(f.link, ev));
  EXPECT_EQ(ev[0], 1);
  EXPECT_EQ(ev[1], s.capabilities);
  EXPECT_TRUE(board_event_intact(ev));
  uint8_t feat[24] = {1};
  EXPECT_EQ(f.dev().handle->get_feature_report(feat), s.feature_event);
  if (s.feature_event) {
    EXPECT_TRUE(board_event_intact(feat));
    EXPECT_EQ(feat[0], 1);
    EXPECT_EQ(f.card->reports_of(sim::ReportKind::FeatureGet).back(), Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
  // The card's clock runs ahead of the host's by the scenario's offset.
  EXPECT_EQ(get_le64(ev + 8), clock_now_ns() + static_cast<uint64_t>(s.device_time_offset_ns));
}

TEST_P(SimRecordsTest, WorkStatusCarriesTheSignal) {
  test::SimFixture f(GetParam());
  const bool own_view = std::string(GetParam()) == "meadow" || std::string(GetParam()) == "rw820c";
  const uint8_t one = 1;
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_WORK_STATUS, 0, &one, 1, 176, f.page(), a));
  const uint8_t* fmt = a.payload + (own_view ? 64 : 160);
  EXPECT_EQ(get_le32(fmt), 1920u | (1080u << 16));
  EXPECT_EQ(fmt[5], 60);
  EXPECT_EQ(fmt[6], 1);
  f.clock.advance_ns(123'456'000'000ULL);
  f.card->set_signal(false);
  ASSERT_TRUE(f.link.transact_long(CMD_WORK_STATUS, 0, &one, 1, 176, f.page(), a));
  EXPECT_EQ(get_le32(a.payload), 123'456u);  // running time, ms
  EXPECT_EQ(a.payload[own_view ? 70 : 166], 0);
}

INSTANTIATE_TEST_SUITE_P(Models, SimRecordsTest,
                         ::testing::Values("TB610K-1CH", "TB610M-1CH", "TB610R-1CH", "TB720V-2CH", "TB830R-1CH",
                                           "TB850V-1CH", "meadow", "rw820c"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST(SimRecords, LongestStatusTextStillFitsReportFour) {
  auto s = *sim::make_scenario("meadow");
  s.firmware_version = std::string(100, 'v');
  test::SimFixture f(s);
  ASSERT_TRUE(board_status_fetch_report4(f.link, f.page()));
  const uint16_t len = get_le16(f.pages.data() + 4);
  EXPECT_LE(len, STATUS_PAYLOAD_MAX);
  EXPECT_TRUE(status_block_follows_rules(f.pages.data() + 8, len));
}

TEST(SimRecords, InputSelectionCodes) {
  test::SimFixture f("TB610R-1CH");
  Bytes request(261, 0);
  request[0] = 7;
  for (auto [input, code, result, out] : {std::tuple{0, 0, 0, 0}, std::tuple{1, 1, 0, 1}, std::tuple{2, 3, 0, 2},
                                          std::tuple{4, 0x84, -1, -1}}) {
    f.card->update([&](sim::Scenario& s) { s.input = static_cast<uint8_t>(input); });
    uint8_t sel = 0xEE;
    EXPECT_EQ(board_input_get(f.link, &sel), result) << input;
    if (result == 0) {
      EXPECT_EQ(sel, out);
    }
    EXPECT_EQ(f.card->reports_of(sim::ReportKind::FeatureGet).back(), request);
  }
}

TEST(SimRecords, DefaultsAndStatusFieldsFollowTheScenario) {
  auto s = *sim::make_scenario("TB610R-1CH");
  s.locked_input = 2;
  s.color_format = 2;
  s.output_port = 1;
  s.default_size = 8;
  test::SimFixture f(s);
  uint8_t block[300] = {};
  ASSERT_TRUE(board_status_read(f.link, block, f.pages, 0));
  EXPECT_LT(block[45], block[41]);  // locked
  EXPECT_EQ(block[40], 2);
  EXPECT_EQ(block[47], 8);
  EXPECT_EQ(block[50], 1);
  Answer a;
  ASSERT_TRUE(f.link.transact_short(CMD_VIDEO_STATE, 0, nullptr, 0, 32, f.page(), a));
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(get_le16(a.payload + 16), 0x4000);
}

// ---- Probes -----------------------------------------------------------------------------------

// One register through command 12, as the probes read them.
std::optional<uint8_t> read_reg(test::SimFixture& f, uint8_t dev, uint8_t reg) {
  const uint8_t rq[8] = {dev, 0, reg, 0, 1, 0, 0, 0};
  Answer a;
  if (!f.link.transact_long(CMD_REG_READ, 0, rq, 8, 8, f.page(), a, f.link.reg_seq) || a.payload[7] == 0)
    return std::nullopt;
  return a.payload[8];
}

// The probe of each model, from the board table.
bool probe(test::SimFixture& f, sim::BoardModel m) {
  using M = sim::BoardModel;
  auto group = [&](uint8_t dev, int n, uint8_t* out) {
    for (int i = 0; i < n; ++i) {
      auto v = read_reg(f, dev, static_cast<uint8_t>(i));
      if (!v) return false;
      out[i] = *v;
    }
    return true;
  };
  uint8_t b[5] = {}, c[5] = {};
  switch (m) {
    case M::TB610K_1CH:
      read_reg(f, 0x4C, 0xEA);
      read_reg(f, 0x4C, 0xEB);
      return false;
    case M::TB610M_1CH:
      return group(0x48, 5, b) && !read_reg(f, 0x49, 0) && b[0] == 0x54 && b[1] == 0x49 && b[3] == 0x68;
    case M::TB610R_1CH: {
      auto ea = read_reg(f, 0x20, 0xEA), eb = read_reg(f, 0x20, 0xEB);
      return ea && eb && *ea == 0x20 && (*eb & 0xC0) == 0;
    }
    case M::TB720V_2CH:
      return group(0x48, 4, b) && group(0x48, 4, c) && std::memcmp(b, c, 4) == 0 &&
             (get_le32(b) & 0xFF00FFFF) == 0x68004954;
    case M::TB830R_1CH:
    case M::TB850V_1CH:
      return true;
    case M::Meadow:
      return group(0x48, 5, b) && b[0] == 0x54 && b[1] == 0x49 && b[2] == 0x05 && b[3] == 0x68;
    case M::Rw820c:
      return group(0x4C, 5, b) && b[0] == 0x54 && b[1] == 0x49 && b[2] == 0x22 && b[3] == 0x06;
  }
  return false;
}

// Each model's probe answers true on its own card (TB610K-1CH never does) and false on the
// others', except where the probe cannot tell: TB830R-1CH and TB850V-1CH answer true everywhere,
// and TB720V-2CH takes any stable iTE identity 54 49 xx 68, which the TB610M-1CH and meadow
// receivers also show.
TEST(SimProbes, EachModelAnswersAsItself) {
  using M = sim::BoardModel;
  for (uint8_t card = 1; card <= 8; ++card) {
    test::SimFixture f(sim::make_scenario(static_cast<M>(card)));
    for (uint8_t p = 1; p <= 8; ++p) {
      const M pm = static_cast<M>(p), cm = static_cast<M>(card);
      const bool want = (pm == cm && pm != M::TB610K_1CH) || pm == M::TB830R_1CH || pm == M::TB850V_1CH ||
                        (pm == M::TB720V_2CH && (cm == M::TB610M_1CH || cm == M::Meadow));
      EXPECT_EQ(probe(f, pm), want) << "probe of " << sim::model_name(pm) << " on " << sim::model_name(cm);
    }
  }
}

TEST(SimProbes, TB610KReadsItsIdentity) {
  test::SimFixture f("TB610K-1CH");
  EXPECT_EQ(read_reg(f, 0x4C, 0xEA), 0x20);
  EXPECT_EQ(read_reg(f, 0x4C, 0xEB), 0x51);
}

TEST(SimRegisters, LegacyReportsForACardWithoutStatusQuery) {
  auto s = *sim::make_scenario("TB610K-1CH");
  s.status_query = false;
  test::SimFixture f(s);
  Answer a;
  const uint8_t one = 1;
  EXPECT_FALSE(f.link.transact_long(CMD_BOARD_STATUS, 0, &one, 1, 64, f.page(), a));  // no answer
  Bytes rq(261, 0);
  rq[0] = 12;
  rq[1] = 0x4C;
  rq[2] = 0xEA;
  rq[3] = 2;
  ASSERT_TRUE(f.dev().handle->set_output_report(rq));
  Bytes ans(261, 0);
  ans[0] = 13;
  ASSERT_TRUE(f.dev().handle->get_input_report(ans));
  EXPECT_EQ(Bytes(ans.begin(), ans.begin() + 6), (Bytes{13, 0x4C, 0xEA, 2, 0x20, 0x51}));
  rq[1] = 0x48;  // nothing there on this card
  ASSERT_TRUE(f.dev().handle->set_output_report(rq));
  EXPECT_FALSE(f.dev().handle->get_input_report(ans));
}

TEST(SimRegisters, FramedReadLimits) {
  test::SimFixture f;
  Answer a;
  const uint8_t all[8] = {0x10, 0, 0, 0, 0, 1, 0, 0};  // 256 registers asked
  ASSERT_TRUE(f.link.transact_long(CMD_REG_READ, 0, all, 8, 8, f.page(), a, f.link.reg_seq));
  EXPECT_EQ(a.payload[7], 1);
  EXPECT_EQ(get_le16(a.payload + 4), 249);  // what one answer holds
  const uint8_t absent[8] = {0x33, 0, 0, 0, 1, 0, 0, 0};
  ASSERT_TRUE(f.link.transact_long(CMD_REG_READ, 0, absent, 8, 8, f.page(), a, f.link.reg_seq));
  EXPECT_EQ(a.payload[7], 0);
}

}  // namespace
}  // namespace kestrel
