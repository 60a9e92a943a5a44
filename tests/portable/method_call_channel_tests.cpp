// Method channels over the host's messenger and the stand-in engine, with the standard codec:
// what the application sees of its calls to the host, and what the host's calls look like.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "embedding/binary_messenger_impl.h"
#include "embedding/encodable_value.h"
#include "embedding/engine_method_result.h"
#include "embedding/method_call_channel.h"
#include "embedding/standard_method_codec.h"
#include "standins/engine/engine_messaging.h"
#include "tests/portable/messaging_test_support.h"

namespace {

using flutter::BinaryMessengerImpl;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::MethodCall;
using flutter::MethodCallChannel;
using flutter::MethodResult;
using flutter::StandardMethodCodec;
using messaging_test::StderrLines;
using standin::EngineMessaging;
using standin::HostCallKind;
using Bytes = std::vector<uint8_t>;

constexpr const char* kDuplicateResultLine =
    "Error: Only one of Success, Error, or NotImplemented can be called, and it can be called "
    "exactly once. Ignoring duplicate result.";
constexpr const char* kUnansweredLine =
    "Warning: Failed to respond to a message. This is a memory leak.";

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The call "isKillSwitchEnabled" without arguments, as the application encodes it.
const Bytes kIsKillSwitchEnabled = Concat({{0x07, 0x13}, Text("isKillSwitchEnabled"), {0x00}});

size_t CountKind(const EngineMessaging& engine, HostCallKind kind) {
  size_t count = 0;
  for (const auto& call : engine.CallLog()) {
    count += call.kind == kind ? 1 : 0;
  }
  return count;
}

// What a MethodResult was told, for the calls the host makes.
struct Outcome {
  std::string kind;  // "success", "error", "not_implemented"
  std::optional<EncodableValue> value;
  std::string code;
  std::string message;
};

class RecordingResult : public MethodResult<EncodableValue> {
 public:
  explicit RecordingResult(std::vector<Outcome>* outcomes) : outcomes_(outcomes) {}
  void Success(const EncodableValue* result) override {
    outcomes_->push_back({"success", Copy(result), "", ""});
  }
  void Error(const std::string& code, const std::string& message,
             const EncodableValue* details) override {
    outcomes_->push_back({"error", Copy(details), code, message});
  }
  void NotImplemented() override { outcomes_->push_back({"not_implemented", {}, "", ""}); }

 private:
  static std::optional<EncodableValue> Copy(const EncodableValue* value) {
    return value == nullptr ? std::nullopt : std::optional<EncodableValue>(*value);
  }
  std::vector<Outcome>* outcomes_;
};

class MethodCallChannelTest : public testing::Test {
 protected:
  EngineMessaging engine_;
  BinaryMessengerImpl messenger_{engine_.messenger()};
  MethodCallChannel<EncodableValue> channel_{&messenger_, "vpn/native",
                                             &StandardMethodCodec::SharedInstance()};
};

TEST_F(MethodCallChannelTest, ACallIsDecodedAndItsSuccessEncodedForTheApplication) {
  std::string method;
  bool had_arguments = true;
  channel_.SetCallHandler([&](const MethodCall<EncodableValue>& call,
                              std::unique_ptr<MethodResult<EncodableValue>> result) {
    method = call.method_name();
    had_arguments = call.arguments() != nullptr && !call.arguments()->IsNull();
    result->Success(EncodableValue(true));
  });
  EXPECT_EQ(engine_.Exchange("vpn/native", kIsKillSwitchEnabled), (Bytes{0x00, 0x01}));
  EXPECT_EQ(method, "isKillSwitchEnabled");
  EXPECT_FALSE(had_arguments);
}

TEST_F(MethodCallChannelTest, ArgumentsAndErrorsTravelInTheStandardEncoding) {
  channel_.SetCallHandler([](const MethodCall<EncodableValue>& call,
                             std::unique_ptr<MethodResult<EncodableValue>> result) {
    const auto* arguments = std::get_if<EncodableMap>(call.arguments());
    if (arguments == nullptr) {
      result->Error("bad_args", "Expected map");
      return;
    }
    const auto found = arguments->find(EncodableValue("allowLan"));
    result->Success(found == arguments->end() ? EncodableValue() : found->second);
  });

  // "enableKillSwitch" with the map {"allowLan": false}.
  const Bytes with_map = Concat(
      {{0x07, 0x10}, Text("enableKillSwitch"), {0x0D, 0x01, 0x07, 0x08}, Text("allowLan"), {0x02}});
  EXPECT_EQ(engine_.Exchange("vpn/native", with_map), (Bytes{0x00, 0x02}));

  const Bytes without_map = Concat({{0x07, 0x10}, Text("enableKillSwitch"), {0x01}});
  EXPECT_EQ(
      engine_.Exchange("vpn/native", without_map),
      Concat({{0x01, 0x07, 0x08}, Text("bad_args"), {0x07, 0x0C}, Text("Expected map"), {0x00}}));
}

// Exactly one response reaches the engine for every call, whatever the handler does.
TEST_F(MethodCallChannelTest, ASecondAnswerIsReportedAndNeverSent) {
  channel_.SetCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> result) {
        result->Success(EncodableValue(true));
        result->Error("late", "too late");
        result->NotImplemented();
      });
  StderrLines lines;
  EXPECT_EQ(engine_.Exchange("vpn/native", kIsKillSwitchEnabled), (Bytes{0x00, 0x01}));
  EXPECT_EQ(lines.Take(), (std::vector<std::string>{kDuplicateResultLine, kDuplicateResultLine}));
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 1u);
  EXPECT_EQ(engine_.refused_responses(), 0u);
}

