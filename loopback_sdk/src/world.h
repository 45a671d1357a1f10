// The stand-in's process-wide state. One mutex guards all of it; the SDK
// objects are thin shells that keep their state here, keyed by object id, so
// that queries and driving never touch an object that is being destroyed.
//
// Lock discipline: the library's observers and sinks are only ever called with
// the lock released, and no reference to a stand-in object is dropped while it
// is held (a last Release runs a destructor that takes the lock again). The one
// library call made under the lock is AddRef of a sink while driving takes its
// snapshot; a reference-count increment cannot reenter the stand-in.
#pragma once

#include <array>
#include <deque>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loopback_control.h"

namespace loopback::detail {

enum class Op : int {
  create_agora_service,
  service_initialize,
  service_release,
  service_create_connection,
  service_create_local_audio_track,
  service_create_pcm_audio_track,
  service_create_encoded_audio_track,
  service_create_audio_device_manager,
  service_create_media_node_factory,
  factory_create_pcm_sender,
  factory_create_encoded_sender,
  connection_connect,
  connection_disconnect,
  connection_renew_token,
  connection_get_local_user,
  connection_register_observer,
  connection_unregister_observer,
  local_user_set_audio_scenario,
  local_user_set_playback_signal_volume,
  local_user_set_playback_frame_parameters,
  local_user_set_before_mixing_parameters,
  local_user_register_audio_frame_observer,
  local_user_unregister_audio_frame_observer,
  local_user_publish_audio,
  local_user_unpublish_audio,
  local_user_subscribe_audio,
  track_set_enabled,
  track_enable_local_playback,
  track_add_audio_sink,
  track_remove_audio_sink,
  devices_count_playout,
  devices_count_recording,
  devices_info_playout,
  devices_info_recording,
  devices_select_playout,
  devices_select_recording,
  pcm_sender_send,
  encoded_sender_send,
};
inline constexpr size_t kOpCount = 38;

// How an operation answers, which decides what its faults may be.
enum class Answer : int { code, boolean, count, object, record, release };

struct OpInfo {
  const char* name;
  Answer answer;
};

const OpInfo& op_info(Op op);
std::optional<Op> find_op(std::string_view name);

// Misuse answer of int operations (see the control header).
inline constexpr int kMisuse = -2;

struct SinkSlot {
  agora::agora_refptr<agora::rtc::IAudioSinkBase> sink;
  agora::rtc::AudioSinkWants wants;
};

struct ConnectionObserverSlot {
  agora::rtc::IRtcConnectionObserver* observer = nullptr;
  void (*deleter)(agora::rtc::IRtcConnectionObserver*) = nullptr;
};

// Everything the stand-in knows about one live object. One record type for all
// kinds keeps the registry a single map; each kind uses its own fields.
struct Record {
  ObjectInfo info;
  const void* address = nullptr;
  uint64_t service = 0;  // the service that made it, directly or not
  // service
  bool initialized = false;
  bool audio_device = false;
  // connection
  std::vector<ConnectionObserverSlot> connection_observers;
  bool connected = false;
  std::optional<std::string> token, channel_id, user_id;
  // local user
  std::vector<agora::media::IAudioFrameObserverBase*> frame_observers;
  std::vector<agora::agora_refptr<agora::rtc::ILocalAudioTrack>> published;
  std::vector<Subscription> subscriptions;
  std::optional<int> audio_scenario, playback_signal_volume;
  FrameParameters playback_frame, before_mixing;
  // audio track
  bool enabled = true;
  bool local_playback = true;
  std::vector<SinkSlot> sinks;
};

struct FaultState {
  Fault fault;
  uint64_t passed = 0;  // matching calls let through so far
};

inline constexpr size_t kDefaultJournalCapacity = 16384;

struct World {
  std::mutex mutex;
  uint64_t next_id = 1;
  uint64_t next_sequence = 1;
  std::map<uint64_t, Record> records;
  // Per operation: the unscoped fault first if any, then scoped ones.
  std::array<std::vector<FaultState>, kOpCount> faults;
  std::deque<Entry> journal;  // the newest journal_capacity entries
  size_t journal_capacity = kDefaultJournalCapacity;
  std::array<uint64_t, kOpCount> calls{};
  bool journaling = true;
  std::array<std::vector<Device>, 2> devices;
  std::array<std::optional<Selection>, 2> selections;
  std::vector<ObserverRecord<agora::rtc::IRtcConnectionObserver>> connection_history;
  std::vector<ObserverRecord<agora::media::IAudioFrameObserverBase>> frame_history;

  // All below: with `mutex` held.
  uint64_t add(Kind kind, const void* address, TrackSource source = TrackSource::none,
               uint64_t related = 0, int mix_mode = 0);
  Record* find(uint64_t id, Kind kind);
  uint64_t service_of(uint64_t id) const;
  void append(Entry&& entry);
  uint64_t id_of(const void* address) const;
};

// The one world; never destroyed, so that objects the library leaks at exit do
// not outlive it.
World& world();

// References collected under the lock and dropped after it is released.
using Dropped = std::vector<agora::agora_refptr<agora::RefCountInterface>>;

// What a fault decided for one call.
enum class Outcome : int { proceed, code, null, exception };

// One call the library makes into the stand-in: takes the lock for the whole
// call, consumes the operation's fault and journals the call with its
// arguments and answer when it ends. Declare anything whose release must run
// unlocked (a Dropped list, a removed reference) before the Call.
class Call {
 public:
  Call(Op op, uint64_t object, Kind kind);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  void arg(const char* name, int64_t value);
  void arg(const char* name, const char* text);
  void pointer_arg(const char* name, const void* pointer);

  // Throws the fault's exception, if that is the fault; true when a code or
  // null fault answers this call instead of the operation.
  bool intercepted();
  Outcome outcome() const { return outcome_; }
  int code() const { return code_; }
  // The exception of an exception fault, journaled as such.
  [[noreturn]] void raise();

  // Record the answer and hand it back.
  int answer(int value);
  bool answer(bool value);
  void object_answer(uint64_t id);
  // Once the call created its object, the journal names it (create_agora_service).
  void set_object(uint64_t id) {
    object_ = id;
    entry_.object = id;
  }

  World& world() { return world_; }
  Record& record();
  uint64_t object() const { return object_; }
  std::unique_lock<std::mutex>& lock() { return lock_; }

 private:
  World& world_;
  std::unique_lock<std::mutex> lock_;
  Op op_;
  uint64_t object_;
  Outcome outcome_ = Outcome::proceed;
  int code_ = 0;
  bool journaled_;
  Entry entry_;
};

// Delivery helpers shared by manual driving and the live engine; they call
// into the library and must run without the lock.
void deliver(agora::rtc::IRtcConnectionObserver& observer, const Notification& notification,
             const agora::rtc::TConnectionInfo& info);
agora::rtc::TConnectionInfo make_info(const ConnectionInfo& info);
FrameAnswers run(agora::media::IAudioFrameObserverBase* const* targets, size_t count,
                 const Frame& frame);

}  // namespace loopback::detail
