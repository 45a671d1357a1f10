// An encoded-frame sender that counts and, unless told not to (recording
// allocates), keeps every packet and its description; it answers with
// `accept`. Lives on the stack, so its reference count is a formality.
#pragma once

#include <cstdint>
#include <vector>

#include "agora_media.h"

namespace dovrin::testing {

class RecordingSender : public agora::rtc::IAudioEncodedFrameSender {
 public:
  void AddRef() const override {}
  int Release() const override { return 1; }
  bool HasOneRef() const override { return true; }
  bool sendEncodedAudioFrame(const uint8_t* payload, size_t size,
                             const agora::rtc::EncodedAudioFrameInfo& info) override {
    ++calls;
    if (record) {
      packets.emplace_back(payload, payload + size);
      infos.push_back(info);
    }
    return accept;
  }

  bool accept = true;
  bool record = true;
  int calls = 0;
  std::vector<std::vector<uint8_t>> packets;
  std::vector<agora::rtc::EncodedAudioFrameInfo> infos;
};

}  // namespace dovrin::testing
