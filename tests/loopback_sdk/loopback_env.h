// Test doubles for the library's side of the SDK boundary (observers, sinks)
// and an environment holding one of every SDK object the stand-in makes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "loopback_control.h"

namespace loopback_test {

using agora::agora_refptr;

// A reference-counted sink like the library's, counting its own destruction.
class TestSink final : public agora::rtc::IAudioSinkBase {
 public:
  explicit TestSink(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}

  void AddRef() const override { refs_.fetch_add(1, std::memory_order_relaxed); }
  int Release() const override {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
      return 0;
    }
    return 1;
  }
  bool HasOneRef() const override { return refs_.load(std::memory_order_acquire) == 1; }

  bool onAudioFrame(const agora::media::base::AudioPcmFrame& frame) override {
    // Frames carry a sequence number in their first sample; a sink must see
    // them in the order one pusher sent them.
    if (frame.data_[0] <= last_first.load(std::memory_order_relaxed)) {
      out_of_order.fetch_add(1, std::memory_order_relaxed);
    }
    last_first.store(frame.data_[0], std::memory_order_relaxed);
    last_rate.store(frame.sample_rate_hz_, std::memory_order_relaxed);
    last_channels.store(frame.num_channels_, std::memory_order_relaxed);
    last_samples.store(frame.samples_per_channel_, std::memory_order_relaxed);
    frames.fetch_add(1, std::memory_order_relaxed);
    return answer.load(std::memory_order_relaxed);
  }

  std::atomic<bool> answer{true};
  std::atomic<int> frames{0};
  std::atomic<int> out_of_order{0};
  std::atomic<int16_t> last_first{-32768};
  std::atomic<int> last_rate{0};
  std::atomic<size_t> last_channels{0};
  std::atomic<size_t> last_samples{0};

 private:
  ~TestSink() override {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }
  mutable std::atomic<int> refs_{0};
  std::atomic<int>* destroyed_;
};

// Records every notification as one line of text.
class TestConnectionObserver : public agora::rtc::IRtcConnectionObserver {
 public:
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  void onConnected(const agora::rtc::TConnectionInfo& i,
                   agora::rtc::CONNECTION_CHANGED_REASON_TYPE r) override {
    add("connected", i, r);
  }
  void onDisconnected(const agora::rtc::TConnectionInfo& i,
                      agora::rtc::CONNECTION_CHANGED_REASON_TYPE r) override {
    add("disconnected", i, r);
  }
  void onConnecting(const agora::rtc::TConnectionInfo& i,
                    agora::rtc::CONNECTION_CHANGED_REASON_TYPE r) override {
    add("connecting", i, r);
  }
  void onReconnecting(const agora::rtc::TConnectionInfo& i,
                      agora::rtc::CONNECTION_CHANGED_REASON_TYPE r) override {
    add("reconnecting", i, r);
  }
  void onReconnected(const agora::rtc::TConnectionInfo& i,
                     agora::rtc::CONNECTION_CHANGED_REASON_TYPE r) override {
    add("reconnected", i, r);
  }
  void onConnectionLost(const agora::rtc::TConnectionInfo& i) override { add("lost", i, -1); }
  void onLastmileQuality(const agora::rtc::QUALITY_TYPE q) override {
    line("lastmile_quality " + std::to_string(q));
  }
  void onLastmileProbeResult(const agora::rtc::LastmileProbeResult& r) override {
    line("probe " + std::to_string(r.state) + " " + std::to_string(r.rtt));
  }
  void onTokenPrivilegeWillExpire(const char* t) override { line("will_expire " + text(t)); }
  void onTokenPrivilegeDidExpire() override { line("did_expire"); }
  void onRenewTokenResult(const char* t, int code) override {
    line("renew " + text(t) + " " + std::to_string(code));
  }
  void onConnectionFailure(const agora::rtc::TConnectionInfo& i,
                           agora::rtc::CONNECTION_CHANGED_REASON_TYPE r) override {
    add("failure", i, r);
  }
  void onUserJoined(agora::rtc::user_id_t u) override { line("joined " + text(u)); }
  void onUserLeft(agora::rtc::user_id_t u, agora::rtc::USER_OFFLINE_REASON_TYPE r) override {
    line("left " + text(u) + " " + std::to_string(r));
  }
  void onTransportStats(const agora::rtc::RtcStats& s) override {
    line("stats " + std::to_string(s.duration) + " " + std::to_string(s.txBytes) + " " +
         std::to_string(s.rxBytes));
  }
  void onChangeRoleSuccess(int o, int n) override {
    line("role_ok " + std::to_string(o) + " " + std::to_string(n));
  }
  void onChangeRoleFailure(int r, int c) override {
    line("role_failed " + std::to_string(r) + " " + std::to_string(c));
  }
  void onUserNetworkQuality(agora::rtc::user_id_t u, int tx, int rx) override {
    line("quality " + text(u) + " " + std::to_string(tx) + " " + std::to_string(rx));
  }
  void onNetworkTypeChanged(int t) override { line("network " + std::to_string(t)); }
  void onApiCallExecuted(int e, const char* a, const char* r) override {
    line("api " + std::to_string(e) + " " + text(a) + " " + text(r));
  }
  void onContentInspectResult(int r) override { line("inspect " + std::to_string(r)); }
  void onSnapshotTaken(const char* c, agora::rtc::uid_t u, const char* p, int w, int h,
                       int e) override {
    line("snapshot " + text(c) + " " + std::to_string(u) + " " + text(p) + " " + std::to_string(w) +
         " " + std::to_string(h) + " " + std::to_string(e));
  }
  void onError(int e, const char* m) override {
    line("error " + std::to_string(e) + " " + text(m));
  }
  void onChannelMediaRelayStateChanged(int s, int c) override {
    line("relay " + std::to_string(s) + " " + std::to_string(c));
  }

