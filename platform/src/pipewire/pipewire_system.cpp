// The audio system on PipeWire. This is the only translation unit that includes libpipewire:
// its method macros are GNU statement expressions and its headers use compound literals,
// which -Wpedantic rejects in C++, so the diagnostic is off for this file alone.
#pragma GCC diagnostic ignored "-Wpedantic"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <vector>

#include "dovrin/platform/pipewire.h"
#include "dovrin/platform/processes.h"
#include "mapping.h"

namespace dovrin::platform {
// The text behind a StringRef this backend hands out.
struct PlatformString {
  std::string text;
};
}  // namespace dovrin::platform

namespace dovrin::platform::pipewire {
namespace {

using Props = std::map<std::string, std::string, std::less<>>;

constexpr auto kRoundTripLimit = std::chrono::seconds(3);
constexpr auto kStartLimit = std::chrono::seconds(3);

void mergeDict(Props& props, const spa_dict* dict) {
  if (dict == nullptr) return;
  const spa_dict_item* item;
  spa_dict_for_each(item, dict) {
    if (item->key != nullptr && item->value != nullptr) props[item->key] = item->value;
  }
}

std::optional<std::string> prop(const Props& props, std::string_view key) {
  auto found = props.find(key);
  if (found == props.end()) return std::nullopt;
  return found->second;
}

std::optional<std::int32_t> pidProp(const Props& props, std::string_view key) {
  auto text = prop(props, key);
  return text ? parsePid(*text) : std::nullopt;
}

std::optional<std::string> commandName(std::int32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!file || !std::getline(file, name) || name.empty()) return std::nullopt;
  return name;
}

// The Props members the unity-gain mode reads, as the last enum_params delivered them.
struct VolumeState {
  std::optional<float> volume;
  std::vector<float> channelVolumes;
  std::optional<bool> mute;
  std::vector<float> monitorVolumes;
  std::optional<bool> monitorMute;
};

void parseProps(const spa_pod* param, VolumeState& state) {
  if (param == nullptr || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) return;
  auto* object = reinterpret_cast<spa_pod_object*>(const_cast<spa_pod*>(param));
  spa_pod_prop* member;
  float values[SPA_AUDIO_MAX_CHANNELS];
  SPA_POD_OBJECT_FOREACH(object, member) {
    float number = 0.0f;
    bool flag = false;
    switch (member->key) {
      case SPA_PROP_volume:
        if (spa_pod_get_float(&member->value, &number) == 0) state.volume = number;
        break;
      case SPA_PROP_mute:
        if (spa_pod_get_bool(&member->value, &flag) == 0) state.mute = flag;
        break;
      case SPA_PROP_monitorMute:
        if (spa_pod_get_bool(&member->value, &flag) == 0) state.monitorMute = flag;
        break;
      case SPA_PROP_channelVolumes:
      case SPA_PROP_monitorVolumes: {
        const std::uint32_t n = spa_pod_copy_array(&member->value, SPA_TYPE_Float, values, SPA_AUDIO_MAX_CHANNELS);
        auto& target = member->key == SPA_PROP_channelVolumes ? state.channelVolumes : state.monitorVolumes;
        target.assign(values, values + n);
        break;
      }
      default:
        break;
    }
  }
}

class PipeWireSystem;

struct Client {
  PipeWireSystem* owner = nullptr;
  std::uint32_t id = 0;
  Props props;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  // A connection that has owned a stream keeps its process object until it closes, so a
  // player that closes and reopens its stream is not retargeted away and back.
  bool hadStream = false;
  std::optional<std::int32_t> streamProcessId;  // application.process.id of its last stream
};

struct Node {
  PipeWireSystem* owner = nullptr;
  std::uint32_t id = 0;
  Props props;
  pw_node_state state = PW_NODE_STATE_SUSPENDED;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  VolumeState volumes;
};

struct Port {
  std::uint32_t node = 0;
  bool output = false;
  bool monitor = false;
  std::string channel;
};

struct Link {
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  bool dead = false;
};

struct Tap {
  TapDescription::Kind kind = TapDescription::Kind::monoMixdownOfProcesses;
  std::set<std::int32_t> pids;
  std::string uuid;
};

struct Aggregate {
  ObjectId tap = 0;
  ObjectId stream = 0;
};

// One registered IO callback and, while started, the capture stream that feeds it.
struct Capture {
  PipeWireSystem* owner = nullptr;
  ObjectId device = 0;
  IoProc proc = nullptr;
  void* context = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
  std::uint32_t node = SPA_ID_INVALID;
  // (output port, input port) → link made from a tapped stream into this capture.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::unique_ptr<Link>> links;
  // Published with release before the stream can call back, cleared before the fence: the
  // data thread reads it first, which orders everything set up before it for that thread.
  std::atomic<bool> running{false};
  // Stored by the fence on the data thread, read after it by the stopping thread, so that
  // the callback's last accesses are ordered before the teardown that follows.
  std::atomic<std::uint32_t> fenced{0};
};

class PipeWireSystem final : public AudioSystem, public ProcessTable {
 public:
  explicit PipeWireSystem(ProcessTable& base) : base_(base) {}

  // ---- ProcessTable ----
  int signalZero(std::int32_t pid) override { return base_.signalZero(pid); }
  std::optional<std::int32_t> parentPid(std::int32_t pid) override { return base_.parentPid(pid); }
  std::int32_t ownPid() override { return base_.ownPid(); }

