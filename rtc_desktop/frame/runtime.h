// The object behind a library handle: the SDK objects of one runtime, its
// local audio path and its failure latch.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agora_service.h"
#include "audio/duplex_observer.h"
#include "audio/sink.h"
#include "dovrin_rtc_desktop.h"
#include "events/sdk_errors.h"
#include "publish/opus_publisher.h"

namespace dovrin::rtc_desktop::detail {

class Peer;

inline constexpr uint32_t kPeerSlots = 34;
// The runtime-wide event log's slot number.
inline constexpr uint32_t kRuntimeSlot = 34;
// Left peers stay allocated until destroy; a runtime keeps at most this many.
inline constexpr size_t kMaxRetiredPeers = 34;

// Members are written only by exports on the host's side, which must not
// overlap where one of them writes (create, destroy, io). The SDK's threads
// reach the runtime only through `observer` and `sink`, whose state is
// atomic; the health check turns what they counted into a failed runtime.
class alignas(64) Runtime {
 public:
  Runtime(DovrinRtcRenderCallback render_callback, void* render_context);
  // Tears down in the order the SDK needs. A step whose SDK call throws is
  // skipped and the rest still run, the service's release last.
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The health check that gates most exports; prints the fault lines the
  // first time it finds the runtime failed.
  bool ok();
  // Judges the result of an SDK call the runtime made outside any peer.
  bool check(int code, uint32_t operation);
  // The failure latch: never cleared.
  void fail();
  // Judges the result of one SDK call of a join: a failure is recorded in
  // the peer's log, and a plain join (v2 false) also fails the runtime.
  bool check_peer(Peer& peer, uint32_t operation, int code, bool v2);

  // The capture sink's frame callback (context: the runtime).
  static bool capture(void* context, const agora::media::base::AudioPcmFrame& frame) noexcept;
  // Bridges the observer's render callback to the host's (context: the runtime).
  static int render(void* context, int16_t* samples, size_t frames) noexcept;

  // First member: the runtime's address is the observer's, which is what
  // the SDK knows as the audio frame observer.
  rtc_probe::DuplexObserver observer;
  std::atomic<bool> faulted{false};
  std::shared_ptr<rtc_probe::service::SinkStats> sink_stats;
  agora::agora_refptr<rtc_probe::service::Sink> sink;
  std::array<std::unique_ptr<Peer>, kPeerSlots> peers;
  // Left peers, stopped, kept so that late SDK callbacks find live objects.
  std::vector<std::unique_ptr<Peer>> retired_peers;
  agora::base::IAgoraService* service = nullptr;
  agora::agora_refptr<agora::rtc::INGAudioDeviceManager> device_manager;
  agora::agora_refptr<agora::rtc::IMediaNodeFactory> node_factory;
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> capture_track;
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> playback_track;
  agora::agora_refptr<agora::rtc::IAudioPcmDataSender> pcm_sender;
  agora::agora_refptr<agora::rtc::IRtcConnection> connection;
  // The service configuration points into it for the runtime's whole life.
  std::string app_id;
  bool observer_registered = false;
  bool sink_added = false;
  bool capture_on = false;
  bool playback_on = false;
  // Every gated export runs the health check, on whichever host thread
  // calls it: the first to find the runtime failed prints the fault lines.
  std::atomic<bool> fault_reported{false};
  uint32_t recovery_window_ms = 10000;
  DovrinRtcPolicyCallback policy_callback = nullptr;
  std::unique_ptr<rtc_probe::SdkErrors> event_log;
  uint64_t next_generation = 1;
  bool encoded_publishing = false;
  rtc_client::EncoderSettings encoder_settings;
  // The one encoder of every block published with send_many, made by the
  // first call that has a packet to send; dropped when the settings change.
  std::unique_ptr<rtc_client::OpusPublisher> shared_publisher;
  uint64_t io_generation = 1;
  uint64_t silence_samples = 0;
  DovrinRtcRenderCallback render_callback = nullptr;
  void* render_context = nullptr;
};

// Turns a handle back into its runtime; checks nothing but null.
inline Runtime* owner(DovrinRtcRuntime* handle) noexcept {
  return reinterpret_cast<Runtime*>(handle);
}

// Destroys a runtime (teardown in order, then the aligned storage). Never throws.
void destroy_runtime(Runtime* runtime) noexcept;

}  // namespace dovrin::rtc_desktop::detail
