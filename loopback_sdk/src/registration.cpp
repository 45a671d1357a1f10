#include "live/engine.h"
#include "sdk_objects.h"

namespace loopback::detail {

Registration::Registration(World& locked, Kind kind, const void* address, TrackSource source,
                           uint64_t related, int mix_mode)
    : id_(locked.add(kind, address, source, related, mix_mode)) {}

Registration::~Registration() {
  Dropped dropped;
  std::vector<ConnectionObserverSlot> to_delete;
  {
    World& w = world();
    std::unique_lock lock(w.mutex);
    auto it = w.records.find(id_);
    if (it == w.records.end()) return;
    Record& record = it->second;
    live_mode::retired(w, id_, record.info.kind);
    for (auto& slot : record.sinks) dropped.emplace_back(std::move(slot.sink));
    for (auto& track : record.published) dropped.emplace_back(std::move(track));
    // Registrations end with their object; observers handed over with a
    // deleter are given back to it, as the object no longer needs them.
    for (auto& h : w.connection_history) {
      if (h.owner != id_ || !h.registered) continue;
      h.registered = false;
      for (const auto& slot : record.connection_observers) {
        if (slot.observer == h.observer && slot.deleter != nullptr) h.deleted = true;
      }
    }
    for (auto& h : w.frame_history) {
      if (h.owner == id_) h.registered = false;
    }
    for (const auto& slot : record.connection_observers) {
      if (slot.deleter != nullptr) to_delete.push_back(slot);
    }
    w.records.erase(it);
    // Gone from the registry, so no new delivery can start; wait out the ones
    // already in flight before the deleters run.
    for (const auto& slot : to_delete) live_mode::wait_for_callbacks(lock, slot.observer);
  }
  for (const auto& slot : to_delete) slot.deleter(slot.observer);
}

}  // namespace loopback::detail
