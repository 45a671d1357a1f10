// The C interface over the stand-in SDK.
//
// An input is decoded into a runtime creation and at most kMaxSteps steps: export calls
// with their arguments, the stand-in's faults, device lists, capture and playback frames,
// remote frames, connection notifications (also late ones, to observers already
// unregistered), and time. After every call the harness checks what the public header
// promises:
//   - the answer is in the export's documented set, and where the harness knows the state
//     (switches, occupied slots, policy, devices) it is the documented one;
//   - once the runtime has failed, every gated export called with valid arguments answers
//     -2, until destroy;
//   - a delivered block has the documented shape, carries the current generation, holds a
//     frame the harness pushed under that generation, and no frame is delivered twice or
//     out of order;
//   - destroy releases every SDK object; LeakSanitizer checks the heap.
// The stand-in's state is process-wide: it is reset before every input.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dovrin/platform/sim/sim_world.h"
#include "dovrin_rtc_desktop.h"
#include "frame/runtime.h"
#include "frame/steady_clock.h"
#include "loopback_control.h"
#include "peers/peer.h"

namespace {

using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Runtime;

constexpr int kMaxSteps = 64;
constexpr const char* kAppId = "0123456789abcdefABCDEF0123456789";
constexpr int16_t kForeignSample = 7;     // fills frames that are not stamped
constexpr int16_t kFirstStamp = 10000;    // stamps are kFirstStamp and up

// Standard error is closed by the fuzz script (the library's diagnostics would flood it);
// the harness reports through a copy taken before.
int g_report_fd = 2;
// Set by FUZZ_TRACE in the environment when a single input is replayed: one line per step.
bool g_trace = false;

[[noreturn]] __attribute__((format(printf, 1, 2))) void fault(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  dprintf(g_report_fd, "fuzz_c_interface: %s\n", text);
  std::abort();
}

// ---- Time and callbacks the harness controls.

std::atomic<uint64_t> g_now_ms{1'000'000};
uint64_t read_clock(void*) noexcept { return g_now_ms.load(std::memory_order_relaxed); }

struct Render {
  int answer = 480;
  int16_t value = 0;
  uint64_t calls = 0;
};
Render g_render;

int render(void* context, int16_t* samples, size_t frames) {
  auto* self = static_cast<Render*>(context);
  ++self->calls;
  if (frames != 480 || samples == nullptr) fault("render callback got %zu frames", frames);
  const int written = self->answer >= 0 && self->answer <= 480 ? self->answer : 0;
  for (int i = 0; i < 2 * written; ++i) samples[i] = self->value;
  return self->answer;
}

uint32_t g_policy_answer = 0;
uint32_t policy(const DovrinRtcSdkEvent* event) {
  if (event == nullptr) fault("policy called without an event");
  if (event->slot > DOVRIN_RTC_RUNTIME_SLOT) fault("policy event of slot %u", event->slot);
  if (event->sequence != 0 && (event->category < 1 || event->category > 6))
    fault("policy event of category %u", event->category);
  return g_policy_answer;
}

// ---- What the harness knows of the runtime.

struct Stamp {
  uint64_t generation;
};

struct Model {
  DovrinRtcRuntime* rt = nullptr;
  bool has_render = false;
  bool latched = false;
  bool capture_on = false;
  bool playback_on = false;
  bool policy = false;
  bool encoded = false;
  std::array<uint32_t, 3> encoder{};
  uint64_t generation = 1;
  size_t retired = 0;
  std::array<bool, DOVRIN_RTC_PEER_SLOTS> occupied{};
  std::array<std::string, DOVRIN_RTC_PEER_SLOTS> channel{};
  std::array<uint32_t, DOVRIN_RTC_PEER_SLOTS> local_uid{};
  std::array<uint32_t, DOVRIN_RTC_PEER_SLOTS> remote_uid{};
  std::array<uint64_t, DOVRIN_RTC_PEER_SLOTS> remote_epoch{};
  std::array<int, DOVRIN_RTC_PEER_SLOTS> last_remote_stamp{};
  // Capture stamps by value; the last one delivered.
  std::map<int, Stamp> capture_stamps;
  int last_capture_stamp = 0;
  std::map<int, Stamp> remote_stamps;
  std::map<int, Stamp> play_stamps;
  int last_play_stamp = 0;
  int next_stamp = kFirstStamp;
  bool devices_faulted = false;
  std::array<size_t, 2> device_count{};
};

Runtime& runtime(Model& m) { return *owner(m.rt); }

// What the runtime's health check would find, read without running it.
bool internally_failed(Model& m) {
  Runtime& rt = runtime(m);
  return rt.faulted.load(std::memory_order_seq_cst) || rt.observer.stats().faults != 0 ||
         rt.sink_stats->rejected.load(std::memory_order_seq_cst) != 0;
}

bool failed(Model& m) { return m.latched || internally_failed(m); }

void expect_in(const char* name, int32_t result, std::initializer_list<int32_t> allowed) {
  for (int32_t a : allowed)
    if (a == result) return;
  fault("%s answered %d, outside its documented set", name, result);
}

void expect_eq(const char* name, int32_t result, int32_t expected, const char* why) {
  if (result != expected) fault("%s answered %d, expected %d (%s)", name, result, expected, why);
}

// A gated export called with valid arguments on a failed runtime.
void expect_gated(bool was_failed, const char* name, int32_t result) {
  if (was_failed && result != -2) fault("%s answered %d on a failed runtime", name, result);
}

void latch(Model& m, const char* why) {
  m.latched = true;
  if (!internally_failed(m)) fault("%s should have failed the runtime, but it is healthy", why);
}

// Slots: mostly the first few, so that joins, notifications and polls meet.
uint32_t consume_slot(FuzzedDataProvider& in, uint32_t max) {
  return in.ConsumeIntegralInRange(0, 3) != 0 ? in.ConsumeIntegralInRange<uint32_t>(0, 2)
                                              : in.ConsumeIntegralInRange<uint32_t>(0, max);
}

// ---- Texts.

std::string consume_text(FuzzedDataProvider& in, std::initializer_list<const char*> usual, size_t limit) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: return in.ConsumeRandomLengthString(limit);
    case 1: return std::string(in.ConsumeIntegralInRange<size_t>(0, limit), 'x');
    default: {
      const size_t pick = in.ConsumeIntegralInRange<size_t>(0, usual.size() - 1);
      return usual.begin()[pick];
    }
  }
}

