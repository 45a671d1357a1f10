// The journal: every call in order, its object and its arguments by name.
#include <cstring>

#include "loopback_ops.h"

namespace loopback_test {
namespace {

using loopback::Entry;
using loopback::Kind;

class LoopbackJournal : public LoopbackTest {};

// One expected argument: an integer, a text, or (name alone) a null text.
struct Expect {
  Expect(const char* n) : name(n) {}
  Expect(const char* n, int64_t v) : name(n), num(v) {}
  Expect(const char* n, std::string t) : name(n), text(std::move(t)) {}
  const char* name;
  std::optional<int64_t> num;
  std::optional<std::string> text;
};

void expect_args(const Entry& entry, std::initializer_list<Expect> expected) {
  SCOPED_TRACE(entry.op);
  EXPECT_EQ(entry.args.size(), expected.size());
  for (const auto& x : expected) {
    SCOPED_TRACE(x.name);
    ASSERT_TRUE(entry.has(x.name));
    if (x.num) {
      EXPECT_EQ(entry.num(x.name), *x.num);
    } else if (x.text) {
      EXPECT_EQ(entry.text(x.name), *x.text);
    } else {
      EXPECT_TRUE(entry.is_null(x.name));
    }
  }
}

TEST_F(LoopbackJournal, EveryOperationIsJournaledOnceUnderItsNameAndSucceedsByDefault) {
  for (const auto& c : op_calls()) {
    SCOPED_TRACE(c.op);
    Env& e = make_env();
    EXPECT_EQ(c.invoke(e), c.normal);
    const auto entries = loopback::journal(c.op);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fault, "");
    if (c.shape != Shape::object && c.shape != Shape::record) {
      EXPECT_EQ(entries[0].result, c.normal);
    }
    if (c.shape != Shape::release && std::string(c.op) != "create_agora_service") {
      EXPECT_EQ(loopback::journal().size(), 1u);
    }
    env.reset();
  }
}

TEST_F(LoopbackJournal, ConfigurationsAreRecordedFieldByField) {
  Env& e = make_env();
  static char context;
  agora::base::AgoraServiceConfiguration service;
  service.enableAudioProcessor = false;
  service.enableAudioDevice = true;
  service.enableVideo = true;
  service.context = &context;
  service.appId = "0123456789abcdef0123456789abcdef";
  service.areaCode = 5;
  service.channelProfile = 0;
  service.audioScenario = 8;
  service.logConfig.filePath = nullptr;
  service.logConfig.fileSizeInKB = 2048;
  service.logConfig.level = 0;
  service.useStringUid = true;
  ASSERT_EQ(e.service->initialize(service), 0);

  agora::rtc::RtcConnectionConfiguration connection;
  connection.autoSubscribeAudio = false;
  connection.autoSubscribeVideo = false;
  connection.enableAudioRecordingOrPlayout = false;
  connection.maxSendBitrate = 64000;
  connection.minPort = 4000;
  connection.maxPort = 5000;
  connection.clientRoleType = 1;
  connection.channelProfile = 0;
  connection.audioRecvMediaPacket = true;
  connection.audioRecvEncodedFrame = true;
  connection.videoRecvMediaPacket = true;
  auto created = e.service->createRtcConnection(connection);

  const auto j = loopback::journal();
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0].object, e.id(e.service));
  EXPECT_EQ(j[0].kind, Kind::service);
  expect_args(j[0], {{"enable_audio_processor", 0},
                     {"enable_audio_device", 1},
                     {"enable_video", 1},
                     {"context", static_cast<int64_t>(reinterpret_cast<uintptr_t>(&context))},
                     {"app_id", "0123456789abcdef0123456789abcdef"},
                     {"area_code", 5},
                     {"channel_profile", 0},
                     {"audio_scenario", 8},
                     {"log_file_path"},
                     {"log_file_size_kb", 2048},
                     {"log_level", 0},
                     {"use_string_uid", 1}});
  EXPECT_EQ(j[1].result, static_cast<int64_t>(e.id(created.get())));
  expect_args(j[1], {{"auto_subscribe_audio", 0},
                     {"auto_subscribe_video", 0},
                     {"enable_audio_recording_or_playout", 0},
                     {"max_send_bitrate", 64000},
                     {"min_port", 4000},
                     {"max_port", 5000},
                     {"client_role_type", 1},
                     {"channel_profile", 0},
                     {"audio_recv_media_packet", 1},
                     {"audio_recv_encoded_frame", 1},
                     {"video_recv_media_packet", 1}});
}

