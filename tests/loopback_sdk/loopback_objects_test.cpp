// Object lifetimes: reference counting, live counts, ownership between
// objects, and the state shared with an instance loaded by dlopen.
#include <dlfcn.h>

#include "loopback_env.h"

namespace loopback_test {
namespace {

using loopback::Kind;
using loopback::TrackSource;

class LoopbackObjects : public LoopbackTest {};

TEST_F(LoopbackObjects, CountStartsAtZeroAndTheLastReleaseDestroys) {
  Env& e = make_env();
  agora_refptr<agora::rtc::IAudioPcmDataSender> sender = e.factory->createAudioPcmDataSender();
  ASSERT_TRUE(sender);
  // Adoption by the handle took the first and only reference.
  EXPECT_TRUE(sender->HasOneRef());
  EXPECT_EQ(loopback::live(Kind::pcm_sender), 2u);

  agora::rtc::IAudioPcmDataSender* raw = sender.get();
  raw->AddRef();
  EXPECT_FALSE(raw->HasOneRef());
  sender.reset();
  EXPECT_TRUE(raw->HasOneRef());
  EXPECT_EQ(loopback::live(Kind::pcm_sender), 2u);
  raw->AddRef();
  EXPECT_EQ(raw->Release(), 1);
  EXPECT_EQ(raw->Release(), 0);
  EXPECT_EQ(loopback::live(Kind::pcm_sender), 1u);
  EXPECT_EQ(loopback::id_of(raw), 0u);
}

TEST_F(LoopbackObjects, LiveObjectsListTheirKindsInCreationOrder) {
  Env& e = make_env();
  const uint64_t user = e.id(e.local_user);
  const uint64_t connection = e.id(e.connection.get());
  const struct {
    const void* object;
    Kind kind;
    TrackSource source;
    uint64_t related;
    int mix_mode;
  } expected[] = {
      {e.service, Kind::service, TrackSource::none, 0, 0},
      {e.devices.get(), Kind::device_manager, TrackSource::none, 0, 0},
      {e.factory.get(), Kind::media_node_factory, TrackSource::none, 0, 0},
      {e.capture_track.get(), Kind::audio_track, TrackSource::none, 0, 0},
      {e.pcm_sender.get(), Kind::pcm_sender, TrackSource::none, 0, 0},
      {e.pcm_track.get(), Kind::audio_track, TrackSource::pcm, e.id(e.pcm_sender.get()), 0},
      {e.encoded_sender.get(), Kind::encoded_sender, TrackSource::none, 0, 0},
      {e.encoded_track.get(), Kind::audio_track, TrackSource::encoded,
       e.id(e.encoded_sender.get()), 1},
      {e.connection.get(), Kind::connection, TrackSource::none, user, 0},
      {e.local_user, Kind::local_user, TrackSource::none, connection, 0},
  };
  const auto all = loopback::objects();
  ASSERT_EQ(all.size(), std::size(expected));
  for (size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(all[i].id, e.id(expected[i].object));
    EXPECT_EQ(all[i].kind, expected[i].kind);
    EXPECT_EQ(all[i].source, expected[i].source);
    EXPECT_EQ(all[i].related, expected[i].related);
    EXPECT_EQ(all[i].mix_mode, expected[i].mix_mode);
    if (i > 0) {
      EXPECT_GT(all[i].id, all[i - 1].id);
    }
  }
  EXPECT_EQ(loopback::live(Kind::audio_track), 3u);
  EXPECT_EQ(loopback::live_total(), std::size(expected));
  EXPECT_EQ(loopback::first_track(TrackSource::none), e.id(e.capture_track.get()));
  EXPECT_EQ(loopback::first_track(TrackSource::pcm), e.id(e.pcm_track.get()));
  EXPECT_EQ(loopback::first(Kind::connection), connection);
  EXPECT_EQ(loopback::connection_state(connection)->local_user, user);
  EXPECT_STREQ(loopback::kind_name(Kind::local_user), "local_user");
}

TEST_F(LoopbackObjects, ALocalUserIsOneObjectOwnedByItsConnection) {
  Env& e = make_env();
  EXPECT_EQ(e.connection->getLocalUser(), e.local_user);
  EXPECT_EQ(e.connection->getLocalUser(), e.local_user);
  e.connection.reset();
  EXPECT_EQ(loopback::live(Kind::connection), 0u);
  EXPECT_EQ(loopback::live(Kind::local_user), 0u);
}

TEST_F(LoopbackObjects, ObjectsKeepWhatTheyWereGivenUntilTheyGo) {
  Env& e = make_env();
  std::atomic<int> destroyed{0};
  ASSERT_TRUE(e.capture_track->addAudioSink(new TestSink(&destroyed), {48000, 1}));
  ASSERT_EQ(e.local_user->publishAudio(e.pcm_track), 0);

  // The sink lives in its track, the published track in the local user, and
  // the sender in the track that it feeds.
  const uint64_t pcm_track = e.id(e.pcm_track.get());
  e.pcm_track.reset();
  e.pcm_sender.reset();
  EXPECT_NE(loopback::track_state(pcm_track), std::nullopt);
  EXPECT_EQ(loopback::live(Kind::pcm_sender), 1u);
  e.connection.reset();
  EXPECT_EQ(loopback::track_state(pcm_track), std::nullopt);
  EXPECT_EQ(loopback::live(Kind::pcm_sender), 0u);

  EXPECT_EQ(destroyed.load(), 0);
  e.capture_track.reset();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(LoopbackObjects, ReleaseDestroysTheService) {
  agora::base::IAgoraService* service = createAgoraService();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(loopback::live(Kind::service), 1u);
  EXPECT_EQ(service->release(), 0);
  EXPECT_EQ(loopback::live(Kind::service), 0u);
  EXPECT_EQ(loopback::journal_ops(),
            (std::vector<std::string>{"create_agora_service", "service.release"}));
}

// The library dlopens the path a host hands it while the test links the same
// file: both must reach one instance, or no test could see what the library did.
TEST_F(LoopbackObjects, ALibraryLoadingThePathSharesTheLinkedState) {
  void* handle = dlopen(LOOPBACK_SDK_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto create = reinterpret_cast<CreateAgoraServiceFn>(dlsym(handle, "createAgoraService"));
  ASSERT_NE(create, nullptr);
  EXPECT_EQ(create, &createAgoraService);

  agora::base::IAgoraService* service = create();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(loopback::live(Kind::service), 1u);
  EXPECT_EQ(loopback::first(Kind::service), loopback::id_of(service));
  EXPECT_EQ(loopback::journal().back().object, loopback::id_of(service));
  service->release();
  EXPECT_EQ(loopback::live(Kind::service), 0u);
  dlclose(handle);
}

}  // namespace
}  // namespace loopback_test
