#include "audio_host/discovery.h"

#include <nlohmann/json.hpp>

#include "dovrin/platform/processes.h"
#include "dovrin/platform/streams.h"

namespace dovrin::audio_host {

namespace selector = platform::selector;

platform::PropertyAddress globalAddress(std::uint32_t selector) {
  return platform::PropertyAddress{selector, platform::scope::global, platform::kMainElement};
}

std::vector<ObjectId> objectIDs(std::uint32_t selector) {
  const auto address = globalAddress(selector);
  std::uint32_t size = 0;
  if (platform::getPropertyDataSize(platform::kSystemObject, address, &size) != platform::kOk || size < 4) return {};
  // The size measured first decides the length; entries a shorter read leaves alone stay 0.
  std::vector<ObjectId> ids(size / 4, 0);
  std::uint32_t room = static_cast<std::uint32_t>(ids.size() * 4);
  if (platform::getPropertyData(platform::kSystemObject, address, &room, ids.data()) != platform::kOk) return {};
  return ids;
}

std::optional<std::int32_t> pidOf(ObjectId object) {
  std::int32_t pid = 0;
  std::uint32_t size = sizeof pid;
  if (platform::getPropertyData(object, globalAddress(selector::processPid), &size, &pid) != platform::kOk)
    return std::nullopt;
  return pid;
}

bool boolProp(ObjectId object, std::uint32_t selector) {
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  return platform::getPropertyData(object, globalAddress(selector), &size, &value) == platform::kOk && value != 0;
}

std::int32_t ppidOf(std::int32_t pid) { return platform::parentPid(pid).value_or(0); }

bool isDescendant(std::int32_t pid, const PidSet& set) {
  for (int examined = 0; examined < kTreeDepth && pid >= 2; ++examined) {
    if (set.contains(pid)) return true;
    pid = ppidOf(pid);
  }
  return false;
}

std::vector<ObjectId> audioObjectsInTree(std::int32_t pid) {
  std::vector<ObjectId> tree;
  for (ObjectId object : objectIDs(selector::processObjectList)) {
    auto owner = pidOf(object);
    if (!owner) continue;
    if (*owner == pid) {
      tree.push_back(object);
      continue;
    }
    std::int32_t ancestor = *owner;
    for (int step = 1; step < kTreeDepth && ancestor >= 2; ++step) {
      ancestor = ppidOf(ancestor);
      if (ancestor < 2) break;
      if (ancestor == pid) {
        tree.push_back(object);
        break;
      }
    }
  }
  return tree;
}

bool isRenderingOutput(const std::vector<ObjectId>& objects, const PidSet& excluding) {
  const auto all = objects.empty() ? objectIDs(selector::processObjectList) : std::vector<ObjectId>();
  for (ObjectId object : objects.empty() ? all : objects) {
    if (!excluding.empty()) {
      auto pid = pidOf(object);
      if (pid && isDescendant(*pid, excluding)) continue;
    }
    if (boolProp(object, selector::isRunningOutput)) return true;
  }
  return false;
}

std::string listJson() {
  const std::int32_t self = platform::ownPid();
  PidSet listed;
  auto entries = nlohmann::json::array();
  for (ObjectId object : objectIDs(selector::processObjectList)) {
    auto pid = pidOf(object);
    if (!pid || *pid == self || listed.contains(*pid)) continue;
    auto application = platform::runningApplication(*pid);
    if (!application || application->activationPolicy != 0) continue;
    if (!application->localizedName || application->localizedName->empty()) continue;
    listed.insert(*pid);
    const std::string& label = *application->localizedName;
    // The tree is read after the list: when the object went in between it is empty, and an
    // empty tree plays nothing (an empty list would mean every process on the system).
    const auto tree = audioObjectsInTree(*pid);
    entries.push_back({{"id", "pid:" + std::to_string(*pid)},
                       {"label", label},
                       {"exe", application->bundleIdentifier.value_or(label)},
                       {"active", !tree.empty() && isRenderingOutput(tree, {})}});
  }
  // Names come from other programs and need not be valid UTF-8; replacing bad bytes keeps
  // the serialiser from failing.
  return entries.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int runList() {
  const std::string text = listJson();
  (void)platform::writeStandardOutput(text.data(), text.size());
  return 0;
}

}  // namespace dovrin::audio_host
