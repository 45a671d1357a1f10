#include "live/soak.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "dovrin_rtc_desktop.h"
#include "frame/steady_clock.h"
#include "loopback_control.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DOVRIN_SOAK_SANITIZED 1
#else
#define DOVRIN_SOAK_SANITIZED 0
#endif

namespace dovrin::testing {
namespace {

constexpr const char* kSoakAppId = "0123456789abcdef0123456789abcdef";
constexpr uint32_t kSlots = DOVRIN_RTC_PEER_SLOTS;
constexpr uint32_t kLocalUid = 1;
constexpr uint32_t kRecoveryMs = 2000;
constexpr uint64_t kSettle = 50;  // periods after a disturbance before gaps count again
constexpr uint32_t kLeaveBudget = 30;  // of the 34 a runtime allows
constexpr int kStampModulo = 30000;

std::string channel_of(uint32_t slot) { return "soak-" + std::to_string(slot); }
uint32_t bot_uid(uint32_t slot) { return 100 + slot; }
// Every fourth path loses blocks (random and in bursts); every fourth other
// one has jitter that its playout buffer covers; the rest are clean.
bool lossy(uint32_t slot) { return slot % 4 == 3; }

// A bot's microphone: every sample of a block carries the bot's block
// number, so a receiver can tell the number of blocks between two it got.
struct Stamp {
  uint32_t next = 0;  // bot thread only
  static void fill(void* context, int16_t* out, size_t count, uint64_t) {
    auto* s = static_cast<Stamp*>(context);
    std::fill(out, out + count, static_cast<int16_t>(s->next % kStampModulo + 1));
    ++s->next;
  }
};

struct Judged {
  uint32_t slot;
  uint32_t operation;
  uint32_t action;
  uint64_t generation;
  uint64_t sequence;
};

// What the policy judged, from every thread that raises events.
struct Judgements {
  std::mutex mutex;
  std::vector<Judged> list;
  uint64_t dropped = 0;
};
Judgements* judgements = nullptr;

// Connection failures and passed recovery deadlines fail the slot; the rest
// is tolerated, as a host that rejoins failed slots would answer.
uint32_t soak_policy(const DovrinRtcSdkEvent* event) {
  if (event->sequence == 0) return 0;
  const uint32_t action = (event->operation == 8 || event->operation == 15) ? 3 : 0;
  if (event->slot < kSlots && judgements != nullptr) {
    std::lock_guard lock(judgements->mutex);
    if (judgements->list.size() < judgements->list.capacity()) {
      judgements->list.push_back({event->slot, event->operation, action, event->generation, event->sequence});
    } else {
      ++judgements->dropped;
    }
  }
  return action;
}

// Per slot, what the driving thread decided (written only while the host
// threads are parked; the barrier orders it before their next period).
struct SlotPlan {
  bool joined = false;
  uint64_t connection = 0;
  uint64_t quiet_from = 0;   // period from which a clean path may not lose a block
  uint32_t presence = 0;     // bumped at each join: the audio thread starts over
  uint64_t rejoin_at = 0;    // 0: none pending
  bool fail_next_join = false;
  bool failure_seen = false;
  // What the stand-in's path from the bot says it played, against what the
  // audio thread received, since a baseline (a new path, presence or
  // capture switch starts a new one).
  bool baseline = false;
  uint64_t base_played = 0, base_received = 0;
};

// Per slot, what the audio thread tracks.
struct SlotTrack {
  uint32_t presence = UINT32_MAX;
  bool have = false;
  uint32_t rtp = 0;
  int stamp = 0;
  uint64_t epoch = 0;
};

struct Shared {
  std::barrier<> gate{4};
  std::atomic<bool> stop{false};
  DovrinRtcRuntime* rtc = nullptr;
  uint64_t period = 0;
  uint64_t io_switches = 0;
  uint64_t io_period = 0;
  std::array<SlotPlan, kSlots> plan{};
  // Found by the host threads.
  std::mutex found_mutex;
  std::vector<std::string> violations;
  uint64_t violation_count = 0;
  std::atomic<uint64_t> remote_blocks{0}, remote_missing{0}, remote_missing_lossy{0}, capture_blocks{0};
  std::atomic<uint64_t> sends_ok{0}, sends_held{0}, sends_refused{0};
  std::array<std::atomic<uint64_t>, kSlots> received{};  // per slot, by the audio thread
  // In real time the stand-in's engine may run late under load, and a block
  // late for its turn on a path without a playout buffer is lost there; such
  // gaps are checked against what the path says it played instead.
  bool strict_clean_paths = true;
  std::atomic<uint64_t> remote_missing_clean_late{0};