bool bounded_ok(const std::string& text, size_t limit) {
  const size_t length = std::strlen(text.c_str());
  return length >= 1 && length <= limit;
}

// ---- Blocks.

void check_block_shape(const DovrinRtcAudioBlock& block, uint32_t channels, const char* what) {
  if (block.sample_rate != 48000 || block.frames != 480 || block.channels != channels)
    fault("%s block of shape %u Hz, %u channels, %u frames", what, block.sample_rate, block.channels, block.frames);
  for (size_t i = channels * 480; i < 960; ++i)
    if (block.samples[i] != 0) fault("%s block has sample %zu beyond its channels", what, i);
}

// Frames pushed with a stamp hold it in every sample; a block holding a stamp must have
// been pushed under the generation it carries, and stamps leave in the order they came.
void check_capture_block(Model& m, const DovrinRtcAudioBlock& block) {
  check_block_shape(block, 1, "capture");
  if (block.epoch != m.generation)
    fault("capture block of generation %llu delivered in generation %llu",
          static_cast<unsigned long long>(block.epoch), static_cast<unsigned long long>(m.generation));
  const int value = block.samples[0];
  auto found = m.capture_stamps.find(value);
  if (found == m.capture_stamps.end()) return;
  for (size_t i = 0; i < 480; ++i)
    if (block.samples[i] != value) fault("capture block mixes stamp %d with %d", value, block.samples[i]);
  if (found->second.generation != m.generation)
    fault("capture stamp %d pushed in generation %llu delivered in %llu", value,
          static_cast<unsigned long long>(found->second.generation), static_cast<unsigned long long>(m.generation));
  if (value <= m.last_capture_stamp) fault("capture stamp %d after %d", value, m.last_capture_stamp);
  m.last_capture_stamp = value;
}

void check_remote_block(Model& m, uint32_t slot, const DovrinRtcAudioBlock& block) {
  check_block_shape(block, 1, "remote");
  if (block.epoch == 0) fault("remote block of generation 0");
  if (m.remote_epoch[slot] == 0) m.remote_epoch[slot] = block.epoch;
  if (block.epoch != m.remote_epoch[slot])
    fault("remote blocks of slot %u changed generation within a join", slot);
  const int value = block.samples[0];
  if (m.remote_stamps.count(value) == 0) return;
  if (value <= m.last_remote_stamp[slot]) fault("remote stamp %d after %d", value, m.last_remote_stamp[slot]);
  m.last_remote_stamp[slot] = value;
}

// ---- The stand-in's objects of the runtime.

uint64_t connection_of(Model& m, uint32_t slot) {
  Runtime& rt = runtime(m);
  if (slot >= DOVRIN_RTC_PEER_SLOTS) return loopback::id_of(rt.connection.get());
  auto* peer = rt.peers[slot].get();
  return peer != nullptr && peer->connection ? loopback::id_of(peer->connection.get()) : 0;
}

uint64_t local_user_of(uint64_t connection) {
  if (connection == 0) return 0;
  auto state = loopback::connection_state(connection);
  return state ? state->local_user : 0;
}

// ---- Steps.

void step_io(Model& m, FuzzedDataProvider& in) {
  const auto capture = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  const auto playback = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  const bool valid = capture <= 1 && playback <= 1;
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_io(m.rt, capture, playback);
  expect_in("io", r, {0, -1, -2, -3});
  if (!valid) return expect_eq("io", r, -1, "a switch above 1");
  expect_gated(was_failed, "io", r);
  if (r == 0) {
    ++m.generation;
    m.capture_on = capture == 1;
    m.playback_on = playback == 1;
    m.last_capture_stamp = 0;
  } else {
    latch(m, "a failed io");
  }
}

void step_devices(Model& m, FuzzedDataProvider& in) {
  const auto kind = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  const int32_t r = dovrin_rtc_desktop_devices(m.rt, kind);
  if (kind > 1) return expect_eq("devices", r, -1, "kind above 1");
  if (!m.devices_faulted) expect_eq("devices", r, static_cast<int32_t>(m.device_count[kind]), "the device list");
}

void step_device(Model& m, FuzzedDataProvider& in) {
  const auto kind = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  const auto index = in.ConsumeIntegralInRange<int32_t>(-1, 4);
  const auto uid_capacity = in.ConsumeIntegralInRange<uint32_t>(0, 300);
  const auto name_capacity = in.ConsumeIntegralInRange<uint32_t>(0, 300);
  const bool null_uid = in.ConsumeIntegralInRange(0, 15) == 0;
  // Exactly the capacity given: a write beyond it is caught.
  auto uid = std::make_unique<char[]>(std::max<uint32_t>(uid_capacity, 1));
  auto name = std::make_unique<char[]>(std::max<uint32_t>(name_capacity, 1));
  const int32_t r = dovrin_rtc_desktop_device(m.rt, kind, index, null_uid ? nullptr : uid.get(), uid_capacity,
                                              name.get(), name_capacity);
  expect_in("device", r, {0, -1, -3});
  if (null_uid || uid_capacity == 0 || name_capacity == 0 || index < 0 || kind > 1)
    return expect_eq("device", r, -1, "invalid arguments");
  if (!m.devices_faulted && static_cast<size_t>(index) >= m.device_count[kind])
    return expect_eq("device", r, -1, "index beyond the count");
  if (r == 0) {
    const void* uid_end = std::memchr(uid.get(), '\0', uid_capacity);
    const void* name_end = std::memchr(name.get(), '\0', name_capacity);
    if (uid_end == nullptr || name_end == nullptr) fault("device wrote a text without its NUL");
    if (std::strlen(uid.get()) == 0 || std::strlen(uid.get()) > 255 || std::strlen(name.get()) > 127)
      fault("device wrote a UID of %zu or a name of %zu bytes", std::strlen(uid.get()), std::strlen(name.get()));
  }
}

