#include "dovrin/platform/sim/sim_world.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace dovrin::platform::sim {
namespace {

std::string codeText(std::uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

// data == nullptr asks for the size only.
template <class T>
Status put(std::uint32_t* size, void* data, const T& value) {
  if (data == nullptr) {
    *size = sizeof(T);
    return kOk;
  }
  if (*size < sizeof(T)) return status::badSize;
  std::memcpy(data, &value, sizeof(T));
  *size = sizeof(T);
  return kOk;
}

Status putIds(std::uint32_t* size, void* data, const std::vector<ObjectId>& ids) {
  auto bytes = static_cast<std::uint32_t>(ids.size() * sizeof(ObjectId));
  if (data == nullptr) {
    *size = bytes;
    return kOk;
  }
  std::uint32_t fit = std::min(*size, bytes) / sizeof(ObjectId) * sizeof(ObjectId);
  if (fit > 0) std::memcpy(data, ids.data(), fit);
  *size = fit;
  return kOk;
}

constexpr std::uint32_t kLinearPcm = fourCc("lpcm");
constexpr std::uint32_t kFloatPacked = 0x9;  // float, packed

}  // namespace

SimBuffer SimBuffer::floats(std::vector<float> samples, std::uint32_t channels) {
  SimBuffer buffer;
  buffer.channels = channels;
  buffer.byteSize = static_cast<std::uint32_t>(samples.size() * sizeof(float));
  buffer.samples = std::move(samples);
  return buffer;
}

SimWorld::SimWorld(double startTime) : now_(startTime), timeLimit_(startTime + 100'000.0) {}

SimWorld::~SimWorld() {
  stopIoThread();
  uninstall();
}

void SimWorld::install() {
  installAudioSystem(this);
  installProcessTable(this);
  installClock(this);
  installed_ = true;
}

void SimWorld::uninstall() {
  if (!installed_) return;
  installAudioSystem(nullptr);
  installProcessTable(nullptr);
  installClock(nullptr);
  installed_ = false;
}

// ---------------------------------------------------------------- configuration

ObjectId SimWorld::addDevice(SimDevice device) {
  std::lock_guard lock(mutex_);
  ObjectId id = nextId_++;
  kinds_[id] = Kind::device;
  devices_[id] = std::move(device);
  deviceOrder_.push_back(id);
  return id;
}

void SimWorld::addDeviceAt(ObjectId id, SimDevice device) {
  std::lock_guard lock(mutex_);
  if (id == 0 || id == kSystemObject || kinds_.count(id) != 0)
    throw std::invalid_argument("addDeviceAt: id 0, the system object or one in use");
  kinds_[id] = Kind::device;
  devices_[id] = std::move(device);
  deviceOrder_.push_back(id);
  if (id >= nextId_ && id != std::numeric_limits<ObjectId>::max()) nextId_ = id + 1;
}

SimDevice SimWorld::device(ObjectId id) const {
  std::lock_guard lock(mutex_);
  auto found = devices_.find(id);
  return found == devices_.end() ? SimDevice{} : found->second;
}

void SimWorld::setDevice(ObjectId id, SimDevice device) {
  std::lock_guard lock(mutex_);
  devices_[id] = std::move(device);
}

ObjectId SimWorld::addProcessObject(std::int32_t pid, bool runningOutput) {
  std::lock_guard lock(mutex_);
  ObjectId id = nextId_++;
  kinds_[id] = Kind::processObject;
  processObjects_[id] = ProcessObject{pid, runningOutput};
  processObjectOrder_.push_back(id);
  return id;
}

void SimWorld::setRunningOutput(ObjectId object, bool running) {
  std::lock_guard lock(mutex_);
  processObjects_[object].runningOutput = running;
}

void SimWorld::removeProcessObject(ObjectId object) {
  std::lock_guard lock(mutex_);
  processObjects_.erase(object);
  kinds_.erase(object);
  std::erase(processObjectOrder_, object);
}

void SimWorld::setProcessObjectOrder(std::vector<ObjectId> order) {
  std::lock_guard lock(mutex_);
  processObjectOrder_ = std::move(order);
}

void SimWorld::failProperty(Access access, std::uint32_t selector, std::uint32_t scope, Status result, int times,
                            ObjectId object) {
  std::lock_guard lock(mutex_);
  propertyFaults_.push_back(PropertyFault{access, selector, scope, object, result, times});
}

void SimWorld::failCall(std::string_view call, Status result, int times) {
  std::lock_guard lock(mutex_);
  callFaults_.push_back(CallFault{std::string(call), result, times});
}

void SimWorld::giveNullIoProcId(bool on) {
  std::lock_guard lock(mutex_);
  nullIoProcId_ = on;
}

void SimWorld::addProcess(std::int32_t pid, std::int32_t parent) {
  std::lock_guard lock(mutex_);
  processes_[pid] = Process{parent, true, 0, false};
}

void SimWorld::endProcess(std::int32_t pid) {
  std::lock_guard lock(mutex_);
  processes_[pid].alive = false;
}

void SimWorld::setSignalZeroError(std::int32_t pid, int error) {
  std::lock_guard lock(mutex_);
  processes_[pid].signalError = error;
}

void SimWorld::failParentPid(std::int32_t pid, bool fail) {
  std::lock_guard lock(mutex_);
  processes_[pid].parentUnreadable = fail;
}

void SimWorld::setOwnPid(std::int32_t pid) {
  std::lock_guard lock(mutex_);
  ownPid_ = pid;
}

void SimWorld::addApplication(std::int32_t pid, RunningApplication application) {
  std::lock_guard lock(mutex_);
  applications_[pid] = std::move(application);
}

void SimWorld::setCaptureFormat(double sampleRate, std::uint32_t channels) {
  std::lock_guard lock(mutex_);
  captureRate_ = sampleRate;
  captureChannels_ = channels;
}

void SimWorld::setStreamCount(std::uint32_t count) {
  std::lock_guard lock(mutex_);
  streamCount_ = count;
}

void SimWorld::addFeed(Feed feed) {
  std::lock_guard lock(mutex_);
  feeds_.push_back(FeedState{std::move(feed), 0, {}});
}

void SimWorld::setFreeRunning(bool on) {
  std::lock_guard lock(mutex_);
  freeRunning_ = on;
}

void SimWorld::at(double time, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  actions_.push_back(Action{time, actionOrder_++, std::move(action)});
}

void SimWorld::setSleepAdvance(std::optional<double> seconds) {
  std::lock_guard lock(mutex_);
  sleepAdvance_ = seconds;
}

void SimWorld::setRealSleep(std::chrono::microseconds pause) {
  std::lock_guard lock(mutex_);
  realSleep_ = pause;
}

void SimWorld::setTimeLimit(double time) {
  std::lock_guard lock(mutex_);
  timeLimit_ = time;
}

std::vector<std::string> SimWorld::journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

void SimWorld::setJournal(bool on) {
  std::lock_guard lock(mutex_);
  journalOn_ = on;
}

void SimWorld::clearJournal() {
  std::lock_guard lock(mutex_);
  journal_.clear();
}

std::vector<double> SimWorld::sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

std::vector<TapDescription> SimWorld::tapDescriptions() const {
  std::lock_guard lock(mutex_);
  return tapHistory_;
}

std::optional<AggregateDeviceDescription> SimWorld::aggregateDescription() const {
  std::lock_guard lock(mutex_);
  return aggregate_;
}

LiveCounts SimWorld::live() const {
  std::lock_guard lock(mutex_);
  LiveCounts counts;
  for (const auto& [id, kind] : kinds_) {
    (void)id;
    if (kind == Kind::tap) ++counts.taps;
    if (kind == Kind::aggregate) ++counts.aggregateDevices;
  }
  counts.ioProcs = liveIoProcs_;
  counts.runningDevices = runningDevice_ != 0 ? 1 : 0;
  counts.strings = liveStrings_;
  return counts;
}

std::int64_t SimWorld::deliveredCycles() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

void SimWorld::setHook(std::function<void(std::string_view)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

// ---------------------------------------------------------------- helpers

void SimWorld::record(std::string_view operation) {
  if (journalOn_) journal_.emplace_back(operation);
}

void SimWorld::callHook(std::string_view operation) {
  std::function<void(std::string_view)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(operation);
}

std::optional<Status> SimWorld::takePropertyFault(Access access, ObjectId object, const PropertyAddress& address) {
  for (auto& fault : propertyFaults_) {
    if (fault.times == 0 || fault.access != access || fault.selector != address.selector ||
        fault.scope != address.scope || (fault.object != kAnyObject && fault.object != object))
      continue;
    if (fault.times > 0) --fault.times;
    return fault.result;
  }
  return std::nullopt;
}

std::optional<Status> SimWorld::takeCallFault(std::string_view call) {
  for (auto& fault : callFaults_) {
    if (fault.times == 0 || fault.call != call) continue;
    if (fault.times > 0) --fault.times;
    return fault.result;
  }
  return std::nullopt;
}

StringRef SimWorld::makeString(const std::string& text) {
  ++liveStrings_;
  return reinterpret_cast<StringRef>(new std::string(text));
}

// ---------------------------------------------------------------- properties

Status SimWorld::readLocked(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data) {
  const auto sel = address.selector;
  const auto scp = address.scope;
  if (object == kSystemObject) {
    if (scp != scope::global) return status::noSuchProperty;
    if (sel == selector::processObjectList) return putIds(size, data, processObjectOrder_);
    if (sel == selector::devices) return putIds(size, data, deviceOrder_);
    return status::noSuchProperty;
  }
  auto kind = kinds_.find(object);
  if (kind == kinds_.end()) return status::noSuchObject;
  switch (kind->second) {
    case Kind::processObject: {
      const auto& process = processObjects_.at(object);
      if (scp != scope::global) return status::noSuchProperty;
      if (sel == selector::processPid) return put(size, data, process.pid);
      if (sel == selector::isRunningOutput) return put(size, data, std::uint32_t{process.runningOutput ? 1u : 0u});
      return status::noSuchProperty;
    }
    case Kind::device: {
      const auto& device = devices_.at(object);
      const std::optional<std::string>* text = nullptr;
      if (scp == scope::global && sel == selector::deviceUid) text = &device.uid;
      if (scp == scope::global && sel == selector::name) text = &device.name;
      if (text != nullptr) {
        if (!text->has_value()) return status::noSuchProperty;
        if (data == nullptr) return put(size, data, StringRef{});
        if (*size < sizeof(StringRef)) return status::badSize;
        return put(size, data, makeString(**text));
      }
      if (scp != scope::input && scp != scope::output) return status::noSuchProperty;
      bool input = scp == scope::input;
      if (sel == selector::volumeScalar) {
        const auto& volume = input ? device.inputVolume : device.outputVolume;
        return volume ? put(size, data, *volume) : status::noSuchProperty;
      }
      if (sel == selector::mute) {
        const auto& muted = input ? device.inputMute : device.outputMute;
        return muted ? put(size, data, std::uint32_t{*muted ? 1u : 0u}) : status::noSuchProperty;
      }
      return status::noSuchProperty;
    }
    case Kind::aggregate: {
      if (sel != selector::streams || scp != scope::input) return status::noSuchProperty;
      std::vector<ObjectId> streams(streamCount_, aggregateStream_.at(object));
      return putIds(size, data, streams);
    }
    case Kind::stream: {
      if (sel != selector::virtualFormat || scp != scope::global) return status::noSuchProperty;
      StreamFormat format;
      format.sampleRate = captureRate_;
      format.formatId = kLinearPcm;
      format.formatFlags = kFloatPacked;
      format.bytesPerPacket = 4 * captureChannels_;
      format.framesPerPacket = 1;
      format.bytesPerFrame = 4 * captureChannels_;
      format.channelsPerFrame = captureChannels_;
      format.bitsPerChannel = 32;
      return put(size, data, format);
    }
    case Kind::tap:
      return sel == selector::tapDescription ? status::unsupported : status::noSuchProperty;
  }
  return status::noSuchProperty;
}

Status SimWorld::propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t* size) {
  callHook("getPropertyDataSize");
  std::lock_guard lock(mutex_);
  if (journalOn_) record("size " + codeText(address.selector) + " " + codeText(address.scope));
  *size = 0;
  if (auto fault = takePropertyFault(Access::size, object, address)) return *fault;
  return readLocked(object, address, size, nullptr);
}

Status SimWorld::propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data) {
  callHook("getPropertyData");
  std::lock_guard lock(mutex_);
  if (journalOn_) record("get " + codeText(address.selector) + " " + codeText(address.scope));
  if (auto fault = takePropertyFault(Access::read, object, address)) return *fault;
  if (data == nullptr) return status::badSize;
  return readLocked(object, address, size, data);
}

Status SimWorld::setPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t size,
                                 const void* data) {
  callHook("setPropertyData");
  std::lock_guard lock(mutex_);
  if (journalOn_) record("set " + codeText(address.selector) + " " + codeText(address.scope));
  if (auto fault = takePropertyFault(Access::write, object, address)) return *fault;
  auto kind = kinds_.find(object);
  if (kind == kinds_.end()) return status::noSuchObject;
  if (data == nullptr) return status::badSize;
  if (kind->second == Kind::tap && address.selector == selector::tapDescription && address.scope == scope::global) {
    if (size != sizeof(const TapDescription*)) return status::badSize;
    const TapDescription* description = nullptr;
    std::memcpy(&description, data, sizeof description);
    if (description == nullptr) return status::badSize;
    taps_[object] = *description;
    tapHistory_.push_back(*description);
    return kOk;
  }
  if (kind->second != Kind::device || (address.scope != scope::input && address.scope != scope::output))
    return status::noSuchProperty;
  auto& device = devices_.at(object);
  bool input = address.scope == scope::input;
  if (size != 4) return status::badSize;
  if (address.selector == selector::volumeScalar) {
    auto& volume = input ? device.inputVolume : device.outputVolume;
    if (!volume) return status::noSuchProperty;
    std::memcpy(&*volume, data, 4);
    return kOk;
  }
  if (address.selector == selector::mute) {
    auto& muted = input ? device.inputMute : device.outputMute;
    if (!muted) return status::noSuchProperty;
    std::uint32_t value = 0;
    std::memcpy(&value, data, 4);
    *muted = value != 0;
    return kOk;
  }
  return status::noSuchProperty;
}

