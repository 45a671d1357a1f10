// One direction of audio between two channel members: the network between
// them (latency, jitter, independent and bursty loss, all drawn from the
// path's own seeded generator) and the receiver's playout buffer with Opus
// decoding and concealment.
//
// Blocks are numbered by the publisher (10 ms each). The receiver anchors a
// playout schedule on the first arrival: block k plays at anchor +
// jitter_buffer_ms + 10 ms x (k - first). A block that is not there when due
// is lost: Opus conceals it (up to kMaxConcealed in a row), PCM leaves a gap.
// After kResyncAfter losses in a row the schedule is dropped and re-anchored on
// the next arrival, so a publisher that paused resumes without a lasting gap.
//
// Not thread-safe: the engine calls it with the stand-in's lock held.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "loopback_control.h"
#include "media.h"

struct OpusDecoder;

namespace loopback::live_mode {

class Path {
 public:
  static constexpr size_t kSlots = 32;  // blocks in flight or buffered
  static constexpr size_t kMaxPayload = 1276;

  Path(const Impairment& impairment, uint64_t seed);
  ~Path();
  Path(const Path&) = delete;
  Path& operator=(const Path&) = delete;

  // A block sent at `now_ms`: dropped, or scheduled to arrive.
  void push_pcm(uint64_t seq, uint64_t now_ms, const int16_t* pcm);
  void push_opus(uint64_t seq, uint64_t now_ms, const uint8_t* payload, size_t size);

  enum class Outcome { none, played, concealed, lost };
  struct Out {
    Outcome outcome = Outcome::none;
    uint64_t seq = 0;
    uint64_t sent_ms = 0;
  };
  // The next block due by `now_ms`, written to `out` (480 samples) when
  // played or concealed; none when nothing is due.
  Out pull(uint64_t now_ms, int16_t* out);

  PathStats stats() const { return stats_; }

 private:
  struct Slot {
    bool valid = false;
    bool opus = false;
    uint64_t seq = 0;
    uint64_t sent = 0;
    uint64_t arrival = 0;
    uint16_t size = 0;
    std::array<int16_t, kBlock> pcm{};
    std::array<uint8_t, kMaxPayload> payload{};
  };

  // Whether the network drops the next block; else its arrival time.
  bool lose();
  Slot* place(uint64_t seq, uint64_t now_ms);

  Impairment impairment_;
  std::mt19937_64 random_;
  bool in_burst_ = false;
  std::array<Slot, kSlots> slots_;
  bool anchored_ = false;
  uint64_t anchor_seq_ = 0;
  uint64_t anchor_ms_ = 0;
  uint64_t next_ = 0;
  uint32_t misses_ = 0;
  OpusDecoder* decoder_ = nullptr;
  bool decoded_ = false;  // the decoder has state to conceal from
  Out lost(Out result);
  bool was_anchored_ = false;
  PathStats stats_;
};

}  // namespace loopback::live_mode