  void violation(const std::string& what) {
    std::lock_guard lock(found_mutex);
    ++violation_count;
    if (violations.size() < 20) violations.push_back(what);
  }
};

void audio_thread(Shared& sh) {
  std::array<SlotTrack, kSlots> track{};
  DovrinRtcAudioBlock block;
  std::array<int16_t, 960> silence{};
  uint64_t gap_sequence = 0, seen_switches = 0, min_capture_epoch = 0, capture_epoch = 0;
  int capture_stamp = -1;
  for (;;) {
    sh.gate.arrive_and_wait();
    if (sh.stop.load(std::memory_order_acquire)) return;
    const uint64_t period = sh.period;
    if (dovrin_rtc_desktop_tick(sh.rtc) != 0) sh.violation("tick failed at period " + std::to_string(period));
    if (sh.io_switches != seen_switches) {
      seen_switches = sh.io_switches;
      min_capture_epoch = capture_epoch + 1;
      capture_stamp = -1;
    }
    uint64_t gaps = gap_sequence;
    while (dovrin_rtc_desktop_capture_poll(sh.rtc, &block, &gaps) == 1) {
      sh.capture_blocks.fetch_add(1, std::memory_order_relaxed);
      if (block.epoch < min_capture_epoch) {
        sh.violation("capture block of generation " + std::to_string(block.epoch) + " after a switch to " +
                     std::to_string(min_capture_epoch) + " at period " + std::to_string(period));
      }
      const int stamp = block.samples[0];
      if (capture_stamp >= 0 && block.epoch == capture_epoch && gaps == gap_sequence &&
          stamp != capture_stamp % kStampModulo + 1) {
        sh.violation("capture block " + std::to_string(stamp) + " after " + std::to_string(capture_stamp) +
                     " at period " + std::to_string(period));
      }
      capture_stamp = stamp;
      capture_epoch = block.epoch;
      gap_sequence = gaps;
    }
    for (uint32_t s = 0; s < kSlots; ++s) {
      SlotTrack& t = track[s];
      const SlotPlan& plan = sh.plan[s];
      if (t.presence != plan.presence) {
        t = SlotTrack{};
        t.presence = plan.presence;
      }
      int32_t rc;
      while ((rc = dovrin_rtc_desktop_poll(sh.rtc, s + 1, &block)) == 1) {
        sh.remote_blocks.fetch_add(1, std::memory_order_relaxed);
        sh.received[s].fetch_add(1, std::memory_order_relaxed);
        const int stamp = block.samples[0];
        if (block.samples[479] != stamp) {
          sh.violation("slot " + std::to_string(s) + ": a block mixes two blocks' samples");
        }
        const bool settled = period >= plan.quiet_from;
        if (t.have && block.epoch < t.epoch) {
          sh.violation("slot " + std::to_string(s) + ": a block of an older generation at period " +
                       std::to_string(period));
        }
        if (t.have && block.epoch == t.epoch) {
          const uint32_t step = block.rtp_timestamp - t.rtp;
          if (step == 0 || step > 0x80000000u || step % 480 != 0) {
            if (settled) {
              sh.violation("slot " + std::to_string(s) + ": rtp " + std::to_string(block.rtp_timestamp) +
                           " after " + std::to_string(t.rtp) + " at period " + std::to_string(period));
            }
          } else {
            const uint32_t blocks = step / 480;
            const int expected = static_cast<int>((static_cast<uint32_t>(t.stamp - 1) + blocks) % kStampModulo) + 1;
            if (settled && stamp != expected) {
              sh.violation("slot " + std::to_string(s) + ": samples of block " + std::to_string(stamp) +
                           " where the rtp step says " + std::to_string(expected) + " at period " +
                           std::to_string(period));
            }
            if (blocks > 1) {
              sh.remote_missing.fetch_add(blocks - 1, std::memory_order_relaxed);
              if (lossy(s)) {
                sh.remote_missing_lossy.fetch_add(blocks - 1, std::memory_order_relaxed);
              } else if (settled && !sh.strict_clean_paths) {
                sh.remote_missing_clean_late.fetch_add(blocks - 1, std::memory_order_relaxed);
              } else if (settled) {
                sh.violation("slot " + std::to_string(s) + ": " + std::to_string(blocks - 1) +
                             " blocks lost on a clean path at period " + std::to_string(period) +
                             " (capture switched last at period " + std::to_string(sh.io_period) + ")");
              }
            }
          }
        }
        t.have = true;
        t.rtp = block.rtp_timestamp;
        t.stamp = stamp;
        t.epoch = block.epoch;
      }
      if (rc == -2) sh.violation("the runtime failed (poll) at period " + std::to_string(period));
    }
    const int32_t played = dovrin_rtc_desktop_play(sh.rtc, silence.data(), 480);
    if (played != 0 && played != -4) sh.violation("play answered " + std::to_string(played));
    sh.gate.arrive_and_wait();
  }
}

void send_thread(Shared& sh) {
  std::array<std::array<int16_t, 480>, kSlots> pcm{};
  std::array<uint32_t, kSlots> counter{};
  for (;;) {
    sh.gate.arrive_and_wait();
    if (sh.stop.load(std::memory_order_acquire)) return;
    const int64_t timestamp = static_cast<int64_t>(sh.period * 10 % 4000000000ull);
    for (uint32_t s = 0; s < kSlots; ++s) {
      pcm[s].fill(static_cast<int16_t>(counter[s]++ % kStampModulo + 1));
      const int32_t rc = dovrin_rtc_desktop_send(sh.rtc, s, pcm[s].data(), 480, 48000, timestamp);
      if (rc == 0) {
        sh.sends_ok.fetch_add(1, std::memory_order_relaxed);
      } else if (rc == 1) {
        sh.sends_held.fetch_add(1, std::memory_order_relaxed);
      } else if (rc == -2) {
        sh.sends_refused.fetch_add(1, std::memory_order_relaxed);
      } else {
        sh.violation("send on slot " + std::to_string(s) + " answered " + std::to_string(rc));
      }
    }
    sh.gate.arrive_and_wait();
  }
}

void health_thread(Shared& sh) {
  DovrinRtcAudioHealthSnapshot health;
  DovrinRtcSdkEvent event;
  for (;;) {
    sh.gate.arrive_and_wait();
    if (sh.stop.load(std::memory_order_acquire)) return;
    for (uint32_t s = 0; s < kSlots; ++s) {
      const int32_t status = dovrin_rtc_desktop_status(sh.rtc, s);
      if (status < -2 || status > 2) sh.violation("status answered " + std::to_string(status));
      if (dovrin_rtc_desktop_error(sh.rtc, s, static_cast<int32_t>(sh.period % 5), &event) < 0) {
        sh.violation("error refused slot " + std::to_string(s));
      }
    }
    dovrin_rtc_desktop_audio_health(sh.rtc, &health);
    if (health.terminal_issue != 0) {
      sh.violation("audio health terminal issue " + std::to_string(health.terminal_issue) + " at period " +
                   std::to_string(sh.period));
    }
    sh.gate.arrive_and_wait();
  }
}

double heap_mb() { return static_cast<double>(mallinfo2().uordblks) / 1e6; }

class Soak {
 public:
  explicit Soak(const SoakOptions& options) : options_(options), random_(options.seed) {}