void step_select(Model& m, FuzzedDataProvider& in) {
  const auto kind = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  const auto index = in.ConsumeIntegralInRange<int32_t>(-1, 4);
  const int32_t r = dovrin_rtc_desktop_select(m.rt, kind, index);
  expect_in("select", r, {0, -1, -3, -4});
  if (kind > 1 || index < 0) return expect_eq("select", r, -1, "invalid arguments");
  if (m.capture_on || m.playback_on) return expect_eq("select", r, -4, "local audio is on");
  if (!m.devices_faulted && static_cast<size_t>(index) >= m.device_count[kind])
    return expect_eq("select", r, -1, "index beyond the count");
  if (r == -3) latch(m, "a refused selection");
}

void step_capture_config(Model& m, FuzzedDataProvider& in) {
  const uint32_t ms = in.ConsumeBool() ? 10 * in.ConsumeIntegralInRange<uint32_t>(15, 505)
                                       : in.ConsumeIntegral<uint32_t>();
  const bool valid = ms >= 200 && ms <= 5000 && ms % 10 == 0;
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_capture_config(m.rt, ms);
  expect_in("capture_config", r, {0, -1, -2, -4});
  if (r == -2) latch(m, "capture_config answering -2");
  if (!valid) return expect_in("capture_config", r, {-1, -2});
  expect_gated(was_failed, "capture_config", r);
  if (!was_failed && m.capture_on) expect_eq("capture_config", r, -4, "capture is on");
}

void step_capture_poll(Model& m, FuzzedDataProvider& in) {
  const int nulls = in.ConsumeIntegralInRange(0, 15);
  DovrinRtcAudioBlock block;
  std::memset(&block, 0xA5, sizeof block);
  uint64_t gap = 0;
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_capture_poll(m.rt, nulls == 1 ? nullptr : &block, nulls == 2 ? nullptr : &gap);
  expect_in("capture_poll", r, {1, 0, -1, -2});
  if (nulls == 1 || nulls == 2) return expect_eq("capture_poll", r, -1, "a null output");
  expect_gated(was_failed, "capture_poll", r);
  if (r == -2) latch(m, "capture_poll answering -2");
  if (r == 1) check_capture_block(m, block);
}

void step_poll(Model& m, FuzzedDataProvider& in) {
  const auto slot = consume_slot(in, 36);
  const bool null_out = in.ConsumeIntegralInRange(0, 15) == 0;
  DovrinRtcAudioBlock block;
  std::memset(&block, 0xA5, sizeof block);
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_poll(m.rt, slot, null_out ? nullptr : &block);
  expect_in("poll", r, {1, 0, -1, -2, -3});
  if (null_out || slot > 34) return expect_eq("poll", r, -1, "invalid arguments");
  expect_gated(was_failed, "poll", r);
  if (r == -2) latch(m, "poll answering -2");
  if (slot == 0 && r == -3) fault("poll of local capture answered -3");
  if (slot > 0 && !m.occupied[slot - 1] && !was_failed) expect_eq("poll", r, 0, "an empty slot");
  if (r == 1) {
    if (slot == 0) {
      check_capture_block(m, block);
    } else {
      check_remote_block(m, slot - 1, block);
    }
  }
}

void step_play(Model& m, FuzzedDataProvider& in) {
  const int32_t frames = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange(-1, 961) : 480;
  const bool null_samples = in.ConsumeIntegralInRange(0, 15) == 0;
  const auto stamp = static_cast<int16_t>(m.next_stamp++);
  m.play_stamps[stamp] = Stamp{m.generation};
  std::vector<int16_t> samples(960, stamp);
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_play(m.rt, null_samples ? nullptr : samples.data(), frames);
  expect_in("play", r, {0, -1, -2, -4});
  if (null_samples || frames != 480) return expect_eq("play", r, -1, "invalid arguments");
  expect_gated(was_failed, "play", r);
  if (!was_failed && !m.playback_on) expect_eq("play", r, -2, "playback is off");
  if (!was_failed && m.playback_on && m.has_render) expect_eq("play", r, -4, "a render callback plays");
}

void step_health(Model& m, FuzzedDataProvider& in) {
  const bool null_out = in.ConsumeIntegralInRange(0, 15) == 0;
  DovrinRtcAudioHealthSnapshot health;
  const int32_t r = dovrin_rtc_desktop_audio_health(m.rt, null_out ? nullptr : &health);
  expect_eq("audio_health", r, null_out ? -1 : 0, "the health record");
  if (null_out) return;
  if (health.first_issue > 9 || health.terminal_issue > 9) fault("health issue out of range");
  if (health.capture_budget_ms < 200 || health.capture_budget_ms > 5000) fault("health budget out of range");
}

void step_policy(Model& m, FuzzedDataProvider& in) {
  g_policy_answer = in.ConsumeIntegralInRange<uint32_t>(0, 6);
  const bool null_callback = in.ConsumeIntegralInRange(0, 7) == 0;
  const int32_t r = dovrin_rtc_desktop_error_policy(m.rt, null_callback ? nullptr : &policy);
  expect_eq("error_policy", r, null_callback ? -1 : 0, "installing a policy");
  if (!null_callback) m.policy = true;
}

void step_error(Model& m, FuzzedDataProvider& in) {
  const auto slot = consume_slot(in, 35);
  const auto which = in.ConsumeIntegralInRange<int32_t>(-1, 5);
  const bool null_out = in.ConsumeIntegralInRange(0, 15) == 0;
  DovrinRtcSdkEvent event;
  std::memset(&event, 0xA5, sizeof event);
  const int32_t r = dovrin_rtc_desktop_error(m.rt, slot, which, null_out ? nullptr : &event);
  expect_in("error", r, {1, 0, -1});
  if (null_out || slot > 34) return expect_eq("error", r, -1, "invalid arguments");
  if (slot == 34 && !m.policy) expect_eq("error", r, 0, "no runtime log");
  if (slot < 34 && !m.occupied[slot]) expect_eq("error", r, 0, "an empty slot");
  if (r == 0) {
    const DovrinRtcSdkEvent zero{};
    if (std::memcmp(&event, &zero, sizeof event) != 0) fault("an empty event record is not zero");
  } else if (event.sequence == 0 || event.slot != slot || event.category < 1 || event.category > 6) {
    fault("event record: sequence %llu slot %u category %u", static_cast<unsigned long long>(event.sequence),
          event.slot, event.category);
  }
}

