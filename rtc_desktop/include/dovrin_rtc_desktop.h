/*
 * dovrin_rtc_desktop.h: the C interface of libdovrin_rtc_desktop.
 *
 * The library loads an RTC SDK from a path the host gives, joins channel
 * connections, moves 10 ms blocks of 48 kHz 16-bit PCM between the SDK's
 * audio threads and the host through lock-free rings, and reports every
 * failure through status codes, records and one-line diagnostics on
 * standard error. It runs no thread of its own: the host calls these
 * functions from its threads, the SDK calls the library from its own.
 *
 * Status codes, shared by every function that returns int32_t:
 *    1  an item was delivered (poll functions)
 *    0  success; for poll functions: nothing to deliver
 *   -1  invalid argument (null handle or pointer, value out of range)
 *   -2  not possible now: the runtime has failed (its failure is latched
 *       until destroy), the audio path refused a new authorisation, or the
 *       requested direction is switched off
 *   -3  an SDK call failed or threw
 *   -4  refused in the current state
 *   -5  a join with a policy was asked for, but no policy is installed
 *  -31 to -39  creation failed at a stage (DovrinRtcCreateDiagnostics)
 *
 * Threads. The host may call from as many threads as it likes, within these
 * rules for one handle:
 *   - Calls that change the handle's configuration overlap no other call on
 *     it: create, destroy, io, select, capture_config, audio_config,
 *     recovery_config, error_policy, join, join_v2, leave.
 *   - Every other call may overlap any other, on the same slot too, except
 *     that each of these runs on one thread at a time, because it owns one
 *     side of a ring or an encoder:
 *       capture_poll and poll with source 0 (one source: local capture),
 *       poll of one peer slot (source slot + 1),
 *       play,
 *       send on one slot,
 *       send_many (one shared encoder), and not together with a send on
 *       any of its slots,
 *       tick.
 *     So one slot may be sent on, polled, ticked, renewed and queried from
 *     different threads at once, and different slots from any threads.
 *     status, error and audio_health have no such limit (error is not to be
 *     called from inside the policy callback for the slot being judged).
 *   - abi and the size functions need no handle: any thread, any time.
 * No function here may be called from the SDK's audio threads or from the
 * render callback.
 *
 * Valid C99 and C++.
 */
#ifndef DOVRIN_RTC_DESKTOP_H
#define DOVRIN_RTC_DESKTOP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define DOVRIN_RTC_DESKTOP_API
#else
#define DOVRIN_RTC_DESKTOP_API __attribute__((visibility("default")))
#endif

/* The interface version that dovrin_rtc_desktop_abi() answers. */
#define DOVRIN_RTC_DESKTOP_ABI_VERSION 5

#define DOVRIN_RTC_DELIVERED 1
#define DOVRIN_RTC_OK 0
#define DOVRIN_RTC_INVALID_ARGUMENT (-1)
#define DOVRIN_RTC_NOT_NOW (-2)
#define DOVRIN_RTC_SDK_FAILURE (-3)
#define DOVRIN_RTC_REFUSED (-4)
#define DOVRIN_RTC_NO_POLICY (-5)

/* Peer slots are 0 to 33; 34 names the runtime-wide event log. */
#define DOVRIN_RTC_PEER_SLOTS 34
#define DOVRIN_RTC_RUNTIME_SLOT 34

/* Opaque library handle: one runtime, valid from a successful creation
 * until dovrin_rtc_desktop_destroy. */
typedef struct DovrinRtcRuntime DovrinRtcRuntime;

/*
 * Host render callback: fills `frames` (always 480) interleaved stereo
 * frames of 16-bit samples at 48000 Hz into `samples` (960 samples) and
 * returns how many frames it wrote, 0 to 480; frames it did not write stay
 * silent. Any other answer fails the runtime. Called on the SDK's playback
 * thread every 10 ms while playback is switched on: it must not block,
 * allocate or call back into this library.
 */
typedef int (*DovrinRtcRenderCallback)(void* context, int16_t* samples, size_t frames);