// A peer's join and leave as the library makes them, checked call by call.
TEST_F(LoopbackJournal, CallsAreRecordedInOrderWithTheirArguments) {
  Env& e = make_env();
  TestConnectionObserver observer;
  FullFrameObserver frames;
  agora_refptr<agora::rtc::IAudioSinkBase> sink(new TestSink);
  agora::rtc::ILocalUser* u = e.local_user;
  agora::rtc::TConnectSettings settings;
  settings.token = "token-1";
  settings.channelId = "room";
  settings.userId = "1001";

  u->setAudioScenario(8);
  e.connection->registerObserver(&observer);
  u->setPlaybackAudioFrameBeforeMixingParameters(1, 48000, 0, 0);
  u->registerAudioFrameObserver(&frames);
  u->setPlaybackSignalVolume(0);
  u->setPlaybackAudioFrameParameters(2, 48000, 2, 960);
  e.pcm_track->enableLocalPlayback(false, true, 0);
  e.pcm_track->setEnabled(true);
  u->publishAudio(e.pcm_track);
  e.connection->connect(settings);
  e.connection->renewToken("token-2");
  u->subscribeAudio("2002", 0);
  u->subscribeAudio(nullptr, 3);
  e.capture_track->addAudioSink(sink, {48000, 1});
  e.capture_track->removeAudioSink(sink);
  e.pcm_track->setEnabled(false);
  u->unpublishAudio(e.pcm_track);
  e.connection->disconnect();
  u->unregisterAudioFrameObserver(&frames);
  e.connection->unregisterObserver(&observer);

  const auto j = loopback::journal();
  ASSERT_EQ(j.size(), 20u);
  const auto ptr = [](const void* p) {
    return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p));
  };
  const int64_t track = static_cast<int64_t>(e.id(e.pcm_track.get()));
  expect_args(j[0], {{"scenario", 8}});
  expect_args(j[1], {{"observer", ptr(&observer)}, {"deleter", 0}});
  expect_args(j[2],
              {{"channels", 1}, {"sample_rate", 48000}, {"mode", 0}, {"samples_per_call", 0}});
  expect_args(j[3],
              {{"observer", ptr(static_cast<agora::media::IAudioFrameObserverBase*>(&frames))}});
  expect_args(j[4], {{"volume", 0}});
  expect_args(j[5],
              {{"channels", 2}, {"sample_rate", 48000}, {"mode", 2}, {"samples_per_call", 960}});
  expect_args(j[6], {{"enable", 0}, {"sync", 1}, {"reserved", 0}});
  expect_args(j[7], {{"enable", 1}});
  expect_args(j[8], {{"track", track}});
  expect_args(j[9], {{"token", "token-1"},
                     {"channel_id", "room"},
                     {"user_id", "1001"},
                     {"join_flags", 0},
                     {"info"}});
  expect_args(j[10], {{"token", "token-2"}});
  expect_args(j[11], {{"user_id", "2002"}, {"options", 0}});
  expect_args(j[12], {{"user_id"}, {"options", 3}});
  expect_args(j[13], {{"sink", ptr(sink.get())}, {"samples_per_sec", 48000}, {"channels", 1}});
  expect_args(j[14], {{"sink", ptr(sink.get())}});
  expect_args(j[15], {{"enable", 0}});
  expect_args(j[16], {{"track", track}});
  expect_args(j[17], {});
  expect_args(j[18],
              {{"observer", ptr(static_cast<agora::media::IAudioFrameObserverBase*>(&frames))}});
  expect_args(j[19], {{"observer", ptr(&observer)}});

  const uint64_t user = e.id(u);
  const uint64_t connection = e.id(e.connection.get());
  const std::pair<uint64_t, Kind> objects[] = {{user, Kind::local_user},
                                               {connection, Kind::connection},
                                               {user, Kind::local_user},
                                               {user, Kind::local_user},
                                               {user, Kind::local_user},
                                               {user, Kind::local_user},
                                               {e.id(e.pcm_track.get()), Kind::audio_track}};
  for (size_t i = 0; i < std::size(objects); ++i) {
    EXPECT_EQ(j[i].object, objects[i].first) << i;
    EXPECT_EQ(j[i].kind, objects[i].second) << i;
  }
  for (size_t i = 1; i < j.size(); ++i) EXPECT_EQ(j[i].sequence, j[i - 1].sequence + 1);

  const auto state = loopback::local_user_state(user);
  ASSERT_EQ(state->subscriptions.size(), 2u);
  EXPECT_EQ(state->subscriptions[0].user_id, "2002");
  EXPECT_EQ(state->subscriptions[1].user_id, std::nullopt);
  EXPECT_EQ(state->playback_frame.samples_per_call, 960);
  EXPECT_EQ(state->before_mixing.channels, 1u);
  EXPECT_EQ(loopback::connection_state(connection)->token, "token-2");
}

