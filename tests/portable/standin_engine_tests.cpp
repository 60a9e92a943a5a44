// The stand-in engine's messaging rules, driven through the engine's C interface the way any
// host would call it. The host's own tests rely on these rules holding.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "standins/engine/engine_messaging.h"
#include "standins/engine/messaging_control.h"

namespace {

using standin::EngineMessaging;
using standin::HostCallKind;
using Bytes = std::vector<uint8_t>;

// A raw engine callback that keeps the message's response handle for the test.
struct Captured {
  const FlutterDesktopMessageResponseHandle* handle = nullptr;
  std::string channel;
  Bytes message;
  size_t struct_size = 0;
  int calls = 0;
};

void Capture(FlutterDesktopMessengerRef, const FlutterDesktopMessage* message, void* user_data) {
  auto* captured = static_cast<Captured*>(user_data);
  captured->handle = message->response_handle;
  captured->channel = message->channel;
  captured->message.assign(message->message, message->message + message->message_size);
  captured->struct_size = message->struct_size;
  ++captured->calls;
}

struct ReplyRecord {
  int calls = 0;
  Bytes bytes;
  bool null_data = false;
};

void RecordReply(const uint8_t* data, size_t size, void* user_data) {
  auto* record = static_cast<ReplyRecord*>(user_data);
  ++record->calls;
  record->null_data = data == nullptr;
  if (data != nullptr) {
    record->bytes.assign(data, data + size);
  }
}

TEST(StandinEngine, DeliversTheMessageRecordAndTakesOneResponsePerHandle) {
  EngineMessaging engine;
  Captured captured;
  FlutterDesktopMessengerSetCallback(engine.messenger(), "vpn/native", Capture, &captured);

  const Bytes message{1, 2, 3};
  const auto delivery = engine.Deliver("vpn/native", message);
  ASSERT_TRUE(delivery.has_value());
  EXPECT_EQ(captured.struct_size, sizeof(FlutterDesktopMessage));
  EXPECT_EQ(captured.channel, "vpn/native");
  EXPECT_EQ(captured.message, message);
  ASSERT_NE(captured.handle, nullptr);
  EXPECT_FALSE(engine.IsAnswered(*delivery));

  const Bytes first{7}, second{8, 9};
  FlutterDesktopMessengerSendResponse(engine.messenger(), captured.handle, first.data(), 1);
  FlutterDesktopMessengerSendResponse(engine.messenger(), captured.handle, second.data(), 2);
  EXPECT_EQ(engine.refused_responses(), 1u);
  EXPECT_EQ(engine.TakeResponse(*delivery), first);
  EXPECT_EQ(engine.TakeResponse(*delivery), std::nullopt);  // taken once

  // A handle the engine never issued is refused too, and answers nothing.
  const auto other = engine.Deliver("vpn/native", message);
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(captured.handle, nullptr);
  FlutterDesktopMessengerSendResponse(engine.messenger(), nullptr, first.data(), 1);
  EXPECT_EQ(engine.refused_responses(), 2u);
  EXPECT_FALSE(engine.IsAnswered(*other));
  EXPECT_EQ(engine.pending_deliveries(), 1u);
}

TEST(StandinEngine, HandlersAreSetReplacedAndRemovedPerChannel) {
  EngineMessaging engine;
  Captured a, b;
  FlutterDesktopMessengerSetCallback(engine.messenger(), "one", Capture, &a);
  FlutterDesktopMessengerSetCallback(engine.messenger(), "two", Capture, &b);
  EXPECT_EQ(engine.HandlerUserData("one"), &a);

  FlutterDesktopMessengerSetCallback(engine.messenger(), "one", Capture, &b);
  ASSERT_TRUE(engine.Deliver("one", Bytes{1}).has_value());
  EXPECT_EQ(a.calls, 0);
  EXPECT_EQ(b.calls, 1);

  FlutterDesktopMessengerSetCallback(engine.messenger(), "one", nullptr, nullptr);
  EXPECT_FALSE(engine.HasHandler("one"));
  EXPECT_FALSE(engine.Deliver("one", Bytes{1}).has_value());
  EXPECT_TRUE(engine.HasHandler("two"));
  EXPECT_FALSE(engine.Deliver("three", Bytes{1}).has_value());

  const auto log = engine.CallLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3].kind, HostCallKind::kSetCallback);
  EXPECT_EQ(log[3].channel, "one");
  EXPECT_FALSE(log[3].has_callback);
}