  SoakFigures run();

 private:
  // One 10 ms period: the host threads run while the world moves on.
  void period() {
    sh_.gate.arrive_and_wait();
    if (options_.virtual_clock) {
      loopback::run_for(10);
    } else {
      next_ += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next_);
    }
    sh_.gate.arrive_and_wait();
    ++sh_.period;
  }

  void check(bool ok, const std::string& what) {
    if (!ok) sh_.violation(what + " at period " + std::to_string(sh_.period));
  }

  uint64_t chance(double per_second) {
    return std::bernoulli_distribution(per_second / 100.0)(random_) ? 1 : 0;
  }
  uint32_t pick() { return std::uniform_int_distribution<uint32_t>(0, kSlots - 1)(random_); }
  uint32_t between(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(random_); }

  void disturb(uint32_t slot, uint64_t periods) {
    sh_.plan[slot].quiet_from = std::max(sh_.plan[slot].quiet_from, sh_.period + periods + kSettle);
  }

  void join(uint32_t slot) {
    SlotPlan& plan = sh_.plan[slot];
    if (plan.fail_next_join) {
      loopback::fail_joins(channel_of(slot), 1);
      plan.fail_next_join = false;
      ++figures_.join_failures;
    }
    const int32_t rc = dovrin_rtc_desktop_join_v2(sh_.rtc, slot, channel_of(slot).c_str(), "token-0", kLocalUid,
                                                  bot_uid(slot));
    check(rc == 0, "join of slot " + std::to_string(slot) + " answered " + std::to_string(rc));
    plan.joined = true;
    plan.connection = loopback::objects(loopback::Kind::connection).back().id;
    ++plan.presence;
    plan.rejoin_at = 0;
    plan.failure_seen = false;
    plan.baseline = false;
    disturb(slot, 30);
  }

