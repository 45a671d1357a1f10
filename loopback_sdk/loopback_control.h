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
//   - the device lists that the device manager reports;
//   - a live mode (start_live, below) in which the stand-in runs its own
//     threads, channels, media and bots like a small RTC service.
//
// By default every operation succeeds (0, true or a new object) and, outside
// the live mode, nothing is delivered unless a test drives it: a connect
// answers 0 and no notification follows.
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
// Threads: every function here may be called from any thread, except
// run_for() from an engine thread (a microphone, bot or library callback). The driving
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

// Every observer ever registered (until reset() drops the unregistered ones;
// of those no longer registered, only the newest 4096 per kind are kept),
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
  // 0: every call of the operation. Otherwise only calls on that object, or
  // on objects of that service (a service id). A scoped fault takes
  // precedence over the unscoped one of the same operation.
  uint64_t object = 0;
};

// Installs (replaces) the fault of one operation and scope. Throws std::invalid_argument
// for an unknown operation name, a kind the operation cannot take, or times 0.
// An exception fault throws std::runtime_error from the SDK call.
LOOPBACK_API void set_fault(std::string_view operation, const Fault& fault);
LOOPBACK_API void clear_fault(std::string_view operation);  // every scope
LOOPBACK_API void clear_fault(std::string_view operation, uint64_t object);
LOOPBACK_API void clear_faults();
// Hits still to come of the operation's fault; 0 when it has none left.
LOOPBACK_API uint64_t fault_remaining(std::string_view operation, uint64_t object = 0);

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
// Live mode
//
// Off by default: until start_live() nothing happens that the caller did not
// drive. While it runs, the stand-in is a small RTC service on this machine:
//
// Clock. Real time (the steady clock), or a lock-step virtual clock that
//   moves only inside run_for()/run_until() and only when every engine thread
//   is parked; between two run_for() calls the caller sees a frozen world, so
//   the outcome depends on the seed and the calls made, not on scheduling
//   (and not on ThreadSanitizer's slowdown). Engine threads run on a 10 ms
//   grid of that clock. now_ms() reads it; a test that links the library's
//   testing archive makes the library's steady clock follow it by installing
//   now_ms() as that clock's source.
// Threads. Per initialized service: an event thread (connection
//   notifications, renewal results) and a remote-audio thread (before-mixing
//   frames); with enableAudioDevice also a capture thread (every 10 ms a 48 kHz
//   mono frame of the service's microphone into every sink of its enabled
//   tracks without a source, converted to each sink's wants, capture
//   timestamp = clock time) and a playback thread (every 10 ms, for each local
//   user with playback frame parameters and observers, a zeroed frame of
//   those channels, 480 frames at 48 kHz, through onPlaybackAudioFrame, then
//   what the observers left in it onto the service's speaker tap). One bot
//   thread runs every bot. No engine thread holds the stand-in's lock while it
//   calls into the library.
// Channels. Keyed by name, shared by every runtime in the process and by bots.
//   connect() answers 0 and then: connecting at the next tick, connected
//   after join_delay_ms, and the user joined to the others (and the others to
//   it) one tick later. disconnect() leaves at once: left (reason 0) to the
//   others, disconnected (reason 5) to the connection. A connection receives a
//   member's audio once its local user subscribed to that user id (any
//   subscribe call naming it), as before-mixing frames: 480 mono samples at
//   48 kHz, the user id as decimal text, the channel name, rtp timestamp =
//   480 x the sender's block sequence (so a lost block shows as a step of 960),
//   presentation time = send time, render time = delivery time.
// Media. What a published track's PCM sender sends (16-bit, any rate and 1 or
//   2 channels) is mixed to mono and resampled to 48 kHz with libsamplerate;
//   48 kHz mono passes bit-exact. What its encoded sender sends is decoded
//   with libopus at 48 kHz by each receiver, with packet-loss concealment for
//   up to kMaxConcealed blocks in a row. Sends before connected, during a link
//   loss or on unpublished tracks reach no one.
// Impairments. Per path (publisher to receiver), seeded from the live seed and
//   the path's ends, so a run repeats exactly: latency, jitter, independent
//   loss, bursty loss (two-state), and a playout buffer: the receiver plays
//   block k at (first arrival + jitter_buffer_ms + 10 ms x k); a block not
//   there in time is lost (concealed for Opus, a gap for PCM); after
//   kResyncAfter lost blocks in a row the receiver re-anchors on the next
//   arrival.
// Scripts. Link loss, token expiry, renewal results late or out of order,
//   join failures, bots leaving and returning; below.
// Safety. service.release joins the service's threads before the service goes
//   (it must not be called from those threads); unregistering a connection
//   observer with a deleter waits until no engine thread is inside it, so the
//   deleter never races a callback; other unregistered observers get at most
//   one late callback (the one whose snapshot was already taken). Manual driving (push_pcm, deliver_frame*,
//   notify*) throws std::logic_error while live. The journal is a bounded
//   ring (set_journal_capacity), with per-operation call counters.

