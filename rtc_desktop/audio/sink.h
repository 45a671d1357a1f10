// The capture sink: receives the SDK's PCM capture frames, validates and
// counts them, and hands each valid frame to a frame callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "agora_media.h"

namespace dovrin::rtc_probe::service {

// Shared by the runtime (which reads rejected) and its sink. Every counter
// is written by the sink's SDK thread and read on the host's thread, all
// sequentially consistent.
struct SinkStats {
  std::atomic<uint64_t> frames{0};    // frames delivered to the sink
  std::atomic<uint64_t> samples{0};   // samples per channel summed over valid frames
  std::atomic<uint64_t> rejected{0};  // invalid frames, or frames the callback refused
  std::atomic<uint64_t> active{0};    // sink callbacks in flight
  std::atomic<int32_t> sample_rate{0};
  std::atomic<uint64_t> channels{0};
};

// Reference counted and self-destroying: created on the heap, it deletes
// itself when Release drops the last reference; nobody deletes it directly.
// onAudioFrame runs on an SDK thread, AddRef/Release on any thread; it takes
// no lock and never waits or allocates.
class Sink final : public agora::rtc::IAudioSinkBase {
 public:
  // The frame callback takes the context and a frame that passed validation;
  // false counts the frame as rejected.
  using FrameCallback = bool (*)(void* context,
                                 const agora::media::base::AudioPcmFrame& frame) noexcept;

  // callback may be null (valid frames are then taken as they are); a
  // callback with a null context rejects every frame without being called.
  Sink(std::shared_ptr<SinkStats> stats, FrameCallback callback, void* context) noexcept;
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void AddRef() const override;
  // 0 when this call dropped the last reference (the sink is gone), else 1.
  int Release() const override;
  bool HasOneRef() const override;

  bool onAudioFrame(const agora::media::base::AudioPcmFrame& audioFrame) override;

  // Whether the sink accepts a frame of this shape, before any callback.
  static bool valid(const agora::media::base::AudioPcmFrame& frame) noexcept;

 private:
  ~Sink() override;

  mutable std::atomic<uint32_t> references_{0};
  std::shared_ptr<SinkStats> stats_;
  FrameCallback callback_;
  void* context_;
};

}  // namespace dovrin::rtc_probe::service
