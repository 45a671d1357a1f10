#include "media.h"

#include <samplerate.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace loopback::live_mode {

void SourceGenerator::next(int16_t* out, uint64_t time_ms) {
  switch (source_.type) {
    case Source::Type::silence:
      std::fill(out, out + kBlock, int16_t{0});
      break;
    case Source::Type::tone: {
      const double step = 2.0 * std::numbers::pi * source_.frequency_hz / kRate;
      const double scale = source_.amplitude * 32767.0;
      for (size_t i = 0; i < kBlock; ++i) {
        const double phase = std::fmod(step * static_cast<double>(position_ + i), 2.0 * std::numbers::pi);
        out[i] = saturate(static_cast<int32_t>(std::lround(scale * std::sin(phase))));
      }
      break;
    }
    case Source::Type::samples: {
      const auto& s = source_.samples;
      for (size_t i = 0; i < kBlock; ++i) {
        const uint64_t at = position_ + i;
        if (s.empty()) {
          out[i] = 0;
        } else if (source_.loop) {
          out[i] = s[at % s.size()];
        } else {
          out[i] = at < s.size() ? s[at] : int16_t{0};
        }
      }
      break;
    }
    case Source::Type::callback:
      std::fill(out, out + kBlock, int16_t{0});
      if (source_.callback != nullptr) source_.callback(source_.context, out, kBlock, time_ms);
      break;
  }
  position_ += kBlock;
}

Resampler::Resampler(int from_rate, int to_rate) : from_(from_rate), to_(to_rate) {
  int error = 0;
  state_ = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &error);
  if (state_ == nullptr) throw std::runtime_error(src_strerror(error));
}

Resampler::~Resampler() { src_delete(state_); }

void Resampler::push(const int16_t* in, size_t count, std::vector<int16_t>& out) {
  in_.resize(count);
  src_short_to_float_array(in, in_.data(), static_cast<int>(count));
  const double ratio = static_cast<double>(to_) / from_;
  out_.resize(static_cast<size_t>(static_cast<double>(count) * ratio) + 64);
  SRC_DATA data{};
  data.data_in = in_.data();
  data.input_frames = static_cast<long>(count);
  data.data_out = out_.data();
  data.output_frames = static_cast<long>(out_.size());
  data.src_ratio = ratio;
  data.end_of_input = 0;
  // One call consumes the whole input: the output room exceeds what the
  // ratio can produce from it.
  while (data.input_frames > 0) {
    if (src_process(state_, &data) != 0) break;
    const size_t old = out.size();
    out.resize(old + static_cast<size_t>(data.output_frames_gen));
    src_float_to_short_array(out_.data(), out.data() + old, static_cast<int>(data.output_frames_gen));
    data.data_in += data.input_frames_used;
    data.input_frames -= data.input_frames_used;
    if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
  }
}

}  // namespace loopback::live_mode