TEST_F(LoopbackJournal, SendsRecordTheirFormatAndContent) {
  Env& e = make_env();
  int16_t pcm[480 * 2] = {};
  pcm[0] = 5;
  pcm[1] = -6;
  pcm[3] = 7;
  pcm[900] = 1;
  ASSERT_EQ(e.pcm_sender->sendAudioPcmData(pcm, 30, 31, 480, 2, 2, 48000, 0), 0);
  ASSERT_EQ(e.pcm_sender->sendAudioPcmData(nullptr, 1, 2, 480, 2, 1, 16000, 9), 0);
  const uint8_t packet[5] = {9, 8, 7, 6, 5};
  agora::rtc::EncodedAudioFrameInfo info;
  info.codec = agora::rtc::AUDIO_CODEC_OPUS;
  info.sampleRateHz = 48000;
  info.samplesPerChannel = 480;
  info.numberOfChannels = 1;
  info.advancedSettings.speech = false;
  info.advancedSettings.sendEvenIfEmpty = false;
  info.captureTimeMs = 123456789012;
  ASSERT_TRUE(e.encoded_sender->sendEncodedAudioFrame(packet, sizeof packet, info));

  const auto j = loopback::journal();
  ASSERT_EQ(j.size(), 3u);
  expect_args(j[0], {{"data_null", 0},
                     {"capture_timestamp", 30},
                     {"presentation_ms", 31},
                     {"samples_per_channel", 480},
                     {"bytes_per_sample", 2},
                     {"channels", 2},
                     {"sample_rate", 48000},
                     {"reserved", 0},
                     {"checksum", loopback::checksum(pcm, sizeof pcm)},
                     {"sample_0", 5},
                     {"sample_1", -6},
                     {"sample_2", 0},
                     {"sample_3", 7},
                     {"nonzero_samples", 4}});
  expect_args(j[1], {{"data_null", 1},
                     {"capture_timestamp", 1},
                     {"presentation_ms", 2},
                     {"samples_per_channel", 480},
                     {"bytes_per_sample", 2},
                     {"channels", 1},
                     {"sample_rate", 16000},
                     {"reserved", 9}});
  expect_args(j[2], {{"payload_null", 0},
                     {"payload_size", 5},
                     {"codec", 1},
                     {"sample_rate", 48000},
                     {"samples_per_channel", 480},
                     {"channels", 1},
                     {"capture_time_ms", 123456789012},
                     {"speech", 0},
                     {"send_even_if_empty", 0},
                     {"checksum", loopback::checksum(packet, sizeof packet)},
                     {"payload", std::string("0908070605")}});
  // Beyond 4096 bytes a packet is summed but not copied into the journal.
  const std::vector<uint8_t> large(4097, 0xab);
  ASSERT_TRUE(e.encoded_sender->sendEncodedAudioFrame(large.data(), large.size(), info));
  const Entry last = loopback::journal().back();
  EXPECT_EQ(last.num("checksum"), loopback::checksum(large.data(), large.size()));
  EXPECT_FALSE(last.has("payload"));
  // The checksum is FNV-1a 64: a known value pins it down.
  EXPECT_EQ(loopback::checksum("a", 1), static_cast<int64_t>(0xaf63dc4c8601ec8cull));
}