std::optional<std::string> SimWorld::stringText(StringRef string) {
  if (string == nullptr) return std::nullopt;
  return *reinterpret_cast<const std::string*>(string);
}

void SimWorld::releaseString(StringRef string) {
  if (string == nullptr) return;
  delete reinterpret_cast<const std::string*>(string);
  std::lock_guard lock(mutex_);
  --liveStrings_;
}

// ---------------------------------------------------------------- taps and devices

Status SimWorld::createProcessTap(const TapDescription& description, ObjectId* tap) {
  callHook("createProcessTap");
  std::lock_guard lock(mutex_);
  record("createProcessTap");
  *tap = 0;
  if (auto fault = takeCallFault("createProcessTap")) return *fault;
  ObjectId id = nextId_++;
  kinds_[id] = Kind::tap;
  taps_[id] = description;
  tapHistory_.push_back(description);
  *tap = id;
  return kOk;
}

Status SimWorld::destroyProcessTap(ObjectId tap) {
  callHook("destroyProcessTap");
  std::lock_guard lock(mutex_);
  record("destroyProcessTap");
  auto kind = kinds_.find(tap);
  if (kind == kinds_.end() || kind->second != Kind::tap) return status::noSuchObject;
  kinds_.erase(kind);
  taps_.erase(tap);
  return kOk;
}

