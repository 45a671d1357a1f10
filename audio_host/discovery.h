#pragma once
// Audio process objects, the Unix process tree behind them, and list mode.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "dovrin/platform/audio_system.h"

namespace dovrin::audio_host {

using platform::ObjectId;
using PidSet = std::unordered_set<std::int32_t>;

// A pid and at most this many ancestors are examined when asking who descends from whom.
inline constexpr int kTreeDepth = 8;

platform::PropertyAddress globalAddress(std::uint32_t selector);
// The object ids held by that property of the system object; empty on any failure.
std::vector<ObjectId> objectIDs(std::uint32_t selector);
std::optional<std::int32_t> pidOf(ObjectId object);
bool boolProp(ObjectId object, std::uint32_t selector);
// 0 when the parent cannot be read.
std::int32_t ppidOf(std::int32_t pid);
// The pid or one of its first 7 ancestors is in the set; pids 0 and 1 descend from nothing.
bool isDescendant(std::int32_t pid, const PidSet& set);
// The process objects of pid and its descendants, in process object list order.
std::vector<ObjectId> audioObjectsInTree(std::int32_t pid);
// Objects empty: every process object. Objects whose pid descends from an excluded pid
// do not count.
bool isRenderingOutput(const std::vector<ObjectId>& objects, const PidSet& excluding);

// The list as compact JSON text: one entry per ordinary application owning process objects.
std::string listJson();
int runList();

}  // namespace dovrin::audio_host
