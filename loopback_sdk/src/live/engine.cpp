#include "engine.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "bot.h"
#include "channel.h"
#include "clock.h"
#include "media.h"

namespace loopback::live_mode {

using detail::Record;
using detail::World;
using detail::world;

namespace {

constexpr uint64_t kTick = 10;

uint64_t grid_after(uint64_t t) { return (t / kTick + 1) * kTick; }

Clock& clock() {
  static Clock* const instance = new Clock;
  return *instance;
}

struct Event {
  enum class Action { notice, joined, join_failed, relinked };
  Action action = Action::notice;
  uint64_t connection = 0;
  uint64_t join = 0;  // the connect it belongs to (joined, join_failed)
  Notification notification;
};

struct SinkConverter {
  std::unique_ptr<Resampler> resampler;
  std::vector<int16_t> pending;
};

struct ServiceLive {
  uint64_t id = 0;
  bool audio = false;
  std::atomic<bool> cancel{false};
  std::vector<std::thread> threads;
  SourceGenerator microphone;
  std::multimap<uint64_t, Event> events;  // by time; equal times keep their order
  std::map<std::pair<const void*, int>, SinkConverter> converters;
};

struct Tap {
  std::deque<int16_t> samples;
  uint64_t dropped = 0;
};

struct Engine {
  explicit Engine(const LiveOptions& o) : options(o), channels(o.seed) {}
  LiveOptions options;
  Channels channels;
  std::map<uint64_t, std::unique_ptr<ServiceLive>> services;
  std::map<uint64_t, std::unique_ptr<Bot>> bots;
  std::thread bot_thread;
  std::atomic<bool> cancel{false};
  std::map<uint64_t, uint64_t> joins;  // connection -> its pending or current connect
  uint64_t next_join = 1;
  std::map<uint64_t, std::deque<RenewalResult>> renewals;
  std::map<std::string, std::pair<uint32_t, int>, std::less<>> join_failures;
};

// Engine-wide state that outlives one live session; guarded by the world lock.
struct Globals {
  Engine* engine = nullptr;
  std::map<uint64_t, Source> microphones;
  std::map<uint64_t, Tap> taps;
  std::multiset<const void*> in_flight;  // connection observers being called
  std::condition_variable callbacks_done;
};

Globals& globals() {
  static Globals* const instance = new Globals;
  return *instance;
}

thread_local const void* delivering_to = nullptr;

// Whether a session runs, readable without the lock and without touching
// Globals, whose first use allocates: manual driving checks it and promises
// no allocation.
std::atomic<bool> running{false};

Engine* engine_locked() { return globals().engine; }

std::atomic<uint64_t> callback_cpu{0};

// Adds the thread CPU of its scope to callback_cpu when the session asked
// for it: one pair of clock reads around a whole batch of deliveries, so
// that the measuring stays small beside what it measures.
class CallbackTimer {
 public:
  explicit CallbackTimer(const Engine& e) : on_(e.options.time_callbacks) {
    if (on_) start_ = thread_cpu_ns();
  }
  ~CallbackTimer() {
    if (on_) callback_cpu.fetch_add(thread_cpu_ns() - start_, std::memory_order_relaxed);
  }
  CallbackTimer(const CallbackTimer&) = delete;
  CallbackTimer& operator=(const CallbackTimer&) = delete;

