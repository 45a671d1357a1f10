#include "frame/device_uid.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "dovrin/platform/audio_system.h"
#include "frame/bounded_text.h"

namespace dovrin::rtc_desktop::detail {
namespace {

namespace platform = dovrin::platform;

// The identifier field is 128 bytes; a text that fills it has no NUL.
constexpr size_t kIdentifierField = 128;

// A decimal object id with nothing around it: no sign, no space, no
// suffix. Leading zeros are harmless; 0 names no object.
std::optional<platform::ObjectId> parse_object_id(const char* identifier) {
  const size_t length = bounded_length(identifier, kIdentifierField);
  if (length < 1 || length >= kIdentifierField) return std::nullopt;
  constexpr uint32_t kMax = UINT32_MAX;
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = identifier[i];
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint32_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

// The reference is given back however the conversion ends, also when it
// throws: a string the platform handed out is ours to release.
class StringHold {
 public:
  explicit StringHold(platform::StringRef string) : string_(string) {}
  ~StringHold() { platform::releaseString(string_); }
  StringHold(const StringHold&) = delete;
  StringHold& operator=(const StringHold&) = delete;

 private:
  platform::StringRef string_;
};

// Fails rather than cut the text short when it does not fit with its NUL.
bool copy_text(platform::StringRef string, char* output, size_t capacity) {
  const std::optional<std::string> text = platform::stringText(string);
  if (!text || text->size() >= capacity) return false;
  std::memcpy(output, text->c_str(), text->size() + 1);
  return true;
}

}  // namespace

bool device_uid(const char* identifier, char* output, size_t capacity) noexcept {
  const std::optional<platform::ObjectId> object = parse_object_id(identifier);
  if (!object) return false;

  try {
    const platform::PropertyAddress address{platform::selector::deviceUid, platform::scope::global,
                                            platform::kMainElement};
    platform::StringRef uid = nullptr;
    uint32_t size = sizeof uid;
    const platform::Status status = platform::getPropertyData(*object, address, &size, &uid);
    // A backend may answer success and fill nothing; a short answer is no
    // reference at all, so there is nothing to release either.
    if (status != platform::kOk || size != sizeof uid || uid == nullptr) return false;
    StringHold hold(uid);
    return copy_text(uid, output, capacity) && output[0] != '\0';
  } catch (...) {
    return false;
  }
}

}  // namespace dovrin::rtc_desktop::detail
