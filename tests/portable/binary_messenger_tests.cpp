// The host's messenger against the stand-in engine: routing, the reply path of incoming
// messages, and sending.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "embedding/binary_messenger_impl.h"
#include "standins/engine/engine_messaging.h"
#include "tests/portable/messaging_test_support.h"

namespace {

using flutter::BinaryMessengerImpl;
using flutter::BinaryReply;
using messaging_test::kDuplicateResponseLine;
using messaging_test::StderrLines;
using standin::EngineMessaging;
using standin::HostCallKind;
using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const uint8_t* data, size_t size) {
  return data == nullptr ? Bytes{} : Bytes(data, data + size);
}

std::vector<HostCallKind> Kinds(const EngineMessaging& engine) {
  std::vector<HostCallKind> kinds;
  for (const auto& call : engine.CallLog()) {
    kinds.push_back(call.kind);
  }
  return kinds;
}

size_t CountKind(const EngineMessaging& engine, HostCallKind kind) {
  size_t count = 0;
  for (const auto& call : engine.CallLog()) {
    count += call.kind == kind ? 1 : 0;
  }
  return count;
}

class BinaryMessengerTest : public testing::Test {
 protected:
  EngineMessaging engine_;
  BinaryMessengerImpl messenger_{engine_.messenger()};
};

TEST_F(BinaryMessengerTest, HandlerGetsTheMessageAndItsAnswerReachesTheEngine) {
  Bytes seen;
  messenger_.SetMessageHandler("vpn/native",
                               [&](const uint8_t* message, size_t size, BinaryReply reply) {
                                 seen = ToBytes(message, size);
                                 const uint8_t answer[] = {0, 1};
                                 reply(answer, sizeof answer);
                               });
  engine_.ClearCallLog();

  EXPECT_EQ(engine_.Exchange("vpn/native", Bytes{9, 8, 7}), (Bytes{0, 1}));
  EXPECT_EQ(seen, (Bytes{9, 8, 7}));
  // The reply keeps the messenger referenced while it exists, and the availability check and
  // the response happen under the messenger's lock.
  EXPECT_EQ(Kinds(engine_),
            (std::vector<HostCallKind>{HostCallKind::kAddRef, HostCallKind::kLock,
                                       HostCallKind::kIsAvailable, HostCallKind::kSendResponse,
                                       HostCallKind::kUnlock, HostCallKind::kRelease}));
  EXPECT_EQ(engine_.reference_count(), 1);
}

// Exactly one response reaches the engine for every incoming message, whatever the handler does.
TEST_F(BinaryMessengerTest, AnsweringTwiceSendsOneResponseAndReportsTheSecond) {
  messenger_.SetMessageHandler("c", [](const uint8_t*, size_t, BinaryReply reply) {
    const uint8_t first = 1, second = 2;
    reply(&first, 1);
    reply(&second, 1);
  });
  StderrLines lines;
  EXPECT_EQ(engine_.Exchange("c", Bytes{}), Bytes{1});
  EXPECT_EQ(lines.Take(), std::vector<std::string>{kDuplicateResponseLine});
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 1u);
  EXPECT_EQ(engine_.refused_responses(), 0u);
}

TEST_F(BinaryMessengerTest, CopiesOfOneReplyShareItsSingleResponse) {
  // Were each copy to carry its own response handle, the second call would send a second
  // response on a handle the engine has already freed.
  messenger_.SetMessageHandler("c", [](const uint8_t*, size_t, BinaryReply reply) {
    BinaryReply copy = reply;
    const uint8_t first = 1, second = 2;
    copy(&first, 1);
    reply(&second, 1);
  });
  StderrLines lines;
  EXPECT_EQ(engine_.Exchange("c", Bytes{}), Bytes{1});
  EXPECT_EQ(lines.Take(), std::vector<std::string>{kDuplicateResponseLine});
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 1u);
  EXPECT_EQ(engine_.refused_responses(), 0u);
}