 private:
  static uint64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
  }
  bool on_;
  uint64_t start_ = 0;
};

Notification state_notice(Notice notice, int reason, const Member* m, const Record* r) {
  Notification n;
  n.notice = notice;
  n.numbers[0] = reason;
  if (m != nullptr) {
    n.info.channel_id = m->channel;
    n.info.local_user_id = m->uid;
  } else if (r != nullptr) {
    n.info.channel_id = r->channel_id;
    n.info.local_user_id = r->user_id;
  }
  n.info.state = 0;
  return n;
}

Notification user_notice(Notice notice, const std::string& uid, int reason = 0) {
  Notification n;
  n.notice = notice;
  n.text = uid;
  n.numbers[0] = reason;
  return n;
}

void schedule(Engine& e, World& w, uint64_t connection, uint64_t time, Event event) {
  const uint64_t service = w.service_of(connection);
  auto it = e.services.find(service);
  if (it == e.services.end()) return;
  event.connection = connection;
  it->second->events.emplace(time, std::move(event));
}

void notice_to(Engine& e, World& w, uint64_t connection, uint64_t time, Notification n) {
  Event ev;
  ev.notification = std::move(n);
  schedule(e, w, connection, time, std::move(ev));
}

// Tells every other library member of the subject's channel about it.
void announce(Engine& e, World& w, const Member& subject, Notice notice, int reason,
              uint64_t time) {
  for (Member* other : e.channels.others(subject.id)) {
    if (!other->bot && other->linked) notice_to(e, w, other->id, time, user_notice(notice, subject.uid, reason));
  }
}

// Whether a library receiver subscribed to the publisher's user id.
bool listens(World& w, const Member& receiver, const Member& publisher) {
  if (receiver.bot) return true;
  const Record* connection = w.find(receiver.id, Kind::connection);
  if (connection == nullptr) return false;
  const Record* user = w.find(connection->info.related, Kind::local_user);
  if (user == nullptr) return false;
  return std::any_of(user->subscriptions.begin(), user->subscriptions.end(),
                     [&](const Subscription& s) { return s.user_id == publisher.uid; });
}

std::function<bool(const Member&, const Member&)> listener(World& w) {
  return [&w](const Member& r, const Member& p) { return listens(w, r, p); };
}

// The member that publishes what `sender` sends: the connection whose local
// user published an enabled track over it.
Member* publisher_of(Engine& e, World& w, uint64_t sender) {
  for (const auto& [track_id, track] : w.records) {
    if (track.info.kind != Kind::audio_track || track.info.related != sender || !track.enabled) continue;
    for (const auto& [user_id, user] : w.records) {
      if (user.info.kind != Kind::local_user) continue;
      for (const auto& t : user.published) {
        if (t.get() == track.address) return e.channels.find(user.info.related);
      }
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Engine threads

using Work = void (*)(Engine& e, ServiceLive* s, uint64_t t);

void run_thread(Engine* e, ServiceLive* s, Work work) {
  const std::atomic<bool>& cancel = s != nullptr ? s->cancel : e->cancel;
  uint64_t t = grid_after(clock().now_ms());
  while (clock().wait_until(t, cancel)) {
    try {
      work(*e, s, t);
    } catch (...) {
      // An exception from the library's callback is the library's fault; the
      // engine keeps its cadence.
    }
    t += kTick;
    if (!clock().is_virtual()) {
      const uint64_t now = clock().now_ms();
      if (now > t + 20 * kTick) t = grid_after(now);  // far behind: skip, do not burst
    }
  }
  clock().leave();
}

void spawn(std::vector<std::thread>& into, Engine* e, ServiceLive* s, Work work) {
  clock().enter();  // before the thread exists, so that time cannot run past it
  into.emplace_back(run_thread, e, s, work);
}

void capture_work(Engine& e, ServiceLive* s, uint64_t t) {
  std::vector<agora::agora_refptr<agora::rtc::IAudioSinkBase>> sinks;
  std::vector<std::unique_ptr<agora::media::base::AudioPcmFrame>> frames;
  {
    World& w = world();
    std::lock_guard lock(w.mutex);
    if (engine_locked() != &e) return;
    std::array<int16_t, kBlock> mic;
    s->microphone.next(mic.data(), t);
    for (const auto& [id, r] : w.records) {
      if (r.info.kind != Kind::audio_track || r.service != s->id ||
          r.info.source != TrackSource::none || !r.enabled) {
        continue;
      }
      for (const auto& slot : r.sinks) {
        const int rate = slot.wants.samplesPerSec > 0 ? slot.wants.samplesPerSec : kRate;
        const size_t channels = std::clamp<size_t>(slot.wants.channels, 1, 2);
        const size_t per_channel = static_cast<size_t>(rate) / 100;
        if (per_channel * channels > agora::media::base::AudioPcmFrame::kMaxDataSizeSamples) continue;
        auto frame = std::make_unique<agora::media::base::AudioPcmFrame>();
        frame->capture_timestamp = static_cast<int64_t>(t);
        frame->sample_rate_hz_ = rate;
        frame->num_channels_ = channels;
        frame->samples_per_channel_ = per_channel;
        frame->bytes_per_sample = 2;
        const int16_t* mono = mic.data();
        std::vector<int16_t> converted;
        if (rate != kRate) {
          SinkConverter& c = s->converters[{slot.sink.get(), rate}];
          if (!c.resampler) c.resampler = std::make_unique<Resampler>(kRate, rate);
          c.resampler->push(mic.data(), kBlock, c.pending);
          converted.assign(per_channel, 0);
          const size_t take = std::min(per_channel, c.pending.size());
          // The converter's start-up delay shows as leading silence.
          std::copy(c.pending.begin(), c.pending.begin() + static_cast<std::ptrdiff_t>(take),
                    converted.begin() + static_cast<std::ptrdiff_t>(per_channel - take));
          c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<std::ptrdiff_t>(take));
          mono = converted.data();
        }
        for (size_t i = 0; i < per_channel; ++i) {
          for (size_t ch = 0; ch < channels; ++ch) frame->data_[i * channels + ch] = mono[i];
        }
        sinks.push_back(slot.sink);
        frames.push_back(std::move(frame));
      }
    }
  }
  const CallbackTimer timer(e);
  for (size_t k = 0; k < sinks.size(); ++k) sinks[k]->onAudioFrame(*frames[k]);
}

struct Observers {
  std::array<agora::media::IAudioFrameObserverBase*, kMaxFrameObservers> list{};
  size_t count = 0;
};

Observers observers_of(const Record& user) {
  Observers o;
  for (auto* p : user.frame_observers) o.list[o.count++] = p;
  return o;
}

void playback_work(Engine& e, ServiceLive* s, uint64_t t) {
  struct Pull {
    Observers observers;
    int channels;
  };
  std::vector<Pull> pulls;
  {
    World& w = world();
    std::lock_guard lock(w.mutex);
    if (engine_locked() != &e) return;
    for (const auto& [id, r] : w.records) {
      if (r.info.kind != Kind::local_user || r.service != s->id || !r.playback_frame.set ||
          r.frame_observers.empty()) {
        continue;
      }
      pulls.push_back({observers_of(r), static_cast<int>(std::clamp<size_t>(r.playback_frame.channels, 1, 2))});
    }
  }
  for (const Pull& p : pulls) {
    std::vector<int16_t> buffer(kBlock * static_cast<size_t>(p.channels), 0);
    Frame f;
    f.position = Position::playback;
    f.format.channels = p.channels;
    f.format.samples_per_channel = static_cast<int>(kBlock);
    f.format.samples_per_sec = kRate;
    f.format.render_time_ms = static_cast<int64_t>(t);
    f.format.presentation_ms = static_cast<int64_t>(t);
    f.samples = buffer;
    {
      const CallbackTimer timer(e);
      detail::run(p.observers.list.data(), p.observers.count, f);
    }
    World& w = world();
    std::lock_guard lock(w.mutex);
    // A service being released has left the engine and dropped its tap.
    if (engine_locked() != &e || e.services.count(s->id) == 0) return;
    Tap& tap = globals().taps[s->id];
    tap.samples.insert(tap.samples.end(), buffer.begin(), buffer.end());
    while (tap.samples.size() > e.options.speaker_tap_capacity) {
      tap.samples.pop_front();
      ++tap.dropped;
    }
  }
}

void remote_work(Engine& e, ServiceLive* s, uint64_t t) {
  struct Delivery {
    Observers observers;
    std::string channel, uid;
    std::array<int16_t, kBlock> pcm;
    uint32_t rtp;
    uint64_t sent;
  };
  std::vector<std::unique_ptr<Delivery>> out;
  {
    World& w = world();
    std::lock_guard lock(w.mutex);
    if (engine_locked() != &e) return;
    e.channels.each_member([&](Member& m) {
      if (m.bot || m.service != s->id || !m.linked || m.since >= t) return;
      const Record* connection = w.find(m.id, Kind::connection);
      const Record* user = connection ? w.find(connection->info.related, Kind::local_user) : nullptr;
      if (user == nullptr) return;
      e.channels.paths_into(m.id, [&](Member& publisher, Path& path) {
        std::array<int16_t, kBlock> pcm;
        for (int turn = 0; turn < 4; ++turn) {
          const Path::Out o = path.pull(t, pcm.data());
          if (o.outcome == Path::Outcome::none) break;
          if (o.outcome == Path::Outcome::lost) continue;
          auto d = std::make_unique<Delivery>();
          d->pcm = pcm;
          d->observers = observers_of(*user);
          d->channel = m.channel;
          d->uid = publisher.uid;
          d->rtp = static_cast<uint32_t>(o.seq * kBlock);
          d->sent = o.sent_ms;
          out.push_back(std::move(d));
        }
      });
    });
  }
  const CallbackTimer timer(e);
  for (auto& d : out) {
    Frame f;
    f.position = Position::before_mixing_text;
    f.channel_id = d->channel.c_str();
    f.user_id = d->uid.c_str();
    f.format.channels = 1;
    f.format.samples_per_channel = static_cast<int>(kBlock);
    f.format.samples_per_sec = kRate;
    f.format.rtp_timestamp = d->rtp;
    f.format.presentation_ms = static_cast<int64_t>(d->sent);
    f.format.render_time_ms = static_cast<int64_t>(t);
    f.samples = d->pcm;
    detail::run(d->observers.list.data(), d->observers.count, f);
  }
}

void event_work(Engine& e, ServiceLive* s, uint64_t t) {
  struct Out {
    std::array<agora::rtc::IRtcConnectionObserver*, kMaxConnectionObservers> list{};
    size_t count = 0;
    Notification notification;
  };
  std::vector<Out> out;
  World& w = world();
  {
    std::lock_guard lock(w.mutex);
    if (engine_locked() != &e) return;
    while (!s->events.empty() && s->events.begin()->first <= t) {
      Event ev = std::move(s->events.begin()->second);
      s->events.erase(s->events.begin());
      Record* r = w.find(ev.connection, Kind::connection);
      if (r == nullptr) continue;
      Notification note = std::move(ev.notification);
      switch (ev.action) {
        case Event::Action::notice:
          break;
        case Event::Action::joined: {
          auto j = e.joins.find(ev.connection);
          if (j == e.joins.end() || j->second != ev.join || !r->connected || !r->channel_id) continue;
          Member& m = e.channels.join(*r->channel_id, ev.connection, r->user_id.value_or(""), false,
                                      s->id, t);
          announce(e, w, m, Notice::user_joined, 0, t + kTick);
          for (Member* other : e.channels.others(m.id)) {
            if (other->linked) notice_to(e, w, m.id, t + kTick, user_notice(Notice::user_joined, other->uid));
          }
          break;
        }
        case Event::Action::join_failed: {
          auto j = e.joins.find(ev.connection);
          if (j == e.joins.end() || j->second != ev.join) continue;
          e.joins.erase(j);
          break;
        }
        case Event::Action::relinked: {
          Member* m = e.channels.find(ev.connection);
          if (m == nullptr || m->linked) continue;
          e.channels.relink(m->id, t);
          announce(e, w, *m, Notice::user_joined, 0, t + kTick);
          break;
        }
      }
      Out o;
      for (const auto& slot : r->connection_observers) {
        o.list[o.count++] = slot.observer;
        globals().in_flight.insert(slot.observer);
      }
      o.notification = std::move(note);
      out.push_back(std::move(o));
    }
  }
  if (out.empty()) return;
  const CallbackTimer timer(e);
  for (const Out& o : out) {
    const auto info = detail::make_info(o.notification.info);
    for (size_t k = 0; k < o.count; ++k) {
      delivering_to = o.list[k];
      try {
        detail::deliver(*o.list[k], o.notification, info);
      } catch (...) {
      }
      delivering_to = nullptr;
      std::lock_guard lock(w.mutex);
      globals().in_flight.erase(globals().in_flight.find(o.list[k]));
      globals().callbacks_done.notify_all();
    }
  }
}

void bot_work(Engine& e, ServiceLive*, uint64_t t) {
  World& w = world();
  std::lock_guard lock(w.mutex);
  if (engine_locked() != &e) return;
  const auto listen = listener(w);
  for (auto& [id, bot] : e.bots) {
    if (bot->joined()) bot->publish(e.channels, t, listen);
  }
  for (auto& [id, bot] : e.bots) {
    if (bot->joined()) bot->hear(e.channels, t);
  }
}

void start_service(Engine& e, World& w, uint64_t id) {
  const Record* r = w.find(id, Kind::service);
  if (r == nullptr || !r->initialized || e.services.count(id) != 0) return;
  auto s = std::make_unique<ServiceLive>();
  s->id = id;
  s->audio = r->audio_device;
  auto mic = globals().microphones.find(id);
  if (mic != globals().microphones.end()) s->microphone = SourceGenerator(mic->second);
  ServiceLive* raw = s.get();
  e.services.emplace(id, std::move(s));
  spawn(raw->threads, &e, raw, &event_work);
  spawn(raw->threads, &e, raw, &remote_work);
  if (raw->audio) {
    spawn(raw->threads, &e, raw, &capture_work);
    spawn(raw->threads, &e, raw, &playback_work);
  }
}

void join_all(std::vector<std::thread>& threads) {
  for (auto& t : threads) {
    if (t.joinable()) t.join();
  }
}

struct Locked {
  World& w = world();
  std::unique_lock<std::mutex> lock{w.mutex};
};

Engine& live_engine() {
  Engine* e = engine_locked();
  if (e == nullptr) throw std::logic_error("loopback: the live engine is not running");
  return *e;
}

Member& live_member(Engine& e, uint64_t connection) {
  Member* m = e.channels.find(connection);
  if (m == nullptr || m->bot) {
    throw std::invalid_argument("loopback: not a live channel member: " + std::to_string(connection));
  }
  return *m;
}

Bot& live_bot(Engine& e, uint64_t bot) {
  auto it = e.bots.find(bot);
  if (it == e.bots.end()) throw std::invalid_argument("loopback: no such bot: " + std::to_string(bot));
  return *it->second;
}

void bot_enters(Engine& e, World& w, Bot& bot) {
  const uint64_t now = clock().now_ms();
  Member& m = e.channels.join(bot.options().channel, bot.id(), bot.options().user_id, true, 0, now);
  bot.set_joined(true);
  announce(e, w, m, Notice::user_joined, 0, grid_after(now));
}

void bot_exits(Engine& e, World& w, Bot& bot, int reason) {
  if (!bot.joined()) return;
  if (Member* m = e.channels.find(bot.id())) {
    announce(e, w, *m, Notice::user_left, reason, grid_after(clock().now_ms()));
  }
  e.channels.leave(bot.id());
  bot.set_joined(false);
}

}  // namespace

// ---------------------------------------------------------------------------
// Hooks

void refuse_manual_driving() {
  if (running.load(std::memory_order_acquire)) {
    throw std::logic_error(
        "loopback: manual driving is refused while the live engine runs (stop_live first)");
  }
}

void connecting(World& w, uint64_t connection) {
  Engine* e = engine_locked();
  if (e == nullptr) return;
  const Record* r = w.find(connection, Kind::connection);
  if (r == nullptr || !r->channel_id) return;
  const uint64_t now = clock().now_ms();
  const uint64_t first = grid_after(now);
  const uint64_t join = e->next_join++;
  e->joins[connection] = join;
  notice_to(*e, w, connection, first, state_notice(Notice::connecting, 0, nullptr, r));
  Event ev;
  ev.join = join;
  auto failing = e->join_failures.find(*r->channel_id);
  if (failing != e->join_failures.end() && failing->second.first > 0) {
    ev.action = Event::Action::join_failed;
    ev.notification = state_notice(Notice::connection_failure, failing->second.second, nullptr, r);
    if (--failing->second.first == 0) e->join_failures.erase(failing);
  } else {
    ev.action = Event::Action::joined;
    ev.notification = state_notice(Notice::connected, 1, nullptr, r);
  }
  schedule(*e, w, connection, std::max(first, now + e->options.join_delay_ms), std::move(ev));
}

void disconnecting(World& w, uint64_t connection) {
  Engine* e = engine_locked();
  if (e == nullptr) return;
  e->joins.erase(connection);
  const Record* r = w.find(connection, Kind::connection);
  const uint64_t now = clock().now_ms();
  if (Member* m = e->channels.find(connection)) {
    announce(*e, w, *m, Notice::user_left, 0, now + e->options.leave_notice_ms);
    e->channels.leave(connection);
  }
  notice_to(*e, w, connection, grid_after(now), state_notice(Notice::disconnected, 5, nullptr, r));
}

void renewing(World& w, uint64_t connection, const char* token) {
  Engine* e = engine_locked();
  if (e == nullptr) return;
  RenewalResult result;
  auto it = e->renewals.find(connection);
  if (it != e->renewals.end() && !it->second.empty()) {
    result = it->second.front();
    it->second.pop_front();
  }
  Notification n;
  n.notice = Notice::renew_token_result;
  if (token != nullptr) n.text = std::string(token);
  n.numbers[0] = result.code;
  notice_to(*e, w, connection, clock().now_ms() + result.delay_ms, std::move(n));
}

void pcm_sent(World& w, uint64_t sender, const void* data, size_t samples_per_channel,
              size_t channels, uint32_t sample_rate) {
  Engine* e = engine_locked();
  if (e == nullptr || data == nullptr || channels == 0 || channels > 2 || sample_rate < 8000 ||
      sample_rate > 96000 || samples_per_channel == 0 || samples_per_channel > 96000 / 50) {
    return;
  }
  Member* m = publisher_of(*e, w, sender);
  if (m == nullptr) return;
  std::vector<int16_t>& mono = m->mono;
  mono.resize(samples_per_channel);
  const auto* in = static_cast<const int16_t*>(data);
  for (size_t i = 0; i < samples_per_channel; ++i) {
    mono[i] = channels == 1 ? in[i] : saturate((int32_t{in[2 * i]} + in[2 * i + 1]) / 2);
  }
  if (static_cast<int>(sample_rate) == kRate) {
    m->pending.insert(m->pending.end(), mono.begin(), mono.end());
  } else {
    if (!m->resampler || m->resampler->from() != static_cast<int>(sample_rate)) {
      m->resampler = std::make_unique<Resampler>(static_cast<int>(sample_rate), kRate);
    }
    m->resampler->push(mono.data(), mono.size(), m->pending);
  }
  const uint64_t now = clock().now_ms();
  const auto listen = listener(w);
  size_t at = 0;
  while (m->pending.size() - at >= kBlock) {
    e->channels.publish(*m, now, m->pending.data() + at, nullptr, 0, listen);
    at += kBlock;
  }
  m->pending.erase(m->pending.begin(), m->pending.begin() + static_cast<std::ptrdiff_t>(at));
}

void encoded_sent(World& w, uint64_t sender, const uint8_t* payload, size_t size, int codec) {
  Engine* e = engine_locked();
  if (e == nullptr || payload == nullptr || size == 0 || codec != agora::rtc::AUDIO_CODEC_OPUS) return;
  Member* m = publisher_of(*e, w, sender);
  if (m == nullptr) return;
  e->channels.publish(*m, clock().now_ms(), nullptr, payload, size, listener(w));
}

void retired(World& w, uint64_t object, Kind kind) {
  Engine* e = engine_locked();
  if (e == nullptr || kind != Kind::connection) return;
  e->joins.erase(object);
  e->renewals.erase(object);
  if (Member* m = e->channels.find(object)) {
    announce(*e, w, *m, Notice::user_left, 0, clock().now_ms() + e->options.leave_notice_ms);
    e->channels.leave(object);
  }
}

void service_initialized(uint64_t service) {
  Locked l;
  if (Engine* e = engine_locked()) start_service(*e, l.w, service);
}

void service_releasing(uint64_t service) {
  std::unique_ptr<ServiceLive> s;
  {
    Locked l;
    // Service ids are never reused: what was kept for this one would only
    // accumulate over a session that creates and releases many.
    globals().microphones.erase(service);
    globals().taps.erase(service);
    Engine* e = engine_locked();
    if (e == nullptr) return;
    auto it = e->services.find(service);
    if (it == e->services.end()) return;
    s = std::move(it->second);
    e->services.erase(it);
  }
  s->cancel.store(true, std::memory_order_release);
  clock().poke();
  join_all(s->threads);
}

void wait_for_callbacks(std::unique_lock<std::mutex>& locked, const void* observer) {
  if (delivering_to == observer) return;  // from inside its own callback
  globals().callbacks_done.wait(locked, [&] { return globals().in_flight.count(observer) == 0; });
}

}  // namespace loopback::live_mode

// ---------------------------------------------------------------------------
// Control interface

namespace loopback {

using live_mode::clock;
using live_mode::globals;

void start_live(const LiveOptions& options) {
  live_mode::Locked l;
  if (globals().engine != nullptr) throw std::logic_error("loopback: the live engine already runs");
  clock().restart(options.clock == ClockKind::virtual_lock_step, options.start_ms);
  auto* e = new live_mode::Engine(options);
  globals().engine = e;
  live_mode::callback_cpu.store(0, std::memory_order_relaxed);
  live_mode::running.store(true, std::memory_order_release);
  globals().taps.clear();
  for (const auto& [id, r] : l.w.records) {
    if (r.info.kind == Kind::service) live_mode::start_service(*e, l.w, id);
  }
  clock().enter();
  e->bot_thread = std::thread(live_mode::run_thread, e, nullptr, &live_mode::bot_work);
}

void stop_live() {
  live_mode::Engine* e;
  std::vector<std::unique_ptr<live_mode::ServiceLive>> services;
  {
    live_mode::Locked l;
    e = globals().engine;
    if (e == nullptr) return;
    globals().engine = nullptr;
    live_mode::running.store(false, std::memory_order_release);
    for (auto& [id, s] : e->services) services.push_back(std::move(s));
    e->services.clear();
  }
  e->cancel.store(true, std::memory_order_release);
  for (auto& s : services) s->cancel.store(true, std::memory_order_release);
  clock().stop();
  e->bot_thread.join();
  for (auto& s : services) live_mode::join_all(s->threads);
  delete e;
}

uint64_t callback_cpu_ns() noexcept { return live_mode::callback_cpu.load(std::memory_order_relaxed); }

bool is_live() {
  live_mode::Locked l;
  return globals().engine != nullptr;
}

uint64_t now_ms() noexcept { return clock().now_ms(); }
uint64_t now_ms_source(void*) noexcept { return clock().now_ms(); }

void run_for(uint64_t ms) {
  if (!is_live()) throw std::logic_error("loopback: the live engine is not running");
  clock().run_for(ms);
}

std::vector<uint64_t> services() {
  live_mode::Locked l;
  std::vector<uint64_t> out;
  for (const auto& [id, r] : l.w.records) {
    if (r.info.kind == Kind::service) out.push_back(id);
  }
  return out;
}

uint64_t service_of(uint64_t object) {
  live_mode::Locked l;
  return l.w.service_of(object);
}

void set_microphone(uint64_t service, Source source) {
  live_mode::Locked l;
  if (l.w.find(service, Kind::service) == nullptr) {
    throw std::invalid_argument("loopback: no such service: " + std::to_string(service));
  }
  if (live_mode::Engine* e = globals().engine) {
    auto it = e->services.find(service);
    if (it != e->services.end()) it->second->microphone = live_mode::SourceGenerator(source);
  }
  globals().microphones[service] = std::move(source);
}

std::vector<int16_t> take_speaker(uint64_t service) {
  live_mode::Locked l;
  auto it = globals().taps.find(service);
  if (it == globals().taps.end()) return {};
  std::vector<int16_t> out(it->second.samples.begin(), it->second.samples.end());
  it->second.samples.clear();
  return out;
}

uint64_t speaker_dropped(uint64_t service) {
  live_mode::Locked l;
  auto it = globals().taps.find(service);
  return it == globals().taps.end() ? 0 : it->second.dropped;
}

void set_impairment(std::string_view channel, std::string_view from, std::string_view to,
                    const Impairment& impairment) {
  live_mode::Locked l;
  live_mode::live_engine().channels.set_impairment(channel, from, to, impairment);
}

PathStats path_stats(std::string_view channel, std::string_view from, std::string_view to) {
  live_mode::Locked l;
  const live_mode::Path* path = live_mode::live_engine().channels.find_path(channel, from, to);
  if (path == nullptr) return {};
  PathStats stats = path->stats();
  stats.exists = true;
  return stats;
}

void link_loss(uint64_t connection, uint32_t duration_ms, uint32_t lost_after_ms) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::Member& m = live_mode::live_member(e, connection);
  if (!m.linked) throw std::invalid_argument("loopback: the link is already down");
  const uint64_t now = clock().now_ms();
  const uint64_t first = live_mode::grid_after(now);
  e.channels.unlink(connection);
  live_mode::notice_to(e, l.w, connection, first, live_mode::state_notice(Notice::reconnecting, 2, &m, nullptr));
  if (lost_after_ms < duration_ms) {
    live_mode::notice_to(e, l.w, connection, std::max(first, now + lost_after_ms),
                    live_mode::state_notice(Notice::connection_lost, 0, &m, nullptr));
  }
  live_mode::announce(e, l.w, m, Notice::user_left, 1, first);
  live_mode::Event ev;
  ev.action = live_mode::Event::Action::relinked;
  ev.notification = live_mode::state_notice(Notice::reconnected, 1, &m, nullptr);
  live_mode::schedule(e, l.w, connection, std::max(first, now + duration_ms), std::move(ev));
}

void token_will_expire(uint64_t connection) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::live_member(e, connection);
  const detail::Record* r = l.w.find(connection, Kind::connection);
  Notification n;
  n.notice = Notice::token_privilege_will_expire;
  n.text = r->token;
  live_mode::notice_to(e, l.w, connection, live_mode::grid_after(clock().now_ms()), std::move(n));
}

