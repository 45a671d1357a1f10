#include "audio_host/capture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "audio_host/entry.h"
#include "dovrin/platform/clock.h"
#include "dovrin/platform/processes.h"
#include "dovrin/platform/streams.h"
#include "dovrin/platform/uuid.h"

namespace dovrin::audio_host {

namespace selector = platform::selector;
namespace scope = platform::scope;
using platform::kOk;

namespace {

constexpr double kRingSeconds = 2.0;
constexpr double kPassPause = 0.05;
constexpr double kRetargetPeriod = 0.25;
constexpr double kCatchUpLimit = 1.0;
constexpr double kRenderingWindow = 2.0;
// Mixdown room of the IO callback; larger buffers are mixed in several slices.
constexpr std::size_t kMixSlice = 4096;

bool isGone(std::int32_t pid) { return platform::signalZero(pid) == ESRCH; }

std::vector<ObjectId> sortedTree(std::int32_t pid) {
  auto tree = audioObjectsInTree(pid);
  std::sort(tree.begin(), tree.end());
  return tree;
}

// The process objects of the excluded trees, as the system-mode tap lists
// them; sorted, so that the same set in another order is no change.
std::vector<ObjectId> excludedObjects(const PidSet& excluding) {
  std::vector<ObjectId> excluded;
  if (excluding.empty()) return excluded;
  for (ObjectId object : objectIDs(selector::processObjectList)) {
    auto owner = pidOf(object);
    if (owner && isDescendant(*owner, excluding)) excluded.push_back(object);
  }
  std::sort(excluded.begin(), excluded.end());
  return excluded;
}

std::string formatLine(std::int64_t whole) {
  return "{\"event\":\"format\",\"sampleRate\":" + std::to_string(whole) +
         ",\"channels\":1,\"encoding\":\"s16le\"}";
}

// The instant up to which PCM has been written: an anchor plus a count of samples at the
// current rate, so that thousands of small advances add no rounding drift.
class StreamClock {
 public:
  explicit StreamClock(double rate) : rate_(rate) {}
  double value() const { return anchor_ + static_cast<double>(samples_) / rate_; }
  void set(double at) {
    anchor_ = at;
    samples_ = 0;
  }
  void advance(std::int64_t samples) { samples_ += samples; }
  void setRate(double rate) {
    set(value());
    rate_ = rate;
  }

 private:
  double rate_;
  double anchor_ = 0.0;
  std::int64_t samples_ = 0;
};

enum class PassEnd { next, targetGone, outputFailed };

// The main thread's side of a running capture.
class Writer {
 public:
  Writer(std::optional<std::int32_t> pid, const PidSet& excluding, ObjectId tap, ObjectId device,
         std::string tapUuid, std::vector<ObjectId> targets, double rate, Ring& ring, CaptureFlags& flags)
      : pid_(pid),
        excluding_(excluding),
        tap_(tap),
        device_(device),
        tapUuid_(std::move(tapUuid)),
        targets_(std::move(targets)),
        rate_(rate),
        whole_(wholeRate(rate)),
        ring_(ring),
        flags_(flags),
        clock_(rate),
        // The ring never holds more than its capacity, so draining up to the capacity moves
        // everything the device delivered since the last pass, however long that pass took.
        drained_(static_cast<std::size_t>(ring.capacity())),
        pcm_(2 * drained_.size()) {
    const double now = platform::wallClockNow();
    clock_.set(now);
    nextRetarget_ = now;
  }

  int outputError() const { return outputError_; }

  PassEnd pass() {
    if (pid_ && isGone(*pid_)) {
      emitError("no_such_audio_process");
      return PassEnd::targetGone;
    }
    if (platform::wallClockNow() >= nextRetarget_) retarget();
    if (!moveAudio()) return PassEnd::outputFailed;
    const bool candidate = flags_.warningCandidate();
    if (rendering()) {
      if (!activeSince_) activeSince_ = platform::wallClockNow();
    } else {
      activeSince_.reset();
    }
    if (activeSince_ && platform::wallClockNow() - *activeSince_ > kRenderingWindow && candidate) {
      flags_.markWarned();
      emit("{\"event\":\"warning\",\"code\":\"silent_no_permission\"}");
    }
    platform::sleepFor(kPassPause);
    return PassEnd::next;
  }

