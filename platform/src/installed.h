#pragma once
// One installable backend slot. Backends are installed before the threads that use them
// start; the atomic only keeps a late reader from seeing a torn pointer.

#include <atomic>

namespace dovrin::platform::detail {

template <class Interface>
class Installed {
 public:
  explicit Installed(Interface& fallback) : fallback_(fallback), current_(&fallback) {}

  void install(Interface* backend) { current_.store(backend ? backend : &fallback_, std::memory_order_release); }
  Interface& get() const { return *current_.load(std::memory_order_acquire); }

 private:
  Interface& fallback_;
  std::atomic<Interface*> current_;
};

}  // namespace dovrin::platform::detail
