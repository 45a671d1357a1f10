// Encoder configuration and the per-slot send path.
#include "events/event_codes.h"
#include "frame/runtime.h"
#include "peers/peer.h"

using dovrin::rtc_client::EncoderSettings;
using dovrin::rtc_desktop::detail::kPeerSlots;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Peer;
using dovrin::rtc_desktop::detail::Runtime;
using namespace dovrin::rtc_probe;

namespace {

constexpr int64_t kMaxTimestamp = 4294967295;

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
  return 0;
}

int32_t dovrin_rtc_desktop_send(DovrinRtcRuntime* handle, uint32_t slot, const int16_t* pcm,
                                uint32_t samples, uint32_t sample_rate, int64_t timestamp) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || slot >= kPeerSlots || pcm == nullptr) return -1;
  if (sample_rate != 16000 && sample_rate != 24000 && sample_rate != 48000) return -1;
  if (samples != sample_rate / 100 || timestamp < 0 || timestamp > kMaxTimestamp) return -1;
  if (!rt->ok() || !rt->peers[slot] || rt->peers[slot]->failed.load(std::memory_order_acquire)) return -2;
  Peer& peer = *rt->peers[slot];
  if (peer.connection_observer.recovering()) return 1;
  if (!peer.connection_observer.connected()) return -2;

  try {
    const int code = peer.publisher
                         ? (peer.publisher->send(peer.encoded_sender.get(), pcm, samples, sample_rate, timestamp)
                                ? 0
                                : -3)
                         : peer.pcm_sender->sendAudioPcmData(pcm, 0, timestamp, samples, 2, 1, sample_rate, 0);
    if (code == 0) return 0;
    const uint32_t action = peer.publisher ? peer.api_failed(kOpOpusSend, code, kCategoryLibrary)
                                           : peer.api_failed(kOpPcmSend, code, kCategorySdkCall);
    return action <= 1 ? 1 : -3;
  } catch (...) {
    rt->fail();
    return -3;
  }
}

}  // extern "C"
