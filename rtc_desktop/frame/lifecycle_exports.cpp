// Interface version, creation, destruction and local audio switching.
#include <dlfcn.h>

#include <cstring>
#include <new>

#include "events/event_codes.h"
#include "frame/bounded_text.h"
#include "frame/runtime.h"

using dovrin::rtc_desktop::detail::bounded;
using dovrin::rtc_desktop::detail::destroy_runtime;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Runtime;
using namespace dovrin::rtc_probe;

namespace {

constexpr size_t kAppIdLength = 32;

bool valid_app_id(const char* app_id) {
  if (!bounded(app_id, kAppIdLength) || std::strlen(app_id) != kAppIdLength) return false;
  for (size_t i = 0; i < kAppIdLength; ++i) {
    if (std::strchr("0123456789abcdefABCDEF", app_id[i]) == nullptr) return false;
  }
  return true;
}

// Records a failed stage in the host's diagnostics record, when it gave one.
int32_t failed_stage(DovrinRtcCreateDiagnostics* out, int32_t result, uint32_t stage,
                     int32_t sdk_code = 0, uint32_t code_kind = 0) {
  if (out != nullptr) *out = DovrinRtcCreateDiagnostics{stage, sdk_code, 0, code_kind};
  return result;
}

constexpr uint32_t kSdkCodeKind = 2;

// Steps after the runtime exists; any failure leaves the runtime for the
// caller to destroy.
int32_t start_runtime(Runtime& rt, DovrinRtcCreateDiagnostics* diagnostics) {
  agora::base::AgoraServiceConfiguration service_config;
  service_config.enableAudioProcessor = true;
  service_config.enableAudioDevice = true;
  service_config.enableVideo = false;
  service_config.appId = rt.app_id.c_str();
  service_config.channelProfile = 0;
  service_config.audioScenario = 8;
  service_config.logConfig.level = 0;
  service_config.useStringUid = false;
  const int initialized = rt.service->initialize(service_config);
  if (!rt.check(initialized, kOpInitializeService)) {
    return failed_stage(diagnostics, -34, 4, initialized, kSdkCodeKind);
  }

  rt.device_manager = rt.service->createAudioDeviceManager();
  rt.node_factory = rt.service->createMediaNodeFactory();
  rt.capture_track = rt.service->createLocalAudioTrack();
  if (rt.node_factory) rt.pcm_sender = rt.node_factory->createAudioPcmDataSender();
  if (rt.pcm_sender) rt.playback_track = rt.service->createCustomAudioTrack(rt.pcm_sender);

  agora::rtc::RtcConnectionConfiguration connection_config;
  connection_config.autoSubscribeAudio = false;
  connection_config.autoSubscribeVideo = false;
  connection_config.enableAudioRecordingOrPlayout = true;
  connection_config.channelProfile = 0;
  rt.connection = rt.service->createRtcConnection(connection_config);

  if (!rt.device_manager || !rt.capture_track || !rt.playback_track || !rt.connection) {
    return failed_stage(diagnostics, -35, 5);
  }
  agora::rtc::ILocalUser* local_user = rt.connection->getLocalUser();
  if (local_user == nullptr) return failed_stage(diagnostics, -36, 5);

  // Each step only after the previous one succeeded; the failing one names
  // its operation in the API line.
  uint32_t operation = kOpSwitchLocalPlayback;
  int result = rt.capture_track->enableLocalPlayback(false);
  if (result == 0) {
    operation = kOpFrameParameters;
    result = local_user->setPlaybackAudioFrameParameters(2, 48000, 2, 960);
  }
  if (result == 0) {
    operation = kOpRegisterObserver;
    result = local_user->registerAudioFrameObserver(&rt.observer);
  }
  if (!rt.check(result, operation)) return failed_stage(diagnostics, -37, 6, result, kSdkCodeKind);
  rt.observer_registered = true;

  agora::rtc::AudioSinkWants wants;
  wants.samplesPerSec = 48000;
  wants.channels = 1;
  rt.sink_added = rt.capture_track->addAudioSink(rt.sink, wants);
  if (!rt.sink_added) return failed_stage(diagnostics, -38, 7);

  result = rt.capture_track->setEnabled(false);
  if (result == 0) result = rt.playback_track->setEnabled(false);
  if (!rt.check(result, kOpSwitchTrack)) {
    return failed_stage(diagnostics, -39, 8, result, kSdkCodeKind);
  }
  return 0;
}

}  // namespace

