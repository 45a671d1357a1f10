#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <set>

#include "dovrin/platform/audio_system.h"
#include "dovrin/platform/clock.h"
#include "dovrin/platform/processes.h"
#include "dovrin/platform/streams.h"
#include "dovrin/platform/uuid.h"

namespace dovrin::platform {
namespace {

TEST(PlatformNoAudioSystem, ListsNothingAndCreatesNothing) {
  std::uint32_t size = 99;
  const PropertyAddress processes{selector::processObjectList, scope::global, kMainElement};
  EXPECT_EQ(getPropertyDataSize(kSystemObject, processes, &size), kOk);
  EXPECT_EQ(size, 0u);
  ObjectId tap = 5;
  EXPECT_EQ(createProcessTap(TapDescription{}, &tap), status::noAudioSystem);
  EXPECT_EQ(tap, 0u);
  ObjectId device = 5;
  EXPECT_EQ(createAggregateDevice(AggregateDeviceDescription{}, &device), status::noAudioSystem);
  float volume = 0.0f;
  size = 4;
  EXPECT_NE(getPropertyData(7, PropertyAddress{selector::volumeScalar, scope::input, kMainElement}, &size, &volume),
            kOk);
}

TEST(PlatformSystemProcesses, OwnPidParentAndLiveness) {
  EXPECT_EQ(ownPid(), getpid());
  EXPECT_EQ(parentPid(getpid()), getppid());
  EXPECT_EQ(signalZero(getpid()), 0);
  EXPECT_EQ(parentPid(0), std::nullopt);
  EXPECT_EQ(runningApplication(getpid()), std::nullopt);

  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(signalZero(child), ESRCH);
  EXPECT_EQ(parentPid(child), std::nullopt);
}

TEST(PlatformSystemClock, IsTheWallClock) {
  const double before = wallClockNow();
  EXPECT_GT(before, 1.5e9);
  sleepFor(0.0);
  EXPECT_GE(wallClockNow(), before);
}

TEST(PlatformUuid, RandomAndInItsTextForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::string text = randomUuidText();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 64u);
}

// A closed pipe fails the write with EPIPE once SIGPIPE is ignored; it never kills.
TEST(PlatformStandardStreams, ClosedReaderFailsTheWrite) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);  // before the fork, so that no reader is left when the child writes
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGPIPE, SIG_IGN);
    dup2(ends[1], STDOUT_FILENO);
    const char bytes[4] = {1, 2, 3, 4};
    _exit(writeStandardOutput(bytes, sizeof bytes) == EPIPE ? 0 : 1);
  }
  close(ends[1]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace dovrin::platform