TEST_F(MethodCallChannelTest, AnUnansweredCallIsReportedAndAnsweredEmpty) {
  channel_.SetCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>>) {});
  StderrLines lines;
  // The application gets "not implemented" instead of waiting for ever.
  EXPECT_EQ(engine_.Exchange("vpn/native", kIsKillSwitchEnabled), Bytes{});
  EXPECT_EQ(lines.Take(), std::vector<std::string>{kUnansweredLine});
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 1u);
}

TEST_F(MethodCallChannelTest, AThrowingHandlerLeavesAnEmptyResponseAndNothingUnwinds) {
  channel_.SetCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>>) {
        throw std::bad_alloc();
      });
  StderrLines lines;
  EXPECT_EQ(engine_.Exchange("vpn/native", kIsKillSwitchEnabled), Bytes{});
  EXPECT_EQ(lines.Take(), std::vector<std::string>{kUnansweredLine});
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 1u);
  EXPECT_EQ(engine_.reference_count(), 1);
}

TEST_F(MethodCallChannelTest, NotImplementedIsAnEmptyResponse) {
  channel_.SetCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> result) {
        result->NotImplemented();
      });
  StderrLines lines;
  EXPECT_EQ(engine_.Exchange("vpn/native", kIsKillSwitchEnabled), Bytes{});
  EXPECT_EQ(lines.Take(), std::vector<std::string>{});
}

TEST_F(MethodCallChannelTest, AnUndecodableMessageIsReportedForTheChannelAndAnsweredEmpty) {
  bool handled = false;
  channel_.SetCallHandler(
      [&](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> result) {
        handled = true;
        result->Success();
      });
  StderrLines lines;
  // The first value is a 32-bit integer, not a method name.
  EXPECT_EQ(engine_.Exchange("vpn/native", Bytes{0x03, 0x01, 0x00, 0x00, 0x00}), Bytes{});
  EXPECT_EQ(lines.Take(),
            (std::vector<std::string>{"Invalid method call; method name is not a string.",
                                      "Unable to construct method call from message on channel "
                                      "vpn/native"}));
  EXPECT_FALSE(handled);
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendResponse), 1u);
}

TEST_F(MethodCallChannelTest, TheHandlerOutlivesTheChannelAndAnEmptyOneRemovesIt) {
  {
    MethodCallChannel<EncodableValue> short_lived(&messenger_, "short",
                                                  &StandardMethodCodec::SharedInstance());
    short_lived.SetCallHandler([](const MethodCall<EncodableValue>& call,
                                  std::unique_ptr<MethodResult<EncodableValue>> result) {
      result->Success(EncodableValue(call.method_name()));
    });
  }
  // The registered handler copied the name and codec; the channel object is gone.
  EXPECT_EQ(engine_.Exchange("short", kIsKillSwitchEnabled),
            Concat({{0x00, 0x07, 0x13}, Text("isKillSwitchEnabled")}));

  channel_.SetCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> result) {
        result->Success();
      });
  ASSERT_TRUE(engine_.HasHandler("vpn/native"));
  channel_.SetCallHandler(nullptr);
  EXPECT_FALSE(engine_.HasHandler("vpn/native"));
}