 private:
  // Pid mode follows the target's tree; system mode follows the excluded
  // trees, whose children may start playing after capture began.
  void retarget() {
    nextRetarget_ = platform::wallClockNow() + kRetargetPeriod;
    auto current = pid_ ? sortedTree(*pid_) : excludedObjects(excluding_);
    if (current == targets_) return;
    platform::Status status =
        pid_ ? setTapProcesses(tap_, current, tapUuid_, {}) : setTapProcesses(tap_, std::nullopt, tapUuid_, current);
    if (status != kOk) {
      // Targets stay as they were, so the next period tries again, without a second warning.
      if (!retargetWarned_) {
        emit("{\"event\":\"warning\",\"code\":\"retarget_failed\",\"osstatus\":" + std::to_string(status) + "}");
        retargetWarned_ = true;
      }
      return;
    }
    targets_ = std::move(current);
    emit("{\"event\":\"retarget\",\"processes\":" + std::to_string(targets_.size()) + "}");
    auto format = inputFormat(device_);
    if (format && wholeRate(format->rate) != whole_) {
      rate_ = format->rate;
      whole_ = wholeRate(rate_);
      clock_.setRate(rate_);
      emit(formatLine(whole_));
    }
  }

  // Delivered audio as it comes, else silence up to now; false when the output failed.
  bool moveAudio() {
    const std::int64_t n = ring_.read(drained_.data(), static_cast<std::int64_t>(drained_.size()));
    if (n > 0) {
      const double now = platform::wallClockNow();
      if (clock_.value() < now) clock_.set(now);
      for (std::int64_t i = 0; i < n; ++i) {
        const auto value = static_cast<std::uint16_t>(toPcm16(drained_[static_cast<std::size_t>(i)]));
        pcm_[static_cast<std::size_t>(2 * i)] = static_cast<unsigned char>(value & 0xFF);
        pcm_[static_cast<std::size_t>(2 * i + 1)] = static_cast<unsigned char>(value >> 8);
      }
      if (!write(pcm_.data(), static_cast<std::size_t>(2 * n))) return false;
      clock_.advance(n);
      return true;
    }
    const double now = platform::wallClockNow();
    if (now - clock_.value() > kCatchUpLimit) clock_.set(now - kCatchUpLimit);
    const auto owed = static_cast<std::int64_t>((now - clock_.value()) * rate_);
    if (owed < 1) return true;
    const std::int64_t m = std::min(owed, whole_);
    silence_.resize(std::max(silence_.size(), static_cast<std::size_t>(2 * m)), 0);
    if (!write(silence_.data(), static_cast<std::size_t>(2 * m))) return false;
    clock_.advance(m);
    return true;
  }

  bool write(const unsigned char* bytes, std::size_t size) {
    outputError_ = platform::writeStandardOutput(bytes, size);
    return outputError_ == 0;
  }

  bool rendering() const {
    if (!pid_) return isRenderingOutput({}, excluding_);
    // An empty tree plays nothing; it must not fall back to every process on the system.
    return !targets_.empty() && isRenderingOutput(targets_, excluding_);
  }