enum class ClockKind : int { real_time, virtual_lock_step };

struct LiveOptions {
  ClockKind clock = ClockKind::virtual_lock_step;
  uint64_t seed = 1;
  uint64_t start_ms = 1'000'000;  // virtual clock's first reading
  uint32_t join_delay_ms = 30;    // connect to connected
  uint32_t leave_notice_ms = 10;  // a member's departure to the others' left
  // Speaker taps keep at most this many samples (interleaved), dropping the
  // oldest beyond it.
  size_t speaker_tap_capacity = 48000 * 2 * 30;
  // Measure the thread CPU the engine's threads spend inside the library's
  // callbacks (see callback_cpu_ns); off, the engine reads no CPU clock.
  bool time_callbacks = false;
};

inline constexpr uint32_t kMaxConcealed = 5;
inline constexpr uint32_t kResyncAfter = 5;

// Starts the engine: threads for every initialized service and the bot
// thread. Throws std::logic_error when already live.
LOOPBACK_API void start_live(const LiveOptions& options = {});
// Stops and joins every engine thread, removes every bot, clears channels,
// scripts and impairments. Does nothing when not live.
LOOPBACK_API void stop_live();
LOOPBACK_API bool is_live();
// The live clock in ms (0 when not live). noexcept and lock-light, so it can
// serve as the library's steady clock source.
LOOPBACK_API uint64_t now_ms() noexcept;
LOOPBACK_API uint64_t now_ms_source(void* unused) noexcept;  // the same, as a clock source
// Virtual clock: lets `ms` of time pass and returns once every engine thread
// finished the work due by then. Real time: sleeps. Throws std::logic_error
// when not live.
LOOPBACK_API void run_for(uint64_t ms);
// With LiveOptions::time_callbacks: the thread CPU, in nanoseconds, that the
// engine's threads spent delivering to the library's sinks and observers
// since start_live (the library's share of those threads, plus the few
// stand-in instructions around each delivery). 0 otherwise. Readable after
// stop_live, until the next start_live.
LOOPBACK_API uint64_t callback_cpu_ns() noexcept;

// What a microphone or a bot produces, at 48 kHz mono, 480 samples per block.
struct Source {
  enum class Type : int { silence, tone, samples, callback };
  Type type = Type::silence;
  double frequency_hz = 440.0;  // tone
  double amplitude = 0.25;      // tone, of full scale
  std::vector<int16_t> samples;  // samples: played once (or looped), then silence
  bool loop = false;
  // callback: fills `out` (480 samples) for the block starting at `time_ms`;
  // called on an engine thread with the stand-in's lock held, so it must not
  // call into the stand-in.
  void (*callback)(void* context, int16_t* out, size_t count, uint64_t time_ms) = nullptr;
  void* context = nullptr;

  static Source tone(double hz, double amplitude = 0.25) {
    Source s;
    s.type = Type::tone;
    s.frequency_hz = hz;
    s.amplitude = amplitude;
    return s;
  }
  static Source pcm(std::vector<int16_t> samples, bool loop = false) {
    Source s;
    s.type = Type::samples;
    s.samples = std::move(samples);
    s.loop = loop;
    return s;
  }
  static Source call(void (*fn)(void*, int16_t*, size_t, uint64_t), void* context) {
    Source s;
    s.type = Type::callback;
    s.callback = fn;
    s.context = context;
    return s;
  }
};

// The live services (ids of Kind::service), oldest first.
LOOPBACK_API std::vector<uint64_t> services();
// The service that created an object (itself for a service), 0 if unknown.
LOOPBACK_API uint64_t service_of(uint64_t object);
// Sets the microphone of a service (kept across start_live/stop_live).
// Throws std::invalid_argument for an unknown service.
LOOPBACK_API void set_microphone(uint64_t service, Source source);
// A service's microphone and speaker tap go with the service when it is released.
// Drains the service's speaker tap: interleaved samples as played, oldest first.
LOOPBACK_API std::vector<int16_t> take_speaker(uint64_t service);
// Samples the tap dropped for lack of room since live started.
LOOPBACK_API uint64_t speaker_dropped(uint64_t service);

// A path's impairments. Latency is at least 1 ms.
struct Impairment {
  uint32_t latency_ms = 20;
  uint32_t jitter_ms = 0;         // each block delayed by a further 0..jitter_ms
  double loss = 0.0;              // independent loss probability per block
  double burst_start = 0.0;       // probability per block of entering a burst
  uint32_t burst_length_ms = 0;   // mean burst length; every block in a burst is lost
  uint32_t jitter_buffer_ms = 0;  // playout delay after the first arrival
};
// Sets the impairment of paths in a channel, from publisher `from` to
// receiver `to` (user ids; "" matches any). The most specific rule wins
// (both named, then `from` named, then `to`, then neither); paths take it when
// they are created (a member's first block to a receiver).
LOOPBACK_API void set_impairment(std::string_view channel, std::string_view from,
                                 std::string_view to, const Impairment& impairment);

