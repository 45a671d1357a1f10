// Control interface of the stand-in RTC SDK (libloopback_rtc_sdk.so).
//
// Only tests, benchmarks and examples use this header; the library under test
// never sees it. It talks to the same process-wide state that the SDK objects
// returned by createAgoraService live in, so a test that links the stand-in and
// a library that dlopens the same path observe one world.
//
// What it offers:
//   - faults: any operation can answer a chosen code, a null object or an
//     exception, once, N times or always, optionally after letting K calls pass;
//   - a journal of every call made into the SDK objects, with named arguments;
//   - live object counts and state queries (observers, sinks, switches, ...);
//   - driving: connection notifications, PCM frames into sinks and audio frames
//     through frame observers, all from the caller's thread;
//   - the device lists that the device manager reports.
//
// By default every operation succeeds (0, true or a new object) and nothing is
// delivered unless a test drives it: a connect answers 0 and no notification
// follows.
//
// Operation names, shared by faults and the journal (the object kind of the
// journal entry in brackets):
//   create_agora_service                       [service]   object
//   service.initialize                         [service]
//   service.release                            [service]   destroys the service whatever its fault
//   service.create_connection                  [service]   object
//   service.create_local_audio_track           [service]   object (track without a source)
//   service.create_pcm_audio_track             [service]   object (track over a PCM sender)
//   service.create_encoded_audio_track         [service]   object (track over an encoded sender)
//   service.create_audio_device_manager        [service]   object
//   service.create_media_node_factory          [service]   object
//   factory.create_pcm_sender                  [media_node_factory] object
//   factory.create_encoded_sender              [media_node_factory] object
//   connection.connect                         [connection]
//   connection.disconnect                      [connection]
//   connection.renew_token                     [connection]
//   connection.get_local_user                  [connection] object
//   connection.register_observer               [connection]
//   connection.unregister_observer             [connection]
//   local_user.set_audio_scenario              [local_user]
//   local_user.set_playback_signal_volume      [local_user]
//   local_user.set_playback_frame_parameters   [local_user]
//   local_user.set_before_mixing_parameters    [local_user]
//   local_user.register_audio_frame_observer   [local_user]
//   local_user.unregister_audio_frame_observer [local_user]
//   local_user.publish_audio                   [local_user]
//   local_user.unpublish_audio                 [local_user]
//   local_user.subscribe_audio                 [local_user]
//   track.set_enabled                          [audio_track]
//   track.enable_local_playback                [audio_track]
//   track.add_audio_sink                       [audio_track] boolean
//   track.remove_audio_sink                    [audio_track]
//   devices.count_playout                      [device_manager] count
//   devices.count_recording                    [device_manager] count
//   devices.info_playout                       [device_manager] record
//   devices.info_recording                     [device_manager] record
//   devices.select_playout                     [device_manager]
//   devices.select_recording                   [device_manager]
//   pcm_sender.send                            [pcm_sender]
//   encoded_sender.send                        [encoded_sender] boolean
//
// Unmarked operations answer an int. Under a code fault an int operation
// answers the code, a boolean one false, a count one the code as the count and
// a record one an all-zero AudioDeviceInfo; object operations take null faults
// instead. A faulted call has no other effect (nothing is created, registered
// or changed), except service.release, which always destroys the service.
// Every fault kind may be set on every operation except: code faults on object
// operations and null faults on the others.
//
// Answers to misuse, all journaled like any other call: a null observer, sink or
// track, or one from outside the stand-in, answers -2 (false for add_audio_sink);
// so do unregistering or removing what is not registered, unpublishing a track
// that is not published, a device index out of range (with an all-zero
// record for the information calls), and registering more than the per-object
// limits below. A track asked for over a null or foreign sender is null.
// Registering what is already registered answers 0 and changes nothing (a sink
// added again only gets its new wants). A connection observer registered with
// a deleter is handed to it when it is unregistered or its connection goes;
// observers without one stay the caller's. A track holds a reference to its
// sinks and its sender, a local user to its published tracks.
//
// Journal arguments (names as recorded; texts may be null):
//   service.initialize: enable_audio_processor, enable_audio_device,
//     enable_video, context (pointer as integer), app_id, area_code,
//     channel_profile, audio_scenario, log_file_path, log_file_size_kb,
//     log_level, use_string_uid
//   service.create_connection: auto_subscribe_audio, auto_subscribe_video,
//     enable_audio_recording_or_playout, max_send_bitrate, min_port, max_port,
//     client_role_type, channel_profile, audio_recv_media_packet,
//     audio_recv_encoded_frame, video_recv_media_packet
//   service.create_pcm_audio_track: sender (object id, 0 for null)
//   service.create_encoded_audio_track: sender, mix_mode
//   connection.connect: token, channel_id, user_id, join_flags, info
//   connection.renew_token: token
//   connection.register_observer: observer (pointer as integer), deleter (0/1)
//   connection.unregister_observer: observer
//   local_user.set_audio_scenario: scenario
//   local_user.set_playback_signal_volume: volume
//   local_user.set_playback_frame_parameters and set_before_mixing_parameters:
//     channels, sample_rate, mode, samples_per_call
//   local_user.register/unregister_audio_frame_observer: observer
//   local_user.publish_audio / unpublish_audio: track (object id)
//   local_user.subscribe_audio: user_id, options
//   track.set_enabled: enable
//   track.enable_local_playback: enable, sync, reserved
//   track.add_audio_sink: sink (pointer as integer), samples_per_sec, channels
//   track.remove_audio_sink: sink
//   devices.info_*: index;  devices.select_*: index, flags
//   pcm_sender.send: data_null, capture_timestamp, presentation_ms,
//     samples_per_channel, bytes_per_sample, channels, sample_rate, reserved,
//     checksum (see checksum()), nonzero_samples, sample_0 .. sample_3 (as many
//     16-bit samples as the data holds, up to four)
//   encoded_sender.send: payload_null, payload_size, codec, sample_rate,
//     samples_per_channel, channels, capture_time_ms, speech,
//     send_even_if_empty, checksum, payload (the packet's bytes as lower-case
//     hexadecimal text, for packets of up to 4096 bytes)
// Every entry also carries `result`: the answer (object id or 0 for object
// operations, 1/0 for boolean ones) and `fault`: "", "code", "null" or "throw".
//
// Picking objects: object ids are unique for the life of the process and grow
// in creation order, so objects(Kind) lists live objects oldest first. A
// library runtime creates, in this order, its device manager, media node
// factory, the capture track (TrackSource::none), its PCM sender, the playback
// track (the first TrackSource::pcm track) and its connection (the first
// connection); every peer join then adds a connection, senders and a track.
// A local user is created with its connection and names it in `related`.
//
// Threads: every function here may be called from any thread. The driving
// functions call the library's observers and sinks without holding the
// stand-in's lock, so those callbacks may call back into the SDK objects.
// push_pcm and deliver_frame* allocate nothing on the heap and are not
// journaled; they are not calls the library makes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agora_service.h"

