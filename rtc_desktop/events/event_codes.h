// The codes of an event record: categories, operation numbers, context flags
// and actions. One table for every part of the library that raises events;
// the runtime's "DOVRIN_RTC_NATIVE_API" line uses the same operation numbers.
#pragma once

#include <cstdint>

namespace dovrin::rtc_probe {

// What kind of event a record holds.
inline constexpr uint32_t kCategorySdkError = 1;       // an error notification of the SDK
inline constexpr uint32_t kCategoryConnection = 2;     // a connection-state notification
inline constexpr uint32_t kCategoryRenewalResult = 3;  // the SDK's answer to a renewal
inline constexpr uint32_t kCategorySdkCall = 4;        // an SDK call the library made failed
inline constexpr uint32_t kCategoryLibrary = 5;        // found by the library, or an observation
inline constexpr uint32_t kCategoryMediaRelay = 6;     // a media relay error

// Operation numbers. A number can mean different things at different call
// sites (22 is a join call and the link-state observation); the pair of
// category and operation tells them apart, so each site has its own name.
// Raised by a peer's connection observer:
inline constexpr uint32_t kOpOtherConnection = 1;
inline constexpr uint32_t kOpUnexpectedConnected = 2;
inline constexpr uint32_t kOpDisconnected = 3;
inline constexpr uint32_t kOpUnexpectedConnecting = 4;
inline constexpr uint32_t kOpUnexpectedInterruption = 5;
inline constexpr uint32_t kOpUnexpectedReconnected = 6;
inline constexpr uint32_t kOpConnectionFailure = 8;
inline constexpr uint32_t kOpTokenExpired = 10;
inline constexpr uint32_t kOpRenewalResult = 11;
inline constexpr uint32_t kOpRemoteLeft = 12;
inline constexpr uint32_t kOpMediaRelay = 13;
inline constexpr uint32_t kOpSdkError = 14;
inline constexpr uint32_t kOpDeadlinePassed = 15;
inline constexpr uint32_t kOpPresenceOverflow = 16;
// SDK calls made for a peer, or by the runtime's silence feed (18):
inline constexpr uint32_t kOpRenewalCall = 17;
inline constexpr uint32_t kOpPcmSend = 18;
inline constexpr uint32_t kOpSubscribe = 19;
inline constexpr uint32_t kOpOpusSend = 20;
inline constexpr uint32_t kOpConnect = 21;
// The calls of a join, in the order it makes them, and its own checks:
inline constexpr uint32_t kOpJoinAudioScenario = 22;
inline constexpr uint32_t kOpJoinRegisterConnectionObserver = 23;
inline constexpr uint32_t kOpJoinBeforeMixingFormat = 24;
inline constexpr uint32_t kOpJoinRegisterFrameObserver = 25;
inline constexpr uint32_t kOpJoinSignalVolume = 26;
inline constexpr uint32_t kOpJoinLocalPlayback = 27;
inline constexpr uint32_t kOpJoinEnableTrack = 28;
inline constexpr uint32_t kOpJoinPublish = 29;
inline constexpr uint32_t kOpJoinObjects = 30;
inline constexpr uint32_t kOpJoinAudioPath = 31;
inline constexpr uint32_t kOpRenewalNotIssued = 31;
// Observations the tick offers:
inline constexpr uint32_t kOpLinkState = 22;
inline constexpr uint32_t kOpRemoteReady = 24;
// The runtime's own calls: device selection, switching and creation.
inline constexpr uint32_t kOpSelectSecondKind = 25;
inline constexpr uint32_t kOpSelectFirstKind = 26;
inline constexpr uint32_t kOpSwitchTrack = 27;
inline constexpr uint32_t kOpSwitchLocalPlayback = 28;
inline constexpr uint32_t kOpFrameParameters = 29;
inline constexpr uint32_t kOpRegisterObserver = 30;
inline constexpr uint32_t kOpInitializeService = 32;

// Context flags.
inline constexpr uint32_t kFlagRecovering = 1;  // also: the observed link state is "recovering"
inline constexpr uint32_t kFlagPeerCall = 2;    // a call made for a peer slot failed
inline constexpr uint32_t kFlagTracked = 4;     // renewal tracking is in force
inline constexpr uint32_t kFlagSuperseded = 8;  // the result belongs to a replaced request

// Actions: 0 to 2 tolerate, 3 and 4 fail the slot; 4 is also every event's
// action when no policy is installed.
inline constexpr uint32_t kActionFatal = 4;
inline constexpr bool fatal_action(uint32_t action) { return action == 3 || action == 4; }

}  // namespace dovrin::rtc_probe
