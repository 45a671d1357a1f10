// A host application's use of libdovrin_rtc_desktop, run against the
// stand-in RTC SDK. The stand-in's control interface plays the part of the
// network and the SDK's audio threads: it delivers capture frames, connection
// notifications and remote audio, and shows what the library sent.
//
// Usage: dovrin_host_example <path of the RTC SDK library>
#include <cmath>
#include <cstdio>
#include <vector>

#include "dovrin_rtc_desktop.h"
#include "loopback_control.h"

namespace {

constexpr const char* kAppId = "0123456789abcdef0123456789abcdef";
constexpr uint32_t kSlot = 0;
constexpr uint32_t kLocalUid = 1001;
constexpr uint32_t kRemoteUid = 2002;

uint32_t policy(const DovrinRtcSdkEvent* event) {
  if (event->sequence == 0) return 0;  // yes to observations and tracked renewals
  std::printf("  policy: slot %u category %u operation %u code %d -> tolerate\n", event->slot,
              event->category, event->operation, event->raw_code);
  return 0;
}

void print_event(DovrinRtcRuntime* rtc, uint32_t slot, int32_t which, const char* name) {
  DovrinRtcSdkEvent event;
  if (dovrin_rtc_desktop_error(rtc, slot, which, &event) == 1) {
    std::printf("  %-10s seq %llu category %u operation %u code %d action %u flags %u\n", name,
                static_cast<unsigned long long>(event.sequence), event.category, event.operation,
                event.raw_code, event.action, event.context_flags);
  }
}

int16_t tone(size_t n, double hz) {
  return static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * hz * static_cast<double>(n) / 48000.0)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <rtc sdk library>\n", argv[0]);
    return 2;
  }
  // Line-buffered, so that the library's diagnostics on stderr interleave.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("interface version %d\n", dovrin_rtc_desktop_abi());

  DovrinRtcRuntime* rtc = nullptr;
  DovrinRtcCreateDiagnostics why;
  int32_t rc = dovrin_rtc_desktop_create_diagnosed(argv[1], kAppId, nullptr, nullptr, &rtc, &why);
  if (rc != 0) {
    std::printf("create failed: %d (stage %u, sdk code %d)\n", rc, why.stage, why.sdk_code);
    return 1;
  }
  dovrin_rtc_desktop_error_policy(rtc, &policy);
  dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1);  // publish Opus
  dovrin_rtc_desktop_capture_config(rtc, 500);             // tolerate short capture trouble
  dovrin_rtc_desktop_io(rtc, 1, 1);

  // Local capture: the SDK's capture track delivers 10 ms frames.
  const uint64_t capture_track = loopback::first_track(loopback::TrackSource::none);
  for (int block = 0; block < 3; ++block) {
    agora::media::base::AudioPcmFrame frame;
    frame.sample_rate_hz_ = 48000;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = 480;
    frame.capture_timestamp = 10 * block;
    for (size_t i = 0; i < 480; ++i) frame.data_[i] = tone(480 * block + i, 440.0);
    loopback::push_pcm(capture_track, frame);
  }
  std::printf("local capture:\n");
  DovrinRtcAudioBlock block;
  uint64_t gaps = 0;
  while (dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps) == 1) {
    std::printf("  block epoch %llu captured at %lld ms, %u x %u frames, gap sequence %llu\n",
                static_cast<unsigned long long>(block.epoch), static_cast<long long>(block.render_time_ms),
                block.channels, block.frames, static_cast<unsigned long long>(gaps));
  }

  // A channel: join, then the SDK reports the connection and the remote user.
  rc = dovrin_rtc_desktop_join_v2(rtc, kSlot, "example-room", "token-1", kLocalUid, kRemoteUid);
  std::printf("join slot %u: %d, status %d\n", kSlot, rc, dovrin_rtc_desktop_status(rtc, kSlot));
  const uint64_t connection = loopback::objects(loopback::Kind::connection).back().id;
  const uint64_t local_user = loopback::connection_state(connection)->local_user;
  loopback::Notification connected;
  connected.notice = loopback::Notice::connected;
  connected.info.channel_id = "example-room";
  connected.info.local_user_id = "1001";
  loopback::notify(connection, connected);
  loopback::Notification joined;
  joined.notice = loopback::Notice::user_joined;
  joined.text = "2002";
  loopback::notify(connection, joined);
  dovrin_rtc_desktop_tick(rtc);
  std::printf("after the first tick: status %d\n", dovrin_rtc_desktop_status(rtc, kSlot));

  // Remote audio before mixing, as the SDK's audio thread delivers it.
  std::vector<int16_t> remote(480);
  for (int b = 0; b < 2; ++b) {
    for (size_t i = 0; i < remote.size(); ++i) remote[i] = tone(480 * b + i, 880.0);
    loopback::FrameFormat format;
    format.channels = 1;
    format.rtp_timestamp = static_cast<uint32_t>(480 * b);
    loopback::deliver_before_mixing_text(local_user, nullptr, "2002", format, remote);
  }
  std::printf("remote audio of user %u:\n", kRemoteUid);
  while (dovrin_rtc_desktop_poll(rtc, kSlot + 1, &block) == 1) {
    std::printf("  block epoch %llu rtp %u, first samples %d %d %d\n",
                static_cast<unsigned long long>(block.epoch), block.rtp_timestamp, block.samples[0],
                block.samples[1], block.samples[2]);
  }

  // Publishing: 10 ms mono blocks, encoded as Opus by the library.
  for (int b = 0; b < 3; ++b) {
    std::vector<int16_t> pcm(480);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = tone(480 * b + i, 440.0);
    dovrin_rtc_desktop_send(rtc, kSlot, pcm.data(), 480, 48000, 10 * b);
  }
  std::printf("the SDK received:\n");
  for (const auto& sent : loopback::journal("encoded_sender.send")) {
    std::printf("  Opus packet of %lld bytes, %lld Hz, %lld samples, %lld channel, captured at %lld ms\n",
                static_cast<long long>(sent.num("payload_size")), static_cast<long long>(sent.num("sample_rate")),
                static_cast<long long>(sent.num("samples_per_channel")),
                static_cast<long long>(sent.num("channels")), static_cast<long long>(sent.num("capture_time_ms")));
  }

  // Playback: the host submits stereo blocks; the SDK pulls them.
  std::vector<int16_t> out(960, 123);
  dovrin_rtc_desktop_play(rtc, out.data(), 480);
  std::vector<int16_t> played(960, 0);
  const uint64_t runtime_user = loopback::connection_state(loopback::first(loopback::Kind::connection))->local_user;
  loopback::pull_playback(runtime_user, loopback::FrameFormat{}, played);
  std::printf("played back: first samples %d %d\n", played[0], played[1]);

  // The connection drops and comes back within the recovery window.
  loopback::Notification lost;
  lost.notice = loopback::Notice::connection_lost;
  loopback::notify(connection, lost);
  std::printf("connection lost: status %d\n", dovrin_rtc_desktop_status(rtc, kSlot));
  connected.notice = loopback::Notice::reconnected;
  loopback::notify(connection, connected);
  dovrin_rtc_desktop_tick(rtc);
  std::printf("reconnected: status %d\n", dovrin_rtc_desktop_status(rtc, kSlot));

  std::printf("events of slot %u:\n", kSlot);
  print_event(rtc, kSlot, 0, "latest");
  print_event(rtc, kSlot, 3, "connection");
  print_event(rtc, kSlot, 1, "failure");

  dovrin_rtc_desktop_leave(rtc, kSlot);
  dovrin_rtc_desktop_destroy(rtc);
  std::printf("destroyed; SDK objects still alive: %zu\n", loopback::live_total());
  return 0;
}