#define LOOPBACK_API __attribute__((visibility("default")))

namespace loopback {

// ---------------------------------------------------------------------------
// Objects

enum class Kind : int {
  service,
  media_node_factory,
  device_manager,
  connection,
  local_user,
  audio_track,
  pcm_sender,
  encoded_sender,
};
inline constexpr size_t kKindCount = 8;

// What feeds a local audio track.
enum class TrackSource : int { none, pcm, encoded };

struct ObjectInfo {
  uint64_t id = 0;
  Kind kind = Kind::service;
  TrackSource source = TrackSource::none;  // audio tracks only
  // A track's sender, a local user's connection, a connection's local user;
  // else 0.
  uint64_t related = 0;
  int mix_mode = 0;      // tracks over an encoded sender
};

LOOPBACK_API const char* kind_name(Kind kind);

// Live objects, oldest first; with a kind, only those of that kind.
LOOPBACK_API std::vector<ObjectInfo> objects();
LOOPBACK_API std::vector<ObjectInfo> objects(Kind kind);
LOOPBACK_API std::vector<ObjectInfo> tracks(TrackSource source);
LOOPBACK_API size_t live(Kind kind);
LOOPBACK_API size_t live_total();

// The id of a live SDK object given by its address (the service, a local user
// or any reference-counted object), 0 when the stand-in has no such object.
LOOPBACK_API uint64_t id_of(const void* sdk_object);

// The oldest live object of a kind or track source, 0 when there is none.
inline uint64_t first(Kind kind) {
  auto all = objects(kind);
  return all.empty() ? 0 : all.front().id;
}
inline uint64_t first_track(TrackSource source) {
  auto all = tracks(source);
  return all.empty() ? 0 : all.front().id;
}

// Per-object limits; registrations beyond them are refused with -2 (false).
inline constexpr size_t kMaxConnectionObservers = 16;
inline constexpr size_t kMaxFrameObservers = 16;
inline constexpr size_t kMaxSinks = 16;

struct SinkInfo {
  agora::rtc::IAudioSinkBase* sink = nullptr;
  int samples_per_sec = 0;
  size_t channels = 0;
};

// A new track starts enabled with local playback on, so that the library's
// switching is visible.
struct TrackState {
  bool enabled = true;
  bool local_playback = true;
  std::vector<SinkInfo> sinks;  // in the order they were added
};

struct FrameParameters {
  bool set = false;
  size_t channels = 0;
  uint32_t sample_rate = 0;
  int mode = 0;
  int samples_per_call = 0;
};

struct Subscription {
  std::optional<std::string> user_id;
  int options = 0;
};

struct LocalUserState {
  uint64_t connection = 0;
  std::vector<agora::media::IAudioFrameObserverBase*> observers;  // registration order
  std::vector<uint64_t> published;  // track ids, in publishing order
  std::vector<Subscription> subscriptions;  // every subscribe call, in order
  std::optional<int> audio_scenario;
  std::optional<int> playback_signal_volume;
  FrameParameters playback_frame;
  FrameParameters before_mixing;
};

struct ConnectionState {
  uint64_t local_user = 0;
  bool connected = false;  // connect answered 0 and no disconnect followed
  std::optional<std::string> token, channel_id, user_id;  // of the last connect
  std::vector<agora::rtc::IRtcConnectionObserver*> observers;  // registration order
};

LOOPBACK_API std::optional<TrackState> track_state(uint64_t track);
LOOPBACK_API std::optional<LocalUserState> local_user_state(uint64_t local_user);
LOOPBACK_API std::optional<ConnectionState> connection_state(uint64_t connection);

// Every observer ever registered (until reset() drops the unregistered ones),
// with the object it was registered on, whether it still is, and for
// connection observers whether the stand-in already handed it to its deleter.
template <class Observer>
struct ObserverRecord {
  Observer* observer = nullptr;
  uint64_t owner = 0;
  bool registered = false;
  bool deleted = false;
};
LOOPBACK_API std::vector<ObserverRecord<agora::rtc::IRtcConnectionObserver>>
connection_observers_ever();
LOOPBACK_API std::vector<ObserverRecord<agora::media::IAudioFrameObserverBase>>
frame_observers_ever();

// ---------------------------------------------------------------------------
// Faults

enum class FaultKind : int { code, null, exception };

inline constexpr uint64_t kAlways = UINT64_MAX;

struct Fault {
  FaultKind kind = FaultKind::code;
  int code = -1;        // for FaultKind::code
  uint64_t times = 1;   // how many matching calls it hits; kAlways for every one
  uint64_t after = 0;   // matching calls let through before the first hit
};

// Installs (replaces) the fault of one operation. Throws std::invalid_argument
// for an unknown operation name, a kind the operation cannot take, or times 0.
// An exception fault throws std::runtime_error from the SDK call.
LOOPBACK_API void set_fault(std::string_view operation, const Fault& fault);
LOOPBACK_API void clear_fault(std::string_view operation);
LOOPBACK_API void clear_faults();
// Hits still to come of the operation's fault; 0 when it has none left.
LOOPBACK_API uint64_t fault_remaining(std::string_view operation);

inline void fail_with(std::string_view operation, int code, uint64_t times = 1,
                      uint64_t after = 0) {
  set_fault(operation, {FaultKind::code, code, times, after});
}
inline void return_null(std::string_view operation, uint64_t times = 1, uint64_t after = 0) {
  set_fault(operation, {FaultKind::null, 0, times, after});
}
inline void throw_from(std::string_view operation, uint64_t times = 1, uint64_t after = 0) {
  set_fault(operation, {FaultKind::exception, 0, times, after});
}

// Every operation name, in the order of the list above.
LOOPBACK_API std::vector<std::string> operations();

// ---------------------------------------------------------------------------
// Journal

struct Value {
  enum class Type : int { integer, text, null };
  Type type = Type::null;
  int64_t integer = 0;
  std::string text;
};

struct Entry {
  uint64_t sequence = 0;  // grows by one per journaled call, across clear_journal()
  std::string op;
  uint64_t object = 0;
  Kind kind = Kind::service;
  int64_t result = 0;
  std::string fault;  // "", "code", "null" or "throw"
  std::vector<std::pair<std::string, Value>> args;