Status SimWorld::createAggregateDevice(const AggregateDeviceDescription& description, ObjectId* device) {
  callHook("createAggregateDevice");
  std::lock_guard lock(mutex_);
  record("createAggregateDevice");
  *device = 0;
  if (auto fault = takeCallFault("createAggregateDevice")) return *fault;
  ObjectId id = nextId_++;
  ObjectId stream = nextId_++;
  kinds_[id] = Kind::aggregate;
  kinds_[stream] = Kind::stream;
  aggregateStream_[id] = stream;
  aggregate_ = description;
  *device = id;
  return kOk;
}

Status SimWorld::destroyAggregateDevice(ObjectId device) {
  callHook("destroyAggregateDevice");
  std::lock_guard lock(mutex_);
  record("destroyAggregateDevice");
  auto kind = kinds_.find(device);
  if (kind == kinds_.end() || kind->second != Kind::aggregate) return status::noSuchObject;
  kinds_.erase(kind);
  kinds_.erase(aggregateStream_[device]);
  aggregateStream_.erase(device);
  return kOk;
}

Status SimWorld::createIoProc(ObjectId device, IoProc proc, void* context, IoProcId* id) {
  callHook("createIoProc");
  std::lock_guard lock(mutex_);
  record("createIoProc");
  *id = nullptr;
  if (auto fault = takeCallFault("createIoProc")) return *fault;
  auto kind = kinds_.find(device);
  if (kind == kinds_.end() || kind->second != Kind::aggregate || proc == nullptr) return status::noSuchObject;
  if (nullIoProcId_) return kOk;
  proc_ = proc;
  procContext_ = context;
  // Any unique non-null value serves as a handle; this world holds one IO callback at a time.
  procId_ = reinterpret_cast<IoProcHandle*>(&procContext_);
  ++liveIoProcs_;
  *id = procId_;
  return kOk;
}

