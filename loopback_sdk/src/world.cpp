#include "world.h"

#include <stdexcept>

namespace loopback::detail {
namespace {

// Indexed by Op; the names are the stable ones faults and the journal share.
constexpr std::array<OpInfo, kOpCount> kOps{{
    {"create_agora_service", Answer::object},
    {"service.initialize", Answer::code},
    {"service.release", Answer::release},
    {"service.create_connection", Answer::object},
    {"service.create_local_audio_track", Answer::object},
    {"service.create_pcm_audio_track", Answer::object},
    {"service.create_encoded_audio_track", Answer::object},
    {"service.create_audio_device_manager", Answer::object},
    {"service.create_media_node_factory", Answer::object},
    {"factory.create_pcm_sender", Answer::object},
    {"factory.create_encoded_sender", Answer::object},
    {"connection.connect", Answer::code},
    {"connection.disconnect", Answer::code},
    {"connection.renew_token", Answer::code},
    {"connection.get_local_user", Answer::object},
    {"connection.register_observer", Answer::code},
    {"connection.unregister_observer", Answer::code},
    {"local_user.set_audio_scenario", Answer::code},
    {"local_user.set_playback_signal_volume", Answer::code},
    {"local_user.set_playback_frame_parameters", Answer::code},
    {"local_user.set_before_mixing_parameters", Answer::code},
    {"local_user.register_audio_frame_observer", Answer::code},
    {"local_user.unregister_audio_frame_observer", Answer::code},
    {"local_user.publish_audio", Answer::code},
    {"local_user.unpublish_audio", Answer::code},
    {"local_user.subscribe_audio", Answer::code},
    {"track.set_enabled", Answer::code},
    {"track.enable_local_playback", Answer::code},
    {"track.add_audio_sink", Answer::boolean},
    {"track.remove_audio_sink", Answer::code},
    {"devices.count_playout", Answer::count},
    {"devices.count_recording", Answer::count},
    {"devices.info_playout", Answer::record},
    {"devices.info_recording", Answer::record},
    {"devices.select_playout", Answer::code},
    {"devices.select_recording", Answer::code},
    {"pcm_sender.send", Answer::code},
    {"encoded_sender.send", Answer::boolean},
}};
static_assert(static_cast<size_t>(Op::encoded_sender_send) + 1 == kOpCount);

}  // namespace

const OpInfo& op_info(Op op) { return kOps[static_cast<size_t>(op)]; }

std::optional<Op> find_op(std::string_view name) {
  for (size_t i = 0; i < kOps.size(); ++i) {
    if (name == kOps[i].name) return static_cast<Op>(i);
  }
  return std::nullopt;
}

World& world() {
  static World* const instance = new World;
  return *instance;
}

uint64_t World::add(Kind kind, const void* address, TrackSource source, uint64_t related,
                    int mix_mode) {
  const uint64_t id = next_id++;
  Record& record = records[id];
  record.info = ObjectInfo{id, kind, source, related, mix_mode};
  record.address = address;
  record.service = kind == Kind::service ? id : 0;
  return id;
}

Record* World::find(uint64_t id, Kind kind) {
  auto it = records.find(id);
  if (it == records.end() || it->second.info.kind != kind) return nullptr;
  return &it->second;
}

uint64_t World::service_of(uint64_t id) const {
  auto it = records.find(id);
  return it == records.end() ? 0 : it->second.service;
}

void World::append(Entry&& entry) {
  if (journal_capacity == 0) return;
  while (journal.size() >= journal_capacity) journal.pop_front();
  journal.push_back(std::move(entry));
}

uint64_t World::id_of(const void* address) const {
  if (address == nullptr) return 0;
  for (const auto& [id, record] : records) {
    if (record.address == address) return id;
  }
  return 0;
}

Call::Call(Op op, uint64_t object, Kind kind)
    : world_(loopback::detail::world()),
      lock_(world_.mutex),
      op_(op),
      object_(object),
      journaled_(world_.journaling) {
  ++world_.calls[static_cast<size_t>(op)];
  auto& slots = world_.faults[static_cast<size_t>(op)];
  FaultState* slot = nullptr;
  if (!slots.empty()) {
    const uint64_t service = world_.service_of(object);
    for (auto& f : slots) {
      const uint64_t scope = f.fault.object;
      if (scope != 0 && (scope == object || scope == service)) slot = &f;
    }
    if (slot == nullptr && slots.front().fault.object == 0) slot = &slots.front();
  }
  if (slot != nullptr) {
    if (slot->passed < slot->fault.after) {
      ++slot->passed;
    } else {
      switch (slot->fault.kind) {
        case FaultKind::code:
          outcome_ = Outcome::code;
          code_ = slot->fault.code;
          entry_.fault = "code";
          break;
        case FaultKind::null:
          outcome_ = Outcome::null;
          entry_.fault = "null";
          break;
        case FaultKind::exception:
          outcome_ = Outcome::exception;
          entry_.fault = "throw";
          break;
      }
      if (slot->fault.times != kAlways && --slot->fault.times == 0) {
        slots.erase(slots.begin() + (slot - slots.data()));
      }
    }
  }
  if (journaled_) {
    entry_.sequence = world_.next_sequence++;
    entry_.op = op_info(op).name;
    entry_.object = object;
    entry_.kind = kind;
  }
}

Call::~Call() {
  if (journaled_) world_.append(std::move(entry_));
}

void Call::arg(const char* name, int64_t value) {
  if (!journaled_) return;
  Value v;
  v.type = Value::Type::integer;
  v.integer = value;
  entry_.args.emplace_back(name, std::move(v));
}

void Call::arg(const char* name, const char* text) {
  if (!journaled_) return;
  Value v;
  if (text != nullptr) {
    v.type = Value::Type::text;
    v.text = text;
  }
  entry_.args.emplace_back(name, std::move(v));
}

void Call::pointer_arg(const char* name, const void* pointer) {
  arg(name, static_cast<int64_t>(reinterpret_cast<uintptr_t>(pointer)));
}

bool Call::intercepted() {
  if (outcome_ == Outcome::exception) raise();
  return outcome_ != Outcome::proceed;
}

void Call::raise() {
  entry_.fault = "throw";
  throw std::runtime_error(std::string("loopback fault in ") + op_info(op_).name);
}

int Call::answer(int value) {
  entry_.result = value;
  return value;
}

bool Call::answer(bool value) {
  entry_.result = value ? 1 : 0;
  return value;
}

void Call::object_answer(uint64_t id) { entry_.result = static_cast<int64_t>(id); }

Record& Call::record() { return world_.records.at(object_); }

}  // namespace loopback::detail
