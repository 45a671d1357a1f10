#include "audio/audio_health.h"

#include "frame/steady_clock.h"

namespace dovrin::rtc_probe {

uint64_t audio_monotonic_ms() noexcept { return steady_clock_ms() + 1; }

void AudioHealth::set_once(std::atomic<uint64_t>& slot, AudioIssue issue) noexcept {
  // Compare-and-exchange so that of racing first issues exactly one sticks.
  uint64_t expected = 0;
  slot.compare_exchange_strong(expected, static_cast<uint64_t>(issue), std::memory_order_relaxed,
                               std::memory_order_relaxed);
}

void AudioHealth::record(AudioIssue issue) noexcept {
  set_once(first_issue_, issue);
  const uint64_t value = static_cast<uint64_t>(issue);
  if (value >= 1 && value <= kCountedIssues) {
    issue_counts_[value - 1].fetch_add(1, std::memory_order_relaxed);
  }
}

void AudioHealth::terminal(AudioIssue issue) noexcept {
  if (issue == AudioIssue::none) return;  // 0 would read back as "no terminal issue"
  set_once(first_issue_, issue);
  set_once(terminal_issue_, issue);
}

bool AudioHealth::expired(uint64_t since, uint64_t now, uint64_t window) noexcept {
  return since != 0 && now >= since && now - since >= window;
}

bool AudioHealth::degrade(AudioIssue issue, bool capture, uint64_t now) noexcept {
  record(issue);
  const bool overflow = issue == AudioIssue::capture_overflow;
  // An overflow run supersedes a format or contention run: only the
  // overflow timer keeps measuring while blocks are being lost.
  if (overflow) capture_degraded_since_.store(0, std::memory_order_relaxed);

  std::atomic<uint64_t>& timer =
      overflow ? overflow_since_ : (capture ? capture_degraded_since_ : playback_degraded_since_);
  uint64_t unset = 0;
  timer.compare_exchange_strong(unset, now, std::memory_order_relaxed, std::memory_order_relaxed);

  const uint64_t window = overflow ? kOverflowWindowMs : kDegradeWindowMs;
  if (expired(timer.load(std::memory_order_relaxed), now, window)) {
    terminal(issue);
    return false;
  }
  // Capture that keeps losing blocks through a different problem is still
  // the same unbroken overflow run.
  if (capture && !overflow &&
      expired(overflow_since_.load(std::memory_order_relaxed), now, kOverflowWindowMs)) {
    terminal(AudioIssue::capture_overflow);
    return false;
  }
  return terminal_issue_.load(std::memory_order_relaxed) == 0;
}

void AudioHealth::healthy(bool capture) noexcept {
  if (capture) {
    capture_degraded_since_.store(0, std::memory_order_relaxed);
    overflow_since_.store(0, std::memory_order_relaxed);
  } else {
    playback_degraded_since_.store(0, std::memory_order_relaxed);
  }
}

void AudioHealth::gap(uint64_t frames) noexcept {
  gap_frames_.fetch_add(frames, std::memory_order_relaxed);
  gap_events_.fetch_add(1, std::memory_order_relaxed);
}

uint64_t AudioHealth::gap_sequence() const noexcept {
  return gap_events_.load(std::memory_order_relaxed);
}

void AudioHealth::depth(uint64_t blocks) noexcept {
  if (blocks > max_depth_.load(std::memory_order_relaxed)) {
    max_depth_.store(blocks, std::memory_order_relaxed);
  }
}

void AudioHealth::format(uint64_t rate, uint64_t channels, uint64_t samples) noexcept {
  last_rate_.store(rate, std::memory_order_relaxed);
  last_channels_.store(channels, std::memory_order_relaxed);
  last_samples_.store(samples, std::memory_order_relaxed);
}

AudioIssue AudioHealth::terminal_issue() const noexcept {
  return static_cast<AudioIssue>(terminal_issue_.load(std::memory_order_seq_cst));
}

namespace {

// now - since, or 0 when nothing is running or the clock reads earlier.
uint64_t elapsed(uint64_t since, uint64_t now) noexcept {
  return since != 0 && now >= since ? now - since : 0;
}

}  // namespace

AudioHealthSnapshot AudioHealth::snapshot(uint64_t budget_ms) const noexcept {
  constexpr auto order = std::memory_order_seq_cst;
  AudioHealthSnapshot out{};
  out.first_issue = first_issue_.load(order);
  out.terminal_issue = terminal_issue_.load(order);
  for (uint64_t i = 0; i < kCountedIssues; ++i) out.issue_counts[i] = issue_counts_[i].load(order);
  out.gap_frames = gap_frames_.load(order);
  out.gap_events = gap_events_.load(order);
  out.max_depth_blocks = max_depth_.load(order);
  out.capture_budget_ms = budget_ms;

  const uint64_t capture_since = capture_degraded_since_.load(order);
  const uint64_t overflow_since = overflow_since_.load(order);
  const uint64_t playback_since = playback_degraded_since_.load(order);
  const uint64_t now = audio_monotonic_ms();
  uint64_t earliest = capture_since;
  if (earliest == 0 || (overflow_since != 0 && overflow_since < earliest)) earliest = overflow_since;
  out.capture_degraded_ms = elapsed(earliest, now);
  out.playback_degraded_ms = elapsed(playback_since, now);

  out.last_format_rate = last_rate_.load(order);
  out.last_format_channels = last_channels_.load(order);
  out.last_format_samples = last_samples_.load(order);
  return out;
}

}  // namespace dovrin::rtc_probe
