#include "channel.h"

#include <algorithm>

namespace loopback::live_mode {
namespace {

uint64_t mix(uint64_t hash, std::string_view text) {
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  hash ^= 0xff;
  return hash * 1099511628211ull;
}

uint64_t mix(uint64_t hash, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    hash ^= (value >> (8 * i)) & 0xff;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

Member& Channels::join(std::string_view channel, uint64_t id, std::string_view uid, bool bot,
                       uint64_t service, uint64_t now_ms) {
  leave(id);
  Member& m = members_[id];
  m.id = id;
  m.channel = std::string(channel);
  m.uid = std::string(uid);
  m.bot = bot;
  m.service = service;
  m.since = now_ms;
  auto it = channels_.find(channel);
  if (it == channels_.end()) it = channels_.emplace(std::string(channel), std::vector<uint64_t>{}).first;
  it->second.push_back(id);
  return m;
}

void Channels::leave(uint64_t id) {
  auto m = members_.find(id);
  if (m == members_.end()) return;
  drop_paths(id);
  auto c = channels_.find(m->second.channel);
  if (c != channels_.end()) {
    std::erase(c->second, id);
    if (c->second.empty()) channels_.erase(c);
  }
  members_.erase(m);
}

void Channels::unlink(uint64_t id) {
  if (Member* m = find(id)) {
    m->linked = false;
    drop_paths(id);
  }
}

void Channels::relink(uint64_t id, uint64_t now_ms) {
  if (Member* m = find(id)) {
    m->linked = true;
    m->since = now_ms;
  }
}

Member* Channels::find(uint64_t id) {
  auto it = members_.find(id);
  return it == members_.end() ? nullptr : &it->second;
}

std::vector<Member*> Channels::others(uint64_t id) {
  std::vector<Member*> out;
  Member* self = find(id);
  if (self == nullptr) return out;
  auto c = channels_.find(self->channel);
  if (c == channels_.end()) return out;
  for (uint64_t other : c->second) {
    if (other != id) out.push_back(find(other));
  }
  return out;
}

const Path* Channels::find_path(std::string_view channel, std::string_view from,
                                std::string_view to) const {
  for (const auto& [ends, path] : paths_) {
    const Member& receiver = members_.at(ends.first);
    const Member& publisher = members_.at(ends.second);
    if (publisher.channel == channel && publisher.uid == from && receiver.uid == to) return path.get();
  }
  return nullptr;
}

void Channels::drop_paths(uint64_t id) {
  std::erase_if(paths_, [id](const auto& p) { return p.first.first == id || p.first.second == id; });
}

void Channels::set_impairment(std::string_view channel, std::string_view from, std::string_view to,
                              const Impairment& impairment) {
  for (auto& r : rules_) {
    if (r.channel == channel && r.from == from && r.to == to) {
      r.impairment = impairment;
      return;
    }
  }
  rules_.push_back({std::string(channel), std::string(from), std::string(to), impairment});
}

Impairment Channels::impairment_for(const Member& from, const Member& to) const {
  const Rule* best = nullptr;
  int best_rank = -1;
  for (const auto& r : rules_) {
    if (r.channel != from.channel) continue;
    if (!r.from.empty() && r.from != from.uid) continue;
    if (!r.to.empty() && r.to != to.uid) continue;
    const int rank = (r.from.empty() ? 0 : 2) + (r.to.empty() ? 0 : 1);
    if (rank > best_rank) {
      best = &r;
      best_rank = rank;
    }
  }
  return best != nullptr ? best->impairment : Impairment{};
}

void Channels::publish(Member& publisher, uint64_t now_ms, const int16_t* pcm,
                       const uint8_t* payload, size_t size,
                       const std::function<bool(const Member&, const Member&)>& listens) {
  const uint64_t seq = publisher.seq++;
  if (!publisher.linked) return;
  auto c = channels_.find(publisher.channel);
  if (c == channels_.end()) return;
  for (uint64_t id : c->second) {
    if (id == publisher.id) continue;
    Member& receiver = members_.at(id);
    if (!receiver.linked || receiver.since >= now_ms || !listens(receiver, publisher)) continue;
    auto& path = paths_[{receiver.id, publisher.id}];
    if (!path) {
      uint64_t seed = mix(14695981039346656037ull, seed_);
      seed = mix(mix(mix(seed, publisher.channel), publisher.uid), receiver.uid);
      seed = mix(mix(seed, publisher.since), receiver.since);
      path = std::make_unique<Path>(impairment_for(publisher, receiver), seed);
    }
    if (payload != nullptr) {
      path->push_opus(seq, now_ms, payload, size);
    } else {
      path->push_pcm(seq, now_ms, pcm);
    }
  }
}

}  // namespace loopback::live_mode