// What one path did so far. Every block the receiver skipped counts once in
// `lost`, so the steps in the rtp timestamps it delivered add up to it (for
// PCM; Opus conceals up to kMaxConcealed of them instead).
struct PathStats {
  bool exists = false;
  uint64_t sent = 0;       // blocks the publisher sent towards the receiver
  uint64_t dropped = 0;    // by the network
  uint64_t late = 0;       // arrived after their turn
  uint64_t played = 0;
  uint64_t concealed = 0;
  uint64_t lost = 0;       // turns with nothing to play, and blocks skipped on re-anchoring
};
// The path from user `from` to user `to` in a channel; exists false when there
// is none (yet, or any more: paths go with a departure or a link loss).
LOOPBACK_API PathStats path_stats(std::string_view channel, std::string_view from,
                                  std::string_view to);

// Impairments, scripts and bots belong to one live session: they throw
// std::logic_error when the engine does not run, and stop_live() forgets them.
//
// Scripts on a live connection (object id of Kind::connection). Each throws
// std::invalid_argument when the connection is not a live member of a channel
// (link_loss, token_*), or not a connection (script_renewals).
//
// Link loss: media stops both ways at once; the connection is told
// reconnecting (reason 2) at the next tick and, when lost_after_ms <
// duration_ms, connection lost at lost_after_ms; the others see it leave
// (reason 1). After duration_ms it is reconnected (reason 1) and the others
// see it join again.
LOOPBACK_API void link_loss(uint64_t connection, uint32_t duration_ms,
                            uint32_t lost_after_ms = UINT32_MAX);
// onTokenPrivilegeWillExpire(current token) / onTokenPrivilegeDidExpire at
// the next tick.
LOOPBACK_API void token_will_expire(uint64_t connection);
LOOPBACK_API void token_expired(uint64_t connection);
// The results of the connection's next renewals, in call order: each
// renewToken answering 0 takes the next entry and its result (its own token,
// `code`) arrives `delay_ms` later, so differing delays reorder results.
// Without entries a result arrives after 20 ms with code 0.
struct RenewalResult {
  uint32_t delay_ms = 20;
  int code = 0;
};
LOOPBACK_API void script_renewals(uint64_t connection, std::vector<RenewalResult> results);
// The next `count` connects into `channel` fail: connecting, then connection
// failure with `reason` (default: join failed), and no membership.
LOOPBACK_API void fail_joins(std::string_view channel, uint32_t count, int reason = 4);

// Bots: remote participants run by the stand-in.
struct BotOptions {
  std::string channel;
  std::string user_id;
  Source source;                   // what it publishes
  bool publish = true;
  // It hears every member; the mix of what it heard, one 480-sample block per
  // tick from its join on, is kept up to this many samples (the rest counted).
  size_t record_capacity = 48000 * 30;
};
struct BotStats {
  uint64_t ticks = 0;           // blocks recorded (heard or silent)
  uint64_t blocks_sent = 0;
  uint64_t blocks_heard = 0;    // decoded or PCM blocks that reached it
  uint64_t blocks_concealed = 0;
  uint64_t blocks_lost = 0;     // playout slots with nothing to play (PCM gaps)
  uint64_t out_of_order = 0;    // a block heard with an rtp timestamp not above the last
  uint64_t record_dropped = 0;  // samples beyond record_capacity
};
// Adds a bot that joins its channel at once (the others see it join one tick
// later). Throws std::logic_error when not live, std::invalid_argument for an
// empty channel or user id.
LOOPBACK_API uint64_t add_bot(const BotOptions& options);
// The bot leaves (the others see it leave with `reason`) or joins again.
LOOPBACK_API void bot_leave(uint64_t bot, int reason = 0);
LOOPBACK_API void bot_join(uint64_t bot);
LOOPBACK_API void remove_bot(uint64_t bot);
LOOPBACK_API void set_bot_source(uint64_t bot, Source source);
LOOPBACK_API std::vector<int16_t> bot_recording(uint64_t bot);
LOOPBACK_API BotStats bot_stats(uint64_t bot);

// Journal bounds: the newest `entries` are kept (default 16384); counters
// count every call, journaled or not, since the last reset().
LOOPBACK_API void set_journal_capacity(size_t entries);
LOOPBACK_API uint64_t call_count(std::string_view operation);

// ---------------------------------------------------------------------------
// Between tests

// Restores the default world: no faults, an empty journal with journaling on
// and its default capacity, zeroed call counters,
// no devices and no selections, and forgets observers that are no longer
// registered. Live objects and their registrations survive.
LOOPBACK_API void reset();

}  // namespace loopback