 private:
  static std::string text(const char* t) {
    return t == nullptr ? "(null)" : "'" + std::string(t) + "'";
  }
  static std::string text(const agora::util::AString& s) {
    if (!s) return "(absent)";
    // Every accessor must agree on the text.
    EXPECT_EQ(s->length(), std::strlen(s->c_str()));
    EXPECT_EQ(s->empty(), s->length() == 0);
    EXPECT_EQ(std::string(s->data(), s->length()), s->c_str());
    return "'" + std::string(s->c_str()) + "'";
  }
  void add(const char* what, const agora::rtc::TConnectionInfo& i, int reason) {
    line(std::string(what) + " id=" + std::to_string(i.id) + " channel=" + text(i.channelId) +
         " state=" + std::to_string(i.state) + " local=" + text(i.localUserId) +
         " internal=" + std::to_string(i.internalUid) + " reason=" + std::to_string(reason));
  }
  void line(std::string s) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(s));
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// What one frame observer saw on its last call. Fixed-size, so recording
// allocates nothing inside the callback.
struct SeenFrame {
  int position = -1;  // loopback::Position, or -1 before any call
  bool channel_null = false;
  char channel[32] = {};
  bool user_null = false;
  char user[32] = {};
  unsigned uid = 0;
  agora::media::IAudioFrameObserverBase::AudioFrame frame;
};

// Shared by the two observer variants: records the call and, for playback,
// writes fill + index into every 16-bit sample of the buffer.
class FrameRecorder {
 public:
  std::atomic<int> calls{0};
  std::atomic<bool> answer{true};
  int16_t fill = 100;
  SeenFrame seen;

 protected:
  bool record(loopback::Position p, const char* channel, const char* user, unsigned uid,
              agora::media::IAudioFrameObserverBase::AudioFrame& f) {
    seen.position = static_cast<int>(p);
    copy(seen.channel, seen.channel_null, channel);
    copy(seen.user, seen.user_null, user);
    seen.uid = uid;
    seen.frame = f;
    if (p == loopback::Position::playback && f.buffer != nullptr && f.bytesPerSample == 2) {
      auto* samples = static_cast<int16_t*>(f.buffer);
      for (int i = 0; i < f.samplesPerChannel * f.channels; ++i) {
        samples[i] = static_cast<int16_t>(fill + i);
      }
    }
    calls.fetch_add(1);
    return answer.load();
  }

 private:
  template <size_t N>
  static void copy(char (&out)[N], bool& is_null, const char* in) {
    is_null = in == nullptr;
    std::snprintf(out, N, "%s", in == nullptr ? "" : in);
  }
};