/*
 * What a failed creation reports, when the host passes this record.
 * All little-endian 32-bit words; all zero when no stage failed.
 *   stage      1 SDK library not opened, 2 no createAgoraService, 3 it
 *              returned null, 4 service initialisation failed, 5 a device
 *              manager, track, connection or local user is missing, 6 the
 *              audio frame observer could not be set up, 7 the capture track
 *              refused the capture sink, 8 switching the tracks off failed
 *   sdk_code   the SDK's result at stages 4, 6 and 8, else 0
 *   reserved   always 0
 *   code_kind  2 when sdk_code holds an SDK result, else 0
 */
typedef struct DovrinRtcCreateDiagnostics {
  uint32_t stage;
  int32_t sdk_code;
  uint32_t reserved;
  uint32_t code_kind;
} DovrinRtcCreateDiagnostics;

/*
 * One 10 ms block of 48 kHz audio, 1960 bytes, owned by the host.
 *   epoch            authorisation generation the block was produced under
 *   presentation_ms  the SDK frame's presentation time; 0 for local capture
 *   render_time_ms   the SDK frame's render time; for local capture the
 *                    capture timestamp of the PCM frame
 *   rtp_timestamp    the SDK frame's RTP timestamp; 0 for local capture
 *   sample_rate      always 48000
 *   channels         1 for local capture and remote audio
 *   frames           always 480
 *   samples          channels * 480 interleaved samples, the rest zero
 */
typedef struct DovrinRtcAudioBlock {
  uint64_t epoch;
  int64_t presentation_ms;
  int64_t render_time_ms;
  uint32_t rtp_timestamp;
  uint32_t sample_rate;
  uint32_t channels;
  uint32_t frames;
  int16_t samples[960];
} DovrinRtcAudioBlock;

/*
 * The runtime's audio health, 136 bytes of little-endian u64.
 *   first_issue, terminal_issue  first issue ever and first terminal issue:
 *       0 none, 1 capture_overflow, 2 capture_contention, 3 capture_format,
 *       4 playback_contention, 5 playback_format, 6 render_count,
 *       7 invalid_frame, 8 sink_rejected, 9 runtime_fault
 *   issue_counts       how often issues 1 to 6 were seen
 *   gap_frames         capture frames lost (480 per overflowing block)
 *   gap_events         overflows plus capture format or contention problems
 *   max_depth_blocks   deepest budgeted capture ring seen after a push
 *   capture_budget_ms  the configured capture budget, 200 until configured
 *   capture_degraded_ms, playback_degraded_ms  how long the current
 *       degradation of that direction has lasted, 0 when none
 *   last_format_*      rate, channels and samples per channel of the last
 *                      frame whose format did not match
 */
typedef struct DovrinRtcAudioHealthSnapshot {
  uint64_t first_issue;
  uint64_t terminal_issue;
  uint64_t issue_counts[6];
  uint64_t gap_frames;
  uint64_t gap_events;
  uint64_t max_depth_blocks;
  uint64_t capture_budget_ms;
  uint64_t capture_degraded_ms;
  uint64_t playback_degraded_ms;
  uint64_t last_format_rate;
  uint64_t last_format_channels;
  uint64_t last_format_samples;
} DovrinRtcAudioHealthSnapshot;

/*
 * One event of a slot's log, 48 bytes, little-endian. Handed to the policy
 * callback (valid only during the call) and copied out by
 * dovrin_rtc_desktop_error.
 *   sdk_version    0x40700 in recorded events; 0 in probes
 *   platform       2 in recorded events; 0 in probes
 *   category       1 SDK error notification, 2 connection state,
 *                  3 token renewal result, 4 failed SDK call, 5 found by the
 *                  library or an observation, 6 channel media relay error
 *   operation      what raised it (see "Operation numbers" below)
 *   slot           peer slot 0 to 33, 34 for the runtime-wide log
 *   raw_code       the SDK result, reason or error code, or library code
 *   action         the policy's answer as stored: 0 to 4
 *   context_flags  1 the connection was recovering (for the link-state
 *                  observation: the new state is recovering), 2 a call made
 *                  for a peer slot failed, 4 renewal tracking in force,
 *                  8 the renewal result belongs to a superseded request
 *   generation     the join generation of the slot's log
 *   sequence       1 for a log's first event; 0 for an empty record or probe
 *   monotonic_ms   steady-clock milliseconds when it was recorded
 *   request_id     renewal request, or the event's own sequence for
 *                  operations 17 to 21, else 0
 *
 * Operation numbers: 1 connected to another channel or user, 2 connected
 * while not connecting, 3 disconnected, 4 connecting while neither
 * connecting nor connected, 5 interrupted, 6 reconnected, 8 connection
 * failure, 10 token expired, 11 renewal result, 12 remote user left,
 * 13 media relay error, 14 SDK error, 15 recovery deadline passed,
 * 16 presence generation overflow, 17 token renewal call, 18 PCM send,
 * 19 subscription, 20 Opus send, 21 connect, 22 to 29 the calls of a join
 * (22 and 24 in category 5: link-state and remote-ready observations),
 * 25/26 device selection, 27/28 audio switching, 30/31 join checks,
 * 32 service initialisation.
 */