TEST(StandinEngine, HostMessagesAreRecordedAndAnsweredOnce) {
  EngineMessaging engine;
  const Bytes payload{4, 5};
  EXPECT_TRUE(FlutterDesktopMessengerSend(engine.messenger(), "vpn/native", payload.data(), 2));
  ReplyRecord record;
  EXPECT_TRUE(FlutterDesktopMessengerSendWithReply(engine.messenger(), "vpn/native", payload.data(),
                                                   2, RecordReply, &record));
  // Nothing to send from: a null channel, or bytes missing for a non-zero size.
  EXPECT_FALSE(FlutterDesktopMessengerSend(engine.messenger(), nullptr, payload.data(), 2));
  EXPECT_FALSE(FlutterDesktopMessengerSend(engine.messenger(), "vpn/native", nullptr, 2));

  const auto sent = engine.HostMessages();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_FALSE(sent[0].expects_reply);
  EXPECT_TRUE(sent[1].expects_reply);
  EXPECT_EQ(sent[1].bytes, payload);

  EXPECT_FALSE(engine.AnswerHostMessage(sent[0].id, Bytes{1}));  // no reply wanted
  EXPECT_TRUE(engine.AnswerHostMessage(sent[1].id, Bytes{}));
  EXPECT_FALSE(engine.AnswerHostMessage(sent[1].id, Bytes{1}));
  EXPECT_EQ(record.calls, 1);
  EXPECT_TRUE(record.null_data);  // an empty reply arrives as a null pointer
  EXPECT_TRUE(engine.HostMessages()[1].answered);
}

TEST(StandinEngine, ReportsHostActivityAfterItsEffectAndOutsideItsLocks) {
  EngineMessaging engine;
  // What the application's side sees from inside the callback: it may read the messaging there
  // (which takes its locks), and the host's call has already taken effect.
  struct Seen {
    EngineMessaging* engine;
    std::vector<std::pair<bool, size_t>> calls;  // handler set, messages sent
  } seen{&engine, {}};
  engine.SetHostActivityCallback(
      [](void* user_data) {
        auto* s = static_cast<Seen*>(user_data);
        s->calls.emplace_back(s->engine->HasHandler("vpn/native"),
                              s->engine->HostMessages().size());
      },
      &seen);
  Captured captured;
  const Bytes payload{1};
  FlutterDesktopMessengerSetCallback(engine.messenger(), "vpn/native", Capture, &captured);
  EXPECT_TRUE(FlutterDesktopMessengerSend(engine.messenger(), "vpn/native", payload.data(), 1));
  EXPECT_FALSE(FlutterDesktopMessengerSend(engine.messenger(), nullptr, payload.data(), 1));
  FlutterDesktopMessengerSetCallback(engine.messenger(), "vpn/native", nullptr, nullptr);
  engine.SetHostActivityCallback(nullptr, nullptr);
  EXPECT_TRUE(FlutterDesktopMessengerSend(engine.messenger(), "vpn/native", payload.data(), 1));
  // The refused send and everything after the callback was removed report nothing.
  EXPECT_EQ(seen.calls, (std::vector<std::pair<bool, size_t>>{{true, 0}, {true, 1}, {false, 1}}));
}

TEST(StandinEngine, UnavailableMessengerSendsNothingAndDropsResponses) {
  EngineMessaging engine;
  Captured captured;
  FlutterDesktopMessengerSetCallback(engine.messenger(), "c", Capture, &captured);
  const auto delivery = engine.Deliver("c", Bytes{1});
  ASSERT_TRUE(delivery.has_value());
  ReplyRecord record;
  ASSERT_TRUE(FlutterDesktopMessengerSendWithReply(engine.messenger(), "c", nullptr, 0, RecordReply,
                                                   &record));

  engine.MakeUnavailable();
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(engine.messenger()));
  EXPECT_FALSE(FlutterDesktopMessengerSendWithReply(engine.messenger(), "c", nullptr, 0,
                                                    RecordReply, &record));
  EXPECT_FALSE(engine.Deliver("c", Bytes{1}).has_value());
  EXPECT_FALSE(engine.AnswerHostMessage(1, Bytes{1}));

  FlutterDesktopMessengerSendResponse(engine.messenger(), captured.handle, nullptr, 0);
  EXPECT_EQ(engine.dropped_responses(), 1u);
  EXPECT_EQ(engine.refused_responses(), 0u);
  EXPECT_FALSE(engine.IsAnswered(*delivery));
  EXPECT_EQ(record.calls, 0);
}

