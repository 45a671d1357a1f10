#include "audio/duplex_observer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace dovrin::rtc_probe {
namespace {

using Frame = DuplexObserver::AudioFrame;

constexpr int kPcm16 = agora::media::IAudioFrameObserverBase::FRAME_TYPE_PCM16;
constexpr int kRate = static_cast<int>(kBlockSampleRate);
constexpr int kFrames = static_cast<int>(kBlockFrames);
constexpr int kMaxFrameSamplesPerChannel = 4800;
constexpr uint64_t kFramesPerBlock = kBlockFrames;

constexpr uint64_t generation_of(uint64_t word) noexcept { return word >> 2; }

bool supported_rate(uint32_t rate) noexcept {
  return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

// Shape checks shared by sane() and silence(): what must hold before the
// buffer may be read or written as channels * samplesPerChannel samples.
bool writable(const Frame& frame) noexcept {
  return frame.buffer != nullptr && frame.type == kPcm16 && frame.bytesPerSample == 2 &&
         (frame.channels == 1 || frame.channels == 2) && frame.samplesPerChannel >= 1 &&
         frame.samplesPerChannel <= kMaxFrameSamplesPerChannel;
}

}  // namespace

void DuplexObserver::BudgetRingDelete::operator()(Ring<Block, kBudgetBlocks>* ring) const noexcept {
  ring->~Ring();
  ::operator delete(ring, std::align_val_t{kCacheLine});
}

DuplexObserver::DuplexObserver(const char* channel, uint32_t uid_filter,
                               RenderCallback render_callback, void* render_context,
                               RemoteChannelBinding binding, bool sink_capture,
                               RemoteOverflowPolicy overflow_policy, uint32_t sample_rate,
                               uint32_t channels) noexcept
    : render_callback_(render_callback),
      render_context_(render_context),
      uid_filter_(uid_filter),
      binding_(binding),
      sink_capture_(sink_capture),
      overflow_policy_(overflow_policy),
      sample_rate_(sample_rate),
      channels_(channels) {
  if (sink_capture_) {
    using BudgetRing = Ring<Block, kBudgetBlocks>;
    void* memory = ::operator new(sizeof(BudgetRing), std::align_val_t{kCacheLine}, std::nothrow);
    if (memory == nullptr) {
      fail();
      return;
    }
    std::memset(memory, 0, sizeof(BudgetRing));
    budget_ring_.reset(new (memory) BudgetRing());
  }
  const size_t length = channel != nullptr ? strnlen(channel, kChannelChars + 1) : 0;
  const bool valid = supported_rate(sample_rate) && (channels == 1 || channels == 2) &&
                     (render_callback == nullptr || render_context != nullptr) &&
                     channel != nullptr && length <= kChannelChars;
  if (!valid) {
    fail();
    return;
  }
  std::memcpy(channel_, channel, length);
  channel_[length] = '\0';
}

DuplexObserver::~DuplexObserver() = default;

// ---- Frame checks ----

bool DuplexObserver::sane(const AudioFrame& frame) noexcept {
  return writable(frame) && frame.samplesPerSec >= 8000 && frame.samplesPerSec <= 192000;
}

bool DuplexObserver::matches(const AudioFrame& frame, int channels, int sample_rate) noexcept {
  return frame.type == kPcm16 && frame.bytesPerSample == 2 && frame.samplesPerSec == sample_rate &&
         frame.channels == channels && frame.samplesPerChannel == sample_rate / 100 &&
         frame.buffer != nullptr;
}

void DuplexObserver::silence(AudioFrame& frame) noexcept {
  if (!writable(frame)) return;
  std::memset(frame.buffer, 0,
              static_cast<size_t>(frame.samplesPerChannel) * static_cast<size_t>(frame.channels) *
                  sizeof(int16_t));
}

DuplexObserver::AudioFrame DuplexObserver::pcm_frame(
    const agora::media::base::AudioPcmFrame& pcm) noexcept {
  AudioFrame frame;
  frame.type = kPcm16;
  frame.samplesPerChannel = static_cast<int>(pcm.samples_per_channel_);
  frame.bytesPerSample = pcm.bytes_per_sample;
  frame.channels = static_cast<int>(pcm.num_channels_);
  frame.samplesPerSec = pcm.sample_rate_hz_;
  // An observer with sink capture never writes a capture frame, so the const
  // data may stand behind the frame's mutable buffer pointer.
  frame.buffer = const_cast<int16_t*>(pcm.data_);
  frame.renderTimeMs = pcm.capture_timestamp;
  return frame;
}

Block DuplexObserver::copy(const AudioFrame& frame, uint64_t epoch, uint32_t uid) noexcept {
  Block block;
  block.epoch = epoch;
  block.uid = uid;
  block.rtp_timestamp = frame.rtpTimestamp;
  block.presentation_ms = frame.presentationMs;
  block.render_time_ms = frame.renderTimeMs;
  block.channels = static_cast<uint32_t>(frame.channels);
  // Callers pass matched frames only; the clamp keeps a mistaken caller from
  // overrunning the block or reading through a null buffer.
  if (frame.buffer != nullptr && frame.samplesPerChannel > 0 && frame.channels > 0) {
    const size_t count = std::min(
        static_cast<size_t>(frame.samplesPerChannel) * static_cast<size_t>(frame.channels),
        kBlockSamples);
    std::memcpy(block.samples, frame.buffer, count * sizeof(int16_t));
  }
  return block;
}

uint64_t DuplexObserver::format_detail(const AudioFrame& frame) noexcept {
  // Each field is cut to its width so that a hostile value (negative, huge)
  // cannot spill into its neighbours or the tag in bits 56 and up.
  const uint64_t rate = static_cast<uint32_t>(frame.samplesPerSec);
  const uint64_t channels = static_cast<uint32_t>(frame.channels) & 0xFFu;
  const uint64_t samples = static_cast<uint32_t>(frame.samplesPerChannel) & 0xFFFFu;
  return (uint64_t{2} << 56) | (rate << 24) | (channels << 16) | samples;
}

uint32_t DuplexObserver::parse_user_id(const char* text) noexcept {
  if (text == nullptr || text[0] < '1' || text[0] > '9') return 0;
  uint64_t value = 0;
  size_t i = 0;
  for (; i < 10 && text[i] != '\0'; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  // text[10] is read only when the first ten characters were all digits.
  if (i == 10 && text[10] != '\0') return 0;
  if (value > UINT32_MAX) return 0;
  return static_cast<uint32_t>(value);
}

bool DuplexObserver::same_channel(const char* text) const noexcept {
  if (text == nullptr) return false;
  // Stops at the first difference, so text is never read past channel_'s NUL.
  for (size_t i = 0; i <= kChannelChars; ++i) {
    if (text[i] != channel_[i]) return false;
    if (text[i] == '\0') return true;
  }
  return false;
}

// ---- Authorisation and faults ----

bool DuplexObserver::authorize(uint64_t generation, bool capture, bool playback) noexcept {
  uint64_t current = authorization_.load(std::memory_order_acquire);
  if (current == 0 || generation <= generation_of(current) || generation > kMaxGeneration) {
    return false;
  }
  const uint64_t word =
      (generation << 2) | (capture ? kCaptureBit : 0) | (playback ? kPlaybackBit : 0);
  // A close() racing this call wins: the exchange then fails against 0.
  return authorization_.compare_exchange_strong(current, word, std::memory_order_acq_rel,
                                                std::memory_order_acquire);
}

void DuplexObserver::close() noexcept { authorization_.store(0, std::memory_order_release); }

void DuplexObserver::fail() noexcept {
  faults_.fetch_add(1, std::memory_order_relaxed);
  close();
}

void DuplexObserver::record_terminal(AudioIssue issue) noexcept {
  health_.terminal(issue);
  fail();
}

void DuplexObserver::remote_fault(uint64_t detail) noexcept {
  remote_failure_detail_.store(detail, std::memory_order_seq_cst);
  fail();
}

// ---- Capture ----

bool DuplexObserver::configure_capture_ms(uint32_t ms) noexcept {
  if (!budget_ring_) return false;
  if (ms < kMinBudgetMs || ms > kMaxBudgetMs || ms % kBlockMs != 0) return false;
  const uint64_t word = authorization_.load(std::memory_order_seq_cst);
  if (word == 0 || (word & kCaptureBit) != 0) return false;
  // The capture path reads the mode once per callback; changing it under a
  // running callback would let one frame be judged by the wrong rules.
  if (active_callbacks_.load(std::memory_order_seq_cst) != 0) return false;
  if (budget_ring_->size() != 0 || capture_ring_.size() != 0) return false;
  capture_limit_.store(ms / kBlockMs, std::memory_order_seq_cst);
  capture_policy_.store(true, std::memory_order_seq_cst);
  return true;
}

bool DuplexObserver::capture_policy_enabled() const noexcept {
  return capture_policy_.load(std::memory_order_seq_cst);
}

bool DuplexObserver::onRecordAudioFrame(const char*, AudioFrame& audioFrame) {
  if (sink_capture_) return true;
  return capture_frame(audioFrame);
}

bool DuplexObserver::capture_frame(AudioFrame& frame) noexcept {
  Active active(active_callbacks_);
  capture_callbacks_.fetch_add(1, std::memory_order_relaxed);
  Busy busy(capture_busy_);

  if (capture_policy_.load(std::memory_order_seq_cst)) {
    const uint64_t word = authorization_.load(std::memory_order_acquire);
    if ((word & kCaptureBit) == 0) return true;
    if (!sane(frame)) {
      record_terminal(AudioIssue::invalid_frame);
      return true;
    }
    const bool matched = matches(frame, 1, kRate);
    if (busy.acquired() && matched) {
      Block block = copy(frame, generation_of(word), 0);
      block.gap_sequence = health_.gap_sequence();
      if (budget_ring_->push(block, capture_limit_.load(std::memory_order_seq_cst))) {
        health_.depth(budget_ring_->size());
        health_.healthy(true);
        captured_frames_.fetch_add(kFramesPerBlock, std::memory_order_relaxed);
      } else {
        health_.gap(kFramesPerBlock);
        if (!health_.degrade(AudioIssue::capture_overflow, true, audio_monotonic_ms())) fail();
      }
      return true;
    }
    // The last-format fields describe frames that did not match; a matching
    // frame that only met contention must not overwrite them.
    if (!matched) {
      health_.format(static_cast<uint64_t>(frame.samplesPerSec),
                     static_cast<uint64_t>(frame.channels),
                     static_cast<uint64_t>(frame.samplesPerChannel));
    }
    health_.gap(0);
    const AudioIssue issue =
        busy.acquired() ? AudioIssue::capture_format : AudioIssue::capture_contention;
    if (!health_.degrade(issue, true, audio_monotonic_ms())) fail();
    return true;
  }

  // Strict capture: every anomaly is a fault at once.
  if (busy.acquired() && matches(frame, 1, kRate)) {
    const uint64_t word = authorization_.load(std::memory_order_acquire);
    if ((word & kCaptureBit) != 0) {
      if (capture_ring_.push(copy(frame, generation_of(word), 0), kRingBlocks)) {
        captured_frames_.fetch_add(kFramesPerBlock, std::memory_order_relaxed);
      } else {
        fail();
      }
    }
    // A recording frame passes on as silence once its audio has been taken.
    if (!sink_capture_) silence(frame);
    return true;
  }
  if (!sink_capture_) silence(frame);
  fail();
  return true;
}

bool DuplexObserver::take_capture(Block& block) noexcept {
  if (capture_policy_.load(std::memory_order_seq_cst)) {
    return take_current(*budget_ring_, block, kCaptureBit);
  }
  return take_current(capture_ring_, block, kCaptureBit);
}

// ---- Playback ----

bool DuplexObserver::onPlaybackAudioFrame(const char*, AudioFrame& audioFrame) {
  Active active(active_callbacks_);
  playback_callbacks_.fetch_add(1, std::memory_order_relaxed);
  Busy busy(playback_busy_);

  if (capture_policy_.load(std::memory_order_seq_cst)) {
    if (!sane(audioFrame)) {
      record_terminal(AudioIssue::invalid_frame);
      return true;
    }
    if (!busy.acquired()) {
      health_.degrade(AudioIssue::playback_contention, false, audio_monotonic_ms());
      record_terminal(AudioIssue::playback_contention);
      return true;
    }
    silence(audioFrame);
    if ((authorization_.load(std::memory_order_acquire) & kPlaybackBit) == 0) return true;
    if (!matches(audioFrame, 2, kRate)) {
      health_.format(static_cast<uint64_t>(audioFrame.samplesPerSec),
                     static_cast<uint64_t>(audioFrame.channels),
                     static_cast<uint64_t>(audioFrame.samplesPerChannel));
      if (!health_.degrade(AudioIssue::playback_format, false, audio_monotonic_ms())) fail();
      return true;
    }
    health_.healthy(false);
  } else {
    silence(audioFrame);
    if (!busy.acquired() || !matches(audioFrame, 2, kRate)) {
      fail();
      return true;
    }
  }

  // From here the frame is known to hold 480 stereo frames.
  const uint64_t word = authorization_.load(std::memory_order_acquire);
  if ((word & kPlaybackBit) == 0) return true;
  if (render_callback_ != nullptr) {
    render(audioFrame, word);
  } else {
    play_from_ring(audioFrame, word);
  }
  return true;
}

void DuplexObserver::render(AudioFrame& frame, uint64_t word) noexcept {
  auto* samples = static_cast<int16_t*>(frame.buffer);
  const int written = render_callback_(render_context_, samples, kBlockFrames);
  if (written < 0 || written > kFrames) {
    silence(frame);
    health_.degrade(AudioIssue::render_count, false, audio_monotonic_ms());
    record_terminal(AudioIssue::render_count);
    return;
  }
  // A switching during the call makes whatever was rendered belong to the
  // old generation.
  if (authorization_.load(std::memory_order_acquire) != word) {
    silence(frame);
    return;
  }
  // The count is the callback's promise: anything it left beyond that point
  // must not be played.
  const size_t kept = static_cast<size_t>(written) * kBlockMaxChannels;
  std::memset(samples + kept, 0, (kBlockSamples - kept) * sizeof(int16_t));
  played_frames_.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
}

void DuplexObserver::play_from_ring(AudioFrame& frame, uint64_t word) noexcept {
  Block block;
  for (size_t i = 0; i < kRingBlocks; ++i) {
    if (!playback_ring_.pop(block)) return;
    if (block.epoch != generation_of(word)) {
      stale_blocks_.fetch_add(1, std::memory_order_seq_cst);
      continue;
    }
    std::memcpy(frame.buffer, block.samples, kBlockSamples * sizeof(int16_t));
    if (authorization_.load(std::memory_order_acquire) != word) {
      silence(frame);
    } else {
      played_frames_.fetch_add(kFramesPerBlock, std::memory_order_relaxed);
    }
    return;
  }
}

bool DuplexObserver::submit_playback(const Block& block) noexcept {
  if (render_callback_ != nullptr) return false;
  const uint64_t word = authorization_.load(std::memory_order_acquire);
  if ((word & kPlaybackBit) == 0 || block.epoch != generation_of(word) ||
      block.channels != kBlockMaxChannels) {
    return false;
  }
  return playback_ring_.push(block, kRingBlocks);
}

bool DuplexObserver::onMixedAudioFrame(const char*, AudioFrame&) { return true; }

bool DuplexObserver::onEarMonitoringAudioFrame(AudioFrame& audioFrame) {
  silence(audioFrame);
  return true;
}

// ---- Remote audio ----

bool DuplexObserver::onPlaybackAudioFrameBeforeMixing(const char* channelId,
                                                      agora::rtc::user_id_t userId,
                                                      AudioFrame& audioFrame) {
  return receive_remote(channelId, parse_user_id(userId), audioFrame, true);
}

bool DuplexObserver::onPlaybackAudioFrameBeforeMixing(const char* channelId, agora::rtc::uid_t uid,
                                                      AudioFrame& audioFrame) {
  return receive_remote(channelId, uid, audioFrame, false);
}

bool DuplexObserver::receive_remote(const char* channel_id, uint32_t uid, const AudioFrame& frame,
                                    bool from_text) noexcept {
  constexpr auto order = std::memory_order_seq_cst;
  remote_callbacks_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t word = authorization_.load(std::memory_order_acquire);
  if ((word & kPlaybackBit) == 0 ||
      (binding_ == RemoteChannelBinding::by_connection && !remote_confirmed_.load(order))) {
    remote_ignored_.fetch_add(1, order);
    return true;
  }
  if (uid_filter_ == 0 || uid != uid_filter_) {
    remote_wrong_uid_.fetch_add(1, order);
    return true;
  }
  const bool own_connection =
      from_text && channel_id == nullptr && binding_ == RemoteChannelBinding::by_connection;
  if (!own_connection && !same_channel(channel_id)) {
    if (channel_id == nullptr || channel_id[0] == '\0') {
      remote_no_channel_.fetch_add(1, order);
    } else {
      remote_other_channel_.fetch_add(1, order);
    }
    return true;
  }
  if (!matches(frame, static_cast<int>(channels_), static_cast<int>(sample_rate_))) {
    remote_fault(format_detail(frame));
    return true;
  }

  const bool drop = overflow_policy_ == RemoteOverflowPolicy::drop_oldest;
  Busy busy(remote_busy_);
  if (!busy.acquired()) {
    if (drop) {
      remote_dropped_blocks_.fetch_add(1, order);
    } else {
      remote_fault(kDetailRemoteBusy);
    }
    return true;
  }
  const Block block = copy(frame, generation_of(word), uid);
  if (!remote_ring_.push(block, kRingBlocks)) {
    if (!drop) {
      remote_fault(kDetailRemoteOverflow);
      return true;
    }
    // Popping makes this thread a second consumer of the ring, so only here
    // does it exclude take_remote. A host taking a block at this instant is
    // draining a full ring: the newest block goes instead of the oldest.
    Busy popping(remote_pop_busy_);
    if (!popping.acquired()) {
      remote_dropped_blocks_.fetch_add(1, order);
      return true;
    }
    // The host may have taken blocks between the failed push and the flag,
    // up to the whole ring: push again first. Once that fails with the flag
    // held, the ring is full and stays so until this thread pops.
    if (!remote_ring_.push(block, kRingBlocks)) {
      Block oldest;
      if (!remote_ring_.pop(oldest) || !remote_ring_.push(block, kRingBlocks)) {
        remote_fault(kDetailRemoteOverflow);
        return true;
      }
      remote_dropped_blocks_.fetch_add(1, order);
    }
  }
  remote_frames_.fetch_add(sample_rate_ / 100, std::memory_order_relaxed);
  return true;
}

bool DuplexObserver::take_remote(Block& block) noexcept {
  if (overflow_policy_ == RemoteOverflowPolicy::fail) {
    return take_current(remote_ring_, block, kPlaybackBit);
  }
  // Excludes only the producer's pop of a full ring; an ordinary push goes
  // on meanwhile, so polling never costs a block that arrives at that moment.
  Busy busy(remote_pop_busy_);
  if (!busy.acquired()) return false;
  return take_current(remote_ring_, block, kPlaybackBit);
}

void DuplexObserver::confirm_remote_connection() noexcept {
  remote_confirmed_.store(true, std::memory_order_seq_cst);
}

// ---- Parameters ----

int DuplexObserver::getObservedAudioFramePosition() {
  int position = AUDIO_FRAME_POSITION_PLAYBACK | AUDIO_FRAME_POSITION_BEFORE_MIXING;
  if (!sink_capture_) position |= AUDIO_FRAME_POSITION_RECORD;
  return position;
}

DuplexObserver::AudioParams DuplexObserver::getPlaybackAudioParams() {
  return AudioParams{kRate, 2, 2, kFrames * 2};
}

DuplexObserver::AudioParams DuplexObserver::getRecordAudioParams() {
  return AudioParams{kRate, 1, 2, kFrames};
}

DuplexObserver::AudioParams DuplexObserver::getMixedAudioParams() { return AudioParams{}; }

DuplexObserver::AudioParams DuplexObserver::getEarMonitoringAudioParams() { return AudioParams{}; }

// ---- Readers ----

uint64_t DuplexObserver::epoch() const noexcept {
  return generation_of(authorization_.load(std::memory_order_acquire));
}

DuplexStats DuplexObserver::stats() const noexcept {
  constexpr auto order = std::memory_order_seq_cst;
  return DuplexStats{
      capture_callbacks_.load(order), remote_callbacks_.load(order),
      playback_callbacks_.load(order), captured_frames_.load(order),
      remote_frames_.load(order),     played_frames_.load(order),
      faults_.load(order),            stale_blocks_.load(order),
      active_callbacks_.load(order),
  };
}

uint64_t DuplexObserver::remote_failure_detail() const noexcept {
  return remote_failure_detail_.load(std::memory_order_seq_cst);
}

uint64_t DuplexObserver::remote_dropped_blocks() const noexcept {
  return remote_dropped_blocks_.load(std::memory_order_seq_cst);
}

RemoteCounters DuplexObserver::remote_counters() const noexcept {
  constexpr auto order = std::memory_order_seq_cst;
  return RemoteCounters{remote_ignored_.load(order), remote_wrong_uid_.load(order),
                        remote_no_channel_.load(order), remote_other_channel_.load(order)};
}

AudioHealthSnapshot DuplexObserver::audio_health() const noexcept {
  const uint64_t budget_ms = capture_policy_.load(std::memory_order_seq_cst)
                                 ? uint64_t{capture_limit_.load(std::memory_order_seq_cst)} * kBlockMs
                                 : uint64_t{kMinBudgetMs};
  return health_.snapshot(budget_ms);
}

}  // namespace dovrin::rtc_probe