typedef struct DovrinRtcSdkEvent {
  uint32_t sdk_version;
  uint8_t platform;
  uint8_t category;
  uint8_t operation;
  uint8_t slot;
  int32_t raw_code;
  uint16_t action;
  uint16_t context_flags;
  uint64_t generation;
  uint64_t sequence;
  uint64_t monotonic_ms;
  uint64_t request_id;
} DovrinRtcSdkEvent;

/*
 * The host's policy: judges a recorded event (sequence 1 or more) and
 * answers its action: 0 tolerate, 1 tolerate but do not mark an
 * unavailable remote user, 2 tolerate but fail sends, 3 and 4 fatal for the
 * slot (values above 4 count as 4). For probes (sequence 0) an answer of 0
 * means yes. Runs on host and SDK threads, possibly on several at once for
 * different slots, with the slot's log locked: it must not call back into
 * the library for the same slot.
 */
typedef uint32_t (*DovrinRtcPolicyCallback)(const DovrinRtcSdkEvent* event);

/* Layout checks that hold in C99 and C++ alike. */
#define DOVRIN_RTC_CHECK(name, cond) typedef char dovrin_rtc_check_##name[(cond) ? 1 : -1]
DOVRIN_RTC_CHECK(diagnostics_size, sizeof(DovrinRtcCreateDiagnostics) == 16);
DOVRIN_RTC_CHECK(diagnostics_sdk_code, offsetof(DovrinRtcCreateDiagnostics, sdk_code) == 4);
DOVRIN_RTC_CHECK(diagnostics_code_kind, offsetof(DovrinRtcCreateDiagnostics, code_kind) == 12);
DOVRIN_RTC_CHECK(block_size, sizeof(DovrinRtcAudioBlock) == 1960);
DOVRIN_RTC_CHECK(block_rtp, offsetof(DovrinRtcAudioBlock, rtp_timestamp) == 24);
DOVRIN_RTC_CHECK(block_rate, offsetof(DovrinRtcAudioBlock, sample_rate) == 28);
DOVRIN_RTC_CHECK(block_frames, offsetof(DovrinRtcAudioBlock, frames) == 36);
DOVRIN_RTC_CHECK(block_samples, offsetof(DovrinRtcAudioBlock, samples) == 40);
DOVRIN_RTC_CHECK(health_size, sizeof(DovrinRtcAudioHealthSnapshot) == 136);
DOVRIN_RTC_CHECK(health_gap_frames, offsetof(DovrinRtcAudioHealthSnapshot, gap_frames) == 64);
DOVRIN_RTC_CHECK(health_budget, offsetof(DovrinRtcAudioHealthSnapshot, capture_budget_ms) == 88);
DOVRIN_RTC_CHECK(health_last_samples, offsetof(DovrinRtcAudioHealthSnapshot, last_format_samples) == 128);
DOVRIN_RTC_CHECK(event_size, sizeof(DovrinRtcSdkEvent) == 48);
DOVRIN_RTC_CHECK(event_raw_code, offsetof(DovrinRtcSdkEvent, raw_code) == 8);
DOVRIN_RTC_CHECK(event_action, offsetof(DovrinRtcSdkEvent, action) == 12);
DOVRIN_RTC_CHECK(event_generation, offsetof(DovrinRtcSdkEvent, generation) == 16);
DOVRIN_RTC_CHECK(event_request, offsetof(DovrinRtcSdkEvent, request_id) == 40);
#undef DOVRIN_RTC_CHECK

/* ---- Interface version ------------------------------------------------ */

/* Returns DOVRIN_RTC_DESKTOP_ABI_VERSION (5). Needs no handle; any thread. */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_abi(void);