int32_t join(Model& m, bool v2, uint32_t slot, const std::string& channel, const std::string& token, uint32_t local,
             uint32_t remote);

void step_join(Model& m, FuzzedDataProvider& in, bool v2) {
  const auto slot = consume_slot(in, 34);
  const std::string channel = consume_text(in, {"room", "room-b", "", "a"}, 80);
  const std::string token = consume_text(in, {"token", "", "t"}, 300);
  uint32_t local = in.ConsumeIntegralInRange<uint32_t>(0, 3) == 0 ? in.ConsumeIntegral<uint32_t>() : 1001;
  uint32_t remote = in.ConsumeIntegralInRange<uint32_t>(0, 3) == 0 ? in.ConsumeIntegral<uint32_t>() : 2002 + slot;
  if (in.ConsumeIntegralInRange(0, 15) == 0) remote = local;
  (void)join(m, v2, slot, channel, token, local, remote);
}

int32_t join(Model& m, bool v2, uint32_t slot, const std::string& channel, const std::string& token, uint32_t local,
             uint32_t remote) {
  const bool valid = slot < 34 && bounded_ok(channel, 64) && bounded_ok(token, 4096) && local != 0 &&
                     remote != 0 && local != remote;
  const bool was_failed = failed(m);
  const int32_t r = v2 ? dovrin_rtc_desktop_join_v2(m.rt, slot, channel.c_str(), token.c_str(), local, remote)
                       : dovrin_rtc_desktop_join(m.rt, slot, channel.c_str(), token.c_str(), local, remote);
  const char* name = v2 ? "join_v2" : "join";
  if (v2) {
    expect_in(name, r, {0, -1, -2, -3, -5});
  } else {
    expect_in(name, r, {0, -1, -2, -3});
  }
  if (!valid) {
    expect_eq(name, r, -1, "invalid arguments");
    return r;
  }
  expect_gated(was_failed, name, r);
  if (was_failed) return r;
  if (m.occupied[slot]) {
    expect_eq(name, r, -2, "an occupied slot");
    return r;
  }
  if (v2 && !m.policy) {
    expect_eq(name, r, -5, "no policy");
    return r;
  }
  if (r == 0 || r == -3) {
    m.occupied[slot] = true;
    m.channel[slot] = channel;
    m.local_uid[slot] = local;
    m.remote_uid[slot] = remote;
    m.remote_epoch[slot] = 0;
    m.last_remote_stamp[slot] = 0;
  }
  if (r == -3 && !v2) latch(m, "a failed join");
  return r;
}

void step_leave(Model& m, FuzzedDataProvider& in) {
  const auto slot = consume_slot(in, 34);
  const int32_t r = dovrin_rtc_desktop_leave(m.rt, slot);
  expect_in("leave", r, {0, -1, -2, -3});
  if (slot > 33) return expect_eq("leave", r, -1, "slot above 33");
  if (!m.occupied[slot]) return expect_eq("leave", r, 0, "an empty slot");
  if (m.retired >= 34) {
    expect_eq("leave", r, -2, "a 35th leave");
    return latch(m, "a 35th leave");
  }
  if (r == -2) fault("leave answered -2 at its leave number %zu", m.retired + 1);
  ++m.retired;
  m.occupied[slot] = false;
  if (r == -3) latch(m, "a failed leave");
}

void step_recovery(Model& m, FuzzedDataProvider& in) {
  const uint32_t ms = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(900, 61000) : in.ConsumeIntegral<uint32_t>();
  const bool valid = ms >= 1000 && ms <= 60000;
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_recovery_config(m.rt, ms);
  expect_in("recovery_config", r, {0, -1, -2});
  if (r == -2) latch(m, "recovery_config answering -2");
  if (!valid) return expect_in("recovery_config", r, {-1, -2});
  expect_gated(was_failed, "recovery_config", r);
  if (!was_failed) expect_eq("recovery_config", r, 0, "a valid window");
}

void step_renew(Model& m, FuzzedDataProvider& in) {
  const auto slot = consume_slot(in, 34);
  const std::string token = consume_text(in, {"token2", ""}, 300);
  const bool valid = slot < 34 && bounded_ok(token, 4096);
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_renew(m.rt, slot, token.c_str());
  expect_in("renew", r, {0, -1, -2, -3});
  if (!valid) return expect_eq("renew", r, -1, "invalid arguments");
  expect_gated(was_failed, "renew", r);
  if (!was_failed && !m.occupied[slot]) expect_eq("renew", r, -2, "an empty slot");
}

void step_audio_config(Model& m, FuzzedDataProvider& in) {
  static constexpr uint32_t kRates[] = {8000, 12000, 16000, 24000, 48000, 44100, 0};
  const uint32_t rate = in.PickValueInArray(kRates);
  const uint32_t bitrate = in.ConsumeBool() ? 4000 * in.ConsumeIntegralInRange<uint32_t>(1, 33) : in.ConsumeIntegral<uint32_t>();
  const uint32_t channels = in.ConsumeIntegralInRange<uint32_t>(0, 3);
  const bool rate_ok = rate != 44100 && rate != 0;
  const bool valid = rate_ok && bitrate >= 8000 && bitrate <= 128000 && bitrate % 4000 == 0 &&
                     (channels == 1 || channels == 2);
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_audio_config(m.rt, rate, bitrate, channels);
  expect_in("audio_config", r, {0, -1, -2, -4});
  if (r == -2) latch(m, "audio_config answering -2");
  if (!valid) return expect_in("audio_config", r, {-1, -2});
  expect_gated(was_failed, "audio_config", r);
  if (was_failed) return;
  const std::array<uint32_t, 3> settings{rate, bitrate, channels};
  bool any = false;
  for (bool o : m.occupied) any = any || o;
  // Left slots keep no peer in their slot, so only occupied ones refuse.
  const bool same = m.encoded && m.encoder == settings;
  expect_eq("audio_config", r, same || !any ? 0 : -4, "slots occupied");
  if (r == 0) {
    m.encoded = true;
    m.encoder = settings;
  }
}

