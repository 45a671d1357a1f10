// The library's audio frame observer and the owner of its audio rings: local
// capture into a capture ring, playback out of the host's render callback or
// a playback ring, and one remote user's audio into a remote ring.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "agora_media.h"
#include "audio/audio_health.h"
#include "audio/block.h"
#include "audio/ring.h"

namespace dovrin::rtc_probe {

// Fills `frames` interleaved stereo frames into samples and answers how many
// it wrote (0 to frames). Called on the SDK's playback thread.
using RenderCallback = int (*)(void* context, int16_t* samples, size_t frames);

enum class RemoteChannelBinding : uint32_t {
  // A remote frame counts only when the SDK names this observer's channel.
  by_name = 0,
  // The observer belongs to one connection: frames count only once it is
  // confirmed, and a text-id frame without a channel id is taken as its own.
  by_connection = 1,
};

struct DuplexStats {
  uint64_t capture_callbacks;
  uint64_t remote_callbacks;
  uint64_t playback_callbacks;
  uint64_t captured_frames;
  uint64_t remote_frames;
  uint64_t played_frames;
  uint64_t faults;
  uint64_t stale_blocks;
  uint64_t active_callbacks;
};

// Remote frames that were counted but not taken; harmless by themselves.
struct RemoteCounters {
  uint64_t ignored;  // remote audio switched off or connection not yet confirmed
  uint64_t wrong_uid;
  uint64_t no_channel;
  uint64_t other_channel;
};

// Contract.
// Threads: the SDK's capture path calls capture_frame() (directly or through
// onRecordAudioFrame), its playback thread onPlaybackAudioFrame(), its remote
// audio thread the before-mixing callbacks; any of them may run on any
// thread. The host's threads call everything else.
// Rings, one producer and one consumer each:
//   capture_ring_, budget_ring_: producer capture_frame, consumer take_capture;
//   playback_ring_: producer submit_playback, consumer onPlaybackAudioFrame;
//   remote_ring_: producer receive_remote, consumer take_remote.
// A second concurrent SDK producer (or playback consumer) is detected by the
// busy flags and fails fast instead of touching the ring; under drop_oldest
// the remote producer also pops when the ring is full, and that pop and
// take_remote exclude each other through remote_pop_busy_ (remote_busy_
// stays the producers' own, so a poll never makes an arriving block drop).
// The host must not call take_capture, take_remote or submit_playback from
// two threads at once.
// authorization_ gates every direction: generation in bits 63..2, capture
// switch in bit 1, playback (or remote) switch in bit 0, 0 when closed. It
// is read with acquire, changed by an acq_rel compare-and-exchange
// (authorize) or a release store (close). Blocks carry the generation they
// were made under, so a new authorisation makes every older block stale.
// Audio-thread paths never allocate, lock, wait or print, and hold at most
// two Blocks on the stack.
class alignas(kCacheLine) DuplexObserver final : public agora::media::IAudioFrameObserver {
 public:
  using AudioFrame = agora::media::IAudioFrameObserverBase::AudioFrame;
  using AudioParams = agora::media::IAudioFrameObserverBase::AudioParams;

  static constexpr size_t kRingBlocks = 20;
  static constexpr size_t kBudgetBlocks = 500;
  static constexpr size_t kChannelChars = 64;
  static constexpr uint64_t kPlaybackBit = 1;
  static constexpr uint64_t kCaptureBit = 2;
  static constexpr uint64_t kMaxGeneration = (uint64_t{1} << 62) - 1;
  static constexpr uint32_t kMinBudgetMs = 200;
  static constexpr uint32_t kMaxBudgetMs = 5000;

  // remote_failure_detail values other than the encoded format fault.
  static constexpr uint64_t kDetailRemoteBusy = 1;
  static constexpr uint64_t kDetailRemoteOverflow = 3;

  // Try-lock on one busy flag; nobody ever waits on it.
  class Busy {
   public:
    explicit Busy(std::atomic_flag& flag) noexcept
        : flag_(flag), acquired_(!flag.test_and_set(std::memory_order_acquire)) {}
    ~Busy() {
      if (acquired_) flag_.clear(std::memory_order_release);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    bool acquired() const noexcept { return acquired_; }

   private:
    std::atomic_flag& flag_;
    const bool acquired_;
  };

