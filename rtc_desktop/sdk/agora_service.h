// The SDK service: the library's entry object, returned by createAgoraService.
#pragma once

#include "agora_connection.h"

namespace agora {
namespace commons {

struct LogConfig {
  const char* filePath = nullptr;
  uint32_t fileSizeInKB = 1024;
  int level = 1;
};

}  // namespace commons

namespace base {

struct AgoraServiceConfiguration {
  bool enableAudioProcessor = true;
  bool enableAudioDevice = true;
  bool enableVideo = false;
  void* context = nullptr;
  const char* appId = nullptr;
  unsigned int areaCode = 0xFFFFFFFFu;
  int channelProfile = 1;
  int audioScenario = 0;
  commons::LogConfig logConfig;
  bool useStringUid = false;
};

// A plain pointer owned by whoever created it; given up with release().
class IAgoraService {
 public:
  virtual int initialize(const AgoraServiceConfiguration& config) = 0;
  virtual int release() = 0;
  virtual agora_refptr<rtc::IRtcConnection> createRtcConnection(
      const rtc::RtcConnectionConfiguration& config) = 0;
  virtual agora_refptr<rtc::ILocalAudioTrack> createLocalAudioTrack() = 0;
  virtual agora_refptr<rtc::ILocalAudioTrack> createCustomAudioTrack(
      agora_refptr<rtc::IAudioPcmDataSender> sender) = 0;
  virtual agora_refptr<rtc::ILocalAudioTrack> createCustomAudioTrack(
      agora_refptr<rtc::IAudioEncodedFrameSender> sender, int mixMode) = 0;
  virtual agora_refptr<rtc::INGAudioDeviceManager> createAudioDeviceManager() = 0;
  virtual agora_refptr<rtc::IMediaNodeFactory> createMediaNodeFactory() = 0;

 protected:
  virtual ~IAgoraService() = default;
};

}  // namespace base
}  // namespace agora

// The SDK library's entry symbol, looked up by name after dlopen.
using CreateAgoraServiceFn = agora::base::IAgoraService* (*)();
extern "C" agora::base::IAgoraService* createAgoraService();