TEST_F(MethodCallChannelTest, AHandlerMayCloseAndDestroyItsChannelBeforeItAnswers) {
  auto channel = std::make_unique<MethodCallChannel<EncodableValue>>(
      &messenger_, "closing", &StandardMethodCodec::SharedInstance());
  const std::string reason(64, 'r');  // on the heap, inside the handler being run
  channel->SetCallHandler([&channel, reason](const MethodCall<EncodableValue>&,
                                             std::unique_ptr<MethodResult<EncodableValue>> result) {
    channel->SetCallHandler(nullptr);
    channel.reset();
    result->Success(EncodableValue(reason));
  });
  EXPECT_EQ(engine_.Exchange("closing", kIsKillSwitchEnabled),
            Concat({{0x00, 0x07, 0x40}, Text(reason)}));
  EXPECT_FALSE(engine_.HasHandler("closing"));
}

TEST_F(MethodCallChannelTest, InvokeWithoutAResultSendsTheCallAndAsksNoReply) {
  channel_.Invoke("trayToggleVpn", nullptr);
  const auto sent = engine_.HostMessages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].channel, "vpn/native");
  EXPECT_EQ(sent[0].bytes, Concat({{0x07, 0x0D}, Text("trayToggleVpn"), {0x00}}));
  EXPECT_FALSE(sent[0].expects_reply);
  EXPECT_EQ(CountKind(engine_, HostCallKind::kSendWithReply), 0u);
}

TEST_F(MethodCallChannelTest, InvokeWithAResultDecodesEachKindOfReply) {
  std::vector<Outcome> outcomes;
  for (int i = 0; i < 4; ++i) {
    channel_.Invoke("query", std::make_unique<EncodableValue>(int32_t{i}),
                    std::make_unique<RecordingResult>(&outcomes));
  }
  const auto sent = engine_.HostMessages();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_TRUE(sent[0].expects_reply);
  EXPECT_EQ(sent[0].bytes, Concat({{0x07, 0x05}, Text("query"), {0x03, 0, 0, 0, 0}}));

  StderrLines lines;
  ASSERT_TRUE(engine_.AnswerHostMessage(sent[0].id, Bytes{0x00, 0x01}));
  ASSERT_TRUE(engine_.AnswerHostMessage(sent[1].id,
                                        Concat({{0x01, 0x07, 0x04}, Text("oops"), {0x00, 0x00}})));
  ASSERT_TRUE(engine_.AnswerHostMessage(sent[2].id, Bytes{}));
  ASSERT_TRUE(engine_.AnswerHostMessage(sent[3].id, Bytes{0x02, 0x00}));
  EXPECT_EQ(lines.Take(), std::vector<std::string>{
                              "Unable to decode reply to method invocation on channel vpn/native"});

  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(outcomes[0].kind, "success");
  ASSERT_TRUE(outcomes[0].value.has_value());
  EXPECT_EQ(std::get<bool>(*outcomes[0].value), true);
  EXPECT_EQ(outcomes[1].kind, "error");
  EXPECT_EQ(outcomes[1].code, "oops");
  EXPECT_EQ(outcomes[1].message, "");
  EXPECT_FALSE(outcomes[1].value.has_value());
  EXPECT_EQ(outcomes[2].kind, "not_implemented");  // an empty reply
  EXPECT_EQ(outcomes[3].kind, "not_implemented");  // not an envelope
}

TEST(OneShotReply, PassesEmptyOrAbsentDataAsANullPointerAndUsesItsReplyOnce) {
  struct Seen {
    const uint8_t* data;
    size_t size;
  };
  std::vector<Seen> seen;
  auto record = [&seen](const uint8_t* data, size_t size) { seen.push_back({data, size}); };

  const Bytes empty;
  const Bytes some{1, 2};
  flutter::OneShotReply with_empty(record);
  with_empty.Deliver(&empty);
  flutter::OneShotReply with_none(record);
  with_none.Deliver(nullptr);
  flutter::OneShotReply with_some(record);
  with_some.Deliver(&some);

  StderrLines lines;
  with_some.Deliver(&some);
  EXPECT_EQ(lines.Take(), std::vector<std::string>{kDuplicateResultLine});
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].data, nullptr);
  EXPECT_EQ(seen[0].size, 0u);
  EXPECT_EQ(seen[1].data, nullptr);
  EXPECT_EQ(seen[1].size, 0u);
  EXPECT_EQ(seen[2].data, some.data());
  EXPECT_EQ(seen[2].size, 2u);
}

}  // namespace