  // Counts a callback in flight, so the capture mode changes only while none runs.
  class Active {
   public:
    explicit Active(std::atomic<uint64_t>& count) noexcept : count_(count) {
      count_.fetch_add(1, std::memory_order_seq_cst);
    }
    ~Active() { count_.fetch_sub(1, std::memory_order_seq_cst); }
    Active(const Active&) = delete;
    Active& operator=(const Active&) = delete;

   private:
    std::atomic<uint64_t>& count_;
  };

  // A failed construction (bad format, half-given render callback, missing
  // or over-long channel name, no memory for the budgeted capture ring)
  // leaves the observer closed with one fault.
  DuplexObserver(const char* channel, uint32_t uid_filter, RenderCallback render_callback,
                 void* render_context, RemoteChannelBinding binding, bool sink_capture,
                 RemoteOverflowPolicy overflow_policy, uint32_t sample_rate,
                 uint32_t channels) noexcept;
  ~DuplexObserver() override;
  DuplexObserver(const DuplexObserver&) = delete;
  DuplexObserver& operator=(const DuplexObserver&) = delete;

  // ---- SDK side (audio threads) ----
  bool onRecordAudioFrame(const char* channelId, AudioFrame& audioFrame) override;
  bool onPlaybackAudioFrame(const char* channelId, AudioFrame& audioFrame) override;
  bool onMixedAudioFrame(const char* channelId, AudioFrame& audioFrame) override;
  bool onEarMonitoringAudioFrame(AudioFrame& audioFrame) override;
  bool onPlaybackAudioFrameBeforeMixing(const char* channelId, agora::rtc::user_id_t userId,
                                        AudioFrame& audioFrame) override;
  int getObservedAudioFramePosition() override;
  AudioParams getPlaybackAudioParams() override;
  AudioParams getRecordAudioParams() override;
  AudioParams getMixedAudioParams() override;
  AudioParams getEarMonitoringAudioParams() override;
  bool onPlaybackAudioFrameBeforeMixing(const char* channelId, agora::rtc::uid_t uid,
                                        AudioFrame& audioFrame) override;

  // Capture path (the sink's frame callback or onRecordAudioFrame). Always true.
  bool capture_frame(AudioFrame& frame) noexcept;
  // Remote audio path. Always true.
  bool receive_remote(const char* channel_id, uint32_t uid, const AudioFrame& frame,
                      bool from_text) noexcept;

  // ---- Host side ----
  // Installs generation g with the two switches; refused when closed, when g
  // does not exceed the current generation or when g exceeds kMaxGeneration.
  bool authorize(uint64_t generation, bool capture, bool playback) noexcept;
  // Final: every callback drops its audio from now on, readers deliver nothing.
  void close() noexcept;
  // Counts a fault and closes.
  void fail() noexcept;
  // Notes a terminal issue on the health, then fails.
  void record_terminal(AudioIssue issue) noexcept;

  // Switches capture to a budget of ms (200 to 5000, a multiple of 10) for
  // good. Only with a budgeted capture ring, while open with capture off, no
  // callback in flight and no capture block pending.
  bool configure_capture_ms(uint32_t ms) noexcept;
  bool capture_policy_enabled() const noexcept;

  // Consumer of the capture ring (budgeted or strict): one block of the
  // current generation with capture on. On false, block may hold a
  // discarded stale block.
  bool take_capture(Block& block) noexcept;
  // Consumer of the remote ring; false also when the producer holds the
  // ring at this moment under drop_oldest (no block now). Same note on block.
  bool take_remote(Block& block) noexcept;
  // Producer of the playback ring: a stereo block of the current generation
  // while playback is on and no render callback is set; false when refused
  // or when 20 blocks are queued.
  bool submit_playback(const Block& block) noexcept;

  // Consumer side of any of this observer's rings: pops at most N blocks,
  // counting stale ones, until one of the current generation arrives while
  // the mask bit is set. Blocks left after N stale ones wait for the next call.
  template <size_t N>
  bool take_current(Ring<Block, N>& ring, Block& block, uint64_t mask) noexcept {
    for (size_t i = 0; i < N; ++i) {
      if (!ring.pop(block)) return false;
      const uint64_t word = authorization_.load(std::memory_order_acquire);
      if ((word & mask) != 0 && block.epoch == (word >> 2)) return true;
      stale_blocks_.fetch_add(1, std::memory_order_seq_cst);
    }
    return false;
  }