Status SimWorld::destroyIoProc(ObjectId, IoProcId id) {
  callHook("destroyIoProc");
  std::lock_guard lock(mutex_);
  record("destroyIoProc");
  if (id == nullptr || id != procId_) return status::noSuchObject;
  procId_ = nullptr;
  proc_ = nullptr;
  procContext_ = nullptr;
  --liveIoProcs_;
  return kOk;
}

Status SimWorld::startDevice(ObjectId device, IoProcId id) {
  callHook("startDevice");
  std::lock_guard lock(mutex_);
  record("startDevice");
  if (auto fault = takeCallFault("startDevice")) return *fault;
  if (id == nullptr || id != procId_ || proc_ == nullptr || runningDevice_ != 0) return status::noSuchObject;
  runningDevice_ = device;
  deviceStart_ = now_;
  requestedUntil_ = now_;
  deliveredUntil_ = now_;
  ioStop_ = false;
  ioStopping_.store(false, std::memory_order_relaxed);
  for (auto& feed : feeds_) feed.next = 0;
  ioThread_ = std::thread([this] { ioThreadMain(); });
  return kOk;
}

Status SimWorld::stopDevice(ObjectId device, IoProcId) {
  callHook("stopDevice");
  {
    std::lock_guard lock(mutex_);
    record("stopDevice");
    if (runningDevice_ == 0 || runningDevice_ != device) return status::noSuchObject;
  }
  stopIoThread();
  return kOk;
}