  const std::optional<std::int32_t> pid_;
  const PidSet& excluding_;
  const ObjectId tap_;
  const ObjectId device_;
  const std::string tapUuid_;
  std::vector<ObjectId> targets_;
  double rate_;
  std::int64_t whole_;
  Ring& ring_;
  CaptureFlags& flags_;
  StreamClock clock_;
  std::optional<double> activeSince_;
  double nextRetarget_ = 0.0;
  bool retargetWarned_ = false;
  int outputError_ = 0;
  std::vector<float> drained_;
  std::vector<unsigned char> pcm_;
  std::vector<unsigned char> silence_;
};

// Undoes start-up in reverse order of creation; each step runs only for what exists.
void release(platform::IoProcId proc, ObjectId device, ObjectId tap) {
  if (proc != nullptr) (void)platform::destroyIoProc(device, proc);
  if (device != 0) (void)platform::destroyAggregateDevice(device);
  if (tap != 0) (void)platform::destroyProcessTap(tap);
}

int initializeFailed(platform::IoProcId proc, ObjectId device, ObjectId tap) {
  release(proc, device, tap);
  emitError("initialize_failed");
  return 1;
}

}  // namespace

platform::TapDescription tapDescription(const std::optional<std::vector<ObjectId>>& processes,
                                        const std::string& uuid, const std::vector<ObjectId>& excluding) {
  platform::TapDescription description;
  if (processes) {
    description.kind = platform::TapDescription::Kind::monoMixdownOfProcesses;
    description.processes = *processes;
  } else {
    description.kind = platform::TapDescription::Kind::stereoGlobalExcludingProcesses;
    description.processes = excluding;
  }
  description.uuid = uuid;
  description.name = kCaptureName;
  description.isPrivate = true;
  return description;
}

platform::Status setTapProcesses(ObjectId tap, const std::optional<std::vector<ObjectId>>& processes,
                                 const std::string& uuid, const std::vector<ObjectId>& excluding) {
  const platform::TapDescription description = tapDescription(processes, uuid, excluding);
  const platform::TapDescription* reference = &description;
  return platform::setPropertyData(tap, globalAddress(selector::tapDescription), sizeof reference, &reference);
}

platform::AggregateDeviceDescription aggregateDescription(const std::string& uid, const std::string& tapUuid) {
  platform::AggregateDeviceDescription description;
  description.name = kCaptureName;
  description.uid = uid;
  description.isPrivate = true;
  description.isStacked = false;
  description.tapAutoStart = true;
  description.taps.push_back(platform::SubTap{true, tapUuid});
  return description;
}

std::optional<InputFormat> inputFormat(ObjectId device) {
  const platform::PropertyAddress streams{selector::streams, scope::input, platform::kMainElement};
  std::uint32_t size = 0;
  if (platform::getPropertyDataSize(device, streams, &size) != kOk) size = 0;
  if (size < 4) return std::nullopt;
  std::vector<ObjectId> ids(size / 4, 0);
  std::uint32_t room = static_cast<std::uint32_t>(ids.size() * 4);
  if (platform::getPropertyData(device, streams, &room, ids.data()) != kOk || room < 4) return std::nullopt;
  platform::StreamFormat format;
  std::uint32_t formatSize = sizeof format;
  if (platform::getPropertyData(ids.front(), globalAddress(selector::virtualFormat), &formatSize, &format) != kOk)
    return std::nullopt;
  // A rate that is not a positive finite number cannot pace anything.
  if (!(format.sampleRate > 0.0) || !std::isfinite(format.sampleRate)) return std::nullopt;
  return InputFormat{format.sampleRate, format.channelsPerFrame == 0 ? 1u : format.channelsPerFrame};
}

std::int64_t wholeRate(double rate) { return static_cast<std::int64_t>(std::llround(rate)); }

std::int16_t toPcm16(float sample) {
  if (!(sample < 1.0f)) return 32767;
  if (sample < -1.0f) return -32767;
  return static_cast<std::int16_t>(sample * 32767.0f);
}

CaptureInput::CaptureInput(std::uint32_t channelCount, CaptureFlags& captureFlags, Ring& captureRing)
    : channels(channelCount), flags(&captureFlags), ring(&captureRing), mono(kMixSlice) {}

void captureInput(void* context, std::span<const platform::AudioBuffer> input, std::span<platform::AudioBuffer>) {
  auto& capture = *static_cast<CaptureInput*>(context);
  auto buffer = std::find_if(input.begin(), input.end(), [](const platform::AudioBuffer& candidate) {
    return candidate.data != nullptr && candidate.byteSize >= 4;
  });
  if (buffer == input.end()) return;
  const auto* samples = static_cast<const float*>(buffer->data);
  const std::size_t n = buffer->byteSize / 4;
  const auto nonZero = [](float sample) { return sample != 0.0f; };  // true for NaN as well
  if (capture.channels < 2) {
    if (std::any_of(samples, samples + n, nonZero)) capture.flags->markNonZero();
    capture.ring->write(samples, static_cast<std::int64_t>(n));
    return;
  }
  const std::size_t channels = capture.channels;
  const std::size_t frames = n / channels;
  const auto divisor = static_cast<float>(channels);
  bool marked = false;
  for (std::size_t done = 0; done < frames;) {
    const std::size_t slice = std::min(frames - done, capture.mono.size());
    const float* frame = samples + done * channels;
    for (std::size_t i = 0; i < slice; ++i, frame += channels) {
      float sum = 0.0f;
      for (std::size_t c = 0; c < channels; ++c) sum += frame[c];
      capture.mono[i] = sum / divisor;
    }
    if (!marked && std::any_of(capture.mono.begin(), capture.mono.begin() + static_cast<std::ptrdiff_t>(slice), nonZero)) {
      capture.flags->markNonZero();
      marked = true;
    }
    capture.ring->write(capture.mono.data(), static_cast<std::int64_t>(slice));
    done += slice;
  }
}

int runCapture(std::optional<std::int32_t> pid, const PidSet& excluding) {
  if (pid && isGone(*pid)) {
    emitError("no_such_audio_process");
    return 1;
  }
  const std::string tapUuid = platform::randomUuidText();
  // What the tap lists: the target's tree in pid mode, the excluded trees in system mode.
  std::vector<ObjectId> targets = pid ? sortedTree(*pid) : excludedObjects(excluding);
  const auto description = pid ? tapDescription(targets, tapUuid, {}) : tapDescription(std::nullopt, tapUuid, targets);

  ObjectId tap = 0;
  platform::Status status = platform::createProcessTap(description, &tap);
  if (status != kOk) {
    emit("{\"event\":\"error\",\"code\":\"activation_failed\",\"osstatus\":" + std::to_string(status) + "}");
    return 1;
  }
  ObjectId device = 0;
  if (platform::createAggregateDevice(aggregateDescription(platform::randomUuidText(), tapUuid), &device) != kOk)
    return initializeFailed(nullptr, 0, tap);
  const auto format = inputFormat(device);
  if (!format) return initializeFailed(nullptr, device, tap);

  Ring ring(kRingSeconds, format->rate);
  CaptureFlags flags;
  CaptureInput input(format->channels, flags, ring);
  platform::IoProcId proc = nullptr;
  if (platform::createIoProc(device, captureInput, &input, &proc) != kOk || proc == nullptr)
    return initializeFailed(nullptr, device, tap);
  if (platform::startDevice(device, proc) != kOk) return initializeFailed(proc, device, tap);

  // No PCM may precede the format line; the stream clock starts once it is out.
  emit(formatLine(wholeRate(format->rate)));
  Writer writer(pid, excluding, tap, device, tapUuid, std::move(targets), format->rate, ring, flags);
  PassEnd end = PassEnd::next;
  while (end == PassEnd::next && !gStop.load(std::memory_order_relaxed)) end = writer.pass();

  // Closing the ring first makes any callback still in flight add nothing.
  ring.close();
  (void)platform::stopDevice(device, proc);
  release(proc, device, tap);
  if (end != PassEnd::outputFailed) return 0;
  // The reader hanging up is how a parent ends a capture it no longer wants: an orderly
  // end, as is a stop whose last write the reader left no room for. Any other failure
  // means PCM was lost on the way out.
  return writer.outputError() == EPIPE || writer.outputError() == ECANCELED ? 0 : 1;
}

}  // namespace dovrin::audio_host