TEST_F(BinaryMessengerTest, UnansweredOrThrowingHandlersGetAnEmptyResponse) {
  messenger_.SetMessageHandler("silent", [](const uint8_t*, size_t, BinaryReply) {});
  messenger_.SetMessageHandler("bad_alloc",
                               [](const uint8_t*, size_t, BinaryReply) { throw std::bad_alloc(); });
  messenger_.SetMessageHandler("throws_int", [](const uint8_t*, size_t, BinaryReply reply) {
    BinaryReply kept_on_stack = reply;
    throw 42;
  });
  messenger_.SetMessageHandler("answers_then_throws",
                               [](const uint8_t*, size_t, BinaryReply reply) {
                                 const uint8_t answer = 5;
                                 reply(&answer, 1);
                                 throw std::runtime_error("after answering");
                               });

  StderrLines lines;
  for (const char* channel : {"silent", "bad_alloc", "throws_int"}) {
    SCOPED_TRACE(channel);
    // Nothing unwinds out of the engine's callback, and the application is not left waiting.
    EXPECT_EQ(engine_.Exchange(channel, Bytes{1}), Bytes{});
  }
  EXPECT_EQ(engine_.Exchange("answers_then_throws", Bytes{1}), Bytes{5});
  EXPECT_EQ(lines.Take(), std::vector<std::string>{});
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 4u);
  EXPECT_EQ(engine_.refused_responses(), 0u);
  EXPECT_EQ(engine_.pending_deliveries(), 0u);
  EXPECT_EQ(engine_.reference_count(), 1);
}

TEST_F(BinaryMessengerTest, AKeptReplyHoldsTheMessengerAndAnswersLater) {
  std::optional<BinaryReply> kept;
  messenger_.SetMessageHandler(
      "c", [&](const uint8_t*, size_t, BinaryReply reply) { kept = std::move(reply); });

  const auto delivery = engine_.Deliver("c", Bytes{1});
  ASSERT_TRUE(delivery.has_value());
  EXPECT_FALSE(engine_.IsAnswered(*delivery));
  EXPECT_EQ(engine_.reference_count(), 2);

  // From another thread, as the lock allows.
  std::thread answerer([&] {
    const uint8_t answer[] = {3, 4};
    (*kept)(answer, 2);
  });
  answerer.join();
  EXPECT_EQ(engine_.TakeResponse(*delivery), (Bytes{3, 4}));
  kept.reset();
  EXPECT_EQ(engine_.reference_count(), 1);
}

TEST(BinaryMessengerEngineGone, AReplyAfterTheEngineHasGoneIsDroppedSilently) {
  std::optional<BinaryReply> kept;
  auto engine = std::make_unique<EngineMessaging>();
  BinaryMessengerImpl messenger(engine->messenger());
  messenger.SetMessageHandler(
      "c", [&](const uint8_t*, size_t, BinaryReply reply) { kept = std::move(reply); });
  ASSERT_TRUE(engine->Deliver("c", Bytes{1}).has_value());
  BinaryReply second_copy = *kept;

  StderrLines lines;
  engine->MakeUnavailable();
  const uint8_t answer = 1;
  (*kept)(&answer, 1);
  second_copy(&answer, 1);  // neither sends nor reports a duplicate
  EXPECT_EQ(CountKind(*engine, HostCallKind::kSendResponse), 0u);
  EXPECT_EQ(engine->dropped_responses(), 0u);

  // Gone altogether: the reply still holds a reference, so calling it is safe; dropping the
  // last copy releases the messenger (the leak checker sees it freed).
  engine.reset();
  (*kept)(&answer, 1);
  kept.reset();
  second_copy = nullptr;
  EXPECT_EQ(lines.Take(), std::vector<std::string>{});
}

TEST_F(BinaryMessengerTest, ReplacingAHandlerKeepsTheEntryTheEngineHolds) {
  int first_calls = 0, second_calls = 0;
  messenger_.SetMessageHandler("vpn/native", [&](const uint8_t*, size_t, BinaryReply reply) {
    ++first_calls;
    reply(nullptr, 0);
  });
  messenger_.SetMessageHandler("a", [](const uint8_t*, size_t, BinaryReply) {});
  void* entry = engine_.HandlerUserData("vpn/native");
  void* other_entry = engine_.HandlerUserData("a");
  ASSERT_NE(entry, nullptr);
  EXPECT_NE(entry, other_entry);

  messenger_.SetMessageHandler("vpn/native", [&](const uint8_t*, size_t, BinaryReply reply) {
    ++second_calls;
    reply(nullptr, 0);
  });
  // More channels, and one removed, move no existing entry.
  for (const char* channel : {"b", "c", "d", "e", "f", "g", "h"}) {
    messenger_.SetMessageHandler(channel, [](const uint8_t*, size_t, BinaryReply) {});
  }
  messenger_.SetMessageHandler("a", nullptr);

  EXPECT_EQ(engine_.HandlerUserData("vpn/native"), entry);
  ASSERT_TRUE(engine_.Exchange("vpn/native", Bytes{}).has_value());
  EXPECT_EQ(first_calls, 0);
  EXPECT_EQ(second_calls, 1);
  EXPECT_FALSE(engine_.HasHandler("a"));

  size_t registrations = 0;
  for (const auto& call : engine_.CallLog()) {
    if (call.kind == HostCallKind::kSetCallback && call.channel == "vpn/native") {
      ++registrations;
      EXPECT_TRUE(call.has_callback);
      EXPECT_EQ(call.user_data, entry);
    }
  }
  EXPECT_EQ(registrations, 2u);
}