/* ---- Creation and destruction ----------------------------------------- */

/* dovrin_rtc_desktop_create_diagnosed without a diagnostics record. */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_create(const char* sdk_path, const char* app_id,
                                                         DovrinRtcRenderCallback render_callback,
                                                         void* render_context,
                                                         DovrinRtcRuntime** out_handle);

/*
 * Loads the RTC SDK library at `sdk_path` (never unloaded) and builds a
 * runtime with its service, local audio tracks, connection and audio frame
 * observer. Both audio switches start off.
 *   sdk_path         in: NUL-terminated path, read during the call
 *   app_id           in: exactly 32 hexadecimal characters, copied
 *   render_callback, render_context  in: both null (playback comes from
 *                    dovrin_rtc_desktop_play) or both non-null
 *   out_handle       out: the handle on success, null otherwise
 *   out_diagnostics  out, may be null: zeroed first, then the failing stage
 * Returns 0; -1 for a null out_handle or sdk_path, a half-given render
 * callback or an App ID that is not 32 hex characters (diagnostics stay
 * zero); -31 to -39 for a failed stage (see DovrinRtcCreateDiagnostics:
 * -31 stage 1, -32 stage 2, -33 stage 3, -34 stage 4, -35 and -36 stage 5,
 * -37 stage 6, -38 stage 7, -39 stage 8); -3 when an SDK call threw.
 * At stages 4, 6 and 8 a "DOVRIN_RTC_NATIVE_API" line goes to stderr.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_create_diagnosed(
    const char* sdk_path, const char* app_id, DovrinRtcRenderCallback render_callback,
    void* render_context, DovrinRtcRuntime** out_handle, DovrinRtcCreateDiagnostics* out_diagnostics);

/*
 * Tears the runtime down: closes its audio path, stops every peer, switches
 * the tracks off, detaches its sink and observer and releases the SDK
 * service last. A null handle is ignored. Must not overlap any other call
 * on the handle.
 */
DOVRIN_RTC_DESKTOP_API void dovrin_rtc_desktop_destroy(DovrinRtcRuntime* handle);

/* ---- Local audio switching -------------------------------------------- */

/*
 * Switches local capture and playback, each 0 (off) or 1 (on). Every call
 * starts a new authorisation generation: blocks produced before it are
 * never delivered afterwards.
 * Returns 0; -1 for a null handle or a value above 1; -2 when the runtime
 * has failed or the audio path refused the new generation (the runtime is
 * then failed); -3 when an SDK call failed or threw (the runtime is then
 * failed). On failure the switches keep their previous values.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_io(DovrinRtcRuntime* handle, uint32_t capture,
                                                     uint32_t playback);

/* ---- Audio devices ------------------------------------------------------ */

/*
 * Device kinds: the SDK's device manager keeps two lists, kind 0 and kind 1;
 * which of them holds output and which input devices is the SDK's
 * convention, passed through unchanged. Indexes run from 0 to count - 1 in
 * the manager's order. None of the three device functions checks the
 * runtime's health: they work on a failed runtime too. All of them call
 * the SDK synchronously on the calling host thread.
 */

/*
 * The number of devices of `kind` (0 or 1), as the device manager reports
 * it; a negative count is the manager's own failure, passed on unchanged.
 * Returns the count; -1 for a null handle or a kind above 1; -3 when the
 * manager threw.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_devices(DovrinRtcRuntime* handle, uint32_t kind);

/*
 * Describes device `index` of `kind`: its Core Audio device UID (stable
 * across runs and reconnections) and its display name.
 *   kind           in: 0 or 1
 *   index          in: 0 to count - 1
 *   uid_out        out: the UID, UTF-8, NUL-terminated, at most 255 bytes
 *                  plus NUL
 *   uid_capacity   in: bytes at uid_out; must exceed the UID's length
 *   name_out       out: the name, NUL-terminated, at most 127 bytes plus NUL
 *   name_capacity  in: bytes at name_out; must exceed the name's length
 * Both outputs are written only when 0 is returned, and then both.
 * Returns 0; -1 for a null handle or output, a capacity of 0, a negative
 * index or one not below the count (also when the count is negative), a
 * kind above 1, a name of 128 bytes or more, or an output too small for its
 * text with the NUL (texts are never cut short); -3 when the manager threw,
 * or the device has no usable UID: its identifier is not a decimal Core
 * Audio object id, the object is gone, its UID cannot be read, is empty or
 * is 256 bytes or longer. A host may skip a device that answers -3 and go on
 * with the next index. Where the platform has no Core Audio, every device
 * answers -3.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_device(DovrinRtcRuntime* handle, uint32_t kind,
                                                         int32_t index, char* uid_out,
                                                         uint32_t uid_capacity, char* name_out,
                                                         uint32_t name_capacity);

/*
 * Makes device `index` of `kind` the manager's current one; it takes effect
 * at the next dovrin_rtc_desktop_io. Only while local capture and playback
 * are both switched off; must not overlap dovrin_rtc_desktop_io.
 * Returns 0; -1 for a null handle, a kind above 1, a negative index or one
 * not below the count; -4 while capture or playback is switched on (the
 * manager is not asked); -3 when the manager refused the selection (a
 * "DOVRIN_RTC_NATIVE_API operation=26" line for kind 0, "operation=25" for
 * kind 1, goes to stderr) or threw; after -3 the runtime has failed.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_select(DovrinRtcRuntime* handle, uint32_t kind,
                                                         int32_t index);

/* ---- Audio blocks and health ------------------------------------------ */

