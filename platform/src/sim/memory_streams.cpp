#include "dovrin/platform/sim/memory_streams.h"

#include <cstring>
#include <sstream>

namespace dovrin::platform::sim {

MemoryStreams::~MemoryStreams() { uninstall(); }

void MemoryStreams::install() {
  installStandardStreams(this);
  installed_ = true;
}

void MemoryStreams::uninstall() {
  if (!installed_) return;
  installStandardStreams(nullptr);
  installed_ = false;
}

void MemoryStreams::failOutputAfter(std::size_t bytes, int error) {
  std::lock_guard lock(mutex_);
  failAfter_ = bytes;
  failError_ = error;
}

void MemoryStreams::stampWith(Clock* clock) {
  std::lock_guard lock(mutex_);
  stamp_ = clock;
}

void MemoryStreams::discardOutput(bool on) {
  std::lock_guard lock(mutex_);
  discard_ = on;
}

int MemoryStreams::writeOut(const void* data, std::size_t size) {
  const double at = stamp_ != nullptr ? stamp_->now() : 0.0;
  std::lock_guard lock(mutex_);
  if (failError_ != 0 && outBytes_ + size > failAfter_) {
    ++failedWrites_;
    failAfter_ = 0;
    return failError_;
  }
  outBytes_ += size;
  if (!discard_) chunks_.push_back(Chunk{1, std::string(static_cast<const char*>(data), size), at});
  return 0;
}

void MemoryStreams::writeErr(std::string_view text) {
  const double at = stamp_ != nullptr ? stamp_->now() : 0.0;
  std::lock_guard lock(mutex_);
  chunks_.push_back(Chunk{2, std::string(text), at});
}

std::string MemoryStreams::out() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& chunk : chunks_)
    if (chunk.stream == 1) all += chunk.bytes;
  return all;
}

std::vector<std::int16_t> MemoryStreams::outSamples() const {
  std::string bytes = out();
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    auto low = static_cast<unsigned char>(bytes[2 * i]);
    auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
  }
  return samples;
}

std::string MemoryStreams::err() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& chunk : chunks_)
    if (chunk.stream == 2) all += chunk.bytes;
  return all;
}

std::vector<std::string> MemoryStreams::errLines() const {
  std::vector<std::string> lines;
  std::istringstream text(err());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::vector<MemoryStreams::Chunk> MemoryStreams::chunks() const {
  std::lock_guard lock(mutex_);
  return chunks_;
}

std::size_t MemoryStreams::outBytes() const {
  std::lock_guard lock(mutex_);
  return outBytes_;
}

int MemoryStreams::failedWrites() const {
  std::lock_guard lock(mutex_);
  return failedWrites_;
}

}  // namespace dovrin::platform::sim
