// Faults: every operation can answer a code, null or an exception, on the
// calls a test picks, and a faulted call changes nothing else.
#include <dlfcn.h>

#include <set>
#include <stdexcept>

#include "loopback_ops.h"

namespace loopback_test {
namespace {

using loopback::FaultKind;

class LoopbackFaults : public LoopbackTest {};

int64_t code_fault_answer(Shape shape, int code) {
  switch (shape) {
    case Shape::boolean:
    case Shape::record:
      return 0;
    default:
      return code;
  }
}

TEST_F(LoopbackFaults, TheCallTableNamesEveryOperation) {
  std::vector<std::string> names;
  for (const auto& c : op_calls()) names.emplace_back(c.op);
  EXPECT_EQ(names, loopback::operations());
}

TEST_F(LoopbackFaults, ACodeFaultAnswersInTheShapeOfItsOperation) {
  for (const auto& c : op_calls()) {
    if (c.shape == Shape::object) continue;
    SCOPED_TRACE(c.op);
    Env& e = make_env();
    loopback::fail_with(c.op, 9);
    EXPECT_EQ(c.invoke(e), code_fault_answer(c.shape, 9));
    const auto entries = loopback::journal(c.op);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fault, "code");
    // Used up: the next call gets the ordinary answer.
    EXPECT_EQ(c.invoke(e), c.normal);
    env.reset();
  }
}

TEST_F(LoopbackFaults, ANullFaultAnswersNullAndCreatesNothing) {
  for (const auto& c : op_calls()) {
    if (c.shape != Shape::object) continue;
    SCOPED_TRACE(c.op);
    Env& e = make_env();
    const size_t before = loopback::live_total();
    loopback::return_null(c.op);
    EXPECT_EQ(c.invoke(e), 0);
    EXPECT_EQ(loopback::live_total(), before);
    ASSERT_EQ(loopback::journal(c.op).size(), 1u);
    EXPECT_EQ(loopback::journal(c.op)[0].fault, "null");
    EXPECT_EQ(loopback::journal(c.op)[0].result, 0);
    EXPECT_EQ(c.invoke(e), 1);
    env.reset();
  }
}

TEST_F(LoopbackFaults, AnExceptionFaultThrowsFromEveryOperation) {
  for (const auto& c : op_calls()) {
    SCOPED_TRACE(c.op);
    Env& e = make_env();
    loopback::throw_from(c.op);
    EXPECT_THROW(c.invoke(e), std::runtime_error);
    ASSERT_EQ(loopback::journal(c.op).size(), 1u);
    EXPECT_EQ(loopback::journal(c.op)[0].fault, "throw");
    EXPECT_EQ(c.invoke(e), c.normal);
    env.reset();
    // A release that throws has still destroyed its service.
    EXPECT_EQ(loopback::live_total(), 0u);
  }
}

TEST_F(LoopbackFaults, AFaultHitsOnlyTheCallsItWasSetFor) {
  const struct {
    const char* name;
    uint64_t times, after;
    std::vector<int> answers;  // of six connects
  } cases[] = {
      {"once", 1, 0, {7, 0, 0, 0, 0, 0}},
      {"twice", 2, 0, {7, 7, 0, 0, 0, 0}},
      {"always", loopback::kAlways, 0, {7, 7, 7, 7, 7, 7}},
      {"the second only", 1, 1, {0, 7, 0, 0, 0, 0}},
      {"two after three", 2, 3, {0, 0, 0, 7, 7, 0}},
      {"always after four", loopback::kAlways, 4, {0, 0, 0, 0, 7, 7}},
  };
  Env& e = make_env();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    loopback::fail_with("connection.connect", 7, c.times, c.after);
    EXPECT_EQ(loopback::fault_remaining("connection.connect"), c.times);
    std::vector<int> answers;
    for (int i = 0; i < 6; ++i) answers.push_back(e.connection->connect({}));
    EXPECT_EQ(answers, c.answers);
    loopback::clear_faults();
    EXPECT_EQ(loopback::fault_remaining("connection.connect"), 0u);
  }
}

TEST_F(LoopbackFaults, AFaultedCallChangesNothing) {
  Env& e = make_env();
  const uint64_t track = e.id(e.capture_track.get());
  const uint64_t user = e.id(e.local_user);

  loopback::fail_with("track.set_enabled", 3);
  EXPECT_EQ(e.capture_track->setEnabled(false), 3);
  EXPECT_TRUE(loopback::track_state(track)->enabled);

  loopback::fail_with("track.add_audio_sink", 3);
  EXPECT_FALSE(e.capture_track->addAudioSink(new TestSink, {48000, 1}));
  EXPECT_TRUE(loopback::track_state(track)->sinks.empty());

  loopback::fail_with("local_user.register_audio_frame_observer", 3);
  FullFrameObserver observer;
  EXPECT_EQ(e.local_user->registerAudioFrameObserver(&observer), 3);
  EXPECT_TRUE(loopback::local_user_state(user)->observers.empty());
  EXPECT_TRUE(loopback::frame_observers_ever().empty());

  loopback::fail_with("connection.connect", 3);
  EXPECT_EQ(e.connection->connect({}), 3);
  EXPECT_FALSE(loopback::connection_state(e.id(e.connection.get()))->connected);
}

// The library reaches the entry symbol only through dlsym; faults set through
// the linked control interface must hold there too.
TEST_F(LoopbackFaults, EntryFaultsReachALibraryLoadingThePath) {
  void* handle = dlopen(LOOPBACK_SDK_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto create = reinterpret_cast<CreateAgoraServiceFn>(dlsym(handle, "createAgoraService"));
  ASSERT_NE(create, nullptr);

  loopback::return_null("create_agora_service");
  EXPECT_EQ(create(), nullptr);
  loopback::throw_from("create_agora_service");
  EXPECT_THROW(create(), std::runtime_error);
  EXPECT_EQ(loopback::live_total(), 0u);

  agora::base::IAgoraService* service = create();
  ASSERT_NE(service, nullptr);
  service->release();
  EXPECT_EQ(loopback::journal_ops(),
            (std::vector<std::string>{"create_agora_service", "create_agora_service",
                                      "create_agora_service", "service.release"}));
  dlclose(handle);
}

TEST_F(LoopbackFaults, FaultsThatCannotApplyAreRefused) {
  const struct {
    const char* op;
    loopback::Fault fault;
  } cases[] = {
      {"connection.connnect", {FaultKind::code, 1, 1, 0}},
      {"", {FaultKind::exception, 0, 1, 0}},
      {"service.create_connection", {FaultKind::code, 1, 1, 0}},
      {"connection.get_local_user", {FaultKind::code, 1, 1, 0}},
      {"track.set_enabled", {FaultKind::null, 0, 1, 0}},
      {"devices.info_playout", {FaultKind::null, 0, 1, 0}},
      {"connection.connect", {FaultKind::code, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    EXPECT_THROW(loopback::set_fault(c.op, c.fault), std::invalid_argument);
  }
  EXPECT_THROW(loopback::clear_fault("nope"), std::invalid_argument);
  for (const auto& name : loopback::operations()) EXPECT_EQ(loopback::fault_remaining(name), 0u);
}

}  // namespace
}  // namespace loopback_test