  // The library hands on every block the stand-in played to it: what the
  // path played and what was polled differ at most by the blocks in flight.
  void compare_with_paths() {
    for (uint32_t s = 0; s < kSlots; ++s) {
      SlotPlan& plan = sh_.plan[s];
      const loopback::PathStats path =
          loopback::path_stats(channel_of(s), std::to_string(bot_uid(s)), std::to_string(kLocalUid));
      const uint64_t received = sh_.received[s].load(std::memory_order_relaxed);
      if (!plan.joined || plan.failure_seen || !path.exists || sh_.period < plan.quiet_from) {
        plan.baseline = false;
        continue;
      }
      if (!plan.baseline || path.played < plan.base_played) {
        plan.baseline = true;
        plan.base_played = path.played;
        plan.base_received = received;
        continue;
      }
      const auto played = static_cast<int64_t>(path.played - plan.base_played);
      const auto taken = static_cast<int64_t>(received - plan.base_received);
      // In lock-step at most a block or two is in flight; in real time a
      // host that runs late leaves up to a full ring (20 blocks) waiting.
      const int64_t in_flight = sh_.strict_clean_paths ? 3 : 20;
      if (played - taken > in_flight || taken - played > 3) {
        sh_.violation("slot " + std::to_string(s) + ": the path played " + std::to_string(played) +
                      " blocks, the host received " + std::to_string(taken) + ", at period " +
                      std::to_string(sh_.period));
        plan.baseline = false;
      }
    }
  }

  void leave(uint32_t slot, uint64_t rejoin_after) {
    SlotPlan& plan = sh_.plan[slot];
    if (leaves_ >= kLeaveBudget) return;
    ++leaves_;
    const int32_t rc = dovrin_rtc_desktop_leave(sh_.rtc, slot);
    check(rc == 0, "leave of slot " + std::to_string(slot) + " answered " + std::to_string(rc));
    plan.joined = false;
    plan.baseline = false;
    plan.connection = 0;
    plan.rejoin_at = sh_.period + rejoin_after;
    ++plan.presence;
  }