TEST(StandinEngine, MessengerOutlivesTheEngineWhileReferenced) {
  ReplyRecord stranded;
  FlutterDesktopMessengerRef kept = nullptr;
  {
    EngineMessaging engine;
    EXPECT_EQ(engine.reference_count(), 1);
    kept = FlutterDesktopMessengerAddRef(engine.messenger());
    EXPECT_EQ(kept, engine.messenger());
    EXPECT_EQ(engine.reference_count(), 2);
    ASSERT_TRUE(
        FlutterDesktopMessengerSendWithReply(kept, "c", nullptr, 0, RecordReply, &stranded));
  }
  // The engine's end answered the host's waiting message, so the host's reply state is freed.
  EXPECT_EQ(stranded.calls, 1);
  EXPECT_TRUE(stranded.null_data);

  // Every function stays safe on the orphaned messenger (the sanitizers watch this).
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(kept));
  FlutterDesktopMessengerRef locked = FlutterDesktopMessengerLock(kept);
  EXPECT_EQ(locked, kept);
  FlutterDesktopMessengerSendResponse(kept, nullptr, nullptr, 0);
  FlutterDesktopMessengerUnlock(locked);
  EXPECT_FALSE(FlutterDesktopMessengerSend(kept, "c", nullptr, 0));
  FlutterDesktopMessengerSetCallback(kept, "c", nullptr, nullptr);
  FlutterDesktopMessengerRelease(kept);  // the last reference frees it
}

TEST(StandinEngine, GoingUnavailableWaitsForTheMessengerLock) {
  EngineMessaging engine;
  FlutterDesktopMessengerRef locked = FlutterDesktopMessengerLock(engine.messenger());
  ASSERT_NE(locked, nullptr);
  std::thread ender([&engine] { engine.MakeUnavailable(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // While the host holds the lock, its availability check stays true.
  EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(engine.messenger()));
  FlutterDesktopMessengerUnlock(locked);
  ender.join();
  EXPECT_FALSE(engine.available());
}

// The C control interface other modules use through the DLL.
TEST(StandinEngineControl, ExchangesKeepAResponseThatDoesNotFit) {
  StandinMessagingRef control = StandinMessagingCreate();
  ASSERT_NE(control, nullptr);
  FlutterDesktopMessengerRef messenger = StandinMessagingGetMessenger(control);
  FlutterDesktopMessengerSetCallback(
      messenger, "echo",
      [](FlutterDesktopMessengerRef m, const FlutterDesktopMessage* message, void*) {
        FlutterDesktopMessengerSendResponse(m, message->response_handle, message->message,
                                            message->message_size);
      },
      nullptr);

  const Bytes message{1, 2, 3, 4};
  uint8_t small[2] = {};
  size_t size = 0;
  uint64_t delivery = 0;
  EXPECT_EQ(StandinMessagingExchange(control, "echo", message.data(), message.size(), small,
                                     sizeof small, &size, &delivery),
            kStandinBufferTooSmall);
  EXPECT_EQ(size, 4u);
  uint8_t big[8] = {};
  EXPECT_EQ(StandinMessagingTakeResponse(control, delivery, big, sizeof big, &size),
            kStandinAnswered);
  EXPECT_EQ(Bytes(big, big + size), message);
  EXPECT_EQ(StandinMessagingExchange(control, "none", nullptr, 0, big, sizeof big, &size, nullptr),
            kStandinNotDelivered);

  char log[256] = {};
  const size_t needed = StandinMessagingCallLog(control, log, sizeof log);
  EXPECT_EQ(std::string(log), "SetCallback echo\nSendResponse\n");
  EXPECT_EQ(needed, std::string(log).size());
  StandinMessagingDestroy(control);
}

}  // namespace
