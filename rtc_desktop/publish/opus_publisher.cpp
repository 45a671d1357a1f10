#include "publish/opus_publisher.h"

#include <opus.h>

#include <algorithm>
#include <new>

#include "publish/resampler.h"

namespace dovrin::rtc_client {

namespace {

constexpr std::array<uint32_t, 3> kInputRates{16000, 24000, 48000};

int input_rate_index(uint32_t rate) noexcept {
  for (size_t i = 0; i < kInputRates.size(); ++i) {
    if (kInputRates[i] == rate) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

void OpusPublisher::EncoderDeleter::operator()(OpusEncoder* encoder) const noexcept {
  opus_encoder_destroy(encoder);
}

OpusPublisher::OpusPublisher() noexcept = default;
OpusPublisher::~OpusPublisher() = default;

bool OpusPublisher::initialize(const EncoderSettings& settings) noexcept {
  if (encoder_ || !settings.valid()) return false;
  int error = OPUS_OK;
  encoder_.reset(opus_encoder_create(static_cast<opus_int32>(settings.sample_rate),
                                     static_cast<int>(settings.channels), OPUS_APPLICATION_VOIP,
                                     &error));
  if (!encoder_ || error != OPUS_OK) return false;
  settings_ = settings;
  OpusEncoder* encoder = encoder_.get();
  if (opus_encoder_ctl(encoder, OPUS_SET_BITRATE(static_cast<opus_int32>(settings.bitrate))) !=
          OPUS_OK ||
      opus_encoder_ctl(encoder, OPUS_SET_FORCE_CHANNELS(static_cast<opus_int32>(
                                    settings.channels))) != OPUS_OK ||
      opus_encoder_ctl(encoder, OPUS_SET_VBR(0)) != OPUS_OK ||
      opus_encoder_ctl(encoder, OPUS_SET_DTX(0)) != OPUS_OK || !configuration_applied()) {
    return false;
  }
  try {
    for (size_t i = 0; i < rows_.size(); ++i) {
      rows_[i] = detail::resampler_rows(kInputRates[i], settings.sample_rate);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  ready_ = true;
  return true;
}

bool OpusPublisher::configuration_applied() const noexcept {
  if (!encoder_) return false;
  opus_int32 rate = 0;
  opus_int32 bitrate = 0;
  opus_int32 channels = 0;
  OpusEncoder* encoder = encoder_.get();
  return opus_encoder_ctl(encoder, OPUS_GET_SAMPLE_RATE(&rate)) == OPUS_OK &&
         opus_encoder_ctl(encoder, OPUS_GET_BITRATE(&bitrate)) == OPUS_OK &&
         opus_encoder_ctl(encoder, OPUS_GET_FORCE_CHANNELS(&channels)) == OPUS_OK &&
         rate == static_cast<opus_int32>(settings_.sample_rate) &&
         bitrate == static_cast<opus_int32>(settings_.bitrate) &&
         channels == static_cast<opus_int32>(settings_.channels);
}

std::span<const int16_t> OpusPublisher::frame() const noexcept {
  return std::span<const int16_t>(pcm_).first(settings_.sample_rate / 100 * settings_.channels);
}

void OpusPublisher::put(uint32_t frame_index, int16_t sample) noexcept {
  int16_t* out = pcm_.data() + static_cast<size_t>(frame_index) * settings_.channels;
  std::fill_n(out, settings_.channels, sample);
}

int32_t OpusPublisher::encode(const int16_t* pcm, uint32_t count, uint32_t input_rate) noexcept {
  const int rate_index = input_rate_index(input_rate);
  if (!ready_ || pcm == nullptr || rate_index < 0 || count != input_rate / 100) return -1;
  if (input_rate != input_rate_) {
    input_rate_ = input_rate;
    history_.fill(0);
  }
  const uint32_t frames = settings_.sample_rate / 100;
  if (const detail::ResamplerRows* rows = rows_[static_cast<size_t>(rate_index)]) {
    double values[detail::ResamplerRows::kMaxFrames];
    detail::resample(*rows, history_.data(), pcm, values);
    for (uint32_t n = 0; n < frames; ++n) put(n, detail::to_sample(values[n]));
  } else {
    for (uint32_t n = 0; n < frames; ++n) put(n, pcm[n]);
  }
  std::copy(pcm + count - kHistory, pcm + count, history_.begin());

  const opus_int32 length =
      opus_encode(encoder_.get(), pcm_.data(), static_cast<int>(frames), packet_.data(),
                  static_cast<opus_int32>(kMaxPacket));
  if (length <= 0) return -1;
  if (static_cast<uint64_t>(length) * 800 != settings_.bitrate) return -1;
  if (opus_packet_get_nb_channels(packet_.data()) != static_cast<int>(settings_.channels)) {
    return -1;
  }
  if (opus_packet_get_nb_samples(packet_.data(), length,
                                 static_cast<opus_int32>(settings_.sample_rate)) !=
      static_cast<int>(frames)) {
    return -1;
  }
  return length;
}

bool OpusPublisher::send(agora::rtc::IAudioEncodedFrameSender* sender, const int16_t* pcm,
                         uint32_t count, uint32_t input_rate, int64_t timestamp) {
  if (sender == nullptr) return false;
  const int32_t length = encode_block(pcm, count, input_rate, timestamp);
  return length > 0 && deliver(*sender, length, timestamp);
}

int32_t OpusPublisher::encode_block(const int16_t* pcm, uint32_t count, uint32_t input_rate,
                                    int64_t timestamp) noexcept {
  // The largest timestamp whose successor (+10) is still representable.
  constexpr int64_t kLastContiguous = INT64_MAX - 10;
  if (has_last_timestamp_ &&
      (last_timestamp_ > kLastContiguous || timestamp != last_timestamp_ + 10)) {
    input_rate_ = 0;
  }
  last_timestamp_ = timestamp;
  has_last_timestamp_ = true;
  return encode(pcm, count, input_rate);
}

bool OpusPublisher::deliver(agora::rtc::IAudioEncodedFrameSender& sender, int32_t length,
                            int64_t timestamp) const {
  if (length <= 0 || static_cast<size_t>(length) > kMaxPacket) return false;
  agora::rtc::EncodedAudioFrameInfo info;
  info.codec = agora::rtc::AUDIO_CODEC_OPUS;
  info.sampleRateHz = static_cast<int>(settings_.sample_rate);
  info.samplesPerChannel = static_cast<int>(settings_.sample_rate / 100);
  info.numberOfChannels = static_cast<int>(settings_.channels);
  info.captureTimeMs = timestamp;
  return sender.sendEncodedAudioFrame(packet_.data(), static_cast<size_t>(length), info);
}

}  // namespace dovrin::rtc_client
