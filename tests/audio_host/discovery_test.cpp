#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "audio_host/discovery.h"
#include "host_world.h"

namespace dovrin::audio_host::testing {
namespace {

using platform::RunningApplication;
namespace selector = platform::selector;
namespace scope = platform::scope;

class AudioHostDescent : public HostWorld {};

TEST_F(AudioHostDescent, RootsDescendFromNothing) {
  world.addProcess(5, 1);
  EXPECT_FALSE(isDescendant(1, {1}));
  EXPECT_FALSE(isDescendant(0, {0}));
  EXPECT_TRUE(isDescendant(5, {5}));
  EXPECT_FALSE(isDescendant(5, {}));
}

// Generations below the excluded pid: the pid and seven ancestors are examined, no more.
struct DepthCase {
  int generations;
  bool descends;
};

class AudioHostDescentDepth : public HostWorld, public ::testing::WithParamInterface<DepthCase> {};

TEST_P(AudioHostDescentDepth, SevenGenerationsAndNoMore) {
  const auto pids = chain(kLauncher, GetParam().generations, 1000);
  EXPECT_EQ(isDescendant(pids.back(), {kLauncher}), GetParam().descends);

  const ObjectId own = world.addProcessObject(kLauncher);
  const ObjectId deep = world.addProcessObject(pids.back());
  const std::vector<ObjectId> expected =
      GetParam().descends ? std::vector<ObjectId>{own, deep} : std::vector<ObjectId>{own};
  EXPECT_EQ(audioObjectsInTree(kLauncher), expected);
}

INSTANTIATE_TEST_SUITE_P(Generations, AudioHostDescentDepth,
                         ::testing::Values(DepthCase{1, true}, DepthCase{6, true}, DepthCase{7, true},
                                           DepthCase{8, false}, DepthCase{9, false}));

TEST_F(AudioHostDescent, UnreadableParentEndsTheWalk) {
  const auto pids = chain(kLauncher, 3, 1000);
  world.failParentPid(pids[1], true);
  EXPECT_FALSE(isDescendant(pids[2], {kLauncher}));
  EXPECT_TRUE(isDescendant(pids[2], {pids[1]}));
}

class AudioHostTree : public HostWorld {};

TEST_F(AudioHostTree, KeepsListOrderAndSkipsUnreadablePids) {
  const auto kids = chain(kLauncher, 1, 1000);
  world.addProcess(2000, 1);
  const ObjectId child = world.addProcessObject(kids[0]);
  const ObjectId stranger = world.addProcessObject(2000);
  const ObjectId own = world.addProcessObject(kLauncher);
  const ObjectId unreadable = world.addProcessObject(kLauncher);
  world.failProperty(Access::read, selector::processPid, scope::global, -1, -1, unreadable);
  (void)stranger;
  EXPECT_EQ(audioObjectsInTree(kLauncher), (std::vector<ObjectId>{child, own}));
}

TEST_F(AudioHostTree, RootTargetFindsOnlyItsOwnObjects) {
  const ObjectId init = world.addProcessObject(1);
  world.addProcessObject(kLauncher);
  EXPECT_EQ(audioObjectsInTree(1), (std::vector<ObjectId>{init}));
}

TEST_F(AudioHostTree, UnreadableListIsEmpty) {
  world.addProcessObject(kLauncher);
  world.failProperty(Access::size, selector::processObjectList, scope::global, -7);
  EXPECT_TRUE(objectIDs(selector::processObjectList).empty());
  EXPECT_TRUE(audioObjectsInTree(kLauncher).empty());
}

class AudioHostRendering : public HostWorld {};

TEST_F(AudioHostRendering, EmptyListFallsBackToEveryObject) {
  world.addProcess(2000, 1);
  world.addProcessObject(kLauncher, false);
  EXPECT_FALSE(isRenderingOutput({}, {}));
  world.addProcessObject(2000, true);
  EXPECT_TRUE(isRenderingOutput({}, {}));
}

TEST_F(AudioHostRendering, ExcludedTreesDoNotCountEvenWhilePlaying) {
  const auto kids = chain(kLauncher, 2, 1000);
  const ObjectId grandchild = world.addProcessObject(kids[1], true);
  EXPECT_TRUE(isRenderingOutput({grandchild}, {}));
  EXPECT_FALSE(isRenderingOutput({grandchild}, {kLauncher}));
  EXPECT_FALSE(isRenderingOutput({}, {kids[0]}));
  EXPECT_TRUE(isRenderingOutput({}, {2000}));
}

TEST_F(AudioHostRendering, UnreadableFlagCountsAsSilent) {
  const ObjectId object = world.addProcessObject(kLauncher, true);
  world.failProperty(Access::read, selector::isRunningOutput, scope::global, -3, -1, object);
  EXPECT_FALSE(isRenderingOutput({object}, {}));
}

class AudioHostList : public HostWorld {
 protected:
  RunningApplication app(std::string name, std::optional<std::string> bundle = std::nullopt, int policy = 0) {
    return RunningApplication{policy, std::move(name), std::move(bundle)};
  }
  nlohmann::json list() {
    EXPECT_EQ(runList(), 0);
    auto text = streams.out();
    EXPECT_TRUE(nlohmann::json::accept(text)) << text;
    return nlohmann::json::parse(text, nullptr, false);
  }
};

TEST_F(AudioHostList, NoProcessObjectsGiveAnEmptyArray) {
  EXPECT_EQ(runList(), 0);
  EXPECT_EQ(streams.out(), "[]");
  EXPECT_EQ(streams.err(), "");
}

TEST_F(AudioHostList, ListsOrdinaryApplicationsOnceInListOrder) {
  const std::int32_t browser = 400, player = 410, helperOnly = 420, parentOnly = 430;
  for (std::int32_t pid : {browser, player, helperOnly, parentOnly}) world.addProcess(pid, kLauncher);
  world.addProcess(401, browser);  // the browser's background renderer
  world.addProcess(431, parentOnly);
  world.setOwnPid(450);
  world.addProcess(450, kLauncher);

  world.addProcessObject(450, true);  // this program itself
  world.addProcessObject(player, false);
  world.addProcessObject(401, true);
  world.addProcessObject(browser, false);
  world.addProcessObject(player, true);  // a second object of the same pid
  world.addProcessObject(helperOnly, true);
  world.addProcessObject(431, true);

  world.addApplication(450, app("Host"));
  world.addApplication(player, app("Player"));
  world.addApplication(401, app("Renderer", "com.example.renderer", 2));
  world.addApplication(browser, app("Browser", "com.example.browser"));
  world.addApplication(helperOnly, app("Agent", "com.example.agent", 1));
  world.addApplication(parentOnly, app("Parent", "com.example.parent"));
  world.addApplication(431, app(""));

  const auto expected = nlohmann::json::parse(R"([
    {"id":"pid:410","label":"Player","exe":"Player","active":true},
    {"id":"pid:400","label":"Browser","exe":"com.example.browser","active":true}])");
  const auto entries = list();
  EXPECT_EQ(entries, expected);
  for (const auto& entry : entries) EXPECT_EQ(entry.size(), 4u);
  EXPECT_EQ(streams.out().find_first_of(" \n"), std::string::npos);
}

// The application's object goes between the list and the reading of its tree: an empty
// tree plays nothing, even while other processes play.
TEST_F(AudioHostList, InactiveWhenItsObjectWentBeforeTheTreeWasRead) {
  world.addProcess(400, kLauncher);
  world.addProcess(700, kLauncher);
  const ObjectId leaving = world.addProcessObject(400, true);
  world.addProcessObject(700, true);
  world.addApplication(400, app("Leaving"));
  bool removed = false;
  world.setHook([&](std::string_view operation) {
    if (operation == "runningApplication" && !removed) {
      removed = true;
      world.removeProcessObject(leaving);
    }
  });
  const auto entries = list();
  world.setHook(nullptr);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["id"], "pid:400");
  EXPECT_EQ(entries[0]["active"], false);
}

TEST_F(AudioHostList, InactiveWhenNothingInTheTreePlays) {
  world.addProcess(400, kLauncher);
  world.addProcessObject(400, false);
  world.addApplication(400, app("Quiet \"One\"", "com.example.quiet"));
  const auto entries = list();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["label"], "Quiet \"One\"");
  EXPECT_EQ(entries[0]["active"], false);
}

}  // namespace
}  // namespace dovrin::audio_host::testing
