// Encoder configuration and the send path: one slot per call, or one block
// for many slots with a single encoding.
#include <new>

#include "events/event_codes.h"
#include "frame/runtime.h"
#include "peers/peer.h"

using dovrin::rtc_client::EncoderSettings;
using dovrin::rtc_client::OpusPublisher;
using dovrin::rtc_desktop::detail::kPeerSlots;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Peer;
using dovrin::rtc_desktop::detail::Runtime;
using dovrin::rtc_probe::ConnectionObserver;
using dovrin::rtc_probe::kCategoryLibrary;
using dovrin::rtc_probe::kCategorySdkCall;
using dovrin::rtc_probe::kOpOpusSend;
using dovrin::rtc_probe::kOpPcmSend;

namespace {

constexpr int64_t kMaxTimestamp = 4294967295;

// One 10 ms block of mono PCM as the host hands it over.
struct LocalBlock {
  const int16_t* pcm;
  uint32_t samples;
  uint32_t rate;
  int64_t timestamp;

  bool valid() const {
    return pcm != nullptr && (rate == 16000 || rate == 24000 || rate == 48000) &&
           samples == rate / 100 && timestamp >= 0 && timestamp <= kMaxTimestamp;
  }
};

// The packet of one send_many call, encoded by the runtime's shared
// publisher when the first slot needs it and handed to every later one.
class SharedPacket {
 public:
  SharedPacket(Runtime& rt, const LocalBlock& block) : rt_(rt), block_(block) {}

  bool send(agora::rtc::IAudioEncodedFrameSender* sender) {
    // A missing sender takes nothing, as a slot's own publisher refuses it
    // before it encodes.
    if (sender == nullptr) return false;
    if (length_ == kNotEncoded) length_ = encode();
    return length_ > 0 && rt_.shared_publisher->deliver(*sender, length_, block_.timestamp);
  }

 private:
  static constexpr int32_t kNotEncoded = 0;

  int32_t encode() noexcept {
    if (!rt_.shared_publisher) {
      // Made once per runtime (and again after new settings): the only
      // allocation on this path. A publisher that cannot be made is tried
      // again by the next call that needs it.
      rt_.shared_publisher.reset(new (std::nothrow) OpusPublisher());
      if (!rt_.shared_publisher || !rt_.shared_publisher->initialize(rt_.encoder_settings)) {
        rt_.shared_publisher.reset();
        return -1;
      }
    }
    return rt_.shared_publisher->encode_block(block_.pcm, block_.samples, block_.rate,
                                              block_.timestamp);
  }

  Runtime& rt_;
  const LocalBlock& block_;
  int32_t length_ = kNotEncoded;
};

// What dovrin_rtc_desktop_send answers for one slot once the arguments have
// passed. With `shared`, an Opus slot sends the call's shared packet instead
// of encoding with its own publisher; everything else is the same path, so
// both exports judge states, raise events and print lines alike.
int32_t send_block(Runtime& rt, uint32_t slot, const LocalBlock& block, SharedPacket* shared) {
  if (!rt.ok() || !rt.peers[slot] || rt.peers[slot]->failed.load(std::memory_order_acquire)) return -2;
  Peer& peer = *rt.peers[slot];
  switch (peer.connection_observer.link()) {
    case ConnectionObserver::Link::Recovering:
      return 1;
    case ConnectionObserver::Link::Down:
      return -2;
    case ConnectionObserver::Link::Up:
      break;
  }

  try {
    int code = 0;
    if (!peer.publisher) {
      code = peer.pcm_sender->sendAudioPcmData(block.pcm, 0, block.timestamp, block.samples, 2, 1,
                                               block.rate, 0);
    } else if (shared != nullptr) {
      code = shared->send(peer.encoded_sender.get()) ? 0 : -3;
    } else {
      code = peer.publisher->send(peer.encoded_sender.get(), block.pcm, block.samples, block.rate,
                                  block.timestamp)
                 ? 0
                 : -3;
    }
    if (code == 0) return 0;
    const uint32_t action = peer.publisher ? peer.api_failed(kOpOpusSend, code, kCategoryLibrary)
                                           : peer.api_failed(kOpPcmSend, code, kCategorySdkCall);
    return action <= 1 ? 1 : -3;
  } catch (...) {
    rt.fail();
    return -3;
  }
}

}  // namespace

extern "C" {

int32_t dovrin_rtc_desktop_audio_config(DovrinRtcRuntime* handle, uint32_t sample_rate, uint32_t bitrate,
                                        uint32_t channels) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || !rt->ok()) return -2;
  EncoderSettings settings;
  settings.sample_rate = sample_rate;
  settings.bitrate = bitrate;
  settings.channels = channels;
  if (!settings.valid()) return -1;
  if (rt->encoded_publishing && rt->encoder_settings == settings) return 0;
  for (const auto& peer : rt->peers) {
    if (peer) return -4;
  }
  rt->encoder_settings = settings;
  rt->encoded_publishing = true;
  // The shared encoder follows the settings; the next send_many makes it anew.
  rt->shared_publisher.reset();
  return 0;
}

int32_t dovrin_rtc_desktop_send(DovrinRtcRuntime* handle, uint32_t slot, const int16_t* pcm,
                                uint32_t samples, uint32_t sample_rate, int64_t timestamp) {
  Runtime* rt = owner(handle);
  const LocalBlock block{pcm, samples, sample_rate, timestamp};
  if (rt == nullptr || slot >= kPeerSlots || !block.valid()) return -1;
  return send_block(*rt, slot, block, nullptr);
}

int32_t dovrin_rtc_desktop_send_many(DovrinRtcRuntime* handle, const uint32_t* slots, uint32_t count,
                                     const int16_t* pcm, uint32_t samples, uint32_t sample_rate,
                                     int64_t timestamp, int32_t* results) {
  Runtime* rt = owner(handle);
  const LocalBlock block{pcm, samples, sample_rate, timestamp};
  if (rt == nullptr || slots == nullptr || results == nullptr || count == 0 || count > kPeerSlots ||
      !block.valid()) {
    return -1;
  }
  static_assert(kPeerSlots <= 64, "one bit per slot");
  uint64_t seen = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (slots[i] >= kPeerSlots || (seen & (uint64_t{1} << slots[i])) != 0) return -1;
    seen |= uint64_t{1} << slots[i];
  }
  if (!rt->ok()) return -2;

  SharedPacket shared(*rt, block);
  for (uint32_t i = 0; i < count; ++i) results[i] = send_block(*rt, slots[i], block, &shared);
  return 0;
}

}  // extern "C"
