#include "path.h"

#include <opus.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace loopback::live_mode {

Path::Path(const Impairment& impairment, uint64_t seed)
    : impairment_(impairment), random_(seed) {
  impairment_.latency_ms = std::max<uint32_t>(impairment_.latency_ms, 1);
}

Path::~Path() {
  if (decoder_ != nullptr) opus_decoder_destroy(decoder_);
}

bool Path::lose() {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  // Draw every number on every block, so that one impairment does not shift
  // the sequence another one sees.
  const double independent = uniform(random_);
  const double burst = uniform(random_);
  if (in_burst_) {
    const double mean_blocks = std::max(1.0, impairment_.burst_length_ms / 10.0);
    if (burst < 1.0 / mean_blocks) in_burst_ = false;
  } else if (burst < impairment_.burst_start) {
    in_burst_ = true;
  }
  return in_burst_ || independent < impairment_.loss;
}

Path::Slot* Path::place(uint64_t seq, uint64_t now_ms) {
  const bool lost = lose();
  uint64_t delay = impairment_.latency_ms;
  if (impairment_.jitter_ms > 0) {
    delay += std::uniform_int_distribution<uint64_t>(0, impairment_.jitter_ms)(random_);
  } else {
    random_();  // keeps the draws aligned whether jitter is on or not
  }
  ++stats_.sent;
  if (lost) {
    ++stats_.dropped;
    return nullptr;
  }
  Slot& slot = slots_[seq % kSlots];
  if (slot.valid) ++stats_.late;  // never played before its slot came round again
  slot.valid = true;
  slot.seq = seq;
  slot.sent = now_ms;
  slot.arrival = now_ms + delay;
  return &slot;
}

void Path::push_pcm(uint64_t seq, uint64_t now_ms, const int16_t* pcm) {
  Slot* slot = place(seq, now_ms);
  if (slot == nullptr) return;
  slot->opus = false;
  std::memcpy(slot->pcm.data(), pcm, kBlock * sizeof(int16_t));
}

void Path::push_opus(uint64_t seq, uint64_t now_ms, const uint8_t* payload, size_t size) {
  Slot* slot = place(seq, now_ms);
  if (slot == nullptr) return;
  slot->opus = true;
  slot->size = static_cast<uint16_t>(std::min(size, kMaxPayload));
  std::memcpy(slot->payload.data(), payload, slot->size);
}

Path::Out Path::pull(uint64_t now_ms, int16_t* out) {
  if (!anchored_) {
    const Slot* first = nullptr;
    for (Slot& s : slots_) {
      // After a schedule, blocks whose turn has passed stay passed: playing
      // them now would go back in time.
      if (s.valid && was_anchored_ && s.seq < next_) {
        s.valid = false;
        ++stats_.late;
        continue;
      }
      if (s.valid && s.arrival <= now_ms && (first == nullptr || s.seq < first->seq)) first = &s;
    }
    if (first == nullptr) return {};
    // Blocks skipped while the schedule was dropped are lost as well.
    if (was_anchored_ && first->seq > next_) stats_.lost += first->seq - next_;
    anchored_ = true;
    was_anchored_ = true;
    anchor_seq_ = first->seq;
    anchor_ms_ = first->arrival + impairment_.jitter_buffer_ms;
    next_ = first->seq;
    misses_ = 0;
  }
  const uint64_t due = anchor_ms_ + (next_ - anchor_seq_) * 10;
  if (due > now_ms) return {};

  Out result;
  result.seq = next_;
  Slot& slot = slots_[next_ % kSlots];
  if (slot.valid && slot.seq < next_) {  // its turn has passed
    slot.valid = false;
    ++stats_.late;
  }
  if (slot.valid && slot.seq == next_ && slot.arrival <= now_ms) {
    slot.valid = false;
    result.sent_ms = slot.sent;
    misses_ = 0;
    if (!slot.opus) {
      std::memcpy(out, slot.pcm.data(), kBlock * sizeof(int16_t));
      result.outcome = Outcome::played;
    } else {
      if (decoder_ == nullptr) {
        int error = 0;
        decoder_ = opus_decoder_create(kRate, 1, &error);
        if (decoder_ == nullptr) throw std::runtime_error(opus_strerror(error));
      }
      const int n = opus_decode(decoder_, slot.payload.data(), slot.size, out, kBlock, 0);
      if (n != static_cast<int>(kBlock)) {  // not a 10 ms packet, or corrupt
        ++next_;
        return lost(result);
      }
      decoded_ = true;
      result.outcome = Outcome::played;
    }
    ++stats_.played;
    ++next_;
    return result;
  }

  ++misses_;
  ++next_;
  if (misses_ > kResyncAfter) {
    anchored_ = false;
    return lost(result);
  }
  if (decoder_ != nullptr && decoded_ && misses_ <= kMaxConcealed &&
      opus_decode(decoder_, nullptr, 0, out, kBlock, 0) == static_cast<int>(kBlock)) {
    ++stats_.concealed;
    result.outcome = Outcome::concealed;
    return result;
  }
  return lost(result);
}

Path::Out Path::lost(Out result) {
  ++stats_.lost;
  result.outcome = Outcome::lost;
  return result;
}

}  // namespace loopback::live_mode