void step_send(Model& m, FuzzedDataProvider& in) {
  const auto slot = consume_slot(in, 34);
  static constexpr uint32_t kRates[] = {16000, 24000, 48000, 8000, 44100};
  const uint32_t rate = in.PickValueInArray(kRates);
  const uint32_t samples = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange<uint32_t>(0, 960) : rate / 100;
  const int64_t timestamp = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<int64_t>()
                                                                   : in.ConsumeIntegralInRange<int64_t>(0, 100000);
  const bool null_pcm = in.ConsumeIntegralInRange(0, 15) == 0;
  // Exactly the samples announced, at most 10 ms at 48 kHz.
  std::vector<int16_t> pcm(std::max<uint32_t>(std::min<uint32_t>(samples, 960), 1),
                           static_cast<int16_t>(in.ConsumeIntegral<int16_t>()));
  const bool valid = slot < 34 && !null_pcm && (rate == 16000 || rate == 24000 || rate == 48000) &&
                     samples == rate / 100 && timestamp >= 0 && timestamp <= 4294967295LL;
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_send(m.rt, slot, null_pcm ? nullptr : pcm.data(), samples, rate, timestamp);
  expect_in("send", r, {0, 1, -1, -2, -3});
  if (!valid) return expect_eq("send", r, -1, "invalid arguments");
  expect_gated(was_failed, "send", r);
  if (!was_failed && !m.occupied[slot]) expect_eq("send", r, -2, "an empty slot");
}

void step_tick(Model& m) {
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_tick(m.rt);
  expect_in("tick", r, {0, -2, -3});
  expect_gated(was_failed, "tick", r);
  if (r != 0) latch(m, "tick answering a failure");
}

void step_status(Model& m, FuzzedDataProvider& in) {
  const auto slot = consume_slot(in, 34);
  const bool was_failed = failed(m);
  const int32_t r = dovrin_rtc_desktop_status(m.rt, slot);
  expect_in("status", r, {0, 1, 2, -1, -2});
  if (slot > 33) return expect_eq("status", r, -1, "slot above 33");
  expect_gated(was_failed, "status", r);
  if (!was_failed && !m.occupied[slot]) expect_eq("status", r, 0, "an empty slot");
}

// Every export with a null handle, and the handle-free ones.
void step_null_handle(FuzzedDataProvider& in) {
  DovrinRtcAudioBlock block;
  DovrinRtcAudioHealthSnapshot health;
  DovrinRtcSdkEvent event;
  uint64_t gap = 0;
  char uid[64];
  char name[64];
  int16_t samples[960] = {};
  switch (in.ConsumeIntegralInRange(0, 20)) {
    case 0: expect_eq("io", dovrin_rtc_desktop_io(nullptr, 0, 0), -1, "null handle"); break;
    case 1: expect_eq("devices", dovrin_rtc_desktop_devices(nullptr, 0), -1, "null handle"); break;
    case 2: expect_eq("device", dovrin_rtc_desktop_device(nullptr, 0, 0, uid, 64, name, 64), -1, "null handle"); break;
    case 3: expect_eq("select", dovrin_rtc_desktop_select(nullptr, 0, 0), -1, "null handle"); break;
    case 4: expect_eq("capture_config", dovrin_rtc_desktop_capture_config(nullptr, 200), -2, "null handle"); break;
    case 5: expect_eq("capture_poll", dovrin_rtc_desktop_capture_poll(nullptr, &block, &gap), -1, "null handle"); break;
    case 6: expect_eq("poll", dovrin_rtc_desktop_poll(nullptr, 0, &block), -1, "null handle"); break;
    case 7: expect_eq("play", dovrin_rtc_desktop_play(nullptr, samples, 480), -1, "null handle"); break;
    case 8: expect_eq("audio_health", dovrin_rtc_desktop_audio_health(nullptr, &health), -1, "null handle"); break;
    case 9: expect_eq("error_policy", dovrin_rtc_desktop_error_policy(nullptr, &policy), -1, "null handle"); break;
    case 10: expect_eq("error", dovrin_rtc_desktop_error(nullptr, 0, 0, &event), -1, "null handle"); break;
    case 11: expect_eq("join", dovrin_rtc_desktop_join(nullptr, 0, "room", "token", 1, 2), -1, "null handle"); break;
    case 12: expect_eq("join_v2", dovrin_rtc_desktop_join_v2(nullptr, 0, "room", "token", 1, 2), -1, "null handle"); break;
    case 13: expect_eq("leave", dovrin_rtc_desktop_leave(nullptr, 0), -1, "null handle"); break;
    case 14: expect_eq("recovery_config", dovrin_rtc_desktop_recovery_config(nullptr, 10000), -2, "null handle"); break;
    case 15: expect_eq("renew", dovrin_rtc_desktop_renew(nullptr, 0, "token"), -1, "null handle"); break;
    case 16: expect_eq("audio_config", dovrin_rtc_desktop_audio_config(nullptr, 16000, 32000, 1), -2, "null handle"); break;
    case 17: expect_eq("send", dovrin_rtc_desktop_send(nullptr, 0, samples, 480, 48000, 0), -1, "null handle"); break;
    case 18: expect_eq("tick", dovrin_rtc_desktop_tick(nullptr), -1, "null handle"); break;
    case 19: expect_eq("status", dovrin_rtc_desktop_status(nullptr, 0), -1, "null handle"); break;
    default:
      dovrin_rtc_desktop_destroy(nullptr);
      expect_eq("abi", dovrin_rtc_desktop_abi(), DOVRIN_RTC_DESKTOP_ABI_VERSION, "the version");
      expect_eq("audio_health_size", dovrin_rtc_desktop_audio_health_size(), 136, "the record size");
      expect_eq("error_event_size", dovrin_rtc_desktop_error_event_size(), 48, "the record size");
      break;
  }
}

// ---- The stand-in.

