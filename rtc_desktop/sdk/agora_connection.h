// Channel connections, their local user and the connection observer.
#pragma once

#include "agora_media.h"

namespace agora {
namespace rtc {

enum CONNECTION_CHANGED_REASON_TYPE {
  CONNECTION_CHANGED_CONNECTING = 0,
  CONNECTION_CHANGED_JOIN_SUCCESS = 1,
  CONNECTION_CHANGED_INTERRUPTED = 2,
  CONNECTION_CHANGED_BANNED_BY_SERVER = 3,
  CONNECTION_CHANGED_JOIN_FAILED = 4,
  CONNECTION_CHANGED_LEAVE_CHANNEL = 5,
};

enum USER_OFFLINE_REASON_TYPE {
  USER_OFFLINE_QUIT = 0,
  USER_OFFLINE_DROPPED = 1,
  USER_OFFLINE_BECOME_AUDIENCE = 2,
};

enum QUALITY_TYPE { QUALITY_UNKNOWN = 0, QUALITY_EXCELLENT = 1, QUALITY_DOWN = 8 };

struct LastmileProbeResult {
  int state = 0;
  unsigned int rtt = 0;
};

struct RtcStats {
  unsigned int duration = 0;
  unsigned int txBytes = 0;
  unsigned int rxBytes = 0;
};

// What a connection notification tells about the connection. The texts may
// be absent (a null AutoPtr) or empty.
struct TConnectionInfo {
  uid_t id = 0;
  util::AString channelId;
  int state = 0;
  util::AString localUserId;
  int internalUid = 0;
};

struct RtcConnectionConfiguration {
  bool autoSubscribeAudio = true;
  bool autoSubscribeVideo = true;
  bool enableAudioRecordingOrPlayout = true;
  int maxSendBitrate = -1;
  int minPort = 0;
  int maxPort = 0;
  int clientRoleType = 2;
  int channelProfile = 1;
  bool audioRecvMediaPacket = false;
  bool audioRecvEncodedFrame = false;
  bool videoRecvMediaPacket = false;
};

struct TConnectSettings {
  const char* token = nullptr;
  const char* channelId = nullptr;
  const char* userId = nullptr;
  int joinFlags = 0;
  const char* info = nullptr;
};

// Receives a connection's notifications on SDK threads. Every notification
// does nothing unless overridden.
class IRtcConnectionObserver {
 public:
  virtual ~IRtcConnectionObserver() = default;

  virtual void onConnected(const TConnectionInfo&, CONNECTION_CHANGED_REASON_TYPE) {}
  virtual void onDisconnected(const TConnectionInfo&, CONNECTION_CHANGED_REASON_TYPE) {}
  virtual void onConnecting(const TConnectionInfo&, CONNECTION_CHANGED_REASON_TYPE) {}
  virtual void onReconnecting(const TConnectionInfo&, CONNECTION_CHANGED_REASON_TYPE) {}
  virtual void onReconnected(const TConnectionInfo&, CONNECTION_CHANGED_REASON_TYPE) {}
  virtual void onConnectionLost(const TConnectionInfo&) {}
  virtual void onLastmileQuality(const QUALITY_TYPE) {}
  virtual void onLastmileProbeResult(const LastmileProbeResult&) {}
  virtual void onTokenPrivilegeWillExpire(const char*) {}
  virtual void onTokenPrivilegeDidExpire() {}
  virtual void onRenewTokenResult(const char* /*token*/, int /*code*/) {}
  virtual void onConnectionFailure(const TConnectionInfo&, CONNECTION_CHANGED_REASON_TYPE) {}
  virtual void onUserJoined(user_id_t) {}
  virtual void onUserLeft(user_id_t, USER_OFFLINE_REASON_TYPE) {}
  virtual void onTransportStats(const RtcStats&) {}
  virtual void onChangeRoleSuccess(int /*oldRole*/, int /*newRole*/) {}
  virtual void onChangeRoleFailure(int /*reason*/, int /*currentRole*/) {}
  virtual void onUserNetworkQuality(user_id_t, int /*txQuality*/, int /*rxQuality*/) {}
  virtual void onNetworkTypeChanged(int /*type*/) {}
  virtual void onApiCallExecuted(int /*err*/, const char* /*api*/, const char* /*result*/) {}
  virtual void onContentInspectResult(int /*result*/) {}
  virtual void onSnapshotTaken(const char* /*channel*/, uid_t, const char* /*path*/, int, int, int) {}
  virtual void onError(int /*error*/, const char* /*msg*/) {}
  virtual void onChannelMediaRelayStateChanged(int /*state*/, int /*code*/) {}
};

// The local user of a connection: a plain pointer owned by its connection.
class ILocalUser {
 public:
  virtual int setAudioScenario(int scenario) = 0;
  virtual int setPlaybackSignalVolume(int volume) = 0;
  virtual int setPlaybackAudioFrameParameters(size_t numberOfChannels, uint32_t sampleRateHz,
                                              int mode, int samplesPerCall) = 0;
  virtual int setPlaybackAudioFrameBeforeMixingParameters(size_t numberOfChannels,
                                                          uint32_t sampleRateHz, int mode,
                                                          int samplesPerCall) = 0;
  virtual int registerAudioFrameObserver(media::IAudioFrameObserverBase* observer) = 0;
  virtual int unregisterAudioFrameObserver(media::IAudioFrameObserverBase* observer) = 0;
  virtual int publishAudio(agora_refptr<ILocalAudioTrack> track) = 0;
  virtual int unpublishAudio(agora_refptr<ILocalAudioTrack> track) = 0;
  virtual int subscribeAudio(user_id_t userId, int options) = 0;

 protected:
  virtual ~ILocalUser() = default;
};

class IRtcConnection : public RefCountInterface {
 public:
  virtual int connect(const TConnectSettings& settings) = 0;
  virtual int disconnect() = 0;
  virtual int renewToken(const char* token) = 0;
  virtual ILocalUser* getLocalUser() = 0;
  virtual int registerObserver(IRtcConnectionObserver* observer,
                               void (*deleter)(IRtcConnectionObserver*) = nullptr) = 0;
  virtual int unregisterObserver(IRtcConnectionObserver* observer) = 0;
};

}  // namespace rtc
}  // namespace agora
