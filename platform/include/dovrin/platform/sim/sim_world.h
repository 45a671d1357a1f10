#pragma once
// A simulated machine for tests and benchmarks: an audio system with devices, process
// objects and process taps; a process table with parents, liveness and applications; and
// a virtual wall clock. Install it in the test's own process; a forked child inherits it.
//
// Time only moves when the code under test sleeps. A sleep advances the clock, runs the
// scheduled actions that fall due (on the sleeping thread) and hands the tap's due IO
// cycles to the simulated IO thread. In lock-step delivery (the default) the sleep returns
// once those cycles have been delivered, so a run is exactly reproducible; in free-running
// delivery it returns at once and the IO thread races the caller, as a real device does,
// at most one sleep behind.
//
// Threads: every method may be called from the thread that runs the code under test or
// from a scheduled action. Feeds are read by the IO thread and may change only while no
// device runs, or from an action in lock-step delivery.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dovrin/platform/audio_system.h"
#include "dovrin/platform/clock.h"
#include "dovrin/platform/processes.h"

namespace dovrin::platform::sim {

// A property that is absent (std::nullopt) fails to read with status::noSuchProperty.
struct SimDevice {
  std::optional<std::string> uid;
  std::optional<std::string> name;
  std::optional<float> inputVolume;
  std::optional<float> outputVolume;
  std::optional<bool> inputMute;
  std::optional<bool> outputMute;
};

// One buffer of an IO cycle: samples as stored, byteSize as announced to the callback (it
// may be smaller than the storage, or not a multiple of 4), or no data pointer at all.
struct SimBuffer {
  std::uint32_t channels = 1;
  std::vector<float> samples;
  std::uint32_t byteSize = 0;
  bool nullData = false;

  static SimBuffer floats(std::vector<float> samples, std::uint32_t channels = 1);
};

using Cycle = std::vector<SimBuffer>;

// Cycles due at device start + start + index * period, for index 0 .. cycles - 1
// (cycles < 0: without end). fill builds cycle number index on the IO thread; the Cycle it
// gets is the one it filled last time, so an unchanged cycle costs nothing to repeat.
struct Feed {
  double start = 0.0;
  double period = 0.01;
  std::int64_t cycles = 1;
  std::function<void(std::int64_t index, Cycle& cycle)> fill;
};

enum class Access { size, read, write };

// Calls that can be made to fail by name: "createProcessTap", "createAggregateDevice",
// "createIoProc", "startDevice".
struct LiveCounts {
  int taps = 0;
  int aggregateDevices = 0;
  int ioProcs = 0;
  int runningDevices = 0;
  int strings = 0;
};

class SimWorld final : public AudioSystem, public ProcessTable, public Clock {
 public:
  static constexpr ObjectId kAnyObject = std::numeric_limits<ObjectId>::max();

  explicit SimWorld(double startTime = 1'000'000.0);
  ~SimWorld() override;
  SimWorld(const SimWorld&) = delete;
  SimWorld& operator=(const SimWorld&) = delete;

  // Installs this world as audio system, process table and clock; the destructor undoes it.
  void install();
  void uninstall();

  // --- audio objects
  ObjectId addDevice(SimDevice device);
  // A device under an id the test chooses; std::invalid_argument for 0, the system
  // object or an id already in use. Later objects get ids above it.
  void addDeviceAt(ObjectId id, SimDevice device);
  SimDevice device(ObjectId id) const;
  void setDevice(ObjectId id, SimDevice device);
  ObjectId addProcessObject(std::int32_t pid, bool runningOutput = false);
  void setRunningOutput(ObjectId object, bool running);
  void removeProcessObject(ObjectId object);
  void setProcessObjectOrder(std::vector<ObjectId> order);

  // --- faults: the next `times` matching accesses (times < 0: all of them) fail with
  // `result`. A result of kOk on a write reports success and stores nothing.
  void failProperty(Access access, std::uint32_t selector, std::uint32_t scope, Status result, int times = -1,
                    ObjectId object = kAnyObject);
  void failCall(std::string_view call, Status result, int times = -1);
  // createIoProc reports success and hands out a null id.
  void giveNullIoProcId(bool on);

  // --- processes
  void addProcess(std::int32_t pid, std::int32_t parent);
  void endProcess(std::int32_t pid);
  void setSignalZeroError(std::int32_t pid, int error);  // 0 clears the override
  void failParentPid(std::int32_t pid, bool fail);
  void setOwnPid(std::int32_t pid);
  void addApplication(std::int32_t pid, RunningApplication application);

  // --- the tap's device
  void setCaptureFormat(double sampleRate, std::uint32_t channels);
  void setStreamCount(std::uint32_t count);
  void addFeed(Feed feed);
  void setFreeRunning(bool on);

  // --- clock
  void at(double time, std::function<void()> action);
  // Every sleep advances the clock by `seconds` instead of the requested time.
  void setSleepAdvance(std::optional<double> seconds);
  // Every sleep also waits this long in real time (for tests that signal a forked child).
  void setRealSleep(std::chrono::microseconds pause);
  // A sleep beyond this virtual time aborts the process: a run that never ends is a bug.
  void setTimeLimit(double time);

