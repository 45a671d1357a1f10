// The text parsers on their own: the App ID check, user ids, device identifiers, encoder
// settings and the audio host's numbers. Each is compared with a plain restatement of its
// rule; texts that a parser must read only up to a limit are handed over in a buffer that
// ends exactly there, so AddressSanitizer catches a read beyond it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/duplex_observer.h"
#include "audio_host/entry.h"
#include "dovrin/platform/sim/sim_world.h"
#include "dovrin_rtc_desktop.h"
#include "frame/bounded_text.h"
#include "frame/device_uid.h"
#include "peers/connection_observer.h"
#include "publish/encoder_settings.h"

namespace {

namespace sim = dovrin::platform::sim;

[[noreturn]] void fault(const char* what, std::string_view text) {
  std::fprintf(stderr, "fuzz_text_parsers: %s (text of %zu bytes)\n", what, text.size());
  std::abort();
}

void expect(bool condition, const char* what, std::string_view text) {
  if (!condition) fault(what, text);
}

// The bytes, exactly: no terminator after them.
std::unique_ptr<char[]> exact_copy(std::string_view text) {
  auto copy = std::make_unique<char[]>(text.size());
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

std::string c_text(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ---- App ID: exactly 32 hexadecimal characters before the NUL.

void app_id(std::string_view text) {
  const std::string c = c_text(text);
  bool valid = c.size() == 32;
  for (char ch : c) valid = valid && is_hex(ch);

  // A creation with a valid App ID goes on to load the SDK, which fails at stage 1 here.
  const char* kNoSdk = "/nonexistent/dovrin-fuzz/libnone.so";
  DovrinRtcRuntime* handle = reinterpret_cast<DovrinRtcRuntime*>(&handle);
  DovrinRtcCreateDiagnostics diagnostics{7, 7, 7, 7};
  // Without a NUL among its first 33 bytes the text is handed over unterminated: the check
  // reads no further than that.
  std::unique_ptr<char[]> exact;
  std::string terminated;
  const char* argument = nullptr;
  if (text.size() >= 33 && std::memchr(text.data(), '\0', 33) == nullptr) {
    exact = exact_copy(text.substr(0, 33));
    argument = exact.get();
  } else {
    terminated = std::string(text);
    argument = terminated.c_str();
  }
  const int32_t result = dovrin_rtc_desktop_create_diagnosed(kNoSdk, argument, nullptr, nullptr, &handle,
                                                             &diagnostics);
  expect(handle == nullptr, "create left a handle behind", text);
  if (valid) {
    expect(result == -31, "a valid App ID did not reach the SDK load", text);
    expect(diagnostics.stage == 1 && diagnostics.sdk_code == 0 && diagnostics.reserved == 0 &&
               diagnostics.code_kind == 0,
           "stage 1 diagnostics", text);
  } else {
    expect(result == -1, "an invalid App ID was not refused with -1", text);
    expect(diagnostics.stage == 0 && diagnostics.sdk_code == 0 && diagnostics.reserved == 0 &&
               diagnostics.code_kind == 0,
           "diagnostics of a refused App ID are not zero", text);
  }
}

// ---- Bounded texts (channel, token): 1 to limit characters.

void bounded_text(FuzzedDataProvider& input) {
  const auto limit = input.ConsumeIntegralInRange<size_t>(0, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();
  const std::string c = c_text(text);
  const size_t reference_length = std::min(c.size(), limit);
  const bool reference = !c.empty() && c.size() <= limit;
  const bool has_nul_in_reach = text.substr(0, limit + 1).find('\0') != std::string::npos;
  // Within limit + 1 bytes with no NUL: exactly that many bytes, unterminated.
  if (!has_nul_in_reach && text.size() >= limit + 1) {
    auto exact = exact_copy(std::string_view(text).substr(0, limit + 1));
    expect(dovrin::rtc_desktop::detail::bounded(exact.get(), limit) == reference, "bounded, unterminated",
           text);
    expect(dovrin::rtc_desktop::detail::bounded_length(exact.get(), limit) == reference_length,
           "bounded_length, unterminated", text);
  } else {
    expect(dovrin::rtc_desktop::detail::bounded(text.c_str(), limit) == reference, "bounded", text);
    expect(dovrin::rtc_desktop::detail::bounded_length(text.c_str(), limit) == reference_length,
           "bounded_length", text);
  }
}

// ---- User ids: decimal 1 to 4294967295 without a leading zero; anything else is 0.

void user_id(std::string_view text) {
  const std::string c = c_text(text);
  uint32_t reference = 0;
  if (!c.empty() && c.size() <= 10 && c[0] != '0') {
    bool digits = true;
    uint64_t value = 0;
    for (char ch : c) {
      digits = digits && is_digit(ch);
      if (digits) value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (digits && value <= UINT32_MAX) reference = static_cast<uint32_t>(value);
  }
  const std::string terminated(text);
  expect(dovrin::rtc_probe::DuplexObserver::parse_user_id(terminated.c_str()) == reference,
         "parse_user_id disagrees", text);

  // The remote user's id as the connection observer matches it: equal texts only.
  const size_t split = c.size() / 2;
  const std::string expected = c.substr(0, split);
  const std::string other = c.substr(split);
  const bool same_reference = !expected.empty() && expected == other;
  expect(dovrin::rtc_probe::ConnectionObserver::same(other.c_str(), expected) == same_reference,
         "ConnectionObserver::same disagrees", text);
  expect(!dovrin::rtc_probe::ConnectionObserver::same(nullptr, expected), "same(null)", text);
}

// ---- Device identifiers: decimal object ids, 1 to 127 digits, non-zero, 32 bits.

struct DeviceWorld {
  DeviceWorld() {
    world.install();
    // Ids from 100 on; the last one is chosen so that the largest 32-bit id names a device.
    with_uid = world.addDevice({std::string("BuiltInSpeakerDevice"), std::string("Speakers"), {}, {}, {}, {}});
    empty_uid = world.addDevice({std::string(""), std::string("Empty"), {}, {}, {}, {}});
    no_uid = world.addDevice({std::nullopt, std::string("No UID"), {}, {}, {}, {}});
    long_uid = world.addDevice({std::string(255, 'u'), std::string("Long"), {}, {}, {}, {}});
    too_long_uid = world.addDevice({std::string(256, 'v'), std::string("Too long"), {}, {}, {}, {}});
    world.addDeviceAt(UINT32_MAX, {std::string("TopDevice"), std::string("Top"), {}, {}, {}, {}});
    world.setJournal(false);
  }
  sim::SimWorld world;
  dovrin::platform::ObjectId with_uid = 0, empty_uid = 0, no_uid = 0, long_uid = 0, too_long_uid = 0;
};

DeviceWorld& device_world() {
  static DeviceWorld* world = new DeviceWorld();
  return *world;
}

std::optional<std::string> uid_of(uint64_t id) {
  DeviceWorld& w = device_world();
  if (id == w.with_uid) return "BuiltInSpeakerDevice";
  if (id == w.empty_uid) return "";
  if (id == w.long_uid) return std::string(255, 'u');
  if (id == w.too_long_uid) return std::string(256, 'v');
  if (id == UINT32_MAX) return "TopDevice";
  return std::nullopt;
}

void device_identifier(FuzzedDataProvider& input) {
  const auto capacity = input.ConsumeIntegralInRange<size_t>(1, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();
  const std::string c = c_text(std::string_view(text).substr(0, 128));
  std::optional<uint64_t> id;
  if (!c.empty() && c.size() < 128) {
    bool digits = true;
    uint64_t value = 0;
    for (char ch : c) {
      digits = digits && is_digit(ch);
      if (digits && value <= UINT32_MAX) value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (digits && value != 0 && value <= UINT32_MAX) id = value;
  }
  std::optional<std::string> reference;
  if (id) {
    auto uid = uid_of(*id);
    if (uid && !uid->empty() && uid->size() < capacity) reference = uid;
  }

  device_world();
  // The identifier field is 128 bytes: a text that fills it has no NUL.
  std::unique_ptr<char[]> exact;
  std::string terminated;
  const char* argument = nullptr;
  if (text.size() >= 128 && std::memchr(text.data(), '\0', 128) == nullptr) {
    exact = exact_copy(std::string_view(text).substr(0, 128));
    argument = exact.get();
  } else {
    terminated = text;
    argument = terminated.c_str();
  }
  auto output = std::make_unique<char[]>(capacity);
  const bool found = dovrin::rtc_desktop::detail::device_uid(argument, output.get(), capacity);
  expect(found == reference.has_value(), "device_uid found a different device", text);
  if (found) {
    expect(std::memchr(output.get(), '\0', capacity) != nullptr && reference == std::string(output.get()),
           "device_uid wrote another UID", text);
  }
  expect(!dovrin::rtc_desktop::detail::device_uid(nullptr, output.get(), capacity), "device_uid(null)", text);
  expect(device_world().world.live().strings == 0, "device_uid kept a platform string", text);
}

// ---- Encoder settings.

void encoder_settings(FuzzedDataProvider& input) {
  dovrin::rtc_client::EncoderSettings settings;
  settings.sample_rate = input.ConsumeIntegral<uint32_t>();
  settings.bitrate = input.ConsumeIntegral<uint32_t>();
  settings.channels = input.ConsumeIntegral<uint32_t>();
  if (input.ConsumeBool()) settings.sample_rate = 8000u * input.ConsumeIntegralInRange<uint32_t>(0, 7);
  if (input.ConsumeBool()) settings.bitrate = 1000u * input.ConsumeIntegralInRange<uint32_t>(0, 140);
  if (input.ConsumeBool()) settings.channels = input.ConsumeIntegralInRange<uint32_t>(0, 3);
  const uint32_t rates[] = {8000, 12000, 16000, 24000, 48000};
  bool rate = false;
  for (uint32_t r : rates) rate = rate || settings.sample_rate == r;
  const bool bits = settings.bitrate >= 8000 && settings.bitrate <= 128000 && settings.bitrate % 4000 == 0;
  const bool reference = rate && bits && (settings.channels == 1 || settings.channels == 2);
  expect(settings.valid() == reference, "EncoderSettings::valid disagrees", {});
}

// ---- The audio host's numbers.

void host_numbers(std::string_view text) {
  using namespace dovrin::audio_host;
  // parseInteger: one optional sign, then ASCII digits only, within 32 bits.
  std::optional<int32_t> reference;
  {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
      negative = digits.front() == '-';
      digits.remove_prefix(1);
    }
    bool ok = !digits.empty();
    long double value = 0;
    for (char ch : digits) {
      ok = ok && is_digit(ch);
      if (ok) value = value * 10 + (ch - '0');
    }
    if (ok) {
      if (negative) value = -value;
      if (value >= -2147483648.0L && value <= 2147483647.0L) reference = static_cast<int32_t>(value);
    }
  }
  expect(parseInteger(text) == reference, "parseInteger disagrees", text);

  // parseScalar: the whole text as a C-locale float, no leading white space; beyond the
  // float range clamped to it, NaN passed on.
  const std::string whole(text);
  std::optional<float> scalar_reference;
  if (!whole.empty() && whole.find('\0') == std::string::npos &&
      std::strchr(" \t\n\v\f\r", whole.front()) == nullptr) {
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(whole.c_str(), &end);
    if (end == whole.c_str() + whole.size()) {
      scalar_reference = std::isinf(value) ? std::copysign(std::numeric_limits<float>::max(), value) : value;
    }
  }
  const auto scalar = parseScalar(whole);
  expect(scalar.has_value() == scalar_reference.has_value(), "parseScalar accepts differently", text);
  if (scalar && std::isnan(*scalar_reference)) {
    expect(std::isnan(*scalar), "parseScalar reads another value", text);
  } else if (scalar) {
    expect(std::memcmp(&*scalar, &*scalar_reference, sizeof(float)) == 0, "parseScalar reads another value", text);
  }

  // parseExclude: the pieces of the list after the first option that parse as integers.
  std::vector<std::string> arguments{"--target", "system", "--exclude-pids", whole};
  std::unordered_set<int32_t> pids;
  std::string_view list = whole;
  while (!list.empty()) {
    const auto comma = list.find(',');
    std::string_view piece = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (auto pid = parseInteger(piece)) pids.insert(*pid);
  }
  expect(parseExclude(arguments) == pids, "parseExclude disagrees", text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reference for parseScalar reads with strtof in the process's locale: keep it "C".
  std::setlocale(LC_ALL, "C");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: app_id(input.ConsumeRemainingBytesAsString()); break;
    case 1: bounded_text(input); break;
    case 2: user_id(input.ConsumeRemainingBytesAsString()); break;
    case 3: device_identifier(input); break;
    case 4: encoder_settings(input); break;
    case 5: host_numbers(input.ConsumeRemainingBytesAsString()); break;
    default: {
      // Every parser over the same bytes.
      const std::string text = input.ConsumeRemainingBytesAsString();
      app_id(text);
      user_id(text);
      host_numbers(text);
      break;
    }
  }
  return 0;
}