/*
 * Sets a local capture budget of `capture_ms` (200 to 5000, a multiple of
 * 10): from then on capture is buffered up to capture_ms / 10 blocks, and
 * overflow or format trouble is judged by its duration instead of failing
 * the runtime at once. It cannot be switched off again.
 * Returns 0; -2 for a null handle or a failed runtime; -1 for a value out
 * of range; -4 while capture is switched on, while capture blocks are still
 * pending or a capture callback runs.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_capture_config(DovrinRtcRuntime* handle,
                                                                 uint32_t capture_ms);

/*
 * Takes one local capture block of the current generation.
 *   out_block         out: the block, written only when one is delivered
 *   out_gap_sequence  out: capture gap events counted when the block was
 *                     made; a change between two blocks means capture was
 *                     lost or disturbed in between (0 without a budget)
 * Returns 1 with a block; 0 when none is waiting; -1 for a null argument;
 * -2 when the runtime has failed.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_capture_poll(DovrinRtcRuntime* handle,
                                                               DovrinRtcAudioBlock* out_block,
                                                               uint64_t* out_gap_sequence);

/*
 * Takes one block: slot 0 local capture, slots 1 to 34 the remote user of
 * peer slot (slot - 1).
 * Returns 1 with a block; 0 when none is waiting or the peer slot is
 * empty; -1 for a null argument or a slot above 34; -2 when the runtime
 * has failed; -3 when the slot's peer has failed.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_poll(DovrinRtcRuntime* handle, uint32_t slot,
                                                       DovrinRtcAudioBlock* out_block);

/*
 * Submits 10 ms of playback: `frames` must be 480 interleaved stereo
 * frames (960 samples). Never blocks.
 * Returns 0; -1 for a null argument or another frame count; -2 when the
 * runtime has failed or playback is off; -4 when 20 blocks are already
 * queued, when the runtime renders through its render callback, or when the
 * audio path is closed.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_play(DovrinRtcRuntime* handle, const int16_t* samples,
                                                       int32_t frames);

/* Returns 136, sizeof(DovrinRtcAudioHealthSnapshot). Any thread. */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_audio_health_size(void);

/*
 * Copies the runtime's audio health into `out_health` (136 bytes). Works on
 * a failed runtime too. Returns 0; -1 for a null argument.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_audio_health(DovrinRtcRuntime* handle,
                                                               DovrinRtcAudioHealthSnapshot* out_health);

/* ---- Events and policy ------------------------------------------------- */

