// A remote participant run by the stand-in: joins a channel under a user id,
// publishes its source one block per tick, and records the mix of what it
// hears, one block per tick from its join on (silence when nothing came).
//
// Not thread-safe: the engine's bot thread and the control calls use it with
// the stand-in's lock held.
#pragma once

#include <map>
#include <vector>

#include "channel.h"
#include "media.h"

namespace loopback::live_mode {

class Bot {
 public:
  Bot(uint64_t id, BotOptions options)
      : id_(id), options_(std::move(options)), source_(options_.source) {}

  uint64_t id() const { return id_; }
  const BotOptions& options() const { return options_; }
  bool joined() const { return joined_; }
  void set_joined(bool joined) { joined_ = joined; }
  void set_source(Source source) { source_ = SourceGenerator(std::move(source)); }

  // One tick: publish, then hear every path into the bot.
  void publish(Channels& channels, uint64_t now_ms,
               const std::function<bool(const Member&, const Member&)>& listens);
  void hear(Channels& channels, uint64_t now_ms);

  const std::vector<int16_t>& recording() const { return recording_; }
  const BotStats& stats() const { return stats_; }

 private:
  uint64_t id_;
  BotOptions options_;
  SourceGenerator source_;
  bool joined_ = false;
  std::vector<int16_t> recording_;
  // Per publisher with a path into the bot: its membership start, the last
  // block heard of it, and the tick that last saw its path. Publishers that
  // are gone are dropped, or every join of a long session would add one.
  struct Heard {
    uint64_t since = 0;
    uint64_t last = 0;
    uint64_t tick = 0;
  };
  std::map<uint64_t, Heard> last_seq_;
  BotStats stats_;
};

}  // namespace loopback::live_mode