void step_fault(Model& m, FuzzedDataProvider& in) {
  static const std::vector<std::string> operations = loopback::operations();
  const std::string& operation = operations[in.ConsumeIntegralInRange<size_t>(0, operations.size() - 1)];
  loopback::Fault injected;
  injected.kind = static_cast<loopback::FaultKind>(in.ConsumeIntegralInRange(0, 2));
  injected.code = in.ConsumeBool() ? in.ConsumeIntegralInRange(-5, 1) : in.ConsumeIntegral<int>();
  injected.times = in.ConsumeIntegralInRange(0, 7) == 0 ? loopback::kAlways : in.ConsumeIntegralInRange<uint64_t>(1, 3);
  injected.after = in.ConsumeIntegralInRange<uint64_t>(0, 3);
  if (g_trace)
    dprintf(g_report_fd, "  fault %s kind %d code %d times %llu after %llu\n", operation.c_str(),
            static_cast<int>(injected.kind), injected.code, static_cast<unsigned long long>(injected.times),
            static_cast<unsigned long long>(injected.after));
  try {
    loopback::set_fault(operation, injected);
  } catch (const std::invalid_argument&) {
    return;  // a kind this operation cannot take
  }
  if (operation.starts_with("devices.count")) m.devices_faulted = true;
}

void step_devices_list(Model& m, FuzzedDataProvider& in) {
  const auto kind = in.ConsumeIntegralInRange(0, 1);
  std::vector<loopback::Device> list;
  const int count = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < count; ++i) {
    loopback::Device device;
    device.name = consume_text(in, {"Speakers", "Mic", ""}, 300);
    // Ids 100 to 103 name devices of the simulated audio system.
    device.id = consume_text(in, {"100", "101", "102", "103", "0", "4294967296", ""}, 200);
    device.current = in.ConsumeBool();
    device.playout = kind == 0;
    list.push_back(std::move(device));
  }
  loopback::set_devices(static_cast<loopback::DeviceKind>(kind), list);
  m.device_count[static_cast<size_t>(kind)] = list.size();
}

// A capture frame into the capture track's sink: the standard shape carries a stamp.
void step_push_capture(Model& m, FuzzedDataProvider& in) {
  auto frame = std::make_unique<agora::media::base::AudioPcmFrame>();
  const bool standard = in.ConsumeIntegralInRange(0, 3) != 0;
  if (standard) {
    frame->sample_rate_hz_ = 48000;
    frame->num_channels_ = 1;
    frame->samples_per_channel_ = 480;
    frame->bytes_per_sample = 2;
  } else {
    static constexpr int kRates[] = {48000, 16000, 44100, 0, -48000, 96000};
    frame->sample_rate_hz_ = in.ConsumeBool() ? in.PickValueInArray(kRates) : in.ConsumeIntegral<int>();
    frame->num_channels_ = in.ConsumeIntegralInRange<size_t>(0, 3) == 0 ? in.ConsumeIntegral<size_t>()
                                                                         : in.ConsumeIntegralInRange<size_t>(0, 8);
    frame->samples_per_channel_ = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 4000)
                                                   : in.ConsumeIntegral<size_t>();
    frame->bytes_per_sample = in.ConsumeIntegralInRange(0, 4);
  }
  frame->capture_timestamp = in.ConsumeIntegral<int64_t>();
  int16_t value = kForeignSample;
  if (standard) {
    value = static_cast<int16_t>(m.next_stamp++);
    m.capture_stamps[value] = Stamp{m.generation};
  }
  for (auto& sample : frame->data_) sample = value;
  const uint64_t track = loopback::id_of(runtime(m).capture_track.get());
  (void)loopback::push_pcm(track, *frame);
}

// One frame through a frame observer: the runtime's (playback and the other positions) or
// a peer's (remote audio), registered or not.
void step_frame(Model& m, FuzzedDataProvider& in) {
  loopback::FrameFormat format;
  const bool standard = in.ConsumeIntegralInRange(0, 3) != 0;
  if (!standard) {
    static constexpr int kRates[] = {48000, 16000, 44100, 0, -1};
    format.samples_per_channel = in.ConsumeIntegralInRange(-1, 1000);
    format.bytes_per_sample = in.ConsumeIntegralInRange(0, 4);
    format.channels = in.ConsumeIntegralInRange(-1, 4);
    format.samples_per_sec = in.ConsumeBool() ? in.PickValueInArray(kRates) : in.ConsumeIntegral<int>();
  }
  format.render_time_ms = in.ConsumeIntegral<int64_t>();
  format.presentation_ms = in.ConsumeIntegral<int64_t>();
  format.rtp_timestamp = in.ConsumeIntegral<uint32_t>();
  const auto position = static_cast<loopback::Position>(in.ConsumeIntegralInRange(0, 5));
  const auto slot = consume_slot(in, 34);
  const bool null_buffer = in.ConsumeIntegralInRange(0, 15) == 0;

  const int16_t value = static_cast<int16_t>(m.next_stamp++);
  const bool remote = position == loopback::Position::before_mixing_text ||
                      position == loopback::Position::before_mixing_uid;
  if (remote && standard) {
    format.channels = 1;
    m.remote_stamps[value] = Stamp{m.generation};
  }
  const long long declared = static_cast<long long>(format.samples_per_channel) * format.channels *
                             format.bytes_per_sample;
  if (!null_buffer && (declared <= 0 || declared % 2 != 0 || declared > 32768)) return;
  std::vector<int16_t> samples(null_buffer ? 0 : static_cast<size_t>(declared / 2), value);

  std::string channel = slot < 34 && in.ConsumeBool() ? m.channel[slot] : consume_text(in, {"room", ""}, 80);
  std::string user = slot < 34 && in.ConsumeBool() ? std::to_string(m.remote_uid[slot])
                                                    : consume_text(in, {"2002", "0", ""}, 40);
  const bool null_channel = in.ConsumeIntegralInRange(0, 7) == 0;
  const bool null_user = in.ConsumeIntegralInRange(0, 7) == 0;
  const unsigned uid = slot < 34 && in.ConsumeBool() ? m.remote_uid[slot] : in.ConsumeIntegral<unsigned>();
  loopback::Frame frame{position, null_channel ? nullptr : channel.c_str(), null_user ? nullptr : user.c_str(), uid,
                        format, samples};
  if (frame.channel_id == nullptr && position != loopback::Position::before_mixing_text &&
      position != loopback::Position::before_mixing_uid && position != loopback::Position::ear_monitoring)
    frame.channel_id = "";

  const uint64_t local_user = local_user_of(connection_of(m, slot));
  const bool late = in.ConsumeIntegralInRange(0, 7) == 0;
  try {
    if (late) {
      auto ever = loopback::frame_observers_ever();
      if (ever.empty()) return;
      (void)loopback::deliver_frame_to(ever[in.ConsumeIntegralInRange<size_t>(0, ever.size() - 1)].observer, frame);
    } else if (local_user != 0) {
      g_render.value = value;
      const uint64_t calls = g_render.calls;
      (void)loopback::deliver_frame(local_user, frame);
      // Submitted playback leaves in order, and only in the generation it was submitted in.
      auto played = m.play_stamps.find(samples.empty() ? 0 : samples[0]);
      if (standard && position == loopback::Position::playback && samples.size() == 960 && local_user != 0 &&
          slot == 34 && played != m.play_stamps.end()) {
        for (size_t i = 0; i < 960; ++i)
          if (samples[i] != played->first) fault("played frame mixes stamp %d with %d", played->first, samples[i]);
        if (played->second.generation != m.generation)
          fault("playback stamp %d of generation %llu played in %llu", played->first,
                static_cast<unsigned long long>(played->second.generation),
                static_cast<unsigned long long>(m.generation));
        if (played->first <= m.last_play_stamp) fault("playback stamp %d after %d", played->first, m.last_play_stamp);
        m.last_play_stamp = played->first;
      }
      // Frames the render callback did not write stay silent.
      if (g_render.calls != calls && g_render.answer >= 0 && g_render.answer <= 480 && standard &&
          position == loopback::Position::playback && samples.size() == 960) {
        for (size_t i = 0; i < 960; ++i) {
          const int16_t expected = i < 2 * static_cast<size_t>(g_render.answer) ? value : 0;
          if (samples[i] != expected) fault("rendered sample %zu is %d, expected %d", i, samples[i], expected);
        }
      }
    }
  } catch (const std::invalid_argument&) {
    // A buffer the declared format does not fit; nothing was delivered.
  }
}

