#include "update/transfer_progress.h"

#include <cmath>
#include <cstdio>

namespace kestrel {

TransferEstimate estimate_transfer(uint64_t elapsed_ns, int percent, uint64_t total_bytes) {
  TransferEstimate e;
  e.seconds = static_cast<double>(elapsed_ns) / 1e9;
  const double done = static_cast<double>(total_bytes) * (percent / 100.0);
  e.rate_kib_s = e.seconds > 0 ? done / e.seconds / 1024.0 : 0;
  // Nothing is known of the time left before the first percent.
  if (percent > 0) e.seconds_left = e.seconds * (100 - percent) / percent;
  return e;
}

ProgressStage progress_stage(UpgradePhase phase) {
  switch (phase) {
    case UpgradePhase::Erase: return ProgressStage::Erase;
    case UpgradePhase::Write: return ProgressStage::Write;
    case UpgradePhase::Verify: return ProgressStage::Verify;
    case UpgradePhase::Restart: return ProgressStage::WaitCard;
  }
  return ProgressStage::Write;
}

std::string progress_stage_text(ProgressStage stage, bool zh) {
  switch (stage) {
    case ProgressStage::Erase: return zh ? "正在擦除" : "Erasing";
    case ProgressStage::Write: return zh ? "正在写入" : "Writing";
    case ProgressStage::Verify: return zh ? "正在校验" : "Verifying";
    case ProgressStage::WaitCard: return zh ? "等待采集卡重新连接" : "Waiting for the card";
  }
  return {};
}

std::string time_left_text(std::optional<double> seconds, bool zh) {
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return {};
  const long s = std::lround(*seconds);
  char b[64];
  if (s < 60)
    std::snprintf(b, sizeof b, zh ? "剩余约 %ld 秒" : "about %ld s left", s);
  else
    std::snprintf(b, sizeof b, zh ? "剩余约 %ld 分 %02ld 秒" : "about %ld min %02ld s left", s / 60, s % 60);
  return b;
}

std::string progress_text(ProgressStage stage, std::optional<double> seconds_left, bool zh) {
  std::string text = progress_stage_text(stage, zh);
  const std::string left = time_left_text(seconds_left, zh);
  if (!left.empty()) text += ", " + left;
  return text;
}

}  // namespace kestrel