  // --- observation
  std::vector<std::string> journal() const;
  void setJournal(bool on);
  void clearJournal();
  std::vector<double> sleeps() const;
  std::vector<TapDescription> tapDescriptions() const;  // at creation, then every accepted set
  std::optional<AggregateDeviceDescription> aggregateDescription() const;
  LiveCounts live() const;
  std::int64_t deliveredCycles() const;
  // Called with the name of every platform operation before it runs (from its caller's thread).
  void setHook(std::function<void(std::string_view operation)> hook);

  // --- AudioSystem
  Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t* size) override;
  Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data) override;
  Status setPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t size,
                         const void* data) override;
  Status createProcessTap(const TapDescription& description, ObjectId* tap) override;
  Status destroyProcessTap(ObjectId tap) override;
  Status createAggregateDevice(const AggregateDeviceDescription& description, ObjectId* device) override;
  Status destroyAggregateDevice(ObjectId device) override;
  Status createIoProc(ObjectId device, IoProc proc, void* context, IoProcId* id) override;
  Status destroyIoProc(ObjectId device, IoProcId id) override;
  Status startDevice(ObjectId device, IoProcId id) override;
  Status stopDevice(ObjectId device, IoProcId id) override;
  std::optional<std::string> stringText(StringRef string) override;
  void releaseString(StringRef string) override;

  // --- ProcessTable
  int signalZero(std::int32_t pid) override;
  std::optional<std::int32_t> parentPid(std::int32_t pid) override;
  std::int32_t ownPid() override;
  std::optional<RunningApplication> runningApplication(std::int32_t pid) override;

  // --- Clock
  double now() override;
  void sleep(double seconds) override;

 private:
  enum class Kind { device, processObject, tap, aggregate, stream };
  struct Process {
    std::int32_t parent = 0;
    bool alive = true;
    int signalError = 0;
    bool parentUnreadable = false;
  };
  struct PropertyFault {
    Access access;
    std::uint32_t selector;
    std::uint32_t scope;
    ObjectId object;
    Status result;
    int times;
  };
  struct CallFault {
    std::string call;
    Status result;
    int times;
  };
  struct ProcessObject {
    std::int32_t pid = 0;
    bool runningOutput = false;
  };
  struct FeedState {
    Feed feed;
    std::int64_t next = 0;
    Cycle cycle;
  };
  struct Action {
    double time;
    std::uint64_t order;
    std::function<void()> run;
  };

  void record(std::string_view operation);
  void callHook(std::string_view operation);
  std::optional<Status> takePropertyFault(Access access, ObjectId object, const PropertyAddress& address);
  std::optional<Status> takeCallFault(std::string_view call);
  Status readLocked(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data);
  Status sizeLocked(ObjectId object, const PropertyAddress& address, std::uint32_t* size);
  StringRef makeString(const std::string& text);
  void stopIoThread();
  void ioThreadMain();
  void deliverUpTo(double time);

  mutable std::mutex mutex_;
  double now_;
  double timeLimit_;
  std::optional<double> sleepAdvance_;
  std::chrono::microseconds realSleep_{0};
  std::vector<double> sleeps_;
  std::vector<Action> actions_;
  std::uint64_t actionOrder_ = 0;

  ObjectId nextId_ = 100;
  std::map<ObjectId, Kind> kinds_;
  std::map<ObjectId, SimDevice> devices_;
  std::vector<ObjectId> deviceOrder_;
  std::map<ObjectId, ProcessObject> processObjects_;
  std::vector<ObjectId> processObjectOrder_;
  std::map<std::int32_t, Process> processes_;
  std::map<std::int32_t, RunningApplication> applications_;
  std::int32_t ownPid_ = 4242;

  std::vector<PropertyFault> propertyFaults_;
  std::vector<CallFault> callFaults_;
  bool nullIoProcId_ = false;

  double captureRate_ = 48000.0;
  std::uint32_t captureChannels_ = 2;
  std::uint32_t streamCount_ = 1;
  std::map<ObjectId, TapDescription> taps_;
  std::vector<TapDescription> tapHistory_;
  std::optional<AggregateDeviceDescription> aggregate_;
  std::map<ObjectId, ObjectId> aggregateStream_;
  int liveIoProcs_ = 0;
  int liveStrings_ = 0;

  bool journalOn_ = true;
  std::vector<std::string> journal_;
  std::function<void(std::string_view)> hook_;

  // IO thread state; feeds_ belong to the IO thread while a device runs.
  std::vector<FeedState> feeds_;
  bool freeRunning_ = false;
  IoProc proc_ = nullptr;
  void* procContext_ = nullptr;
  IoProcHandle* procId_ = nullptr;
  ObjectId runningDevice_ = 0;
  double deviceStart_ = 0.0;
  double requestedUntil_ = 0.0;
  double deliveredUntil_ = 0.0;
  bool ioStop_ = false;
  // Lets a free-running delivery batch end early without taking the mutex per cycle.
  std::atomic<bool> ioStopping_{false};
  std::int64_t delivered_ = 0;
  std::condition_variable ioWake_;
  std::condition_variable ioDone_;
  std::thread ioThread_;
  bool installed_ = false;
};

}  // namespace dovrin::platform::sim