  // Slots that failed: their fatal event must be one the policy judged
  // fatal; then they are left and joined again.
  void sweep_failures() {
    std::vector<Judged> judged;
    {
      std::lock_guard lock(judgements_.mutex);
      judged = judgements_.list;
    }
    for (uint32_t s = 0; s < kSlots; ++s) {
      SlotPlan& plan = sh_.plan[s];
      if (!plan.joined || plan.failure_seen || dovrin_rtc_desktop_status(sh_.rtc, s) != -2) continue;
      plan.failure_seen = true;
      DovrinRtcSdkEvent fatal{};
      const int32_t rc = dovrin_rtc_desktop_error(sh_.rtc, s, 1, &fatal);
      const bool matched = rc == 1 && std::any_of(judged.begin(), judged.end(), [&](const Judged& j) {
                             return j.slot == s && j.sequence == fatal.sequence && j.operation == fatal.operation &&
                                    j.generation == fatal.generation && j.action >= 3 && fatal.action == j.action;
                           });
      check(matched, "slot " + std::to_string(s) + " failed on operation " + std::to_string(fatal.operation) +
                         " that the policy did not judge fatal");
      ++figures_.slot_failures;
      failed_sequences_.push_back({s, fatal.generation, fatal.sequence});
      leave(s, 20);
    }
    // Every fatal answer of a slot still held must have failed it.
    for (const Judged& j : judged) {
      if (j.action < 3) continue;
      const bool seen = std::any_of(failed_sequences_.begin(), failed_sequences_.end(), [&](const auto& f) {
        return f[0] == j.slot && f[1] == j.generation && f[2] >= j.sequence;
      });
      if (!seen && sh_.plan[j.slot].joined && judged_checked_.insert_if_new(j)) {
        DovrinRtcSdkEvent latest{}, first_fatal{};
        dovrin_rtc_desktop_error(sh_.rtc, j.slot, 0, &latest);
        dovrin_rtc_desktop_error(sh_.rtc, j.slot, 1, &first_fatal);
        const int32_t status = dovrin_rtc_desktop_status(sh_.rtc, j.slot);
        check(status == -2 || latest.generation != j.generation, "slot " + std::to_string(j.slot) + " judged fatal (operation " +
                                std::to_string(j.operation) + ", generation " + std::to_string(j.generation) +
                                ", sequence " + std::to_string(j.sequence) + ") but its status is " +
                                std::to_string(status) + " (latest event: operation " +
                                std::to_string(latest.operation) + " generation " + std::to_string(latest.generation) +
                                " sequence " + std::to_string(latest.sequence) + " action " +
                                std::to_string(latest.action) + "; first fatal: operation " +
                                std::to_string(first_fatal.operation) + " sequence " +
                                std::to_string(first_fatal.sequence) + ")");
      }
    }
  }

  void churn(uint64_t round_end) {
    const uint64_t now = sh_.period;
    if (now % 10 == 0) {
      sweep_failures();
      compare_with_paths();
    }
    for (uint32_t s = 0; s < kSlots; ++s) {
      if (!sh_.plan[s].joined && sh_.plan[s].rejoin_at != 0 && sh_.plan[s].rejoin_at <= now) join(s);
    }
    for (auto it = bot_returns_.begin(); it != bot_returns_.end();) {
      if (it->first <= now) {
        loopback::bot_join(bots_[it->second]);
        disturb(it->second, 10);
        it = bot_returns_.erase(it);
      } else {
        ++it;
      }
    }
    if (now + 200 >= round_end) return;  // the round's end is quiet
    const uint32_t s = pick();
    SlotPlan& plan = sh_.plan[s];
    const bool connected = plan.joined && dovrin_rtc_desktop_status(sh_.rtc, s) == 1 && now >= plan.quiet_from;
    if (connected && chance(1.2)) {
      const bool past_window = between(0, 3) == 0;
      const uint32_t ms = past_window ? kRecoveryMs + 1500 : between(200, 1200);
      loopback::link_loss(plan.connection, ms, past_window ? 500 : UINT32_MAX);
      disturb(s, ms / 10);
      ++figures_.link_losses;
      figures_.long_link_losses += past_window ? 1 : 0;
    } else if (connected && chance(0.8) &&
               std::none_of(bot_returns_.begin(), bot_returns_.end(), [&](const auto& r) { return r.second == s; })) {
      const uint32_t away = between(20, 120);
      loopback::bot_leave(bots_[s], 1);
      bot_returns_.push_back({now + away, s});
      disturb(s, away + 10);
      ++figures_.bot_departures;
    } else if (connected && chance(0.6)) {
      loopback::token_will_expire(plan.connection);
      const std::string token = "token-" + std::to_string(++figures_.renewals);
      // A renewal may find the link recovering or the slot failed meanwhile.
      const int32_t rc = dovrin_rtc_desktop_renew(sh_.rtc, s, token.c_str());
      check(rc == 0 || rc == -2, "renew answered " + std::to_string(rc));
      if (chance(30)) {
        loopback::token_expired(plan.connection);
        ++figures_.token_expiries;
      }
    } else if (connected && chance(0.5) && leaves_ < kLeaveBudget - 6) {
      plan.fail_next_join = between(0, 2) == 0;
      leave(s, between(10, 60));
      ++figures_.rejoins;
    } else if (chance(0.3)) {
      check(dovrin_rtc_desktop_io(sh_.rtc, 1, 1) == 0, "io switch refused");
      ++sh_.io_switches;
      sh_.io_period = sh_.period;
      for (auto& p : sh_.plan) p.baseline = false;
      ++figures_.io_switches;
    }
  }

