// A card back on the bus after a restart, as a user who is not root meets it: the kernel lists it
// before udev has made its node and given the seat's user access to it. The open of a card that
// came back is tried again while it is refused so, on kestrel's clock, for a bounded time.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"

namespace kestrel {
namespace {

using platform::OpenFailure;

struct RefusalCase {
  const char* name;
  OpenFailure why;      // how the node refuses
  size_t refusals;      // how many opens it refuses
  OpenFailure end;      // what the open of the returning card ends with
  bool within_patience;  // it ended before the patience ran out
};

class ReturningOpen : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ReturningOpen, IsTriedAgainWhileUdevIsNotDone) {
  const RefusalCase c = GetParam();
  test::SimFixture f("TB610M-1CH");
  f.backend.refuse_opens_after_plug(c.refusals, c.why);
  f.card->unplug();
  f.card->plug();

  qhidev_list list;
  size_t tries = 0;
  const uint64_t start = clock_now_ns();
  const OpenFailure end = qhidev_open_returning([&] {
    ++tries;
    qhidev_release_all(list);
    qhidev_enum(list);
    if (list.count == 0) return OpenFailure::NotFound;
    OpenFailure why = OpenFailure::Other;
    qhidev_open(list, 0, &why);
    return why;
  });
  const uint64_t waited_ms = (clock_now_ns() - start) / 1'000'000;
  EXPECT_EQ(end, c.end) << c.name;
  EXPECT_EQ(end == OpenFailure::None, list.current != nullptr) << c.name;
  if (c.within_patience) {
    EXPECT_LT(waited_ms, QHIDEV_RETURN_PATIENCE_MS) << c.name;
    EXPECT_EQ(f.backend.refused_opens(), std::min<size_t>(c.refusals, tries)) << c.name;
  } else {
    // Given up once the patience ran out, not before, and not long after.
    EXPECT_GE(waited_ms, QHIDEV_RETURN_PATIENCE_MS) << c.name;
    EXPECT_LT(waited_ms, QHIDEV_RETURN_PATIENCE_MS + 2 * (QHIDEV_RETURN_RETRY_MS + QHIDEV_OPEN_WAIT_MS)) << c.name;
    EXPECT_EQ(f.backend.refused_opens(), tries) << c.name;
  }
  if (end == OpenFailure::None) {
    EXPECT_EQ(tries, c.refusals + 1) << c.name;
  }
  qhidev_release_all(list);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ReturningOpen,
    ::testing::Values(RefusalCase{"no access yet", OpenFailure::Permission, 3, OpenFailure::None, true},
                      RefusalCase{"no node yet", OpenFailure::NotFound, 3, OpenFailure::None, true},
                      RefusalCase{"never any access", OpenFailure::Permission, 1000, OpenFailure::Permission, false},
                      // Any other failure is no matter of time: one try.
                      RefusalCase{"another failure", OpenFailure::Other, 5, OpenFailure::Other, true}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

}  // namespace
}  // namespace kestrel