void step_notify(Model& m, FuzzedDataProvider& in) {
  loopback::Notification notification;
  // Mostly the notices the library acts on.
  static constexpr loopback::Notice kActedOn[] = {
      loopback::Notice::connected,          loopback::Notice::user_joined,
      loopback::Notice::reconnecting,       loopback::Notice::reconnected,
      loopback::Notice::connection_lost,    loopback::Notice::user_left,
      loopback::Notice::renew_token_result, loopback::Notice::token_privilege_did_expire,
      loopback::Notice::connecting,         loopback::Notice::error};
  notification.notice = in.ConsumeBool()
                            ? in.PickValueInArray(kActedOn)
                            : static_cast<loopback::Notice>(in.ConsumeIntegralInRange<int>(0, loopback::kNoticeCount - 1));
  const auto slot = consume_slot(in, 34);
  notification.info.id = in.ConsumeIntegral<unsigned>();
  // Mostly naming the slot's own connection.
  if (in.ConsumeIntegralInRange(0, 3) != 0) notification.info.channel_id = slot < 34 ? m.channel[slot] : std::string("room");
  notification.info.state = in.ConsumeIntegralInRange(0, 5);
  if (in.ConsumeIntegralInRange(0, 3) != 0)
    notification.info.local_user_id = slot < 34 ? std::to_string(m.local_uid[slot]) : std::string("1001");
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: break;
    case 1: notification.text = slot < 34 ? std::to_string(m.remote_uid[slot]) : std::string("2002"); break;
    default: notification.text = consume_text(in, {"token", "2002", ""}, 300); break;
  }
  if (in.ConsumeBool()) notification.text2 = consume_text(in, {"api"}, 100);
  for (auto& number : notification.numbers)
    number = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(-2, 20) : in.ConsumeIntegral<int32_t>();
  // Reasons and qualities are enumerations: only values within the range of the declared
  // enumerators can be passed (0 to 7, 0 to 3 and 0 to 15).
  switch (notification.notice) {
    case loopback::Notice::connected: case loopback::Notice::disconnected: case loopback::Notice::connecting:
    case loopback::Notice::reconnecting: case loopback::Notice::reconnected:
    case loopback::Notice::connection_failure:
      notification.numbers[0] &= 7;
      break;
    case loopback::Notice::user_left: notification.numbers[0] &= 3; break;
    case loopback::Notice::lastmile_quality: notification.numbers[0] &= 15; break;
    default: break;
  }
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    auto ever = loopback::connection_observers_ever();
    if (ever.empty()) return;
    (void)loopback::notify_observer(ever[in.ConsumeIntegralInRange<size_t>(0, ever.size() - 1)].observer,
                                    notification);
    return;
  }
  const uint64_t connection = connection_of(m, slot);
  if (connection != 0) (void)loopback::notify(connection, notification);
}

// A whole arrival in one step: join with valid arguments, the SDK reporting the connection,
// and the remote user joining, so that connected slots are common.
void step_establish(Model& m, FuzzedDataProvider& in) {
  const uint32_t slot = consume_slot(in, 33);
  const bool v2 = in.ConsumeBool();
  if (v2 && !m.policy) {
    expect_eq("error_policy", dovrin_rtc_desktop_error_policy(m.rt, &policy), 0, "installing a policy");
    m.policy = true;
  }
  if (!m.occupied[slot] && join(m, v2, slot, "room", "token", 1001, 2002 + slot) != 0) return;
  const uint64_t connection = connection_of(m, slot);
  if (connection == 0) return;
  loopback::Notification connected;
  connected.notice = loopback::Notice::connected;
  connected.info.channel_id = m.channel[slot];
  connected.info.local_user_id = std::to_string(m.local_uid[slot]);
  connected.numbers[0] = 1;
  (void)loopback::notify(connection, connected);
  loopback::Notification joined;
  joined.notice = loopback::Notice::user_joined;
  joined.text = std::to_string(m.remote_uid[slot]);
  (void)loopback::notify(connection, joined);
}