  void round(bool opus, double seconds);

  struct JudgedSet {
    std::vector<std::array<uint64_t, 3>> seen;
    bool insert_if_new(const Judged& j) {
      const std::array<uint64_t, 3> key{j.slot, j.generation, j.sequence};
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) return false;
      seen.push_back(key);
      return true;
    }
  };

  SoakOptions options_;
  std::mt19937_64 random_;
  Shared sh_;
  Judgements judgements_;
  SoakFigures figures_;
  std::array<uint64_t, kSlots> bots_{};
  std::array<Stamp, kSlots> stamps_{};
  std::vector<std::pair<uint64_t, uint32_t>> bot_returns_;
  std::vector<std::array<uint64_t, 3>> failed_sequences_;
  JudgedSet judged_checked_;
  uint32_t leaves_ = 0;
  std::chrono::steady_clock::time_point next_;
  Stamp microphone_stamp;
  std::array<uint64_t, kSlots> bot_heard_before_{};
  std::array<uint64_t, kSlots> bot_disorder_before_{};
};

void Soak::round(bool opus, double seconds) {
  DovrinRtcRuntime* rtc = nullptr;
  if (dovrin_rtc_desktop_create(LOOPBACK_SDK_PATH, kSoakAppId, nullptr, nullptr, &rtc) != 0) {
    sh_.violation("create failed");
    return;
  }
  sh_.rtc = rtc;
  const uint64_t service = loopback::services().back();
  loopback::set_microphone(service, loopback::Source::call(&Stamp::fill, &microphone_stamp));
  check(dovrin_rtc_desktop_error_policy(rtc, &soak_policy) == 0, "error_policy refused");
  check(dovrin_rtc_desktop_recovery_config(rtc, kRecoveryMs) == 0, "recovery_config refused");
  check(dovrin_rtc_desktop_capture_config(rtc, 1000) == 0, "capture_config refused");
  if (opus) check(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1) == 0, "audio_config refused");
  check(dovrin_rtc_desktop_io(rtc, 1, 1) == 0, "io refused");
  ++sh_.io_switches;
  leaves_ = 0;
  for (uint32_t s = 0; s < kSlots; ++s) {
    sh_.plan[s].joined = false;
    sh_.plan[s].rejoin_at = 0;
    join(s);
  }
  std::thread audio(audio_thread, std::ref(sh_)), sender(send_thread, std::ref(sh_)),
      health(health_thread, std::ref(sh_));
  next_ = std::chrono::steady_clock::now();
  const uint64_t end = sh_.period + static_cast<uint64_t>(seconds * 100);
  while (sh_.period < end) {
    period();
    churn(end);
  }
  // Every bot back, then quiet until the end of what is on the way.
  for (const auto& r : bot_returns_) loopback::bot_join(bots_[r.second]);
  bot_returns_.clear();
  sweep_failures();
  sh_.stop.store(true, std::memory_order_release);
  sh_.gate.arrive_and_wait();
  audio.join();
  sender.join();
  health.join();
  sh_.stop.store(false, std::memory_order_relaxed);
  for (uint32_t s = 0; s < kSlots; ++s) {
    if (sh_.plan[s].joined) dovrin_rtc_desktop_leave(rtc, s);
    sh_.plan[s].joined = false;
    ++sh_.plan[s].presence;
  }
  dovrin_rtc_desktop_destroy(rtc);
  sh_.rtc = nullptr;
  // The stand-in keeps a released service's speaker tap until the session
  // ends; drained, it stays a few hundred bytes.
  loopback::take_speaker(service);
  for (uint32_t s = 0; s < kSlots; ++s) {
    const loopback::BotStats stats = loopback::bot_stats(bots_[s]);
    figures_.bot_blocks_heard += stats.blocks_heard - bot_heard_before_[s];
    figures_.bot_out_of_order += stats.out_of_order - bot_disorder_before_[s];
    if (stats.out_of_order != bot_disorder_before_[s]) {
      sh_.violation("bot of slot " + std::to_string(s) + " heard blocks out of order");
    }
    bot_heard_before_[s] = stats.blocks_heard;
    bot_disorder_before_[s] = stats.out_of_order;
  }
  // What the checks kept belongs to this runtime: the next one starts empty,
  // so that the heap between rounds shows only what the library and the
  // stand-in hold.
  {
    std::lock_guard lock(judgements_.mutex);
    figures_.events += judgements_.list.size();
    figures_.fatal_answers += static_cast<uint64_t>(std::count_if(
        judgements_.list.begin(), judgements_.list.end(), [](const Judged& j) { return j.action >= 3; }));
    judgements_.list.clear();
  }
  failed_sequences_.clear();
  judged_checked_.seen.clear();
  ++figures_.rounds;
  figures_.opus_rounds += opus ? 1 : 0;
}