/*
 * Installs the host's policy. The first call also creates the runtime-wide
 * event log (slot 34), which keeps this callback for good; later calls
 * change only the policy that later dovrin_rtc_desktop_join_v2 peers get.
 * Without a policy every event is fatal for its slot. Works on a failed
 * runtime. Returns 0; -1 for a null handle or callback; -3 when the log
 * could not be allocated.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_error_policy(DovrinRtcRuntime* handle,
                                                               DovrinRtcPolicyCallback callback);

/*
 * Copies one kept record of a slot's event log into `out` (48 bytes),
 * zero-filled first. Slot 34: `which` 0 the latest event, else the first
 * fatal one. Slots 0 to 33: 0 latest, 2 last renewal call or result,
 * 3 last link-state observation, 4 last tracked renewal call, any other
 * value (1 by convention) the first fatal event.
 * Returns 1 when the record holds an event; 0 when it is empty, the slot
 * holds no peer or slot 34 has no log; -1 for a null handle or `out` or a
 * slot above 34 (`out` untouched). Works on a failed runtime. Must not be
 * called from the policy callback for the slot being judged.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_error(DovrinRtcRuntime* handle, uint32_t slot,
                                                        int32_t which, DovrinRtcSdkEvent* out);

/* Returns 48, sizeof(DovrinRtcSdkEvent). Any thread. */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_error_event_size(void);

/* ---- Peers --------------------------------------------------------------- */

/*
 * Joins `channel` in peer `slot` (0 to 33) as `local_uid`, publishing local
 * audio (raw PCM, or Opus when dovrin_rtc_desktop_audio_config was called
 * before) and listening to `remote_uid` only. The outcome of the connect
 * arrives later; dovrin_rtc_desktop_status follows it.
 *   channel  in: 1 to 64 bytes;  token  in: 1 to 4096 bytes
 *   local_uid, remote_uid  non-zero and different
 * Returns 0; -1 for bad arguments; -2 when the runtime has failed or the
 * slot is occupied (also by a join that failed); -3 when a step failed:
 * the slot stays occupied until dovrin_rtc_desktop_leave, and the runtime
 * fails with it. Without a policy every failure of the slot is fatal.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_join(DovrinRtcRuntime* handle, uint32_t slot,
                                                       const char* channel, const char* token,
                                                       uint32_t local_uid, uint32_t remote_uid);

/*
 * As dovrin_rtc_desktop_join, but the slot's events are judged by the
 * installed policy, and a failed step (-3) fails only the slot, as the
 * policy says, not the runtime. Returns -5 when no policy is installed.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_join_v2(DovrinRtcRuntime* handle, uint32_t slot,
                                                          const char* channel, const char* token,
                                                          uint32_t local_uid, uint32_t remote_uid);

/*
 * Leaves the channel of `slot` and frees the slot. The peer stays
 * allocated, stopped, until destroy, so at most 34 leaves of occupied slots
 * are possible per runtime. Works on a failed runtime.
 * Returns 0 (also for an empty slot); -1 for a null handle or a slot above
 * 33; -2 for a 35th leave (the runtime fails); -3 when an SDK call of the
 * leave failed (the slot is freed, the runtime fails).
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_leave(DovrinRtcRuntime* handle, uint32_t slot);

/*
 * Sets how long, in ms (1000 to 60000, default 10000), a connection of a
 * later join may take to recover from an interruption or from its remote
 * user dropping out before the slot fails.
 * Returns 0; -2 for a null handle or a failed runtime; -1 out of range.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_recovery_config(DovrinRtcRuntime* handle,
                                                                  uint32_t window_ms);

/*
 * Hands a renewed token (1 to 4096 bytes) to the slot's connection.
 * Returns 0 when the SDK accepted the call; -1 for bad arguments; -2 when
 * the runtime has failed, the slot is empty or its connection is neither
 * connected nor recovering; -3 when the SDK refused or threw.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_renew(DovrinRtcRuntime* handle, uint32_t slot,
                                                        const char* token);

/* ---- Publishing ------------------------------------------------------------ */