  std::optional<RunningApplication> runningApplication(std::int32_t pid) override {
    Lock lock(*this);
    if (!connected()) return std::nullopt;
    ApplicationNames names;
    bool found = false;
    for (const auto& [id, node] : nodes_) {
      if (!isStreamNode(*node) || pidOfNode(*node) != pid) continue;
      found = true;
      if (!names.nodeName) names.nodeName = prop(node->props, PW_KEY_APP_NAME);
      if (auto client = clientOf(*node)) {
        if (!names.clientName) names.clientName = prop(client->props, PW_KEY_APP_NAME);
        if (!names.applicationId) names.applicationId = prop(client->props, PW_KEY_APP_ID);
        if (!names.processBinary) names.processBinary = prop(client->props, PW_KEY_APP_PROCESS_BINARY);
      }
    }
    for (const auto& [id, client] : clients_) {
      if (!client->hadStream || pidOfClient(*client) != pid) continue;
      found = true;
      if (!names.clientName) names.clientName = prop(client->props, PW_KEY_APP_NAME);
      if (!names.applicationId) names.applicationId = prop(client->props, PW_KEY_APP_ID);
      if (!names.processBinary) names.processBinary = prop(client->props, PW_KEY_APP_PROCESS_BINARY);
    }
    if (!found || pid == base_.ownPid()) return std::nullopt;
    names.commandName = commandName(pid);
    const auto label = applicationLabel(names);
    return RunningApplication{0, label.label, label.exe};
  }

