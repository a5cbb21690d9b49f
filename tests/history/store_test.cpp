// The history store: every field of an attempt survives begin/finish and a reopen, the filter,
// and what begin/finish answer when they cannot record.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "history_fixture.h"

namespace {

using namespace kestrel::history;
using kestrel::test::flash_attempt;
using kestrel::test::hid_attempt;
using kestrel::test::HistoryTest;

void expect_same_attempt(const Attempt& got, const Attempt& want) {
  EXPECT_EQ(got.card.board, want.card.board);
  EXPECT_EQ(got.card.usb_serial, want.card.usb_serial);
  EXPECT_EQ(got.card.port_path, want.card.port_path);
  EXPECT_EQ(got.card.node, want.card.node);
  EXPECT_EQ(got.kind, want.kind);
  EXPECT_EQ(got.file_name, want.file_name);
  EXPECT_EQ(got.file_size, want.file_size);
  EXPECT_EQ(got.sha256, want.sha256);
  EXPECT_EQ(got.info_text, want.info_text);
  EXPECT_EQ(got.verdict, want.verdict);
  EXPECT_EQ(got.forced, want.forced);
  EXPECT_EQ(got.path, want.path);
  EXPECT_EQ(got.version_before, want.version_before);
}

struct EndCase {
  const char* name;
  Attempt (*attempt)();
  Outcome outcome;
};

class HistoryRoundTrip : public HistoryTest, public ::testing::WithParamInterface<EndCase> {};

// begin as the transfer starts, finish as it ends, then every field read back after a reopen.
TEST_P(HistoryRoundTrip, EveryFieldOfAnAttemptIsReadBack) {
  const Attempt a = GetParam().attempt();
  const Outcome& o = GetParam().outcome;
  int64_t id = 0;
  {
    HistoryStore store = HistoryStore::open(db_path());
    ASSERT_TRUE(store.writable()) << store.open_message();
    EXPECT_TRUE(store.open_message().empty());
    const HistoryWrite b = store.begin(a);
    ASSERT_TRUE(b.ok) << b.message;
    id = b.id;
    const HistoryRead during = store.query();
    ASSERT_EQ(during.records.size(), 1u);
    EXPECT_EQ(during.records[0].result, Result::Running);
    EXPECT_FALSE(during.records[0].ended_ms);
    const HistoryWrite f = store.finish(id, o);
    EXPECT_TRUE(f.ok) << f.message;
    EXPECT_TRUE(f.message.empty());
  }
  const HistoryRead r = HistoryStore::open(db_path()).query();
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(r.records.size(), 1u);
  const Record& rec = r.records[0];
  EXPECT_EQ(rec.id, id);
  EXPECT_EQ(rec.pid, getpid());
  Attempt want = a;
  if (o.verdict) want.verdict = *o.verdict;
  if (o.forced) want.forced = *o.forced;
  if (o.path) want.path = *o.path;
  expect_same_attempt(rec.attempt, want);
  EXPECT_EQ(rec.result, o.result);
  EXPECT_EQ(rec.engine_result, o.engine_result);
  EXPECT_EQ(rec.version_after, o.version_after);
  EXPECT_EQ(rec.verified, o.verified);
  EXPECT_EQ(rec.detail, o.detail);
  ASSERT_TRUE(rec.ended_ms);
  EXPECT_GE(*rec.ended_ms, rec.started_ms);
  EXPECT_GT(rec.started_ms, 1'700'000'000'000);  // wall-clock milliseconds, not a tick count
}

Outcome outcome(Result r, std::optional<int32_t> engine, std::string after, std::optional<bool> verified,
                std::string detail = {}) {
  Outcome o;
  o.result = r;
  o.engine_result = engine;
  o.version_after = std::move(after);
  o.verified = verified;
  o.detail = std::move(detail);
  return o;
}

Outcome forced_late() {
  Outcome o = outcome(Result::Failed, -3, "", std::nullopt, "engine stopped in the verify");
  o.verdict = " 固件信息与目标板不匹配, 不可升级";
  o.forced = true;
  o.path = TransferPath::HidDownload;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    BothPaths, HistoryRoundTrip,
    ::testing::Values(
        EndCase{"FlashOkVerified", flash_attempt,
                outcome(Result::Ok, 0, "TB610M-1CH:v2 build 2024-12-25 10:01:06", true)},
        EndCase{"FlashOkNotVerified", flash_attempt,
                outcome(Result::Ok, 0, "TB610M-1CH:v1", false, "card reports TB610M-1CH:v1")},
        EndCase{"HidOkNotYetVerified", hid_attempt,
                outcome(Result::Ok, 1, "meadow 1.0", std::nullopt, "restart needed")},
        EndCase{"HidFailedWithEngineResult", hid_attempt, outcome(Result::Failed, -2, "", std::nullopt)},
        EndCase{"Declined", flash_attempt, outcome(Result::Declined, std::nullopt, "", std::nullopt, "declined")},
        // What was learnt only during the attempt replaces what begin knew.
        EndCase{"VerdictForcedAndPathGivenAtTheEnd", flash_attempt, forced_late()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HistoryTest, FinishRefusesWhatIsNotAnEnd) {
  HistoryStore store = HistoryStore::open(db_path());
  const int64_t id = store.begin(flash_attempt()).id;
  struct Case {
    int64_t id;
    Result result;
    const char* says;
  } cases[] = {
      {0, Result::Ok, "its start was not recorded"},     // begin failed: the upgrade still calls finish
      {id + 100, Result::Ok, "no attempt"},
      {id, Result::Running, "cannot end running"},
  };
  for (const Case& c : cases) {
    Outcome o;
    o.result = c.result;
    const HistoryWrite w = store.finish(c.id, o);
    EXPECT_FALSE(w.ok) << c.says;
    EXPECT_NE(w.message.find(c.says), std::string::npos) << w.message;
    EXPECT_EQ(w.message.rfind("the upgrade history could not be written: ", 0), 0u) << w.message;
  }
  EXPECT_EQ(store.query().records.at(0).result, Result::Running);
}

TEST_F(HistoryTest, FilterByAnyCardIdentitySinceAndLimit) {
  HistoryStore store = HistoryStore::open(db_path());
  Attempt other = flash_attempt();
  other.card = {"TB850V-1CH", "SN0099", "1-4", "/dev/hidraw5"};
  for (const Attempt& a : {flash_attempt(), hid_attempt(), other, flash_attempt()}) ASSERT_TRUE(store.begin(a).ok);
  struct Case {
    std::string card;
    size_t rows;
  } cases[] = {{"", 4}, {"TB610M-1CH", 2}, {"SN0042", 2}, {"1-2.3", 2}, {"/dev/hidraw0", 1},
               {"meadow", 1}, {"1-4", 1}, {"1-2", 0}, {"TB610", 0}};
  for (const Case& c : cases) {
    Filter f;
    f.card = c.card;
    EXPECT_EQ(store.query(f).records.size(), c.rows) << c.card;
  }
  const HistoryRead all = store.query();
  ASSERT_EQ(all.records.size(), 4u);
  for (size_t i = 1; i < all.records.size(); ++i) EXPECT_LT(all.records[i - 1].id, all.records[i].id);

  Filter later;
  later.since_ms = all.records.back().started_ms + 1;
  EXPECT_TRUE(store.query(later).records.empty());
  later.since_ms = all.records.front().started_ms;
  EXPECT_EQ(store.query(later).records.size(), 4u);

  Filter newest;
  newest.limit = 2;
  const HistoryRead two = store.query(newest);
  ASSERT_EQ(two.records.size(), 2u);
  EXPECT_EQ(two.records[0].id, all.records[2].id);
  EXPECT_EQ(two.records[1].id, all.records[3].id);
}

// Several upgrades at once, on threads: some share one store, some open their own (as separate
// processes would). Every attempt is one row, ended.
TEST_F(HistoryTest, ParallelWritersLoseNoRow) {
  constexpr int kThreads = 8, kAttempts = 40;
  HistoryStore shared = HistoryStore::open(db_path());
  ASSERT_TRUE(shared.writable());
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HistoryStore own;
      if (t % 2) own = HistoryStore::open(db_path());
      HistoryStore& store = t % 2 ? own : shared;
      for (int n = 0; n < kAttempts; ++n) {
        Attempt a = t % 3 ? flash_attempt() : hid_attempt();
        a.card.port_path = "1-" + std::to_string(t);
        a.file_name = std::to_string(n);
        const HistoryWrite b = store.begin(a);
        Outcome o;
        o.result = Result::Ok;
        const HistoryWrite f = store.finish(b.id, o);
        if (!b.ok || !f.ok) failures[t] += b.message + f.message + "\n";
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
  const HistoryRead r = shared.query();
  ASSERT_EQ(r.records.size(), size_t{kThreads * kAttempts});
  for (int t = 0; t < kThreads; ++t) {
    Filter f;
    f.card = "1-" + std::to_string(t);
    const HistoryRead mine = shared.query(f);
    ASSERT_EQ(mine.records.size(), size_t{kAttempts});
    std::vector<bool> seen(kAttempts, false);
    for (const Record& rec : mine.records) {
      EXPECT_EQ(rec.result, Result::Ok);
      seen.at(std::stoul(rec.attempt.file_name)) = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kAttempts);
  }
}

TEST(HistorySha256, KnownDigestsAcrossTheBlockBoundaries) {
  struct Case {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) EXPECT_EQ(sha256_hex(c.text.data(), c.text.size()), c.digest) << c.text.size();
}

}  // namespace
