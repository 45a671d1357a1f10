#include "frame/runtime.h"

#include <cstdio>
#include <exception>
#include <new>
#include <utility>

#include "events/event_codes.h"
#include "peers/peer.h"

namespace dovrin::rtc_desktop::detail {

using rtc_probe::AudioIssue;
using rtc_probe::DuplexObserver;
using rtc_probe::RemoteChannelBinding;
using rtc_probe::RemoteOverflowPolicy;

Runtime::Runtime(DovrinRtcRenderCallback host_render, void* host_context)
    : observer("", 0, host_render ? &Runtime::render : nullptr, host_render ? this : nullptr,
               RemoteChannelBinding::by_name, /*sink_capture=*/true, RemoteOverflowPolicy::fail,
               48000, 1),
      sink_stats(std::make_shared<rtc_probe::service::SinkStats>()),
      render_callback(host_render),
      render_context(host_context) {
  // Last, so that everything the sink's callback reaches exists before it.
  sink = agora::agora_refptr<rtc_probe::service::Sink>(
      new rtc_probe::service::Sink(sink_stats, &Runtime::capture, this));
}

Runtime::~Runtime() noexcept(false) {
  // Callbacks still in flight on the SDK's threads drop their audio from here on.
  observer.close();

  // A throwing SDK call must not skip the steps after it: the service, at the very least,
  // has to be released. The first exception leaves once everything has been tried.
  std::exception_ptr first_error;
  const auto attempt = [&first_error](auto&& step) {
    try {
      step();
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  };

  for (auto& peer : peers) {
    if (peer) attempt([&] { peer->stop(); });
  }
  for (auto& peer : retired_peers) attempt([&] { peer->stop(); });

  if (capture_track) attempt([&] { capture_track->setEnabled(false); });
  if (playback_track) {
    attempt([&] { playback_track->setEnabled(false); });
    attempt([&] { playback_track->enableLocalPlayback(false, true, 0); });
  }
  if (sink_added && capture_track) attempt([&] { capture_track->removeAudioSink(sink); });
  if (observer_registered && connection) {
    attempt([&] {
      if (agora::rtc::ILocalUser* local_user = connection->getLocalUser()) {
        local_user->unregisterAudioFrameObserver(&observer);
      }
    });
  }

  capture_track.reset();
  playback_track.reset();
  pcm_sender.reset();
  connection.reset();
  device_manager.reset();
  node_factory.reset();
  // The last call into the SDK: nothing of the SDK may be used after it.
  if (service) attempt([&] { std::exchange(service, nullptr)->release(); });
  if (first_error) std::rethrow_exception(first_error);
}

void Runtime::fail() {
  faulted.store(true, std::memory_order_seq_cst);
  observer.record_terminal(AudioIssue::runtime_fault);
}

bool Runtime::check(int code, uint32_t operation) {
  if (code == 0) return true;
  if (event_log) {
    const uint32_t action = event_log->record(rtc_probe::kCategorySdkCall, operation, code, 0, 0);
    // Only the silence feed may be tolerated: playback goes on without it.
    if (operation == rtc_probe::kOpPcmSend && action <= 1) return true;
  }
  std::fprintf(stderr, "DOVRIN_RTC_NATIVE_API operation=%u code=%d\n", operation, code);
  fail();
  return false;
}

bool Runtime::check_peer(Peer& peer, uint32_t operation, int code, bool v2) {
  if (code == 0) return true;
  peer.api_failed(operation, code, rtc_probe::kCategorySdkCall);
  if (!v2) fail();
  return false;
}

bool Runtime::ok() {
  const uint64_t rejected = sink_stats->rejected.load(std::memory_order_seq_cst);
  if (rejected != 0 && observer.health().terminal_issue() == AudioIssue{}) {
    observer.record_terminal(AudioIssue::sink_rejected);
  }
  const uint64_t faults = observer.stats().faults;
  const bool healthy = !faulted.load(std::memory_order_seq_cst) && faults == 0 && rejected == 0;
  if (!healthy && !fault_reported) {
    fault_reported = true;
    std::fprintf(stderr, "DOVRIN_RTC_NATIVE_FAULT physical=%llu capture=%llu\n",
                 static_cast<unsigned long long>(faults), static_cast<unsigned long long>(rejected));
    for (size_t slot = 0; slot < kPeerSlots; ++slot) {
      Peer* peer = peers[slot].get();
      if (peer == nullptr) continue;
      std::fprintf(stderr,
                   "DOVRIN_RTC_NATIVE_PEER slot=%zu event=%llu code=%d faults=%llu remote_detail=%llu\n",
                   slot, static_cast<unsigned long long>(peer->connection_observer.failure_event()),
                   peer->connection_observer.failure_code(),
                   static_cast<unsigned long long>(peer->audio().stats().faults),
                   static_cast<unsigned long long>(peer->audio().remote_failure_detail()));
    }
  }
  return healthy;
}

bool Runtime::capture(void* context, const agora::media::base::AudioPcmFrame& frame) noexcept {
  auto* self = static_cast<Runtime*>(context);
  if (!self->observer.capture_policy_enabled() &&
      (frame.sample_rate_hz_ != 48000 || frame.num_channels_ != 1 ||
       frame.samples_per_channel_ != 480 || frame.bytes_per_sample != 2)) {
    return false;
  }
  // The observer copies straight out of the SDK's frame: one copy per block.
  agora::media::IAudioFrameObserverBase::AudioFrame observed = DuplexObserver::pcm_frame(frame);
  return self->observer.capture_frame(observed);
}

int Runtime::render(void* context, int16_t* samples, size_t frames) noexcept {
  auto* self = static_cast<Runtime*>(context);
  return self->render_callback(self->render_context, samples, frames);
}

void destroy_runtime(Runtime* runtime) noexcept {
  if (runtime == nullptr) return;
  try {
    runtime->~Runtime();
  } catch (...) {
    // An SDK call that throws during teardown must not cross the C interface;
    // what could be released has been.
  }
  ::operator delete(static_cast<void*>(runtime), std::align_val_t{alignof(Runtime)});
}

}  // namespace dovrin::rtc_desktop::detail