  // ---- AudioSystem: properties ----
  Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t* size) override {
    *size = 0;
    Lock lock(*this);
    if (!connected()) return object == kSystemObject ? kOk : status::noSuchObject;
    std::vector<ObjectId> list;
    Status result = listProperty(object, address, list);
    if (result != status::noSuchProperty) {
      *size = static_cast<std::uint32_t>(list.size() * sizeof(ObjectId));
      return result;
    }
    std::uint32_t fixed = 0;
    result = fixedSize(object, address, fixed);
    if (result == kOk) *size = fixed;
    return result;
  }

  Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data) override {
    const std::uint32_t room = *size;
    *size = 0;
    Lock lock(*this);
    if (!connected()) return object == kSystemObject ? kOk : status::noSuchObject;
    std::vector<ObjectId> list;
    Status result = listProperty(object, address, list);
    if (result != status::noSuchProperty) {
      if (result != kOk) return result;
      const std::size_t count = std::min<std::size_t>(list.size(), room / sizeof(ObjectId));
      if (count > 0) std::memcpy(data, list.data(), count * sizeof(ObjectId));
      *size = static_cast<std::uint32_t>(count * sizeof(ObjectId));
      return kOk;
    }
    std::uint32_t fixed = 0;
    result = fixedSize(object, address, fixed);
    if (result != kOk) return result;
    if (room < fixed) return status::badSize;
    result = readFixed(object, address, data);
    if (result == kOk) *size = fixed;
    return result;
  }

  Status setPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t size,
                         const void* data) override {
    Lock lock(*this);
    if (!connected()) return status::noSuchObject;
    switch (kindOf(object)) {
      case IdKind::tap: return setTapDescription(object, address, size, data);
      case IdKind::device: return writeDevice(object, address, size, data);
      default: return status::noSuchObject;
    }
  }

  // ---- AudioSystem: taps, aggregates, IO ----
  Status createProcessTap(const TapDescription& description, ObjectId* tap) override {
    *tap = 0;
    Lock lock(*this);
    if (!connected()) return status::noAudioSystem;
    Tap record;
    Status result = applyDescription(description, record);
    if (result != kOk) return result;
    record.uuid = description.uuid;
    const ObjectId id = kTapBase + ++lastTap_;
    taps_[id] = std::move(record);
    *tap = id;
    return kOk;
  }

  Status destroyProcessTap(ObjectId tap) override {
    Lock lock(*this);
    return taps_.erase(tap) == 1 ? kOk : status::noSuchObject;
  }

  Status createAggregateDevice(const AggregateDeviceDescription& description, ObjectId* device) override {
    *device = 0;
    Lock lock(*this);
    if (!connected()) return status::noAudioSystem;
    if (description.taps.empty()) return status::noSuchObject;
    auto tap = std::find_if(taps_.begin(), taps_.end(),
                            [&](const auto& entry) { return entry.second.uuid == description.taps.front().uid; });
    if (tap == taps_.end()) return status::noSuchObject;
    ++lastAggregate_;
    const ObjectId id = kAggregateBase + lastAggregate_;
    aggregates_[id] = Aggregate{tap->first, kStreamBase + lastAggregate_};
    *device = id;
    return kOk;
  }

  Status destroyAggregateDevice(ObjectId device) override {
    Lock lock(*this);
    if (!aggregates_.contains(device)) return status::noSuchObject;
    for (auto& [handle, capture] : captures_)
      if (capture->device == device) stopCapture(*capture);
    aggregates_.erase(device);
    return kOk;
  }

  Status createIoProc(ObjectId device, IoProc proc, void* context, IoProcId* id) override {
    *id = nullptr;
    Lock lock(*this);
    if (!aggregates_.contains(device) || proc == nullptr) return status::noSuchObject;
    auto capture = std::make_unique<Capture>();
    capture->owner = this;
    capture->device = device;
    capture->proc = proc;
    capture->context = context;
    *id = reinterpret_cast<IoProcId>(capture.get());
    captures_[*id] = std::move(capture);
    return kOk;
  }

  Status destroyIoProc(ObjectId device, IoProcId id) override {
    Lock lock(*this);
    auto found = captures_.find(id);
    if (found == captures_.end() || found->second->device != device) return status::noSuchObject;
    stopCapture(*found->second);
    captures_.erase(found);
    return kOk;
  }

  Status startDevice(ObjectId device, IoProcId id) override {
    Lock lock(*this);
    auto found = captures_.find(id);
    if (found == captures_.end() || found->second->device != device) return status::noSuchObject;
    if (!connected()) return status::noAudioSystem;
    return startCapture(*found->second);
  }

  Status stopDevice(ObjectId device, IoProcId id) override {
    Lock lock(*this);
    auto found = captures_.find(id);
    if (found == captures_.end() || found->second->device != device) return status::noSuchObject;
    stopCapture(*found->second);
    return kOk;
  }

  std::optional<std::string> stringText(StringRef string) override {
    if (string == nullptr) return std::nullopt;
    return string->text;
  }
  void releaseString(StringRef string) override { delete string; }

  // Ends the connection before the process exits, so that no PipeWire thread is left
  // running while the process's own objects are destroyed.
  void shutdown() {
    if (loop_ == nullptr) return;
    pw_thread_loop_lock(loop_);
    for (auto& [handle, capture] : captures_) stopCapture(*capture);
    if (core_ != nullptr) pw_core_disconnect(core_);
    core_ = nullptr;
    registry_ = nullptr;
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
  }

  // ---- event handlers, on the loop thread (or the main thread holding the lock) ----
  void onCoreDone(std::uint32_t id, int seq) {
    if (id != PW_ID_CORE) return;
    doneSeq_ = seq;
    pw_thread_loop_signal(loop_, false);
  }

  void onCoreError(std::uint32_t id, int res) {
    // The connection itself failed: the daemon has gone. Everything it told us is void.
    if (id == PW_ID_CORE && res == -EPIPE) {
      broken_ = true;
      pw_thread_loop_signal(loop_, false);
    }
  }

  void onGlobal(std::uint32_t id, const char* type, std::uint32_t version, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      auto node = std::make_unique<Node>();
      node->owner = this;
      node->id = id;
      mergeDict(node->props, props);
      node->proxy = static_cast<pw_proxy*>(
          pw_registry_bind(registry_, id, type, std::min<std::uint32_t>(version, PW_VERSION_NODE), 0));
      if (node->proxy != nullptr) pw_proxy_add_object_listener(node->proxy, &node->listener, &nodeEvents(), node.get());
      nodes_[id] = std::move(node);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
      auto client = std::make_unique<Client>();
      client->owner = this;
      client->id = id;
      mergeDict(client->props, props);
      client->proxy = static_cast<pw_proxy*>(
          pw_registry_bind(registry_, id, type, std::min<std::uint32_t>(version, PW_VERSION_CLIENT), 0));
      if (client->proxy != nullptr)
        pw_proxy_add_object_listener(client->proxy, &client->listener, &clientEvents(), client.get());
      clients_[id] = std::move(client);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      Props values;
      mergeDict(values, props);
      auto node = prop(values, PW_KEY_NODE_ID);
      if (!node) return;
      Port port;
      port.node = static_cast<std::uint32_t>(std::strtoul(node->c_str(), nullptr, 10));
      port.output = prop(values, PW_KEY_PORT_DIRECTION) == "out";
      port.monitor = prop(values, PW_KEY_PORT_MONITOR) == "true";
      port.channel = prop(values, PW_KEY_AUDIO_CHANNEL).value_or("");
      ports_[id] = std::move(port);
      reconcileAll();
    }
  }

  void onGlobalRemove(std::uint32_t id) {
    if (auto node = nodes_.find(id); node != nodes_.end()) {
      if (node->second->proxy != nullptr) pw_proxy_destroy(node->second->proxy);
      nodes_.erase(node);
    } else if (auto client = clients_.find(id); client != clients_.end()) {
      if (client->second->proxy != nullptr) pw_proxy_destroy(client->second->proxy);
      clients_.erase(client);
    } else if (ports_.erase(id) == 0) {
      return;
    }
    reconcileAll();
  }

  void onNodeInfo(Node& node, const pw_node_info* info) {
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) mergeDict(node.props, info->props);
    if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) != 0) node.state = info->state;
    if (isStreamNode(node)) {
      if (auto client = clientOf(node)) {
        client->hadStream = true;
        if (auto pid = pidProp(node.props, PW_KEY_APP_PROCESS_ID)) client->streamProcessId = pid;
      }
    }
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) reconcileAll();
  }

  void onNodeParam(Node& node, std::uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Props) parseProps(param, node.volumes);
  }

  void onClientInfo(Client& client, const pw_client_info* info) {
    if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) != 0) {
      mergeDict(client.props, info->props);
      reconcileAll();
    }
  }

  void onStreamState(Capture& capture, pw_stream_state state) {
    capture.state = state;
    pw_thread_loop_signal(loop_, false);
  }

  // On the data thread: one buffer of interleaved float stereo to the IO callback. No lock,
  // no allocation: only PipeWire's own buffer queue and the callback.
  static void onProcess(void* data) {
    auto* capture = static_cast<Capture*>(data);
    if (!capture->running.load(std::memory_order_acquire)) return;
    pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream);
    if (buffer == nullptr) return;
    spa_buffer* block = buffer->buffer;
    if (block->n_datas > 0 && block->datas[0].data != nullptr && block->datas[0].chunk != nullptr) {
      const spa_data& plane = block->datas[0];
      const std::uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
      const std::uint32_t bytes = std::min(plane.chunk->size, plane.maxsize - offset);
      AudioBuffer input{2, bytes, static_cast<std::uint8_t*>(plane.data) + offset};
      capture->proc(capture->context, std::span<const AudioBuffer>(&input, 1), std::span<AudioBuffer>());
    }
    pw_stream_queue_buffer(capture->stream, buffer);
  }

  static int onFence(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* data) {
    static_cast<Capture*>(data)->fenced.fetch_add(1, std::memory_order_release);
    return 0;
  }

 private:
  // The loop lock, taken only once connected; pw_thread_loop's lock is recursive.
  class Lock {
   public:
    explicit Lock(PipeWireSystem& system) : system_(system) {
      system_.ensureConnected();
      if (system_.loop_ != nullptr) pw_thread_loop_lock(system_.loop_);
    }
    ~Lock() {
      if (system_.loop_ != nullptr) pw_thread_loop_unlock(system_.loop_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PipeWireSystem& system_;
  };

  bool connected() const { return core_ != nullptr && !broken_; }

  void ensureConnected() {
    std::call_once(connectOnce_, [this] { connect(); });
  }

  // One connection, made at the first call that needs the audio system. The PipeWire
  // threads start with SIGINT and SIGTERM blocked, so that the program's own threads take
  // them. Nothing here waits for a daemon that is not there: connecting to a missing
  // socket fails at once, and every round trip has a limit.
  void connect() {
    // The library's own log would land among the program's event lines; it stays quiet
    // unless someone asked for it.
    if (std::getenv("PIPEWIRE_DEBUG") == nullptr) pw_log_set_level(SPA_LOG_LEVEL_NONE);
    pw_init(nullptr, nullptr);
    if (std::getenv("PIPEWIRE_DEBUG") == nullptr) pw_log_set_level(SPA_LOG_LEVEL_NONE);
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    loop_ = pw_thread_loop_new("dovrin-pw", nullptr);
    if (loop_ != nullptr) {
      context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
      if (context_ == nullptr || pw_thread_loop_start(loop_) != 0) {
        if (context_ != nullptr) pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
        context_ = nullptr;
        loop_ = nullptr;
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (loop_ == nullptr) return;

    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ != nullptr) {
      pw_core_add_listener(core_, &coreListener_, &coreEvents(), this);
      registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
      pw_registry_add_listener(registry_, &registryListener_, &registryEvents(), this);
      // The first round trip announces (and binds) every global, the second delivers the
      // info of what was bound.
      if (!roundTrip() || !roundTrip()) broken_ = true;
    }
    pw_thread_loop_unlock(loop_);
  }

  bool roundTrip() {
    if (!connected()) return false;
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    const auto deadline = std::chrono::steady_clock::now() + kRoundTripLimit;
    while (doneSeq_ != seq && !broken_) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pw_thread_loop_timed_wait(loop_, 1);
    }
    return !broken_;
  }

  static const pw_core_events& coreEvents() {
    static const pw_core_events events = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.done = [](void* data, std::uint32_t id, int seq) { static_cast<PipeWireSystem*>(data)->onCoreDone(id, seq); };
      e.error = [](void* data, std::uint32_t id, int, int res, const char*) {
        static_cast<PipeWireSystem*>(data)->onCoreError(id, res);
      };
      return e;
    }();
    return events;
  }

  static const pw_registry_events& registryEvents() {
    static const pw_registry_events events = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t version,
                    const spa_dict* props) { static_cast<PipeWireSystem*>(data)->onGlobal(id, type, version, props); };
      e.global_remove = [](void* data, std::uint32_t id) { static_cast<PipeWireSystem*>(data)->onGlobalRemove(id); };
      return e;
    }();
    return events;
  }

  static const pw_node_events& nodeEvents() {
    static const pw_node_events events = [] {
      pw_node_events e{};
      e.version = PW_VERSION_NODE_EVENTS;
      e.info = [](void* data, const pw_node_info* info) {
        auto* node = static_cast<Node*>(data);
        node->owner->onNodeInfo(*node, info);
      };
      e.param = [](void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t, const spa_pod* param) {
        auto* node = static_cast<Node*>(data);
        node->owner->onNodeParam(*node, id, param);
      };
      return e;
    }();
    return events;
  }

  static const pw_client_events& clientEvents() {
    static const pw_client_events events = [] {
      pw_client_events e{};
      e.version = PW_VERSION_CLIENT_EVENTS;
      e.info = [](void* data, const pw_client_info* info) {
        auto* client = static_cast<Client*>(data);
        client->owner->onClientInfo(*client, info);
      };
      return e;
    }();
    return events;
  }

  static const pw_stream_events& streamEvents() {
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* capture = static_cast<Capture*>(data);
        capture->owner->onStreamState(*capture, state);
      };
      e.process = &PipeWireSystem::onProcess;
      return e;
    }();
    return events;
  }

  static const pw_proxy_events& linkEvents() {
    static const pw_proxy_events events = [] {
      pw_proxy_events e{};
      e.version = PW_VERSION_PROXY_EVENTS;
      e.removed = [](void* data) { static_cast<Link*>(data)->dead = true; };
      e.error = [](void* data, int, int, const char*) { static_cast<Link*>(data)->dead = true; };
      e.destroy = [](void* data) { static_cast<Link*>(data)->proxy = nullptr; };
      return e;
    }();
    return events;
  }

  // ---- the graph as processes ----
  static bool isStreamNode(const Node& node) {
    const auto media = prop(node.props, PW_KEY_MEDIA_CLASS);
    if (!media || (*media != "Stream/Output/Audio" && *media != "Stream/Input/Audio")) return false;
    // Loopbacks and filters are the daemon's plumbing, not an application's stream.
    return !node.props.contains("node.link-group");
  }

  static bool isOutputStream(const Node& node) {
    return isStreamNode(node) && prop(node.props, PW_KEY_MEDIA_CLASS) == "Stream/Output/Audio";
  }

  Client* clientOf(const Node& node) const {
    auto id = prop(node.props, PW_KEY_CLIENT_ID);
    if (!id) return nullptr;
    auto found = clients_.find(static_cast<std::uint32_t>(std::strtoul(id->c_str(), nullptr, 10)));
    return found == clients_.end() ? nullptr : found->second.get();
  }

  std::optional<std::int32_t> pidOfNode(const Node& node) const {
    const Client* client = clientOf(node);
    PidSources sources;
    std::string api;
    if (client != nullptr) {
      api = prop(client->props, "client.api").value_or("");
      sources.clientSecPid = pidProp(client->props, PW_KEY_SEC_PID);
      sources.clientProcessId = pidProp(client->props, PW_KEY_APP_PROCESS_ID);
    }
    sources.clientApi = api;
    sources.nodeProcessId = pidProp(node.props, PW_KEY_APP_PROCESS_ID);
    return attributePid(sources);
  }

  std::optional<std::int32_t> pidOfClient(const Client& client) const {
    const std::string api = prop(client.props, "client.api").value_or("");
    PidSources sources;
    sources.clientApi = api;
    sources.clientSecPid = pidProp(client.props, PW_KEY_SEC_PID);
    sources.nodeProcessId = client.streamProcessId;
    sources.clientProcessId = pidProp(client.props, PW_KEY_APP_PROCESS_ID);
    return attributePid(sources);
  }

  bool isCaptureNode(std::uint32_t id) const {
    return std::any_of(captures_.begin(), captures_.end(), [&](const auto& entry) { return entry.second->node == id; });
  }

  // One process object per pid that owns a stream now, or whose connection has owned one.
  std::set<std::int32_t> audioPids() const {
    std::set<std::int32_t> pids;
    for (const auto& [id, node] : nodes_) {
      if (!isStreamNode(*node) || isCaptureNode(id)) continue;
      if (auto pid = pidOfNode(*node)) pids.insert(*pid);
    }
    for (const auto& [id, client] : clients_) {
      if (!client->hadStream) continue;
      if (auto pid = pidOfClient(*client)) pids.insert(*pid);
    }
    pids.erase(base_.ownPid());
    return pids;
  }

  bool isRunningOutput(std::int32_t pid) const {
    return std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& entry) {
      const Node& node = *entry.second;
      return isOutputStream(node) && node.state == PW_NODE_STATE_RUNNING && !isCaptureNode(entry.first) &&
             pidOfNode(node) == pid;
    });
  }

  Node* deviceNode(ObjectId device) const {
    if (kindOf(device) != IdKind::device) return nullptr;
    for (const auto& [id, node] : nodes_) {
      auto media = prop(node->props, PW_KEY_MEDIA_CLASS);
      auto serial = prop(node->props, PW_KEY_OBJECT_SERIAL);
      if (!media || !isDeviceClass(*media) || !serial) continue;
      if (deviceObjectOf(std::strtoull(serial->c_str(), nullptr, 10)) == device) return node.get();
    }
    return nullptr;
  }

  std::vector<ObjectId> deviceIds() const {
    std::vector<ObjectId> ids;
    for (const auto& [id, node] : nodes_) {
      auto media = prop(node->props, PW_KEY_MEDIA_CLASS);
      auto serial = prop(node->props, PW_KEY_OBJECT_SERIAL);
      if (media && isDeviceClass(*media) && serial)
        ids.push_back(deviceObjectOf(std::strtoull(serial->c_str(), nullptr, 10)));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  // ---- properties ----
  // The list-valued properties; noSuchProperty for every other address.
  Status listProperty(ObjectId object, const PropertyAddress& address, std::vector<ObjectId>& list) const {
    if (object == kSystemObject && address.selector == selector::processObjectList) {
      for (std::int32_t pid : audioPids()) list.push_back(processObjectOf(pid));
      return kOk;
    }
    if (object == kSystemObject && address.selector == selector::devices) {
      list = deviceIds();
      return kOk;
    }
    if (address.selector == selector::streams && kindOf(object) == IdKind::aggregate) {
      auto found = aggregates_.find(object);
      if (found == aggregates_.end()) return status::noSuchObject;
      if (address.scope == scope::input) list.push_back(found->second.stream);
      return kOk;
    }
    return status::noSuchProperty;
  }

  Status fixedSize(ObjectId object, const PropertyAddress& address, std::uint32_t& size) const {
    switch (kindOf(object)) {
      case IdKind::process: {
        auto pid = pidOfProcessObject(object);
        if (!pid || !audioPids().contains(*pid)) return status::noSuchObject;
        if (address.selector != selector::processPid && address.selector != selector::isRunningOutput)
          return status::noSuchProperty;
        size = 4;
        return kOk;
      }
      case IdKind::stream:
        if (!isAggregateStream(object)) return status::noSuchObject;
        if (address.selector != selector::virtualFormat) return status::noSuchProperty;
        size = sizeof(StreamFormat);
        return kOk;
      case IdKind::device: {
        Node* node = deviceNode(object);
        if (node == nullptr) return status::noSuchObject;
        if (address.selector == selector::deviceUid || address.selector == selector::name) {
          size = sizeof(StringRef);
          return kOk;
        }
        if (address.selector == selector::volumeScalar || address.selector == selector::mute) {
          if (propsSideFor(prop(node->props, PW_KEY_MEDIA_CLASS).value_or(""), address.scope) == PropsSide::none)
            return status::noSuchProperty;
          size = 4;
          return kOk;
        }
        return status::noSuchProperty;
      }
      case IdKind::tap:
        if (!taps_.contains(object)) return status::noSuchObject;
        return status::noSuchProperty;  // its description can be set, not read
      default:
        return object == kSystemObject ? status::noSuchProperty : status::noSuchObject;
    }
  }

  bool isAggregateStream(ObjectId stream) const {
    return std::any_of(aggregates_.begin(), aggregates_.end(),
                       [&](const auto& entry) { return entry.second.stream == stream; });
  }

  // The object and property are known to exist and the room to suffice.
  Status readFixed(ObjectId object, const PropertyAddress& address, void* data) {
    switch (kindOf(object)) {
      case IdKind::process: {
        const std::int32_t pid = *pidOfProcessObject(object);
        if (address.selector == selector::processPid) {
          std::memcpy(data, &pid, sizeof pid);
        } else {
          const std::uint32_t running = isRunningOutput(pid) ? 1 : 0;
          std::memcpy(data, &running, sizeof running);
        }
        return kOk;
      }
      case IdKind::stream: {
        const StreamFormat format = captureFormat();
        std::memcpy(data, &format, sizeof format);
        return kOk;
      }
      case IdKind::device: return readDevice(object, address, data);
      default: return status::noSuchProperty;
    }
  }

  Status readDevice(ObjectId device, const PropertyAddress& address, void* data) {
    Node* node = deviceNode(device);
    if (address.selector == selector::deviceUid || address.selector == selector::name) {
      std::optional<std::string> text;
      if (address.selector == selector::deviceUid) {
        text = prop(node->props, PW_KEY_NODE_NAME);
      } else {
        text = prop(node->props, PW_KEY_NODE_DESCRIPTION);
        if (!text) text = prop(node->props, PW_KEY_NODE_NICK);
        if (!text) text = prop(node->props, PW_KEY_NODE_NAME);
      }
      if (!text) return status::noSuchProperty;
      StringRef reference = new PlatformString{*text};
      std::memcpy(data, &reference, sizeof reference);
      return kOk;
    }
    const PropsSide side = propsSideFor(prop(node->props, PW_KEY_MEDIA_CLASS).value_or(""), address.scope);
    const std::uint32_t nodeId = node->id;
    if (!refreshProps(nodeId)) return status::noSuchObject;
    node = nodes_.contains(nodeId) ? nodes_[nodeId].get() : nullptr;
    if (node == nullptr) return status::noSuchObject;
    const VolumeState& state = node->volumes;
    if (address.selector == selector::volumeScalar) {
      const auto& channels = side == PropsSide::monitor ? state.monitorVolumes : state.channelVolumes;
      if (channels.empty()) return status::noSuchProperty;
      // The monitor does not pass through the master volume.
      const float master = side == PropsSide::monitor ? 1.0f : state.volume.value_or(1.0f);
      const float value = cubicVolume(master, channels);
      std::memcpy(data, &value, sizeof value);
      return kOk;
    }
    const auto& mute = side == PropsSide::monitor ? state.monitorMute : state.mute;
    if (!mute) return status::noSuchProperty;
    const std::uint32_t value = *mute ? 1 : 0;
    std::memcpy(data, &value, sizeof value);
    return kOk;
  }

  // Asks the node for its Props and waits until they have arrived.
  bool refreshProps(std::uint32_t nodeId) {
    auto found = nodes_.find(nodeId);
    if (found == nodes_.end() || found->second->proxy == nullptr) return false;
    found->second->volumes = VolumeState{};
    pw_node_enum_params(reinterpret_cast<pw_node*>(found->second->proxy), 0, SPA_PARAM_Props, 0, UINT32_MAX, nullptr);
    return roundTrip();
  }

  Status writeDevice(ObjectId device, const PropertyAddress& address, std::uint32_t size, const void* data) {
    Node* node = deviceNode(device);
    if (node == nullptr) return status::noSuchObject;
    if (address.selector != selector::volumeScalar && address.selector != selector::mute) return status::noSuchProperty;
    const PropsSide side = propsSideFor(prop(node->props, PW_KEY_MEDIA_CLASS).value_or(""), address.scope);
    if (side == PropsSide::none) return status::noSuchProperty;
    if (size != 4) return status::badSize;
    const std::uint32_t nodeId = node->id;
    if (!refreshProps(nodeId) || !nodes_.contains(nodeId)) return status::noSuchObject;
    node = nodes_[nodeId].get();

    std::uint8_t storage[1024];
    spa_pod_builder builder;
    spa_pod_builder_init(&builder, storage, sizeof storage);
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    if (address.selector == selector::volumeScalar) {
      float cubic = 0.0f;
      std::memcpy(&cubic, data, sizeof cubic);
      const auto& current = side == PropsSide::monitor ? node->volumes.monitorVolumes : node->volumes.channelVolumes;
      if (current.empty()) return status::noSuchProperty;
      // Every channel gets the same level and the master goes to 1, so the loudest channel
      // times the master reads back as the value written.
      std::vector<float> channels(current.size(), linearVolume(cubic));
      spa_pod_builder_prop(&builder, side == PropsSide::monitor ? SPA_PROP_monitorVolumes : SPA_PROP_channelVolumes, 0);
      spa_pod_builder_array(&builder, sizeof(float), SPA_TYPE_Float, static_cast<std::uint32_t>(channels.size()),
                            channels.data());
      if (side == PropsSide::channel) {
        spa_pod_builder_prop(&builder, SPA_PROP_volume, 0);
        spa_pod_builder_float(&builder, 1.0f);
      }
    } else {
      std::uint32_t muted = 0;
      std::memcpy(&muted, data, sizeof muted);
      spa_pod_builder_prop(&builder, side == PropsSide::monitor ? SPA_PROP_monitorMute : SPA_PROP_mute, 0);
      spa_pod_builder_bool(&builder, muted != 0);
    }
    auto* pod = static_cast<spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    if (pod == nullptr) return status::badSize;
    const int result = pw_node_set_param(reinterpret_cast<pw_node*>(node->proxy), SPA_PARAM_Props, 0, pod);
    if (result < 0) return result;
    return roundTrip() ? kOk : status::noSuchObject;
  }

  Status applyDescription(const TapDescription& description, Tap& tap) const {
    std::set<std::int32_t> pids;
    for (ObjectId object : description.processes) {
      auto pid = pidOfProcessObject(object);
      if (!pid) return status::noSuchObject;
      pids.insert(*pid);
    }
    tap.kind = description.kind;
    tap.pids = std::move(pids);
    return kOk;
  }

  Status setTapDescription(ObjectId object, const PropertyAddress& address, std::uint32_t size, const void* data) {
    auto tap = taps_.find(object);
    if (tap == taps_.end()) return status::noSuchObject;
    if (address.selector != selector::tapDescription) return status::noSuchProperty;
    if (size != sizeof(const TapDescription*) || data == nullptr) return status::badSize;
    const TapDescription* description = nullptr;
    std::memcpy(&description, data, sizeof description);
    if (description == nullptr) return status::badSize;
    Status result = applyDescription(*description, tap->second);
    if (result != kOk) return result;
    reconcileAll();
    return kOk;
  }

  // ---- capture streams and their links ----
  Status startCapture(Capture& capture) {
    if (capture.stream != nullptr) return kOk;
    auto aggregate = aggregates_.find(capture.device);
    if (aggregate == aggregates_.end()) return status::noSuchObject;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Production",
        PW_KEY_NODE_NAME, "dovrin-capture", PW_KEY_NODE_DESCRIPTION, "Dovrin Capture", PW_KEY_APP_NAME,
        "dovrin-audio-host", PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    capture.stream = pw_stream_new(core_, "dovrin-capture", props);
    if (capture.stream == nullptr) return -errno;
    capture.state = PW_STREAM_STATE_UNCONNECTED;
    capture.node = SPA_ID_INVALID;
    pw_stream_add_listener(capture.stream, &capture.listener, &streamEvents(), &capture);

    const StreamFormat wanted = captureFormat();
    spa_audio_info_raw info;
    std::memset(&info, 0, sizeof info);
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<std::uint32_t>(wanted.sampleRate);
    info.channels = wanted.channelsPerFrame;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    std::uint8_t storage[1024];
    spa_pod_builder builder;
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    // From here on the stream may call back.
    capture.running.store(true, std::memory_order_release);
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
                                                    PW_STREAM_FLAG_DONT_RECONNECT);
    int result = pw_stream_connect(capture.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    if (result < 0) {
      stopCapture(capture);
      return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (capture.state != PW_STREAM_STATE_PAUSED && capture.state != PW_STREAM_STATE_STREAMING &&
           capture.state != PW_STREAM_STATE_ERROR && !broken_ && std::chrono::steady_clock::now() < deadline)
      pw_thread_loop_timed_wait(loop_, 1);
    if (capture.state != PW_STREAM_STATE_PAUSED && capture.state != PW_STREAM_STATE_STREAMING) {
      stopCapture(capture);
      return status::unsupported;
    }
    capture.node = pw_stream_get_node_id(capture.stream);
    // The node's ports are announced by now; one round trip makes sure they reached us.
    if (!roundTrip()) {
      stopCapture(capture);
      return status::noAudioSystem;
    }
    reconcile(capture);
    return kOk;
  }

  // Returns once the IO callback can no longer run; safe on a capture that never started.
  void stopCapture(Capture& capture) {
    capture.running.store(false, std::memory_order_release);
    if (context_ != nullptr) {
      // A callback that saw running has returned once this runs on the data thread.
      pw_data_loop_invoke(pw_context_get_data_loop(context_), &PipeWireSystem::onFence, 0, nullptr, 0, true,
                          &capture);
      (void)capture.fenced.load(std::memory_order_acquire);
    }
    for (auto& [ports, link] : capture.links)
      if (link->proxy != nullptr) pw_proxy_destroy(link->proxy);
    capture.links.clear();
    if (capture.stream != nullptr) {
      pw_stream_disconnect(capture.stream);
      pw_stream_destroy(capture.stream);
      capture.stream = nullptr;
    }
    capture.node = SPA_ID_INVALID;
    capture.state = PW_STREAM_STATE_UNCONNECTED;
  }

  void reconcileAll() {
    for (auto& [handle, capture] : captures_)
      if (capture->stream != nullptr && capture->node != SPA_ID_INVALID) reconcile(*capture);
  }

  bool selects(const Tap& tap, const Node& node) const {
    if (!isOutputStream(node) || isCaptureNode(node.id)) return false;
    auto pid = pidOfNode(node);
    if (!pid || *pid == base_.ownPid()) return false;
    const bool listed = tap.pids.contains(*pid);
    return tap.kind == TapDescription::Kind::monoMixdownOfProcesses ? listed : !listed;
  }

  // Links every output port of the selected streams into the capture's input port of the
  // same side, and removes every other link it made. The input port sums its links.
  void reconcile(Capture& capture) {
    if (!connected()) return;
    auto aggregate = aggregates_.find(capture.device);
    const Tap* tap = nullptr;
    if (aggregate != aggregates_.end()) {
      auto found = taps_.find(aggregate->second.tap);
      if (found != taps_.end()) tap = &found->second;
    }
    std::uint32_t inputs[2] = {SPA_ID_INVALID, SPA_ID_INVALID};
    for (const auto& [id, port] : ports_) {
      if (port.node != capture.node || port.output) continue;
      if (port.channel == "FL") inputs[0] = id;
      if (port.channel == "FR") inputs[1] = id;
    }
    std::set<std::pair<std::uint32_t, std::uint32_t>> wanted;
    std::map<std::uint32_t, std::uint32_t> nodeOfPort;
    if (tap != nullptr) {
      for (const auto& [id, port] : ports_) {
        if (!port.output || port.monitor) continue;
        auto node = nodes_.find(port.node);
        if (node == nodes_.end() || !selects(*tap, *node->second)) continue;
        const unsigned sides = captureChannelsFor(port.channel);
        for (int side = 0; side < 2; ++side) {
          if ((sides & (1u << side)) == 0 || inputs[side] == SPA_ID_INVALID) continue;
          wanted.insert({id, inputs[side]});
          nodeOfPort[id] = port.node;
        }
      }
    }
    for (auto link = capture.links.begin(); link != capture.links.end();) {
      if (!link->second->dead && wanted.contains(link->first)) {
        ++link;
        continue;
      }
      if (link->second->proxy != nullptr) pw_proxy_destroy(link->second->proxy);
      link = capture.links.erase(link);
    }
    for (const auto& ports : wanted) {
      if (capture.links.contains(ports)) continue;
      pw_properties* props = pw_properties_new(nullptr, nullptr);
      pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", nodeOfPort[ports.first]);
      pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", ports.first);
      pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", capture.node);
      pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", ports.second);
      pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
      auto* proxy = static_cast<pw_proxy*>(
          pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
      pw_properties_free(props);
      if (proxy == nullptr) continue;
      auto link = std::make_unique<Link>();
      link->proxy = proxy;
      pw_proxy_add_listener(proxy, &link->listener, &linkEvents(), link.get());
      capture.links[ports] = std::move(link);
    }
  }

  ProcessTable& base_;
  std::once_flag connectOnce_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  int doneSeq_ = -1;
  bool broken_ = false;

  std::map<std::uint32_t, std::unique_ptr<Node>> nodes_;
  std::map<std::uint32_t, std::unique_ptr<Client>> clients_;
  std::map<std::uint32_t, Port> ports_;
  std::map<ObjectId, Tap> taps_;
  std::map<ObjectId, Aggregate> aggregates_;
  std::map<IoProcId, std::unique_ptr<Capture>> captures_;
  ObjectId lastTap_ = 0;
  ObjectId lastAggregate_ = 0;
};

PipeWireSystem* gSystem = nullptr;

}  // namespace

void install() {
  if (gSystem != nullptr) return;
  // Never destroyed: the PipeWire threads may still refer to it until the exit handler
  // below has ended the connection.
  gSystem = new PipeWireSystem(processTable());
  installAudioSystem(gSystem);
  installProcessTable(gSystem);
  std::atexit([] { gSystem->shutdown(); });
}

}  // namespace dovrin::platform::pipewire