// A frame observer over either observer interface; every callback records.
template <class Interface>
class RecordingFrameObserver : public Interface, public FrameRecorder {
 public:
  using AudioFrame = agora::media::IAudioFrameObserverBase::AudioFrame;
  using AudioParams = agora::media::IAudioFrameObserverBase::AudioParams;
  using P = loopback::Position;
  using Interface::onPlaybackAudioFrameBeforeMixing;

  bool onRecordAudioFrame(const char* c, AudioFrame& f) override {
    return record(P::record, c, nullptr, 0, f);
  }
  bool onPlaybackAudioFrame(const char* c, AudioFrame& f) override {
    return record(P::playback, c, nullptr, 0, f);
  }
  bool onMixedAudioFrame(const char* c, AudioFrame& f) override {
    return record(P::mixed, c, nullptr, 0, f);
  }
  bool onEarMonitoringAudioFrame(AudioFrame& f) override {
    return record(P::ear_monitoring, nullptr, nullptr, 0, f);
  }
  bool onPlaybackAudioFrameBeforeMixing(const char* c, agora::rtc::user_id_t u,
                                        AudioFrame& f) override {
    return record(P::before_mixing_text, c, u, 0, f);
  }
  int getObservedAudioFramePosition() override { return 1 | 8; }
  AudioParams getPlaybackAudioParams() override { return {}; }
  AudioParams getRecordAudioParams() override { return {}; }
  AudioParams getMixedAudioParams() override { return {}; }
  AudioParams getEarMonitoringAudioParams() override { return {}; }
};

// The base-only variant: it has no numeric before-mixing callback.
using BaseFrameObserver = RecordingFrameObserver<agora::media::IAudioFrameObserverBase>;

// The variant with the numeric before-mixing callback.
class FullFrameObserver final : public RecordingFrameObserver<agora::media::IAudioFrameObserver> {
 public:
  using RecordingFrameObserver::onPlaybackAudioFrameBeforeMixing;
  bool onPlaybackAudioFrameBeforeMixing(const char* c, agora::rtc::uid_t u,
                                        AudioFrame& f) override {
    return record(P::before_mixing_uid, c, nullptr, u, f);
  }
};

// One of every object the stand-in makes, as a library runtime would hold them.
struct Env {
  agora::base::IAgoraService* service = createAgoraService();
  agora_refptr<agora::rtc::INGAudioDeviceManager> devices = service->createAudioDeviceManager();
  agora_refptr<agora::rtc::IMediaNodeFactory> factory = service->createMediaNodeFactory();
  agora_refptr<agora::rtc::ILocalAudioTrack> capture_track = service->createLocalAudioTrack();
  agora_refptr<agora::rtc::IAudioPcmDataSender> pcm_sender = factory->createAudioPcmDataSender();
  agora_refptr<agora::rtc::ILocalAudioTrack> pcm_track =
      service->createCustomAudioTrack(pcm_sender);
  agora_refptr<agora::rtc::IAudioEncodedFrameSender> encoded_sender =
      factory->createAudioEncodedFrameSender();
  agora_refptr<agora::rtc::ILocalAudioTrack> encoded_track =
      service->createCustomAudioTrack(encoded_sender, 1);
  agora_refptr<agora::rtc::IRtcConnection> connection =
      service->createRtcConnection(agora::rtc::RtcConnectionConfiguration{});
  agora::rtc::ILocalUser* local_user = connection->getLocalUser();

  uint64_t id(const void* object) const { return loopback::id_of(object); }

  ~Env() {
    devices.reset();
    factory.reset();
    capture_track.reset();
    pcm_track.reset();
    pcm_sender.reset();
    encoded_track.reset();
    encoded_sender.reset();
    connection.reset();
    service->release();
  }
};

// Every test starts from the default world and must leave no SDK object
// behind once its environment is gone.
class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loopback::reset();
    ASSERT_EQ(loopback::live_total(), 0u) << "an earlier test leaked SDK objects";
  }
  void TearDown() override {
    env.reset();
    EXPECT_EQ(loopback::live_total(), 0u);
    loopback::reset();
  }
  Env& make_env() {
    env.emplace();
    loopback::clear_journal();
    return *env;
  }

  std::optional<Env> env;
};

}  // namespace loopback_test
