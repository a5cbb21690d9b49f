// The progress of a transfer as a person reads it: rate and time left from the percent and the
// time since the start, and the phase and time left in English or Chinese.
#include "update/transfer_progress.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(TransferProgress, EstimatesRateAndTimeLeft) {
  // A quarter of a 400 KiB image in 10 s: 10 KiB/s, 30 s to go.
  const TransferEstimate e = estimate_transfer(10'000'000'000ull, 25, 400 * 1024);
  EXPECT_DOUBLE_EQ(e.seconds, 10.0);
  EXPECT_DOUBLE_EQ(e.rate_kib_s, 10.0);
  ASSERT_TRUE(e.seconds_left);
  EXPECT_DOUBLE_EQ(*e.seconds_left, 30.0);
  // Nothing is known before the first percent.
  EXPECT_FALSE(estimate_transfer(3'000'000'000ull, 0, 1024).seconds_left);
  EXPECT_DOUBLE_EQ(estimate_transfer(0, 0, 1024).rate_kib_s, 0.0);
}

TEST(TransferProgress, PhaseAndTimeLeftInEitherLanguage) {
  EXPECT_EQ(progress_text(ProgressStage::Erase, std::nullopt, false), "Erasing");
  EXPECT_EQ(progress_text(ProgressStage::Write, 12.4, false), "Writing, about 12 s left");
  EXPECT_EQ(progress_text(ProgressStage::Verify, 65.0, false), "Verifying, about 1 min 05 s left");
  EXPECT_EQ(progress_text(ProgressStage::WaitCard, 20.0, false), "Waiting for the card, about 20 s left");
  EXPECT_EQ(progress_text(ProgressStage::Erase, std::nullopt, true), "正在擦除");
  EXPECT_EQ(progress_text(ProgressStage::Write, 12.4, true), "正在写入, 剩余约 12 秒");
  EXPECT_EQ(progress_text(ProgressStage::Verify, 65.0, true), "正在校验, 剩余约 1 分 05 秒");
  EXPECT_EQ(progress_text(ProgressStage::WaitCard, 20.0, true), "等待采集卡重新连接, 剩余约 20 秒");
  EXPECT_EQ(progress_stage(UpgradePhase::Write), ProgressStage::Write);
  EXPECT_EQ(time_left_text(-1.0, false), "");
}

}  // namespace
}  // namespace kestrel