// A handler whose channel is re-pointed, closed or torn down while it runs (the host window
// releases its channel from a nested message loop inside a call) finishes with its own captures
// intact and its answer delivered.
TEST(BinaryMessengerHandlerLifetime, AHandlerOutlivesItsEntryForTheLengthOfItsCall) {
  enum class Action { kReplace, kRemove, kDestroyMessenger };
  for (const Action action : {Action::kReplace, Action::kRemove, Action::kDestroyMessenger}) {
    SCOPED_TRACE(static_cast<int>(action));
    EngineMessaging engine;
    auto messenger = std::make_unique<BinaryMessengerImpl>(engine.messenger());
    int later_calls = 0;
    // Captured by value, on the heap: a use after the handler is freed is what the sanitizers see.
    const std::string answer(64, 'a');
    messenger->SetMessageHandler(
        "vpn/native", [&, answer](const uint8_t*, size_t, BinaryReply reply) {
          switch (action) {
            case Action::kReplace:
              messenger->SetMessageHandler("vpn/native",
                                           [&](const uint8_t*, size_t, BinaryReply later) {
                                             ++later_calls;
                                             later(nullptr, 0);
                                           });
              break;
            case Action::kRemove:
              messenger->SetMessageHandler("vpn/native", nullptr);
              break;
            case Action::kDestroyMessenger:
              messenger.reset();
              break;
          }
          reply(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
        });

    EXPECT_EQ(engine.Exchange("vpn/native", Bytes{1}), Bytes(answer.begin(), answer.end()));
    EXPECT_EQ(engine.HasHandler("vpn/native"), action != Action::kRemove);
    if (action == Action::kReplace) {
      EXPECT_EQ(engine.Exchange("vpn/native", Bytes{2}), Bytes{});
      EXPECT_EQ(later_calls, 1);
    }
    EXPECT_EQ(engine.reference_count(), 1);
  }
}

TEST_F(BinaryMessengerTest, RemovingAHandlerThatWasNeverSetStillUnregisters) {
  messenger_.SetMessageHandler("never", nullptr);
  const auto log = engine_.CallLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kind, HostCallKind::kSetCallback);
  EXPECT_EQ(log[0].channel, "never");
  EXPECT_FALSE(log[0].has_callback);
  EXPECT_EQ(log[0].user_data, nullptr);
}

TEST_F(BinaryMessengerTest, SendWithoutReplyNeverAsksForOne) {
  const uint8_t message[] = {1, 2};
  messenger_.Send("vpn/native", message, 2);
  const auto log = engine_.CallLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kind, HostCallKind::kSend);
  EXPECT_EQ(log[0].bytes, (Bytes{1, 2}));
  ASSERT_EQ(engine_.HostMessages().size(), 1u);
  EXPECT_FALSE(engine_.HostMessages()[0].expects_reply);
}

TEST_F(BinaryMessengerTest, SendWithReplyRunsTheReplyOnceAndSurvivesItThrowing) {
  int calls = 0;
  Bytes received{99};
  messenger_.Send("c", nullptr, 0, [&](const uint8_t* reply, size_t size) {
    ++calls;
    received = ToBytes(reply, size);
    throw std::runtime_error("the caller's own failure");
  });
  ASSERT_EQ(engine_.HostMessages().size(), 1u);
  EXPECT_TRUE(engine_.AnswerHostMessage(1, Bytes{}));  // must not unwind into the engine
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(received, Bytes{});
}

TEST_F(BinaryMessengerTest, AFailedSendFreesTheReplyWithoutRunningIt) {
  auto witness = std::make_shared<int>(0);
  std::weak_ptr<int> watch = witness;
  bool called = false;
  engine_.MakeUnavailable();
  messenger_.Send("c", nullptr, 0,
                  [&called, held = std::move(witness)](const uint8_t*, size_t) { called = true; });
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(called);
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendWithReply), 1u);
}

TEST(BinaryMessengerEngineGone, RepliesLeftWaitingAreCompletedWhenTheEngineEnds) {
  auto engine = std::make_unique<EngineMessaging>();
  BinaryMessengerImpl messenger(engine->messenger());
  int calls = 0;
  messenger.Send("c", nullptr, 0, [&](const uint8_t* reply, size_t size) {
    ++calls;
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(size, 0u);
  });
  engine.reset();
  EXPECT_EQ(calls, 1);
}

}  // namespace