  uint64_t epoch() const noexcept;
  DuplexStats stats() const noexcept;
  uint64_t remote_failure_detail() const noexcept;
  uint64_t remote_dropped_blocks() const noexcept;
  RemoteCounters remote_counters() const noexcept;
  AudioHealthSnapshot audio_health() const noexcept;
  const AudioHealth& health() const noexcept { return health_; }

  void confirm_remote_connection() noexcept;
  bool same_channel(const char* text) const noexcept;

  // ---- Frame checks ----
  static bool sane(const AudioFrame& frame) noexcept;
  static bool matches(const AudioFrame& frame, int channels, int sample_rate) noexcept;
  static Block copy(const AudioFrame& frame, uint64_t epoch, uint32_t uid) noexcept;
  static void silence(AudioFrame& frame) noexcept;
  // An observer frame over a sink's PCM frame: same shape, buffer pointing
  // into its inline data (no copy), render time = its capture timestamp,
  // presentation time and RTP timestamp 0. For observers with sink capture
  // only: the others zero a capture frame once taken.
  static AudioFrame pcm_frame(const agora::media::base::AudioPcmFrame& pcm) noexcept;
  // Decimal user id text; 0 (accepted by no filter) unless it is 1 to
  // 4294967295 written without a leading zero.
  static uint32_t parse_user_id(const char* text) noexcept;
  // The remote failure detail of a frame of the wrong format.
  static uint64_t format_detail(const AudioFrame& frame) noexcept;

 private:
  friend class DuplexObserverProbe;  // tests hold the busy flags to force contention

  struct BudgetRingDelete {
    void operator()(Ring<Block, kBudgetBlocks>* ring) const noexcept;
  };

  void render(AudioFrame& frame, uint64_t word) noexcept;
  void play_from_ring(AudioFrame& frame, uint64_t word) noexcept;
  void remote_fault(uint64_t detail) noexcept;

  RenderCallback render_callback_;
  void* render_context_;
  uint32_t uid_filter_;
  RemoteChannelBinding binding_;
  bool sink_capture_;
  RemoteOverflowPolicy overflow_policy_;
  uint32_t sample_rate_;
  uint32_t channels_;
  std::atomic<bool> remote_confirmed_{false};
  char channel_[kChannelChars + 1] = {};
  std::atomic<uint64_t> authorization_{4};

  std::atomic<uint64_t> active_callbacks_{0};
  std::atomic<uint64_t> capture_callbacks_{0};
  std::atomic<uint64_t> remote_callbacks_{0};
  std::atomic<uint64_t> playback_callbacks_{0};
  std::atomic<uint64_t> captured_frames_{0};
  std::atomic<uint64_t> remote_frames_{0};
  std::atomic<uint64_t> played_frames_{0};
  std::atomic<uint64_t> faults_{0};
  std::atomic<uint64_t> stale_blocks_{0};
  std::atomic<uint64_t> remote_ignored_{0};
  std::atomic<uint64_t> remote_wrong_uid_{0};
  std::atomic<uint64_t> remote_no_channel_{0};
  std::atomic<uint64_t> remote_other_channel_{0};
  std::atomic<uint64_t> remote_failure_detail_{0};
  std::atomic<uint64_t> remote_dropped_blocks_{0};

  std::atomic_flag capture_busy_;
  std::atomic_flag remote_busy_;
  std::atomic_flag remote_pop_busy_;
  std::atomic_flag playback_busy_;

  Ring<Block, kRingBlocks> capture_ring_;
  Ring<Block, kRingBlocks> playback_ring_;
  std::unique_ptr<Ring<Block, kBudgetBlocks>, BudgetRingDelete> budget_ring_;
  std::atomic<uint32_t> capture_limit_{200};
  std::atomic<bool> capture_policy_{false};
  AudioHealth health_;
  Ring<Block, kRingBlocks> remote_ring_;
};

}  // namespace dovrin::rtc_probe