void SimWorld::stopIoThread() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    ioStop_ = true;
    ioStopping_.store(true, std::memory_order_relaxed);
    runningDevice_ = 0;
    thread = std::move(ioThread_);
  }
  ioWake_.notify_all();
  ioDone_.notify_all();
  if (thread.joinable()) thread.join();
}

void SimWorld::ioThreadMain() {
  std::vector<AudioBuffer> buffers;
  std::unique_lock lock(mutex_);
  while (true) {
    ioWake_.wait(lock, [this] { return ioStop_ || requestedUntil_ > deliveredUntil_; });
    if (ioStop_) break;
    const double until = requestedUntil_;
    const double start = deviceStart_;
    IoProc proc = proc_;
    void* context = procContext_;
    lock.unlock();
    std::int64_t count = 0;
    while (!ioStopping_.load(std::memory_order_relaxed)) {
      FeedState* due = nullptr;
      double dueAt = 0.0;
      for (auto& state : feeds_) {
        if (state.feed.cycles >= 0 && state.next >= state.feed.cycles) continue;
        double at = start + state.feed.start + static_cast<double>(state.next) * state.feed.period;
        if (at <= until && (due == nullptr || at < dueAt)) {
          due = &state;
          dueAt = at;
        }
      }
      if (due == nullptr) break;
      if (due->feed.fill) due->feed.fill(due->next, due->cycle);
      ++due->next;
      buffers.clear();
      for (auto& buffer : due->cycle) {
        buffers.push_back(AudioBuffer{buffer.channels, buffer.byteSize,
                                      buffer.nullData ? nullptr : static_cast<void*>(buffer.samples.data())});
      }
      proc(context, buffers, {});
      ++count;
    }
    lock.lock();
    delivered_ += count;
    deliveredUntil_ = until;
    ioDone_.notify_all();
  }
}