void token_expired(uint64_t connection) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::live_member(e, connection);
  Notification n;
  n.notice = Notice::token_privilege_did_expire;
  live_mode::notice_to(e, l.w, connection, live_mode::grid_after(clock().now_ms()), std::move(n));
}

void script_renewals(uint64_t connection, std::vector<RenewalResult> results) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  if (l.w.find(connection, Kind::connection) == nullptr) {
    throw std::invalid_argument("loopback: no such connection: " + std::to_string(connection));
  }
  e.renewals[connection] = std::deque<RenewalResult>(results.begin(), results.end());
}

void fail_joins(std::string_view channel, uint32_t count, int reason) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  if (count == 0) {
    e.join_failures.erase(std::string(channel));
  } else {
    e.join_failures[std::string(channel)] = {count, reason};
  }
}

uint64_t add_bot(const BotOptions& options) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  if (options.channel.empty() || options.user_id.empty()) {
    throw std::invalid_argument("loopback: a bot needs a channel and a user id");
  }
  const uint64_t id = l.w.next_id++;
  auto bot = std::make_unique<live_mode::Bot>(id, options);
  live_mode::bot_enters(e, l.w, *bot);
  e.bots.emplace(id, std::move(bot));
  return id;
}

void bot_leave(uint64_t bot, int reason) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::bot_exits(e, l.w, live_mode::live_bot(e, bot), reason);
}

void bot_join(uint64_t bot) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::Bot& b = live_mode::live_bot(e, bot);
  if (!b.joined()) live_mode::bot_enters(e, l.w, b);
}

void remove_bot(uint64_t bot) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::bot_exits(e, l.w, live_mode::live_bot(e, bot), 0);
  e.bots.erase(bot);
}

void set_bot_source(uint64_t bot, Source source) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  live_mode::live_bot(e, bot).set_source(std::move(source));
}

std::vector<int16_t> bot_recording(uint64_t bot) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  return live_mode::live_bot(e, bot).recording();
}

BotStats bot_stats(uint64_t bot) {
  live_mode::Locked l;
  live_mode::Engine& e = live_mode::live_engine();
  return live_mode::live_bot(e, bot).stats();
}

}  // namespace loopback
