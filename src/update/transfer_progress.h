// How far a running upgrade is, for a person: the rate and the time left from the percent the
// workflow reports and the time since the transfer began, and the phase and time left in words,
// in English or Chinese. kestrelctl's progress line and the window's progress text both come
// from here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "update/workflow.h"

namespace kestrel {

// A transfer `percent` done, `elapsed_ns` after it began, of an image of `total_bytes`.
struct TransferEstimate {
  double seconds = 0;                  // since the transfer began
  double rate_kib_s = 0;               // image bytes per second so far (erase included), in KiB
  std::optional<double> seconds_left;  // unknown before the first percent
};
TransferEstimate estimate_transfer(uint64_t elapsed_ns, int percent, uint64_t total_bytes);

// What an upgrade is doing while the window shows its bar: the transfer's phases, then the wait
// for the card to restart and come back (the restart step).
enum class ProgressStage : uint8_t { Erase, Write, Verify, WaitCard };
ProgressStage progress_stage(UpgradePhase phase);

// "Erasing", "Writing", "Verifying", "Waiting for the card" / "正在擦除", "正在写入", "正在校验",
// "等待采集卡重新连接".
std::string progress_stage_text(ProgressStage stage, bool chinese);

// "about 12 s left", "about 1 min 05 s left" / "剩余约 12 秒", "剩余约 1 分 05 秒"; "" when unknown.
std::string time_left_text(std::optional<double> seconds, bool chinese);

// The stage and, when known, the time left: "Writing, about 12 s left" / "正在写入, 剩余约 12 秒".
std::string progress_text(ProgressStage stage, std::optional<double> seconds_left, bool chinese);

}  // namespace kestrel