void SimWorld::deliverUpTo(double time) {
  std::unique_lock lock(mutex_);
  if (runningDevice_ == 0 || !ioThread_.joinable() || time <= requestedUntil_) return;
  // Free-running, the IO thread may lag by one request: it works while the caller runs its
  // next pass, yet virtual time cannot run away from it.
  if (freeRunning_) ioDone_.wait(lock, [this] { return ioStop_ || deliveredUntil_ >= requestedUntil_; });
  requestedUntil_ = time;
  ioWake_.notify_all();
  if (!freeRunning_) ioDone_.wait(lock, [this, time] { return ioStop_ || deliveredUntil_ >= time; });
}

// ---------------------------------------------------------------- processes

int SimWorld::signalZero(std::int32_t pid) {
  callHook("signalZero");
  std::lock_guard lock(mutex_);
  auto found = processes_.find(pid);
  if (found == processes_.end() || !found->second.alive) return ESRCH;
  return found->second.signalError;
}

std::optional<std::int32_t> SimWorld::parentPid(std::int32_t pid) {
  callHook("parentPid");
  std::lock_guard lock(mutex_);
  auto found = processes_.find(pid);
  if (found == processes_.end() || !found->second.alive || found->second.parentUnreadable) return std::nullopt;
  return found->second.parent;
}

std::int32_t SimWorld::ownPid() {
  callHook("ownPid");
  std::lock_guard lock(mutex_);
  return ownPid_;
}

std::optional<RunningApplication> SimWorld::runningApplication(std::int32_t pid) {
  callHook("runningApplication");
  std::lock_guard lock(mutex_);
  auto found = applications_.find(pid);
  if (found == applications_.end()) return std::nullopt;
  return found->second;
}

// ---------------------------------------------------------------- clock

double SimWorld::now() {
  std::lock_guard lock(mutex_);
  return now_;
}

void SimWorld::sleep(double seconds) {
  callHook("sleep");
  double target = 0.0;
  std::chrono::microseconds pause{0};
  {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(seconds);
    target = now_ + sleepAdvance_.value_or(seconds);
    pause = realSleep_;
    if (target > timeLimit_) {
      std::fprintf(stderr, "SimWorld: virtual time %.3f passed its limit %.3f\n", target, timeLimit_);
      std::abort();
    }
  }
  if (pause.count() > 0) std::this_thread::sleep_for(pause);
  while (true) {
    Action action;
    {
      std::lock_guard lock(mutex_);
      auto next = std::min_element(actions_.begin(), actions_.end(), [](const Action& a, const Action& b) {
        return a.time != b.time ? a.time < b.time : a.order < b.order;
      });
      if (next == actions_.end() || next->time > target) break;
      action = std::move(*next);
      actions_.erase(next);
    }
    deliverUpTo(action.time);
    {
      std::lock_guard lock(mutex_);
      now_ = std::max(now_, action.time);
    }
    action.run();
  }
  deliverUpTo(target);
  std::lock_guard lock(mutex_);
  now_ = target;
}

}  // namespace dovrin::platform::sim