extern "C" {

int32_t dovrin_rtc_desktop_abi(void) { return DOVRIN_RTC_DESKTOP_ABI_VERSION; }

int32_t dovrin_rtc_desktop_create(const char* sdk_path, const char* app_id,
                                  DovrinRtcRenderCallback render_callback, void* render_context,
                                  DovrinRtcRuntime** out_handle) {
  return dovrin_rtc_desktop_create_diagnosed(sdk_path, app_id, render_callback, render_context,
                                             out_handle, nullptr);
}

int32_t dovrin_rtc_desktop_create_diagnosed(const char* sdk_path, const char* app_id,
                                            DovrinRtcRenderCallback render_callback,
                                            void* render_context, DovrinRtcRuntime** out_handle,
                                            DovrinRtcCreateDiagnostics* out_diagnostics) {
  if (out_diagnostics != nullptr) *out_diagnostics = DovrinRtcCreateDiagnostics{};
  if (out_handle == nullptr) return -1;
  *out_handle = nullptr;
  if (sdk_path == nullptr || (render_callback == nullptr) != (render_context == nullptr) ||
      !valid_app_id(app_id)) {
    return -1;
  }

  Runtime* runtime = nullptr;
  try {
    // The SDK library stays loaded for the life of the process: SDK threads
    // may still run its code after a runtime is gone.
    void* library = dlopen(sdk_path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return failed_stage(out_diagnostics, -31, 1);
    auto entry = reinterpret_cast<CreateAgoraServiceFn>(dlsym(library, "createAgoraService"));
    if (entry == nullptr) return failed_stage(out_diagnostics, -32, 2);

    runtime = new Runtime(render_callback, render_context);
    runtime->app_id.assign(app_id, kAppIdLength);
    runtime->service = entry();
    if (runtime->service == nullptr) {
      destroy_runtime(runtime);
      return failed_stage(out_diagnostics, -33, 3);
    }
    const int32_t started = start_runtime(*runtime, out_diagnostics);
    if (started != 0) {
      destroy_runtime(runtime);
      return started;
    }
  } catch (...) {
    destroy_runtime(runtime);
    if (out_diagnostics != nullptr) *out_diagnostics = DovrinRtcCreateDiagnostics{};
    return -3;
  }
  *out_handle = reinterpret_cast<DovrinRtcRuntime*>(runtime);
  return 0;
}

void dovrin_rtc_desktop_destroy(DovrinRtcRuntime* handle) { destroy_runtime(owner(handle)); }

int32_t dovrin_rtc_desktop_io(DovrinRtcRuntime* handle, uint32_t capture, uint32_t playback) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || capture > 1 || playback > 1) return -1;
  if (!rt->ok()) return -2;

  // The new generation goes in before the tracks switch, so that no block
  // of the old switching can be taken for one of the new.
  if (!rt->observer.authorize(++rt->io_generation, capture == 1, playback == 1)) {
    rt->fail();
    return -2;
  }
  try {
    if (!rt->check(rt->capture_track->setEnabled(capture == 1), kOpSwitchTrack) ||
        !rt->check(rt->playback_track->enableLocalPlayback(playback == 1, true, 0),
                   kOpSwitchLocalPlayback) ||
        !rt->check(rt->playback_track->setEnabled(playback == 1), kOpSwitchTrack)) {
      return -3;
    }
  } catch (...) {
    rt->fail();
    return -3;
  }
  rt->capture_on = capture == 1;
  rt->playback_on = playback == 1;
  return 0;
}

}  // extern "C"