void step_time(FuzzedDataProvider& in) {
  static constexpr uint64_t kSteps[] = {10, 100, 999, 1000, 1001, 5000, 10000, 60001};
  g_now_ms.fetch_add(in.ConsumeBool() ? in.PickValueInArray(kSteps) : in.ConsumeIntegralInRange<uint64_t>(0, 100000),
                     std::memory_order_relaxed);
}

void step_render_answer(FuzzedDataProvider& in) {
  g_render.answer = in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(0, 480);
}

// ---- One input.

struct Setup {
  Setup() {
    dovrin::rtc_probe::set_steady_clock(&read_clock, nullptr);
    world.setJournal(false);
    world.install();
    // Ids 100 to 103: the device identifiers of the stand-in's lists that name them.
    world.addDevice({std::string("BuiltInSpeakerDevice"), std::string("Speakers"), {}, {}, {}, {}});
    world.addDevice({std::string(""), std::string("Empty UID"), {}, {}, {}, {}});
    world.addDevice({std::string(255, 'u'), std::string("Long UID"), {}, {}, {}, {}});
    world.addDevice({std::string(256, 'v'), std::string("Too long UID"), {}, {}, {}, {}});
  }
  dovrin::platform::sim::SimWorld world;
};

void run(FuzzedDataProvider& in) {
  loopback::reset();
  loopback::set_journaling(false);
  if (loopback::live_total() != 0) fault("SDK objects alive before creation");
  g_now_ms.store(1'000'000, std::memory_order_relaxed);
  g_render = Render{};
  g_policy_answer = 0;

  Model m;
  // Faults that may hit creation.
  const int early = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange(1, 2) : 0;
  for (int i = 0; i < early; ++i) step_fault(m, in);
  const bool with_render = in.ConsumeIntegralInRange(0, 3) == 0;
  const std::string app_id = in.ConsumeIntegralInRange(0, 15) == 0 ? in.ConsumeRandomLengthString(300) : kAppId;
  bool valid_app_id = app_id.size() == 32;
  for (char c : app_id) valid_app_id = valid_app_id && std::isxdigit(static_cast<unsigned char>(c));
  DovrinRtcCreateDiagnostics diagnostics;
  const int32_t created = dovrin_rtc_desktop_create_diagnosed(
      LOOPBACK_SDK_PATH, app_id.c_str(), with_render ? &render : nullptr, with_render ? &g_render : nullptr, &m.rt,
      &diagnostics);
  expect_in("create", created, {0, -1, -3, -31, -32, -33, -34, -35, -36, -37, -38, -39});
  if (!valid_app_id) expect_eq("create", created, -1, "an invalid App ID");
  if (created != 0) {
    if (m.rt != nullptr) fault("a failed creation left a handle");
    // -31 to -39 name stages 1, 2, 3, 4, 5, 5, 6, 7, 8.
    static constexpr uint32_t kStages[] = {1, 2, 3, 4, 5, 5, 6, 7, 8};
    const uint32_t stage = created <= -31 ? kStages[-31 - created] : 0;
    if (diagnostics.stage != stage) fault("creation answered %d with stage %u", created, diagnostics.stage);
    loopback::clear_faults();
    if (loopback::live_total() != 0) fault("a failed creation left %zu SDK objects", loopback::live_total());
    return;
  }
  m.has_render = with_render;

  const int steps = in.ConsumeIntegralInRange(0, kMaxSteps);
  for (int i = 0; i < steps && in.remaining_bytes() > 0; ++i) {
    const int kind = in.ConsumeIntegralInRange(0, 32);
    if (g_trace) dprintf(g_report_fd, "step %d: kind %d\n", i, kind);
    switch (kind) {
      case 0: case 1: step_io(m, in); break;
      case 2: step_devices(m, in); break;
      case 3: step_device(m, in); break;
      case 4: step_select(m, in); break;
      case 5: step_capture_config(m, in); break;
      case 6: step_capture_poll(m, in); break;
      case 7: step_poll(m, in); break;
      case 8: step_play(m, in); break;
      case 9: step_health(m, in); break;
      case 10: step_policy(m, in); break;
      case 11: step_error(m, in); break;
      case 12: step_join(m, in, false); break;
      case 13: step_join(m, in, true); break;
      case 14: step_leave(m, in); break;
      case 15: step_recovery(m, in); break;
      case 16: step_renew(m, in); break;
      case 17: step_audio_config(m, in); break;
      case 18: step_send(m, in); break;
      case 19: step_tick(m); break;
      case 20: step_status(m, in); break;
      case 21: step_null_handle(in); break;
      case 22: step_fault(m, in); break;
      case 23: loopback::clear_faults(); break;
      case 24: step_devices_list(m, in); break;
      case 25: case 26: step_push_capture(m, in); break;
      case 27: case 28: step_frame(m, in); break;
      case 29: step_notify(m, in); break;
      case 30: step_time(in); break;
      case 31: step_establish(m, in); break;
      default: step_render_answer(in); break;
    }
    // The latch holds until destroy.
    if (m.latched && !internally_failed(m)) fault("the runtime recovered from a failure");
    if (internally_failed(m)) m.latched = true;
  }

  // Teardown may meet faults too; it must still release everything.
  dovrin_rtc_desktop_destroy(m.rt);
  m.rt = nullptr;
  loopback::clear_faults();
  if (loopback::live_total() != 0) {
    for (const auto& object : loopback::objects())
      dprintf(g_report_fd, "alive: %s %llu\n", loopback::kind_name(object.kind),
              static_cast<unsigned long long>(object.id));
    fault("destroy left %zu SDK objects alive", loopback::live_total());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report_fd = dup(2);
  g_trace = std::getenv("FUZZ_TRACE") != nullptr;
  if (g_report_fd < 0) g_report_fd = 2;
  static Setup* setup = new Setup();
  (void)setup;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  run(in);
  return 0;
}
