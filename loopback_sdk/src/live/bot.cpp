#include "bot.h"

#include <array>

namespace loopback::live_mode {

void Bot::publish(Channels& channels, uint64_t now_ms,
                  const std::function<bool(const Member&, const Member&)>& listens) {
  std::array<int16_t, kBlock> block;
  source_.next(block.data(), now_ms);
  if (!options_.publish) return;
  Member* self = channels.find(id_);
  if (self == nullptr) return;
  ++stats_.blocks_sent;
  channels.publish(*self, now_ms, block.data(), nullptr, 0, listens);
}

void Bot::hear(Channels& channels, uint64_t now_ms) {
  std::array<int32_t, kBlock> mixed{};
  std::array<int16_t, kBlock> block;
  channels.paths_into(id_, [&](Member& publisher, Path& path) {
    Heard& heard = last_seq_[publisher.id];
    heard.tick = stats_.ticks + 1;
    for (int turn = 0; turn < 4; ++turn) {
      const Path::Out out = path.pull(now_ms, block.data());
      if (out.outcome == Path::Outcome::none) break;
      if (out.outcome == Path::Outcome::lost) {
        ++stats_.blocks_lost;
        continue;
      }
      if (out.outcome == Path::Outcome::concealed) ++stats_.blocks_concealed;
      ++stats_.blocks_heard;
      if (heard.since != publisher.since) {
        heard.since = publisher.since;
        heard.last = 0;
      }
      if (out.seq <= heard.last) ++stats_.out_of_order;
      heard.last = out.seq;
      for (size_t i = 0; i < kBlock; ++i) mixed[i] += block[i];
    }
  });
  ++stats_.ticks;
  std::erase_if(last_seq_, [this](const auto& entry) { return entry.second.tick != stats_.ticks; });
  for (size_t i = 0; i < kBlock; ++i) {
    if (recording_.size() < options_.record_capacity) {
      recording_.push_back(saturate(mixed[i]));
    } else {
      ++stats_.record_dropped;
    }
  }
}

}  // namespace loopback::live_mode
