#include "dovrin/platform/uuid.h"

#include <uuid.h>

namespace dovrin::platform {

std::string randomUuidText() {
  uuid_t value;
  uuid_generate_random(value);
  char text[37];
  uuid_unparse_upper(value, text);
  return text;
}

}  // namespace dovrin::platform
