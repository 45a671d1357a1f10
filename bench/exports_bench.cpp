// Cost per 10 ms block of the library's audio paths as the host and the SDK
// drive them: the SDK's callback into the library plus the host's export on
// the other side of the ring, and one tick over every peer slot. The SDK's
// callbacks are made straight on the library's objects, so the stand-in's
// own bookkeeping stays out of the figures.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dovrin_rtc_desktop.h"
#include "loopback_control.h"

namespace {

constexpr const char* kAppId = "0123456789abcdef0123456789abcdef";

DovrinRtcRuntime* create_runtime() {
  loopback::reset();
  loopback::set_journaling(false);
  DovrinRtcRuntime* rtc = nullptr;
  if (dovrin_rtc_desktop_create(LOOPBACK_SDK_PATH, kAppId, nullptr, nullptr, &rtc) != 0) {
    std::fprintf(stderr, "creation over the stand-in failed\n");
    std::abort();
  }
  return rtc;
}

agora::rtc::IAudioSinkBase* capture_sink() {
  return loopback::track_state(loopback::first_track(loopback::TrackSource::none))->sinks.at(0).sink;
}

agora::media::IAudioFrameObserverBase* runtime_observer() {
  return loopback::frame_observers_ever().front().observer;
}

uint32_t tolerate(const DovrinRtcSdkEvent*) { return 0; }

// A 10 ms 48 kHz frame over the caller's samples, as the SDK hands it over.
agora::media::IAudioFrameObserverBase::AudioFrame frame_over(int16_t* samples, int channels) {
  agora::media::IAudioFrameObserverBase::AudioFrame frame;
  frame.samplesPerChannel = 480;
  frame.bytesPerSample = 2;
  frame.channels = channels;
  frame.samplesPerSec = 48000;
  frame.buffer = samples;
  return frame;
}

// Joins `slot`, connects it and lets its remote user arrive.
void establish(DovrinRtcRuntime* rtc, uint32_t slot) {
  const std::string channel = "room-" + std::to_string(slot);
  dovrin_rtc_desktop_join_v2(rtc, slot, channel.c_str(), "token", 1000 + slot, 7);
  const uint64_t connection = loopback::objects(loopback::Kind::connection).back().id;
  loopback::Notification connected;
  connected.notice = loopback::Notice::connected;
  connected.info.channel_id = channel;
  connected.info.local_user_id = std::to_string(1000 + slot);
  loopback::notify(connection, connected);
  loopback::Notification joined;
  joined.notice = loopback::Notice::user_joined;
  joined.text = "7";
  loopback::notify(connection, joined);
}

void CaptureCallbackAndPoll(benchmark::State& state) {
  DovrinRtcRuntime* rtc = create_runtime();
  dovrin_rtc_desktop_io(rtc, 1, 0);
  agora::rtc::IAudioSinkBase* sink = capture_sink();
  agora::media::base::AudioPcmFrame frame;
  frame.sample_rate_hz_ = 48000;
  frame.num_channels_ = 1;
  frame.samples_per_channel_ = 480;
  DovrinRtcAudioBlock block;
  uint64_t gaps = 0;
  for (auto _ : state) {
    sink->onAudioFrame(frame);
    benchmark::DoNotOptimize(dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps));
    benchmark::ClobberMemory();
  }
  dovrin_rtc_desktop_destroy(rtc);
}

void RemoteFrameAndPoll(benchmark::State& state) {
  DovrinRtcRuntime* rtc = create_runtime();
  dovrin_rtc_desktop_error_policy(rtc, &tolerate);
  establish(rtc, 0);
  auto* observer = loopback::frame_observers_ever().back().observer;
  std::array<int16_t, 480> samples{};
  auto frame = frame_over(samples.data(), 1);
  DovrinRtcAudioBlock block;
  for (auto _ : state) {
    observer->onPlaybackAudioFrameBeforeMixing(nullptr, "7", frame);
    benchmark::DoNotOptimize(dovrin_rtc_desktop_poll(rtc, 1, &block));
    benchmark::ClobberMemory();
  }
  dovrin_rtc_desktop_leave(rtc, 0);
  dovrin_rtc_desktop_destroy(rtc);
}

void PlayAndPlaybackCallback(benchmark::State& state) {
  DovrinRtcRuntime* rtc = create_runtime();
  dovrin_rtc_desktop_io(rtc, 0, 1);
  auto* observer = runtime_observer();
  std::array<int16_t, 960> in{};
  std::array<int16_t, 960> out{};
  auto frame = frame_over(out.data(), 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(dovrin_rtc_desktop_play(rtc, in.data(), 480));
    observer->onPlaybackAudioFrame("", frame);
    benchmark::ClobberMemory();
  }
  dovrin_rtc_desktop_destroy(rtc);
}

void TickOverAllSlots(benchmark::State& state) {
  DovrinRtcRuntime* rtc = create_runtime();
  dovrin_rtc_desktop_error_policy(rtc, &tolerate);
  for (uint32_t slot = 0; slot < DOVRIN_RTC_PEER_SLOTS; ++slot) establish(rtc, slot);
  dovrin_rtc_desktop_io(rtc, 0, 1);
  dovrin_rtc_desktop_tick(rtc);  // subscribes and offers the first observations
  for (auto _ : state) {
    benchmark::DoNotOptimize(dovrin_rtc_desktop_tick(rtc));
  }
  for (uint32_t slot = 0; slot < DOVRIN_RTC_PEER_SLOTS; ++slot) dovrin_rtc_desktop_leave(rtc, slot);
  dovrin_rtc_desktop_destroy(rtc);
}

BENCHMARK(CaptureCallbackAndPoll)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(RemoteFrameAndPoll)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(PlayAndPlaybackCallback)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(TickOverAllSlots)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
