#pragma once

#include <string>

namespace dovrin::platform {

// A fresh random (version 4) UUID in its upper-case text form.
std::string randomUuidText();

}  // namespace dovrin::platform
