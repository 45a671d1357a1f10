// Judgement of local audio anomalies once a capture budget is configured:
// counts them, times how long a degradation lasts, and names a terminal issue
// only when a problem outlives its window (some are terminal at once).
#pragma once

#include <atomic>
#include <cstdint>

#include "dovrin_rtc_desktop.h"

namespace dovrin::rtc_probe {

enum class AudioIssue : uint64_t {
  none = 0,
  capture_overflow = 1,     // degradation, 10000 ms window
  capture_contention = 2,   // degradation, 2000 ms window
  capture_format = 3,       // degradation, 2000 ms window
  playback_contention = 4,  // counted, then terminal at once
  playback_format = 5,      // degradation, 2000 ms window
  render_count = 6,         // counted, then terminal at once
  invalid_frame = 7,        // terminal at once
  sink_rejected = 8,        // terminal at once
  runtime_fault = 9,        // terminal at once
};

// The record crosses the C interface unchanged, so it has one definition.
using AudioHealthSnapshot = ::DovrinRtcAudioHealthSnapshot;

// Steady-clock milliseconds plus 1, so that 0 can mean "no time recorded".
uint64_t audio_monotonic_ms() noexcept;

// Contract: the capture path calls degrade/healthy(true)/gap/depth/format,
// the playback thread degrade/healthy(false)/format, the host's thread
// terminal() and snapshot(); record() from any of them. Every member is
// atomic: updates are relaxed (each is an independent counter or timer),
// readers on the host's side load sequentially consistently. A snapshot is
// not atomic as a whole. depth() is a plain load-and-store, correct only
// because the single capture producer calls it.
class AudioHealth {
 public:
  static constexpr uint64_t kOverflowWindowMs = 10000;
  static constexpr uint64_t kDegradeWindowMs = 2000;
  static constexpr uint64_t kCountedIssues = 6;

  AudioHealth() noexcept = default;
  AudioHealth(const AudioHealth&) = delete;
  AudioHealth& operator=(const AudioHealth&) = delete;

  // Notes the issue as first_issue when none is yet; counts issues 1 to 6.
  void record(AudioIssue issue) noexcept;
  // Notes the issue as first and as terminal issue, each only if unset.
  void terminal(AudioIssue issue) noexcept;
  // Records a degradation at now and judges it; false once the health has a
  // terminal issue (possibly set by this call), which the caller turns into
  // a fault.
  bool degrade(AudioIssue issue, bool capture, uint64_t now) noexcept;
  // Ends the current degradation run of one direction (capture clears both
  // capture timers), so a window measures consecutive trouble only.
  void healthy(bool capture) noexcept;
  void gap(uint64_t frames) noexcept;
  uint64_t gap_sequence() const noexcept;
  void depth(uint64_t blocks) noexcept;
  void format(uint64_t rate, uint64_t channels, uint64_t samples) noexcept;

  static bool expired(uint64_t since, uint64_t now, uint64_t window) noexcept;

  // budget_ms fills capture_budget_ms; durations are measured against
  // audio_monotonic_ms() at the call.
  AudioHealthSnapshot snapshot(uint64_t budget_ms) const noexcept;

  // The first terminal issue, none while there is none. Host side.
  AudioIssue terminal_issue() const noexcept;

 private:
  static void set_once(std::atomic<uint64_t>& slot, AudioIssue issue) noexcept;

  std::atomic<uint64_t> first_issue_{0};
  std::atomic<uint64_t> terminal_issue_{0};
  std::atomic<uint64_t> issue_counts_[kCountedIssues]{};
  std::atomic<uint64_t> gap_frames_{0};
  std::atomic<uint64_t> gap_events_{0};
  std::atomic<uint64_t> max_depth_{0};
  std::atomic<uint64_t> capture_degraded_since_{0};
  std::atomic<uint64_t> overflow_since_{0};
  std::atomic<uint64_t> playback_degraded_since_{0};
  std::atomic<uint64_t> last_rate_{0};
  std::atomic<uint64_t> last_channels_{0};
  std::atomic<uint64_t> last_samples_{0};
};

}  // namespace dovrin::rtc_probe
