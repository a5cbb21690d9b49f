// A card back on the bus after a restart, as a user who is not root meets it: the kernel lists it
// before udev has made its node and given the seat's user access to it. The open of a card that
// came back is tried again while it is refused so, on kestrel's clock, for a bounded time, and the
// wait then ends with what stopped it.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "update/return_watch.h"
#include "update/workflow.h"

namespace kestrel {
namespace {

using platform::OpenFailure;

struct RefusalCase {
  const char* name;
  OpenFailure why;      // how the node refuses
  size_t refusals;      // how many opens it refuses
  OpenFailure end;      // what the last open of the returning card ended with
  bool within_patience;  // it ended before the patience ran out
  const char* reported;  // what the card is said to have reported when it was not read
};

class ReturningOpen : public ::testing::TestWithParam<RefusalCase> {};

// The wait after an upgrade that kestrelctl and the window poll, on a card that is back: the
// open (a rescan and an open) is tried again while it is refused so.
TEST_P(ReturningOpen, IsTriedAgainWhileUdevIsNotDone) {
  const RefusalCase c = GetParam();
  test::SimFixture f("TB610M-1CH");
  const CardKey key{f.backend.path_of(0), 0x04B4, f.card->initial_scenario().product_id};
  f.backend.refuse_opens_after_plug(c.refusals, c.why);
  f.card->unplug();
  f.card->plug();

  qhidev_list list;
  size_t tries = 0;
  OpenFailure last = OpenFailure::None;
  ReturnLook look;
  look.list = [&] {
    std::vector<platform::HidInterfaceInfo> listed;
    f.backend.enumerate(listed);
    std::vector<ListedCard> now;
    for (const auto& e : listed) now.push_back({{e.path, e.vendor_id, e.product_id}, e.port});
    return now;
  };
  look.open_back = [&](const std::string&, OpenFailure& why) -> std::optional<std::string> {
    ++tries;
    qhidev_release_all(list);
    qhidev_enum(list);
    why = OpenFailure::NotFound;
    if (list.count != 0) qhidev_open(list, 0, &why);
    last = why;
    if (why != OpenFailure::None) return std::nullopt;
    return std::string("TB610M-1CH:V2.0.6800");
  };
  ReturnWatch watch(UPGRADE_KIND_FPGA, std::nullopt, key, sim::SimBackend::port_of(0), look);
  watch.gone();  // it left and is back already
  const uint64_t start = clock_now_ns();
  while (!watch.poll()) sleep_ms(RESTART_POLL_MS);
  const uint64_t waited_ms = (clock_now_ns() - start) / 1'000'000;

  EXPECT_EQ(last, c.end) << c.name;
  EXPECT_EQ(watch.judged(), c.end == OpenFailure::None) << c.name;
  EXPECT_EQ(c.end == OpenFailure::None, list.current != nullptr) << c.name;
  if (c.end != OpenFailure::None) {
    EXPECT_EQ(watch.report().end, VerifiedEnd::NotVerified) << c.name;
    EXPECT_NE(watch.report().card_text.find(c.reported), std::string::npos) << c.name << ": " << watch.report().card_text;
  }
  if (c.within_patience) {
    EXPECT_LT(waited_ms, QHIDEV_RETURN_PATIENCE_MS) << c.name;
    EXPECT_EQ(f.backend.refused_opens(), std::min<size_t>(c.refusals, tries)) << c.name;
  } else {
    // Given up once the patience ran out, not before, and not long after.
    EXPECT_GE(waited_ms, QHIDEV_RETURN_PATIENCE_MS) << c.name;
    EXPECT_LT(waited_ms, QHIDEV_RETURN_PATIENCE_MS + 2 * (QHIDEV_RETURN_RETRY_MS + QHIDEV_OPEN_WAIT_MS)) << c.name;
    EXPECT_EQ(f.backend.refused_opens(), tries) << c.name;
  }
  if (c.end == OpenFailure::None) {
    EXPECT_EQ(tries, c.refusals + 1) << c.name;
  }
  qhidev_release_all(list);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ReturningOpen,
    ::testing::Values(RefusalCase{"no access yet", OpenFailure::Permission, 3, OpenFailure::None, true, ""},
                      RefusalCase{"no node yet", OpenFailure::NotFound, 3, OpenFailure::None, true, ""},
                      RefusalCase{"never any access", OpenFailure::Permission, 1000, OpenFailure::Permission, false,
                                  "may not open it"},
                      // Any other failure is no matter of time: one try.
                      RefusalCase{"another failure", OpenFailure::Other, 5, OpenFailure::Other, true,
                                  "does not answer"}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

}  // namespace
}  // namespace kestrel
