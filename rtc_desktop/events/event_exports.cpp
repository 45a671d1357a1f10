// The host's policy and the copies of event records.
#include <new>

#include "frame/runtime.h"
#include "peers/peer.h"

using dovrin::rtc_desktop::detail::kPeerSlots;
using dovrin::rtc_desktop::detail::kRuntimeSlot;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Runtime;
using dovrin::rtc_probe::SdkErrors;

extern "C" {

int32_t dovrin_rtc_desktop_error_policy(DovrinRtcRuntime* handle, DovrinRtcPolicyCallback callback) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || callback == nullptr) return -1;
  if (!rt->event_log) {
    // The runtime-wide log keeps the policy it was created with; later
    // calls only change what new v2 joins get.
    rt->event_log.reset(new (std::nothrow) SdkErrors(kRuntimeSlot, rt->io_generation, callback));
    if (!rt->event_log) return -3;
  }
  rt->policy_callback = callback;
  return 0;
}

int32_t dovrin_rtc_desktop_error(DovrinRtcRuntime* handle, uint32_t slot, int32_t which,
                                 DovrinRtcSdkEvent* out) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || slot > kRuntimeSlot || out == nullptr) return -1;
  *out = DovrinRtcSdkEvent{};
  try {
    if (slot == kRuntimeSlot) {
      if (!rt->event_log) return 0;
      *out = which == 0 ? rt->event_log->latest() : rt->event_log->failure();
    } else {
      if (!rt->peers[slot]) return 0;
      const SdkErrors& log = rt->peers[slot]->event_log;
      switch (which) {
        case 0: *out = log.latest(); break;
        case 2: *out = log.renewal(); break;
        case 3: *out = log.connection(); break;
        case 4: *out = log.request(); break;
        default: *out = log.failure(); break;
      }
    }
  } catch (...) {
    // Only taking the log's lock can throw; the record stays zero.
    return -3;
  }
  return out->sequence != 0 ? 1 : 0;
}

int32_t dovrin_rtc_desktop_error_event_size(void) {
  return static_cast<int32_t>(sizeof(DovrinRtcSdkEvent));
}

}  // extern "C"