SoakFigures Soak::run() {
  figures_.seed = options_.seed;
  sh_.strict_clean_paths = options_.virtual_clock;
  judgements_.list.reserve(1 << 16);
  failed_sequences_.reserve(1024);
  judged_checked_.seen.reserve(1024);
  bot_returns_.reserve(kSlots);
  judgements = &judgements_;
  loopback::reset();
  loopback::set_journaling(false);
  loopback::LiveOptions live;
  live.clock = options_.virtual_clock ? loopback::ClockKind::virtual_lock_step : loopback::ClockKind::real_time;
  live.seed = options_.seed;
  live.speaker_tap_capacity = 4800;
  loopback::start_live(live);
  if (options_.virtual_clock) rtc_probe::set_steady_clock(&loopback::now_ms_source, nullptr);
  for (uint32_t s = 0; s < kSlots; ++s) {
    loopback::Impairment impairment;
    if (lossy(s)) {
      impairment.loss = 0.02;
      impairment.burst_start = 0.005;
      impairment.burst_length_ms = 60;
    } else if (s % 4 == 1) {
      impairment.jitter_ms = 30;
      impairment.jitter_buffer_ms = 40;
    }
    loopback::set_impairment(channel_of(s), "", "", impairment);
    loopback::BotOptions bot;
    bot.channel = channel_of(s);
    bot.user_id = std::to_string(bot_uid(s));
    bot.source = loopback::Source::call(&Stamp::fill, &stamps_[s]);
    bot.record_capacity = 4800;
    bots_[s] = loopback::add_bot(bot);
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto wall_start = std::chrono::steady_clock::now();
  const uint64_t clock_start = loopback::now_ms();
  double left = options_.seconds;
  bool opus = false;
  while (left > 0.5) {
    const double length = std::min(left, options_.round_seconds);
    round(opus, length);
    loopback::run_for(20);
    // The stand-in keeps a record of every observer ever registered until
    // reset; a long soak forgets those of the runtime that went.
    loopback::reset();
    loopback::set_journaling(false);
    const double heap = heap_mb();
    if (figures_.rounds == 1) figures_.heap_first_mb = heap;
    figures_.heap_last_mb = heap;
    if (options_.progress) {
      std::printf("SOAK_ROUND %u %s %.0f s: remote blocks %llu, events %llu, violations %llu, heap %.2f MB\n",
                  figures_.rounds, opus ? "opus" : "pcm", length,
                  static_cast<unsigned long long>(sh_.remote_blocks.load()),
                  static_cast<unsigned long long>(figures_.events),
                  static_cast<unsigned long long>(sh_.violation_count), heap);
      std::fflush(stdout);
    }
    opus = !opus;
    left -= length;
  }
  figures_.call_seconds = static_cast<double>(loopback::now_ms() - clock_start) / 1000.0;
  figures_.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  figures_.cpu_seconds = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
                         seconds(before.ru_stime);
  figures_.peak_rss_kb = static_cast<uint64_t>(after.ru_maxrss);
  loopback::stop_live();
  if (options_.virtual_clock) rtc_probe::set_steady_clock(nullptr, nullptr);
  judgements = nullptr;
  loopback::reset();

  figures_.heap_measured = !DOVRIN_SOAK_SANITIZED && figures_.rounds >= 2;
  if (figures_.heap_measured && figures_.heap_last_mb > figures_.heap_first_mb + 0.5) {
    sh_.violation("heap in use grew from " + std::to_string(figures_.heap_first_mb) + " MB after the first round to " +
                  std::to_string(figures_.heap_last_mb) + " MB");
  }
  if (judgements_.dropped > 0) sh_.violation("the judgement list overflowed");
  figures_.remote_blocks = sh_.remote_blocks.load();
  figures_.remote_missing = sh_.remote_missing.load();
  figures_.remote_missing_lossy = sh_.remote_missing_lossy.load();
  figures_.remote_missing_clean_late = sh_.remote_missing_clean_late.load();
  figures_.capture_blocks = sh_.capture_blocks.load();
  figures_.sends_ok = sh_.sends_ok.load();
  figures_.sends_held = sh_.sends_held.load();
  figures_.sends_refused = sh_.sends_refused.load();
  figures_.violations = sh_.violations;
  figures_.violation_count = sh_.violation_count;
  return figures_;
}

}  // namespace