TEST_F(LoopbackJournal, DevicesReportTheirListsAndRecordSelections) {
  Env& e = make_env();
  const std::string long_name(256, 'n');
  const std::string long_id(130, '9');
  loopback::set_devices(loopback::DeviceKind::playout,
                        {{"Speakers", "42", true, true}, {long_name, long_id, false, true}});
  loopback::set_devices(loopback::DeviceKind::recording, {{"Mic", "0007", false, false}});

  EXPECT_EQ(e.devices->getNumberOfPlayoutDevices(), 2);
  EXPECT_EQ(e.devices->getNumberOfRecordingDevices(), 1);
  const agora::rtc::AudioDeviceInfo speakers = e.devices->getPlayoutDeviceInfo(0);
  EXPECT_STREQ(speakers.deviceName, "Speakers");
  EXPECT_STREQ(speakers.deviceId, "42");
  EXPECT_TRUE(speakers.isCurrentSelected);
  EXPECT_TRUE(speakers.isPlayoutDevice);
  const agora::rtc::AudioDeviceInfo full = e.devices->getPlayoutDeviceInfo(1);
  EXPECT_EQ(std::string(full.deviceName, sizeof full.deviceName), long_name);
  EXPECT_EQ(std::string(full.deviceId, sizeof full.deviceId), long_id.substr(0, 128));
  const agora::rtc::AudioDeviceInfo mic = e.devices->getRecordingDeviceInfo(0);
  EXPECT_STREQ(mic.deviceId, "0007");
  EXPECT_FALSE(mic.isPlayoutDevice);
  const agora::rtc::AudioDeviceInfo beyond = e.devices->getRecordingDeviceInfo(1);
  const agora::rtc::AudioDeviceInfo zero{};
  EXPECT_EQ(std::memcmp(&beyond, &zero, sizeof zero), 0);

  EXPECT_EQ(e.devices->setPlayoutDevice(1, 4), 0);
  EXPECT_EQ(e.devices->setRecordingDevice(1, 0), -2);
  EXPECT_EQ(e.devices->setRecordingDevice(-1, 0), -2);
  EXPECT_EQ(loopback::selected_device(loopback::DeviceKind::playout)->index, 1);
  EXPECT_EQ(loopback::selected_device(loopback::DeviceKind::playout)->flags, 4);
  EXPECT_EQ(loopback::selected_device(loopback::DeviceKind::recording), std::nullopt);
  EXPECT_FALSE(e.devices->getPlayoutDeviceInfo(0).isCurrentSelected);
  EXPECT_TRUE(e.devices->getPlayoutDeviceInfo(1).isCurrentSelected);

  EXPECT_EQ(loopback::journal_ops(),
            (std::vector<std::string>{
                "devices.count_playout", "devices.count_recording", "devices.info_playout",
                "devices.info_playout", "devices.info_recording", "devices.info_recording",
                "devices.select_playout", "devices.select_recording", "devices.select_recording",
                "devices.info_playout", "devices.info_playout"}));
  const auto selects = loopback::journal("devices.select_recording");
  expect_args(selects[1], {{"index", -1}, {"flags", 0}});
  EXPECT_EQ(selects[1].result, -2);
  EXPECT_EQ(loopback::journal("devices.info_recording")[1].num("index"), 1);

  loopback::reset();
  EXPECT_EQ(e.devices->getNumberOfPlayoutDevices(), 0);
  EXPECT_EQ(loopback::selected_device(loopback::DeviceKind::playout), std::nullopt);
}

TEST_F(LoopbackJournal, JournalingCanBeSwitchedOffAndResetRestoresIt) {
  Env& e = make_env();
  loopback::set_journaling(false);
  e.connection->connect({});
  EXPECT_TRUE(loopback::journal().empty());
  loopback::reset();
  e.connection->disconnect();
  EXPECT_EQ(loopback::journal_ops(), std::vector<std::string>{"connection.disconnect"});

  const Entry entry = loopback::journal()[0];
  EXPECT_THROW(entry.arg("missing"), std::out_of_range);
  loopback::clear_journal();
  e.connection->renewToken(nullptr);
  const Entry renew = loopback::journal()[0];
  EXPECT_EQ(renew.text("token"), "(null)");
  EXPECT_THROW(renew.num("token"), std::invalid_argument);
}

}  // namespace
}  // namespace loopback_test