/*
 * Makes later joins publish Opus that the library encodes: `sample_rate`
 * one of 8000, 12000, 16000, 24000, 48000 Hz; `bitrate` 8000 to 128000 bit/s
 * in steps of 4000 (constant bitrate); `channels` 1 or 2. It cannot be
 * switched back to PCM.
 * Returns 0 (also when the same values are set again); -2 for a null handle
 * or a failed runtime; -1 for invalid values; -4 while any slot is occupied.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_audio_config(DovrinRtcRuntime* handle,
                                                               uint32_t sample_rate, uint32_t bitrate,
                                                               uint32_t channels);

/*
 * Publishes 10 ms of mono PCM on `slot`: `samples` = `sample_rate` / 100
 * at 16000, 24000 or 48000 Hz; `timestamp` 0 to 4294967295 ms, expected to
 * advance by 10 per block. Read during the call only.
 * Returns 0 when handed to the SDK; 1 when not sent but not an error (the
 * connection is recovering, or the policy tolerated a failed send); -1 for
 * bad arguments; -2 when the runtime has failed, the slot is empty or
 * failed, or not connected; -3 when the send failed.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_send(DovrinRtcRuntime* handle, uint32_t slot,
                                                       const int16_t* pcm, uint32_t samples,
                                                       uint32_t sample_rate, int64_t timestamp);

/*
 * Publishes one 10 ms block of mono PCM on several slots at once, for the
 * price of one encoding: a host that publishes the same voice on many
 * channel connections calls this once per block instead of
 * dovrin_rtc_desktop_send once per slot. Since interface version 5, library
 * version 5.1.
 *   slots        in: `count` distinct peer slots, 0 to 33, in the order in
 *                which they are served; read during the call only
 *   count        in: 1 to 34
 *   pcm, samples, sample_rate, timestamp  in: the block, exactly as
 *                dovrin_rtc_desktop_send takes it
 *   results      out: `count` statuses, results[i] for slots[i]; written
 *                only when the call returns 0
 * Each status is what dovrin_rtc_desktop_send would have answered for that
 * slot and this block had it been called for the slots one after another in
 * this order, with the same events for the policy, the same lines on stderr
 * and the same latching: 0 sent, 1 recovering or a tolerated failed send,
 * -2 the runtime or the slot has failed, the slot is empty or not connected,
 * -3 the send failed (an exception from the SDK also fails the runtime,
 * and every later slot of the call then answers -2).
 * The slots of a runtime that publish Opus through this function share one
 * encoder with the runtime's encoder settings: the block is resampled and
 * encoded at most once per call, and every slot that sends gets the same
 * packet with its frame information. Their stream is one: a slot that is
 * added later (or comes back from recovering) receives the ongoing stream
 * from its next block, as a listener joining a live broadcast does. A
 * timestamp that does not follow the previous encoded block's by 10 ms
 * restarts the shared resampler. PCM slots send the block as
 * dovrin_rtc_desktop_send does. Slots sent with dovrin_rtc_desktop_send
 * keep their own encoders, untouched by this function.
 * The shared encoder is made by the first call that has a packet to send
 * and released with the runtime (or when dovrin_rtc_desktop_audio_config
 * changes the settings); after that, no call allocates.
 * Returns 0 with every slot's status in `results`; -1 for a null handle,
 * `slots`, `results` or `pcm`, a count of 0 or above 34, a slot above 33 or
 * given twice, or a block that dovrin_rtc_desktop_send refuses with -1
 * (checked before the runtime's health); -2 when the runtime has failed.
 * Must not overlap another dovrin_rtc_desktop_send_many on the same handle,
 * nor dovrin_rtc_desktop_send on one of `slots`.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_send_many(DovrinRtcRuntime* handle,
                                                            const uint32_t* slots, uint32_t count,
                                                            const int16_t* pcm, uint32_t samples,
                                                            uint32_t sample_rate, int64_t timestamp,
                                                            int32_t* results);

/* ---- Supervision ----------------------------------------------------------- */

/*
 * One supervision pass, meant every 10 ms: enforces recovery deadlines,
 * subscribes to present remote users, offers link-state observations to the
 * policy, prints rate-limited "DOVRIN_RTC_SDK_EVENT", "DOVRIN_RTC_NATIVE_QUALITY"
 * and "DOVRIN_RTC_NATIVE_PEER" lines, and while playback is on feeds 10 ms
 * of silence to the SDK's playback path. Call from one thread at a time;
 * it may overlap every call but the configuration ones (see Threads).
 * Returns 0; -1 for a null handle; -2 when the runtime has failed; -3 when
 * the silence feed failed or an SDK call threw (the runtime fails).
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_tick(DovrinRtcRuntime* handle);

/*
 * The link state of `slot`: 2 recovering, 1 connected, 0 not yet connected
 * or the slot is empty; -2 when the runtime or the slot has failed; -1 for
 * a null handle or a slot above 33.
 */
DOVRIN_RTC_DESKTOP_API int32_t dovrin_rtc_desktop_status(DovrinRtcRuntime* handle, uint32_t slot);

#ifdef __cplusplus
}
#endif

#endif /* DOVRIN_RTC_DESKTOP_H */
