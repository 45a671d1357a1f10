#include <cstring>
#include <string>

#include "live/engine.h"
#include "sdk_objects.h"

namespace loopback::detail {
namespace {

// Beyond this a send's declared size is not plausible audio; the data is then
// left unread rather than read out of bounds on the library's word.
constexpr size_t kInspectLimit = size_t{1} << 24;
// Encoded packets up to this size are journaled whole, so that tests can
// decode what the SDK was handed.
constexpr size_t kPayloadLimit = 4096;

std::string hex(const uint8_t* data, size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(2 * bytes, '0');
  for (size_t i = 0; i < bytes; ++i) {
    text[2 * i] = kDigits[data[i] >> 4];
    text[2 * i + 1] = kDigits[data[i] & 15];
  }
  return text;
}

// Records checksum, non-zero count and the first samples of 16-bit data.
void describe_samples(Call& call, const void* data, size_t bytes) {
  call.arg("checksum", checksum(data, bytes));
  const size_t samples = bytes / sizeof(int16_t);
  int64_t nonzero = 0;
  static constexpr const char* kNames[] = {"sample_0", "sample_1", "sample_2", "sample_3"};
  for (size_t i = 0; i < samples; ++i) {
    int16_t sample;
    std::memcpy(&sample, static_cast<const unsigned char*>(data) + i * sizeof(int16_t),
                sizeof sample);
    if (sample != 0) ++nonzero;
    if (i < std::size(kNames)) call.arg(kNames[i], sample);
  }
  call.arg("nonzero_samples", nonzero);
}

}  // namespace

int PcmSender::sendAudioPcmData(const void* audioData, uint32_t captureTimestamp,
                                int64_t presentationMs, size_t samplesPerChannel,
                                size_t bytesPerSample, size_t numberOfChannels,
                                uint32_t sampleRate, int reserved) {
  Call call(Op::pcm_sender_send, id(), Kind::pcm_sender);
  if (call.world().journaling) {
    call.arg("data_null", audioData == nullptr);
    call.arg("capture_timestamp", captureTimestamp);
    call.arg("presentation_ms", presentationMs);
    call.arg("samples_per_channel", static_cast<int64_t>(samplesPerChannel));
    call.arg("bytes_per_sample", static_cast<int64_t>(bytesPerSample));
    call.arg("channels", static_cast<int64_t>(numberOfChannels));
    call.arg("sample_rate", sampleRate);
    call.arg("reserved", reserved);
    size_t bytes = 0;
    const bool sized =
        !__builtin_mul_overflow(samplesPerChannel, bytesPerSample, &bytes) &&
        !__builtin_mul_overflow(bytes, numberOfChannels, &bytes) && bytes <= kInspectLimit;
    if (audioData != nullptr && sized) describe_samples(call, audioData, bytes);
  }
  if (call.intercepted()) return call.answer(call.code());
  live_mode::pcm_sent(call.world(), id(), bytesPerSample == 2 ? audioData : nullptr, samplesPerChannel,
                 numberOfChannels, sampleRate);
  return call.answer(0);
}

bool EncodedSender::sendEncodedAudioFrame(const uint8_t* payloadData, size_t payloadSize,
                                          const agora::rtc::EncodedAudioFrameInfo& info) {
  Call call(Op::encoded_sender_send, id(), Kind::encoded_sender);
  if (call.world().journaling) {
    call.arg("payload_null", payloadData == nullptr);
    call.arg("payload_size", static_cast<int64_t>(payloadSize));
    call.arg("codec", info.codec);
    call.arg("sample_rate", info.sampleRateHz);
    call.arg("samples_per_channel", info.samplesPerChannel);
    call.arg("channels", info.numberOfChannels);
    call.arg("capture_time_ms", info.captureTimeMs);
    call.arg("speech", info.advancedSettings.speech);
    call.arg("send_even_if_empty", info.advancedSettings.sendEvenIfEmpty);
    if (payloadData != nullptr && payloadSize <= kInspectLimit) {
      call.arg("checksum", checksum(payloadData, payloadSize));
    }
    if (payloadData != nullptr && payloadSize <= kPayloadLimit) {
      call.arg("payload", hex(payloadData, payloadSize).c_str());
    }
  }
  if (call.intercepted()) return call.answer(false);
  live_mode::encoded_sent(call.world(), id(), payloadData, payloadSize, info.codec);
  return call.answer(true);
}

agora::agora_refptr<agora::rtc::IAudioPcmDataSender> MediaNodeFactory::createAudioPcmDataSender() {
  Call call(Op::factory_create_pcm_sender, id(), Kind::media_node_factory);
  return create_object<agora::rtc::IAudioPcmDataSender>(
      call, [](World& w) { return new PcmSender(w); });
}

agora::agora_refptr<agora::rtc::IAudioEncodedFrameSender>
MediaNodeFactory::createAudioEncodedFrameSender() {
  Call call(Op::factory_create_encoded_sender, id(), Kind::media_node_factory);
  return create_object<agora::rtc::IAudioEncodedFrameSender>(
      call, [](World& w) { return new EncodedSender(w); });
}

}  // namespace loopback::detail
