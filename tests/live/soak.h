// A soak of one runtime with 34 slots against 34 bots of the stand-in's
// live mode, with churn: slots leave and join again, capture is switched
// (new generations), links drop (some past the recovery window), bots leave
// and return, tokens expire and are renewed, joins fail. The host calls come
// from three threads as the header's threading rules allow (audio: tick,
// capture_poll, poll, play; send: send; health: status, audio_health,
// error), released together once per 10 ms period; the configuration calls
// (join, leave, io, ...) come from the driving thread while those three are
// parked between periods.
//
// The runtime lives for a round, then is destroyed and made anew: a runtime
// allows 34 leaves, and it publishes either PCM or Opus for all its slots,
// so rounds alternate, half of them Opus and half PCM.
//
// Checked continuously: every remote block arrives in order, its samples
// matching its RTP timestamp, with no block missing on a path without loss
// outside the disturbances applied (in real time, where a loaded machine
// makes the stand-in's engine late, the gaps on clean paths are counted, and
// what each path says it played is compared with what the host received);
// capture blocks are consecutive and never
// of a generation older than the latest switch; every failed slot's fatal
// event is one the policy judged fatal, and every fatal judgement failed its
// slot; the runtime itself never fails; heap in use between rounds stays
// flat; bots hear the library's blocks in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dovrin::testing {

struct SoakOptions {
  double seconds = 30;        // of call, over all rounds
  double round_seconds = 15;  // one runtime's life
  bool virtual_clock = true;
  uint64_t seed = 1;
  bool progress = false;      // one line per round on stdout
};

struct SoakFigures {
  uint64_t seed = 0;
  double call_seconds = 0;     // of the clock the soak ran on
  double wall_seconds = 0;
  uint32_t rounds = 0, opus_rounds = 0;
  uint64_t remote_blocks = 0;  // polled from the 34 slots
  uint64_t remote_missing = 0, remote_missing_lossy = 0;  // steps in RTP, all / on lossy paths
  uint64_t remote_missing_clean_late = 0;  // real time: on clean paths, blocks the engine was late with
  uint64_t capture_blocks = 0;
  uint64_t sends_ok = 0, sends_held = 0, sends_refused = 0;
  uint64_t bot_blocks_heard = 0, bot_out_of_order = 0;
  uint64_t events = 0, fatal_answers = 0, slot_failures = 0;
  uint64_t link_losses = 0, long_link_losses = 0, bot_departures = 0, rejoins = 0, join_failures = 0,
           io_switches = 0, renewals = 0, token_expiries = 0;
  uint64_t peak_rss_kb = 0;
  double cpu_seconds = 0;
  double heap_first_mb = 0, heap_last_mb = 0;  // in use after the first and the last round
  bool heap_measured = false;
  std::vector<std::string> violations;  // the first few, with where they happened
  uint64_t violation_count = 0;
};

SoakFigures run_soak(const SoakOptions& options);

// The figures on one line (SOAK_FIGURE ...) and the violations below it.
std::string describe(const SoakFigures& figures);

}  // namespace dovrin::testing
