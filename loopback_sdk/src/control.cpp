// The control interface: faults, journal, queries, devices and reset.
#include <stdexcept>

#include "world.h"

namespace loopback {

using detail::Answer;
using detail::World;
using detail::world;

namespace {

struct Locked {
  World& w = world();
  std::lock_guard<std::mutex> lock{w.mutex};
};

detail::Op op_named(std::string_view operation) {
  auto op = detail::find_op(operation);
  if (!op) throw std::invalid_argument("unknown loopback operation: " + std::string(operation));
  return *op;
}

template <class Pick>
std::vector<ObjectInfo> pick_objects(Pick&& pick) {
  Locked l;
  std::vector<ObjectInfo> out;
  for (const auto& [id, record] : l.w.records) {
    if (pick(record.info)) out.push_back(record.info);
  }
  return out;
}

}  // namespace

const char* kind_name(Kind kind) {
  static constexpr const char* kNames[kKindCount] = {
      "service", "media_node_factory", "device_manager", "connection",
      "local_user", "audio_track", "pcm_sender", "encoded_sender"};
  const auto i = static_cast<size_t>(kind);
  return i < kKindCount ? kNames[i] : "unknown";
}

std::vector<ObjectInfo> objects() {
  return pick_objects([](const ObjectInfo&) { return true; });
}

std::vector<ObjectInfo> objects(Kind kind) {
  return pick_objects([kind](const ObjectInfo& info) { return info.kind == kind; });
}

std::vector<ObjectInfo> tracks(TrackSource source) {
  return pick_objects([source](const ObjectInfo& info) {
    return info.kind == Kind::audio_track && info.source == source;
  });
}

size_t live(Kind kind) { return objects(kind).size(); }

size_t live_total() {
  Locked l;
  return l.w.records.size();
}

uint64_t id_of(const void* sdk_object) {
  Locked l;
  return l.w.id_of(sdk_object);
}

std::optional<TrackState> track_state(uint64_t track) {
  Locked l;
  const detail::Record* r = l.w.find(track, Kind::audio_track);
  if (r == nullptr) return std::nullopt;
  TrackState state{r->enabled, r->local_playback, {}};
  for (const auto& slot : r->sinks) {
    state.sinks.push_back({slot.sink.get(), slot.wants.samplesPerSec, slot.wants.channels});
  }
  return state;
}

std::optional<LocalUserState> local_user_state(uint64_t local_user) {
  Locked l;
  const detail::Record* r = l.w.find(local_user, Kind::local_user);
  if (r == nullptr) return std::nullopt;
  LocalUserState state;
  state.connection = r->info.related;
  state.observers = r->frame_observers;
  for (const auto& track : r->published) state.published.push_back(l.w.id_of(track.get()));
  state.subscriptions = r->subscriptions;
  state.audio_scenario = r->audio_scenario;
  state.playback_signal_volume = r->playback_signal_volume;
  state.playback_frame = r->playback_frame;
  state.before_mixing = r->before_mixing;
  return state;
}

std::optional<ConnectionState> connection_state(uint64_t connection) {
  Locked l;
  const detail::Record* r = l.w.find(connection, Kind::connection);
  if (r == nullptr) return std::nullopt;
  ConnectionState state{r->info.related, r->connected, r->token, r->channel_id, r->user_id, {}};
  for (const auto& slot : r->connection_observers) state.observers.push_back(slot.observer);
  return state;
}

std::vector<ObserverRecord<agora::rtc::IRtcConnectionObserver>> connection_observers_ever() {
  Locked l;
  return l.w.connection_history;
}

std::vector<ObserverRecord<agora::media::IAudioFrameObserverBase>> frame_observers_ever() {
  Locked l;
  return l.w.frame_history;
}

void set_fault(std::string_view operation, const Fault& fault) {
  const detail::Op op = op_named(operation);
  const Answer answer = detail::op_info(op).answer;
  if (fault.times == 0) throw std::invalid_argument("a fault must hit at least once");
  if (fault.kind == FaultKind::code && answer == Answer::object) {
    throw std::invalid_argument(std::string(operation) + " answers an object: use a null fault");
  }
  if (fault.kind == FaultKind::null && answer != Answer::object) {
    throw std::invalid_argument(std::string(operation) + " answers no object: use a code fault");
  }
  Locked l;
  auto& slots = l.w.faults[static_cast<size_t>(op)];
  std::erase_if(slots, [&](const detail::FaultState& f) { return f.fault.object == fault.object; });
  // The unscoped fault, if any, stays first.
  if (fault.object == 0) {
    slots.insert(slots.begin(), detail::FaultState{fault, 0});
  } else {
    slots.push_back(detail::FaultState{fault, 0});
  }
}

void clear_fault(std::string_view operation) {
  const detail::Op op = op_named(operation);
  Locked l;
  l.w.faults[static_cast<size_t>(op)].clear();
}

void clear_fault(std::string_view operation, uint64_t object) {
  const detail::Op op = op_named(operation);
  Locked l;
  std::erase_if(l.w.faults[static_cast<size_t>(op)],
                [&](const detail::FaultState& f) { return f.fault.object == object; });
}

void clear_faults() {
  Locked l;
  for (auto& f : l.w.faults) f.clear();
}

uint64_t fault_remaining(std::string_view operation, uint64_t object) {
  const detail::Op op = op_named(operation);
  Locked l;
  for (const auto& f : l.w.faults[static_cast<size_t>(op)]) {
    if (f.fault.object == object) return f.fault.times;
  }
  return 0;
}

std::vector<std::string> operations() {
  std::vector<std::string> names;
  for (size_t i = 0; i < detail::kOpCount; ++i) {
    names.emplace_back(detail::op_info(static_cast<detail::Op>(i)).name);
  }
  return names;
}

const Value& Entry::arg(std::string_view name) const {
  for (const auto& [key, value] : args) {
    if (key == name) return value;
  }
  throw std::out_of_range(op + " has no argument " + std::string(name));
}

std::string Entry::text(std::string_view name) const {
  const Value& v = arg(name);
  switch (v.type) {
    case Value::Type::integer:
      return std::to_string(v.integer);
    case Value::Type::text:
      return v.text;
    case Value::Type::null:
      break;
  }
  return "(null)";
}

int64_t Entry::num(std::string_view name) const {
  const Value& v = arg(name);
  if (v.type != Value::Type::integer) {
    throw std::invalid_argument(op + " argument " + std::string(name) + " is not an integer");
  }
  return v.integer;
}

bool Entry::is_null(std::string_view name) const { return arg(name).type == Value::Type::null; }

bool Entry::has(std::string_view name) const {
  for (const auto& [key, value] : args) {
    if (key == name) return true;
  }
  return false;
}

std::vector<Entry> journal() {
  Locked l;
  return {l.w.journal.begin(), l.w.journal.end()};
}

std::vector<Entry> journal(std::string_view op) {
  Locked l;
  std::vector<Entry> out;
  for (const auto& e : l.w.journal) {
    if (e.op == op) out.push_back(e);
  }
  return out;
}

std::vector<std::string> journal_ops() {
  Locked l;
  std::vector<std::string> out;
  out.reserve(l.w.journal.size());
  for (const auto& e : l.w.journal) out.push_back(e.op);
  return out;
}

void clear_journal() {
  Locked l;
  l.w.journal.clear();
}

void set_journal_capacity(size_t entries) {
  Locked l;
  l.w.journal_capacity = entries;
  while (l.w.journal.size() > entries) l.w.journal.pop_front();
}

uint64_t call_count(std::string_view operation) {
  const detail::Op op = op_named(operation);
  Locked l;
  return l.w.calls[static_cast<size_t>(op)];
}

void set_journaling(bool on) {
  Locked l;
  l.w.journaling = on;
}

int64_t checksum(const void* data, size_t bytes) {
  uint64_t hash = 14695981039346656037ull;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < bytes; ++i) {
    hash ^= p[i];
    hash *= 1099511628211ull;
  }
  return static_cast<int64_t>(hash);
}

void set_devices(DeviceKind kind, std::vector<Device> list) {
  Locked l;
  l.w.devices[static_cast<size_t>(kind)] = std::move(list);
}

std::vector<Device> devices(DeviceKind kind) {
  Locked l;
  return l.w.devices[static_cast<size_t>(kind)];
}

std::optional<Selection> selected_device(DeviceKind kind) {
  Locked l;
  return l.w.selections[static_cast<size_t>(kind)];
}

void reset() {
  Locked l;
  for (auto& f : l.w.faults) f.clear();
  l.w.journal.clear();
  l.w.journal_capacity = detail::kDefaultJournalCapacity;
  l.w.calls.fill(0);
  l.w.journaling = true;
  for (auto& list : l.w.devices) list.clear();
  for (auto& s : l.w.selections) s.reset();
  // An unregistered observer may be freed after the test that saw it; only the
  // live registrations are still safe to deliver to.
  std::erase_if(l.w.connection_history, [](const auto& h) { return !h.registered; });
  std::erase_if(l.w.frame_history, [](const auto& h) { return !h.registered; });
}

}  // namespace loopback
