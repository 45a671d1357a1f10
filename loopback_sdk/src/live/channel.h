// Channels of the live engine: who is in which channel, and the paths that
// carry each member's blocks to every member that listens to it.
//
// A member is a library connection (after the SDK told it connected) or a
// bot. Its blocks are numbered from 1 per membership; a receiver gets a path
// from a publisher when the first block for it is sent. Membership changes at
// a tick take effect for blocks sent after that tick, so the engine's threads
// need not agree on who ran first within one tick.
//
// Not thread-safe: used with the stand-in's lock held.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "media.h"
#include "path.h"

namespace loopback::live_mode {

struct Member {
  uint64_t id = 0;  // connection object id or bot id
  std::string channel;
  std::string uid;
  bool bot = false;
  uint64_t service = 0;  // of a connection
  uint64_t since = 0;    // joined or relinked at this time
  bool linked = true;
  uint64_t seq = 1;      // number of its next block
  // PCM from the library, converted to 48 kHz mono and cut into blocks.
  std::unique_ptr<Resampler> resampler;
  std::vector<int16_t> mono;     // reused, so that steady sending stays off the heap
  std::vector<int16_t> pending;
};

class Channels {
 public:
  explicit Channels(uint64_t seed) : seed_(seed) {}

  Member& join(std::string_view channel, uint64_t id, std::string_view uid, bool bot,
               uint64_t service, uint64_t now_ms);
  // Removes the member and every path from or to it.
  void leave(uint64_t id);
  // A link loss: no blocks either way, paths forgotten.
  void unlink(uint64_t id);
  void relink(uint64_t id, uint64_t now_ms);
  Member* find(uint64_t id);
  // The other members of id's channel, in joining order.
  std::vector<Member*> others(uint64_t id);
  bool empty() const { return members_.empty(); }
  const Path* find_path(std::string_view channel, std::string_view from, std::string_view to) const;
  template <class F>
  void each_member(F&& f) {
    for (auto& [id, m] : members_) f(m);
  }
  size_t paths() const { return paths_.size(); }

  void set_impairment(std::string_view channel, std::string_view from, std::string_view to,
                      const Impairment& impairment);

  // Sends one block of `publisher` (PCM, or an Opus payload when `payload` is
  // set) to every other linked member that joined before `now_ms` and that
  // `listens` (receiver, publisher) accepts.
  void publish(Member& publisher, uint64_t now_ms, const int16_t* pcm, const uint8_t* payload,
               size_t size, const std::function<bool(const Member&, const Member&)>& listens);

  // Every path into `receiver`, with its publisher.
  template <class F>
  void paths_into(uint64_t receiver, F&& f) {
    for (auto it = paths_.lower_bound({receiver, 0}); it != paths_.end() && it->first.first == receiver;
         ++it) {
      Member* publisher = find(it->first.second);
      if (publisher != nullptr) f(*publisher, *it->second);
    }
  }

 private:
  struct Rule {
    std::string channel, from, to;
    Impairment impairment;
  };
  Impairment impairment_for(const Member& from, const Member& to) const;
  void drop_paths(uint64_t id);

  uint64_t seed_;
  std::map<uint64_t, Member> members_;
  std::map<std::string, std::vector<uint64_t>, std::less<>> channels_;
  std::map<std::pair<uint64_t, uint64_t>, std::unique_ptr<Path>> paths_;  // (receiver, publisher)
  std::vector<Rule> rules_;
};

}  // namespace loopback::live_mode