SoakFigures run_soak(const SoakOptions& options) {
  auto soak = std::make_unique<Soak>(options);
  return soak->run();
}

std::string describe(const SoakFigures& f) {
  char line[2048];
  std::snprintf(
      line, sizeof line,
      "SOAK_FIGURE seed=%llu call_s=%.1f wall_s=%.1f rounds=%u opus_rounds=%u remote_blocks=%llu "
      "remote_missing=%llu (lossy paths %llu, late in real time %llu) capture_blocks=%llu sends_ok=%llu sends_held=%llu "
      "sends_refused=%llu bot_blocks_heard=%llu bot_out_of_order=%llu events=%llu fatal_answers=%llu "
      "slot_failures=%llu link_losses=%llu (past the window %llu) bot_departures=%llu rejoins=%llu "
      "join_failures=%llu io_switches=%llu renewals=%llu token_expiries=%llu peak_rss_MB=%.1f "
      "cpu_s=%.2f cpu_per_call_s=%.3f heap_MB first=%.2f last=%.2f%s violations=%llu\n",
      static_cast<unsigned long long>(f.seed), f.call_seconds, f.wall_seconds, f.rounds, f.opus_rounds,
      static_cast<unsigned long long>(f.remote_blocks), static_cast<unsigned long long>(f.remote_missing),
      static_cast<unsigned long long>(f.remote_missing_lossy),
      static_cast<unsigned long long>(f.remote_missing_clean_late), static_cast<unsigned long long>(f.capture_blocks),
      static_cast<unsigned long long>(f.sends_ok), static_cast<unsigned long long>(f.sends_held),
      static_cast<unsigned long long>(f.sends_refused), static_cast<unsigned long long>(f.bot_blocks_heard),
      static_cast<unsigned long long>(f.bot_out_of_order), static_cast<unsigned long long>(f.events),
      static_cast<unsigned long long>(f.fatal_answers), static_cast<unsigned long long>(f.slot_failures),
      static_cast<unsigned long long>(f.link_losses), static_cast<unsigned long long>(f.long_link_losses),
      static_cast<unsigned long long>(f.bot_departures), static_cast<unsigned long long>(f.rejoins),
      static_cast<unsigned long long>(f.join_failures), static_cast<unsigned long long>(f.io_switches),
      static_cast<unsigned long long>(f.renewals), static_cast<unsigned long long>(f.token_expiries),
      static_cast<double>(f.peak_rss_kb) / 1024.0, f.cpu_seconds,
      f.call_seconds > 0 ? f.cpu_seconds / f.call_seconds : 0.0, f.heap_first_mb, f.heap_last_mb,
      f.heap_measured ? "" : " (not measured)", static_cast<unsigned long long>(f.violation_count));
  std::string text = line;
  for (const auto& v : f.violations) text += "  violation: " + v + "\n";
  return text;
}

}  // namespace dovrin::testing
