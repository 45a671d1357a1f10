// Audio block exports: capture budget, polling, playback and the health record.
#include <cstdio>
#include <cstring>

#include "frame/runtime.h"
#include "peers/peer.h"

using dovrin::rtc_desktop::detail::kPeerSlots;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Peer;
using dovrin::rtc_desktop::detail::Runtime;
using dovrin::rtc_probe::Block;

namespace {

// The peer's side of a poll: a failed peer answers -3 on every poll and
// prints its fault line once (shared with the tick's).
int32_t take_remote(Peer& peer, Block& block) {
  if (peer.failed_slot()) {
    if (!peer.fault_reported.exchange(true, std::memory_order_acq_rel)) {
      std::fprintf(stderr,
                   "DOVRIN_RTC_NATIVE_POLL_FAULT local=%d event=%llu code=%d faults=%llu remote_detail=%llu\n",
                   peer.failed.load(std::memory_order_acquire) ? 1 : 0,
                   static_cast<unsigned long long>(peer.connection_observer.failure_event()),
                   peer.connection_observer.failure_code(),
                   static_cast<unsigned long long>(peer.audio().stats().faults),
                   static_cast<unsigned long long>(peer.audio().remote_failure_detail()));
    }
    return -3;
  }
  return peer.audio().take_remote(block) ? 1 : 0;
}

void fill(DovrinRtcAudioBlock& out, const Block& block) {
  std::memset(&out, 0, sizeof out);
  out.epoch = block.epoch;
  out.presentation_ms = block.presentation_ms;
  out.render_time_ms = block.render_time_ms;
  out.rtp_timestamp = block.rtp_timestamp;
  out.sample_rate = dovrin::rtc_probe::kBlockSampleRate;
  out.channels = block.channels;
  out.frames = dovrin::rtc_probe::kBlockFrames;
  std::memcpy(out.samples, block.samples, sizeof(int16_t) * block.channels * dovrin::rtc_probe::kBlockFrames);
}

}  // namespace

extern "C" {

int32_t dovrin_rtc_desktop_capture_config(DovrinRtcRuntime* handle, uint32_t capture_ms) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || !rt->ok()) return -2;
  if (capture_ms < 200 || capture_ms > 5000 || capture_ms % 10 != 0) return -1;
  if (rt->capture_on) return -4;
  return rt->observer.configure_capture_ms(capture_ms) ? 0 : -4;
}

int32_t dovrin_rtc_desktop_capture_poll(DovrinRtcRuntime* handle, DovrinRtcAudioBlock* out_block,
                                        uint64_t* out_gap_sequence) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || out_block == nullptr || out_gap_sequence == nullptr) return -1;
  if (!rt->ok()) return -2;
  Block block;
  if (!rt->observer.take_capture(block)) return 0;
  *out_gap_sequence = block.gap_sequence;
  fill(*out_block, block);
  return 1;
}

int32_t dovrin_rtc_desktop_poll(DovrinRtcRuntime* handle, uint32_t slot, DovrinRtcAudioBlock* out_block) {
  Runtime* rt = owner(handle);
  // Slot 0 is local capture, so peer slot n polls as n + 1.
  if (rt == nullptr || out_block == nullptr || slot > kPeerSlots) return -1;
  if (!rt->ok()) return -2;
  Block block;
  if (slot == 0) {
    if (!rt->observer.take_capture(block)) return 0;
  } else {
    Peer* peer = rt->peers[slot - 1].get();
    if (peer == nullptr) return 0;
    const int32_t taken = take_remote(*peer, block);
    if (taken != 1) return taken;
  }
  fill(*out_block, block);
  return 1;
}

int32_t dovrin_rtc_desktop_play(DovrinRtcRuntime* handle, const int16_t* samples, int32_t frames) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || samples == nullptr || frames != static_cast<int32_t>(dovrin::rtc_probe::kBlockFrames)) return -1;
  if (!rt->ok() || !rt->playback_on) return -2;
  Block block;
  block.epoch = rt->observer.epoch();
  block.channels = 2;
  std::memcpy(block.samples, samples, sizeof block.samples);
  return rt->observer.submit_playback(block) ? 0 : -4;
}

int32_t dovrin_rtc_desktop_audio_health_size(void) {
  return static_cast<int32_t>(sizeof(DovrinRtcAudioHealthSnapshot));
}

int32_t dovrin_rtc_desktop_audio_health(DovrinRtcRuntime* handle, DovrinRtcAudioHealthSnapshot* out_health) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || out_health == nullptr) return -1;
  *out_health = rt->observer.audio_health();
  return 0;
}

}  // extern "C"