  // Throw std::out_of_range naming the argument when it was not recorded.
  LOOPBACK_API const Value& arg(std::string_view name) const;
  // Integers in decimal, texts as they are, null as "(null)".
  LOOPBACK_API std::string text(std::string_view name) const;
  // Throws std::invalid_argument for a text or null argument.
  LOOPBACK_API int64_t num(std::string_view name) const;
  LOOPBACK_API bool is_null(std::string_view name) const;
  LOOPBACK_API bool has(std::string_view name) const;
};

LOOPBACK_API std::vector<Entry> journal();
LOOPBACK_API std::vector<Entry> journal(std::string_view op);  // only entries of one operation
LOOPBACK_API std::vector<std::string> journal_ops();
LOOPBACK_API void clear_journal();
// Benchmarks switch journaling off so that millions of calls do not pile up.
LOOPBACK_API void set_journaling(bool on);

// FNV-1a 64 of the bytes, as recorded for sent PCM data and encoded payloads.
LOOPBACK_API int64_t checksum(const void* data, size_t bytes);

// ---------------------------------------------------------------------------
// Devices

// Kind 0 of the library's device calls is the first operation of each pair.
enum class DeviceKind : int { playout = 0, recording = 1 };

// A name of 256 bytes or more, or an id of 128 or more, fills its field with
// no terminating NUL (longer texts are cut), so tests can hand the library an
// unterminated record.
struct Device {
  std::string name;
  std::string id;
  bool current = false;
  bool playout = false;
};

struct Selection {
  int index = 0;
  int flags = 0;
};

// Replaces the list of one kind; every device manager reports the same lists.
LOOPBACK_API void set_devices(DeviceKind kind, std::vector<Device> devices);
LOOPBACK_API std::vector<Device> devices(DeviceKind kind);
// The last successful selection of that kind; a selection also makes the chosen
// device the only current one of its list.
LOOPBACK_API std::optional<Selection> selected_device(DeviceKind kind);

// ---------------------------------------------------------------------------
// Driving connection notifications

enum class Notice : int {
  connected,
  disconnected,
  connecting,
  reconnecting,
  reconnected,
  connection_lost,
  lastmile_quality,
  lastmile_probe_result,
  token_privilege_will_expire,
  token_privilege_did_expire,
  renew_token_result,
  connection_failure,
  user_joined,
  user_left,
  transport_stats,
  change_role_success,
  change_role_failure,
  user_network_quality,
  network_type_changed,
  api_call_executed,
  content_inspect_result,
  snapshot_taken,
  error,
  channel_media_relay_state_changed,
};
inline constexpr size_t kNoticeCount = 24;

// The texts of TConnectionInfo: std::nullopt gives a null AutoPtr, "" an empty
// string object.
struct ConnectionInfo {
  unsigned id = 0;
  std::optional<std::string> channel_id;
  int state = 0;
  std::optional<std::string> local_user_id;
  int internal_uid = 0;
};

// Which fields a notice uses (n = numbers):
//   connected, disconnected, connecting, reconnecting, reconnected,
//   connection_failure: info, n[0] reason
//   connection_lost: info
//   lastmile_quality: n[0] quality
//   lastmile_probe_result: n[0] state, n[1] rtt
//   token_privilege_will_expire: text token
//   token_privilege_did_expire: -
//   renew_token_result: text token, n[0] code
//   user_joined: text user id
//   user_left: text user id, n[0] reason
//   transport_stats: n[0] duration, n[1] tx bytes, n[2] rx bytes
//   change_role_success: n[0] old role, n[1] new role
//   change_role_failure: n[0] reason, n[1] current role
//   user_network_quality: text user id, n[0] tx quality, n[1] rx quality
//   network_type_changed: n[0] type
//   api_call_executed: n[0] error, text api, text2 result
//   content_inspect_result: n[0] result
//   snapshot_taken: text channel, n[0] uid, text2 path, n[1] width,
//     n[2] height, n[3] error code
//   error: n[0] error, text message
//   channel_media_relay_state_changed: n[0] state, n[1] code
// A null text is passed as a null pointer.
struct Notification {
  Notice notice = Notice::connected;
  ConnectionInfo info;
  std::optional<std::string> text;
  std::optional<std::string> text2;
  std::array<int64_t, 4> numbers{};
};

// Delivers to every observer registered on the connection now, in registration
// order; answers how many were called.
LOOPBACK_API size_t notify(uint64_t connection, const Notification& notification);
// Delivers to one observer that was ever registered, even after it was
// unregistered (a late callback); false when the stand-in never saw it or has
// handed it to its deleter.
LOOPBACK_API bool notify_observer(agora::rtc::IRtcConnectionObserver* observer,
                                  const Notification& notification);

// ---------------------------------------------------------------------------
// Driving audio

struct SinkAnswers {
  bool known = false;   // the id names a live track
  size_t sinks = 0;     // sinks called, in the order they were added
  size_t accepted = 0;  // of which answered true
  std::array<bool, kMaxSinks> answers{};
};

// Pushes one PCM frame, as it is, into every sink of the track.
LOOPBACK_API SinkAnswers push_pcm(uint64_t track, const agora::media::base::AudioPcmFrame& frame);

enum class Position : int {
  playback,            // onPlaybackAudioFrame(channel_id, frame)
  record,              // onRecordAudioFrame(channel_id, frame)
  mixed,               // onMixedAudioFrame(channel_id, frame)
  ear_monitoring,      // onEarMonitoringAudioFrame(frame)
  before_mixing_text,  // onPlaybackAudioFrameBeforeMixing(channel_id, user_id, frame)
  before_mixing_uid,   // onPlaybackAudioFrameBeforeMixing(channel_id, uid, frame);
                       // only observers that are IAudioFrameObserver get it
};

// The header fields of the AudioFrame handed to observers.
struct FrameFormat {
  int type = 0;
  int samples_per_channel = 480;
  int bytes_per_sample = 2;
  int channels = 2;
  int samples_per_sec = 48000;
  int64_t render_time_ms = 0;
  int avsync_type = 0;
  int64_t presentation_ms = 0;
  int audio_track_number = 0;
  uint32_t rtp_timestamp = 0;
};

// One delivery. `samples` is the frame's buffer: observers read and write it in
// place, one after another, so after the call it holds what they wrote. An
// empty span gives a null buffer. A non-empty span must hold the bytes the
// format declares (samples per channel x channels x bytes per sample), else
// std::invalid_argument is thrown and nothing is delivered.
struct Frame {
  Position position = Position::playback;
  const char* channel_id = "";
  const char* user_id = nullptr;
  unsigned uid = 0;
  FrameFormat format;
  std::span<int16_t> samples;
};

struct FrameAnswers {
  bool known = false;     // the target exists (a live local user, a seen observer)
  size_t observers = 0;   // observers called
  size_t accepted = 0;    // of which answered true
  std::array<bool, kMaxFrameObservers> answers{};
};

// Through every audio frame observer registered on the local user now, in
// registration order.
LOOPBACK_API FrameAnswers deliver_frame(uint64_t local_user, const Frame& frame);
// Through one observer that was ever registered, even after unregistration.
LOOPBACK_API FrameAnswers deliver_frame_to(agora::media::IAudioFrameObserverBase* observer,
                                           const Frame& frame);

inline FrameAnswers pull_playback(uint64_t local_user, const FrameFormat& format,
                                  std::span<int16_t> samples, const char* channel_id = "") {
  return deliver_frame(local_user, {Position::playback, channel_id, nullptr, 0, format, samples});
}
inline FrameAnswers deliver_record(uint64_t local_user, const FrameFormat& format,
                                   std::span<int16_t> samples, const char* channel_id = "") {
  return deliver_frame(local_user, {Position::record, channel_id, nullptr, 0, format, samples});
}
inline FrameAnswers deliver_mixed(uint64_t local_user, const FrameFormat& format,
                                  std::span<int16_t> samples, const char* channel_id = "") {
  return deliver_frame(local_user, {Position::mixed, channel_id, nullptr, 0, format, samples});
}
inline FrameAnswers deliver_ear_monitoring(uint64_t local_user, const FrameFormat& format,
                                           std::span<int16_t> samples) {
  return deliver_frame(local_user, {Position::ear_monitoring, "", nullptr, 0, format, samples});
}
inline FrameAnswers deliver_before_mixing_text(uint64_t local_user, const char* channel_id,
                                               const char* user_id, const FrameFormat& format,
                                               std::span<int16_t> samples) {
  return deliver_frame(local_user,
                       {Position::before_mixing_text, channel_id, user_id, 0, format, samples});
}
inline FrameAnswers deliver_before_mixing_uid(uint64_t local_user, const char* channel_id,
                                              unsigned uid, const FrameFormat& format,
                                              std::span<int16_t> samples) {
  return deliver_frame(local_user,
                       {Position::before_mixing_uid, channel_id, nullptr, uid, format, samples});
}

// ---------------------------------------------------------------------------
// Between tests

// Restores the default world: no faults, an empty journal with journaling on,
// no devices and no selections, and forgets observers that are no longer
// registered. Live objects and their registrations survive.
LOOPBACK_API void reset();

}  // namespace loopback
