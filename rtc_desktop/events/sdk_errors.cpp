#include "events/sdk_errors.h"

#include "events/event_codes.h"
#include "frame/steady_clock.h"

namespace dovrin::rtc_probe {
namespace {

// Operations whose event is its own request when no renewal request names it.
bool self_identified(uint32_t operation) { return operation >= kOpRenewalCall && operation <= kOpConnect; }

DovrinRtcSdkEvent probe(uint32_t category, uint32_t operation, int32_t raw_code,
                        uint32_t context_flags) {
  DovrinRtcSdkEvent event{};
  event.category = static_cast<uint8_t>(category);
  event.operation = static_cast<uint8_t>(operation);
  event.raw_code = raw_code;
  event.context_flags = static_cast<uint16_t>(context_flags);
  return event;
}

}  // namespace

uint32_t SdkErrors::record(uint32_t category, uint32_t operation, int32_t raw_code,
                           uint32_t context_flags, uint64_t request_id) {
  std::lock_guard lock(mutex_);
  DovrinRtcSdkEvent event = probe(category, operation, raw_code, context_flags);
  event.sdk_version = kSdkVersion;
  event.platform = kPlatform;
  event.slot = static_cast<uint8_t>(slot_);
  event.generation = generation_;
  event.sequence = ++counter_;
  event.request_id = request_id != 0 ? request_id : self_identified(operation) ? event.sequence : 0;
  event.monotonic_ms = steady_clock_ms();

  // The policy sees the record with action 0; its answer is stored after.
  uint32_t action = callback_ ? callback_(&event) : kActionFatal;
  if (action > kActionFatal) action = kActionFatal;
  event.action = static_cast<uint16_t>(action);

  latest_ = event;
  if (category == kCategoryLibrary && operation == kOpLinkState) connection_ = event;
  if (operation == kOpRenewalCall && (context_flags & kFlagTracked) != 0) {
    request_ = event;
  } else if ((operation == kOpRenewalResult || operation == kOpRenewalCall) &&
             (context_flags & kFlagSuperseded) == 0) {
    renewal_ = event;
  }
  // The first fatal event explains the slot's failure; later ones do not replace it.
  if (fatal_action(action) && failure_.sequence == 0) failure_ = event;
  return action;
}

void SdkErrors::observe(uint32_t operation, int32_t raw_code, uint32_t context_flags) {
  if (callback_ == nullptr) return;
  const DovrinRtcSdkEvent offer = probe(kCategoryLibrary, operation, raw_code, context_flags);
  if (callback_(&offer) == 0) record(kCategoryLibrary, operation, raw_code, context_flags, 0);
}

bool SdkErrors::supports_renewal_tracking() const {
  if (callback_ == nullptr) return false;
  DovrinRtcSdkEvent offer = probe(kCategoryRenewalResult, kOpRenewalResult, 3, kFlagTracked | kFlagSuperseded);
  offer.request_id = 1;
  return callback_(&offer) == 0;
}

}  // namespace dovrin::rtc_probe
