#include "audio/sink.h"

#include <utility>

namespace dovrin::rtc_probe::service {
namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 192000;

}  // namespace

Sink::Sink(std::shared_ptr<SinkStats> stats, FrameCallback callback, void* context) noexcept
    : stats_(std::move(stats)), callback_(callback), context_(context) {}

Sink::~Sink() = default;

void Sink::AddRef() const {
  // A new reference is always taken from an existing one, which already
  // keeps the sink alive: no ordering needed.
  references_.fetch_add(1, std::memory_order_relaxed);
}

int Sink::Release() const {
  // acq_rel: the releasing thread publishes its uses of the sink, and the
  // thread that drops the last reference sees all of them before deleting.
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete this;
    return 0;
  }
  return 1;
}

bool Sink::HasOneRef() const { return references_.load(std::memory_order_acquire) == 1; }

bool Sink::valid(const agora::media::base::AudioPcmFrame& frame) noexcept {
  using Frame = agora::media::base::AudioPcmFrame;
  const size_t channels = frame.num_channels_;
  if (channels != 1 && channels != 2) return false;
  // The frame's inline storage bounds what a reader may touch.
  return frame.samples_per_channel_ >= 1 &&
         frame.samples_per_channel_ <= Frame::kMaxDataSizeSamples / channels &&
         frame.sample_rate_hz_ >= kMinRate && frame.sample_rate_hz_ <= kMaxRate &&
         frame.bytes_per_sample == 2;
}

bool Sink::onAudioFrame(const agora::media::base::AudioPcmFrame& audioFrame) {
  constexpr auto order = std::memory_order_seq_cst;
  SinkStats& stats = *stats_;
  stats.active.fetch_add(1, order);
  stats.frames.fetch_add(1, order);
  bool accepted = valid(audioFrame);
  if (accepted) {
    stats.samples.fetch_add(audioFrame.samples_per_channel_, order);
    stats.sample_rate.store(audioFrame.sample_rate_hz_, order);
    stats.channels.store(audioFrame.num_channels_, order);
    if (callback_ != nullptr) accepted = context_ != nullptr && callback_(context_, audioFrame);
  }
  if (!accepted) stats.rejected.fetch_add(1, order);
  stats.active.fetch_sub(1, order);
  return accepted;
}

}  // namespace dovrin::rtc_probe::service
