#include <gtest/gtest.h>

#include <optional>

#include "embedding/method_call.h"
#include "embedding/method_result.h"
#include "embedding/standard_method_codec.h"
#include "tests/portable/codec_test_support.h"

namespace flutter {
namespace {

using orvane_test::Bytes;
using orvane_test::Concat;
using orvane_test::DiagnosticsOf;
using orvane_test::kInvalidRead;
using orvane_test::Text;
using Lines = std::vector<std::string>;

const StandardMethodCodec& Codec() {
  return StandardMethodCodec::SharedInstance();
}

// Records every answer it gets, copying the values, which live only during the call.
class RecordingResult : public MethodResult<EncodableValue> {
 public:
  using MethodResult<EncodableValue>::Error;
  using MethodResult<EncodableValue>::Success;

  void Success(const EncodableValue* result) override {
    ++calls;
    success = true;
    value = result ? std::optional<EncodableValue>(*result) : std::nullopt;
  }
  void Error(const std::string& error_code, const std::string& error_message,
             const EncodableValue* error_details) override {
    ++calls;
    error = true;
    code = error_code;
    message = error_message;
    details = error_details ? std::optional<EncodableValue>(*error_details) : std::nullopt;
  }
  void NotImplemented() override {
    ++calls;
    not_implemented = true;
  }

  int calls = 0;
  bool success = false;
  bool error = false;
  bool not_implemented = false;
  std::optional<EncodableValue> value;
  std::string code;
  std::string message;
  std::optional<EncodableValue> details;
};

struct ReplyOutcome {
  bool decoded = false;
  RecordingResult result;
  Lines lines;
};

ReplyOutcome DecodeReply(const std::vector<uint8_t>& reply) {
  ReplyOutcome outcome;
  outcome.lines = DiagnosticsOf(
      [&] { outcome.decoded = Codec().DecodeReply(reply.data(), reply.size(), &outcome.result); });
  return outcome;
}

TEST(StandardMethodCodecTest, CallsHaveTheirExactWireForm) {
  const MethodCall<EncodableValue> plain("isKillSwitchEnabled", nullptr);
  EXPECT_EQ(Codec().EncodeCall(plain),
            Concat({Bytes("07 13"), Text("isKillSwitchEnabled"), Bytes("00")}));

  const MethodCall<EncodableValue> with_arguments("setTrayConnectionState",
                                                  std::make_unique<EncodableValue>(true));
  EXPECT_EQ(Codec().EncodeCall(with_arguments),
            Concat({Bytes("07 16"), Text("setTrayConnectionState"), Bytes("01")}));
}

TEST(StandardMethodCodecTest, CallsDecodeBackWithArgumentsAlwaysPresent) {
  const EncodableValue arguments(
      EncodableMap{{"endpoints", EncodableList{EncodableMap{{"ip", "10.0.0.1"}, {"port", 443}}}},
                   {"allowLan", false}});
  const MethodCall<EncodableValue> call("enableKillSwitch",
                                        std::make_unique<EncodableValue>(arguments));
  const std::vector<uint8_t> message = Codec().EncodeCall(call);
  std::unique_ptr<MethodCall<EncodableValue>> decoded;
  const Lines lines =
      DiagnosticsOf([&] { decoded = Codec().DecodeCall(message.data(), message.size()); });
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->method_name(), "enableKillSwitch");
  ASSERT_NE(decoded->arguments(), nullptr);
  EXPECT_EQ(*decoded->arguments(), arguments);
  EXPECT_EQ(lines, Lines{});

  // Null arguments are present as null after decoding, and trailing bytes are ignored.
  const std::vector<uint8_t> with_tail = Concat({Bytes("07 01 61 00 FF FF"), Bytes("03")});
  decoded = Codec().DecodeCall(with_tail.data(), with_tail.size());
  ASSERT_NE(decoded, nullptr);
  ASSERT_NE(decoded->arguments(), nullptr);
  EXPECT_TRUE(decoded->arguments()->IsNull());

  // A name written with tag 5 is a string too.
  const std::vector<uint8_t> large_int_tag = Bytes("05 01 62 01");
  decoded = Codec().DecodeCall(large_int_tag.data(), large_int_tag.size());
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->method_name(), "b");
  EXPECT_EQ(*decoded->arguments(), EncodableValue(true));
}

TEST(StandardMethodCodecTest, MalformedCallsAreReported) {
  const std::string not_a_string = "Invalid method call; method name is not a string.";
  struct Case {
    const char* name;
    std::vector<uint8_t> message;
    bool decodes;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {"only a name", Bytes("07 03 61 62 63"), true, {kInvalidRead}},
      {"integer name", Bytes("03 01 00 00 00 00"), false, {not_a_string}},
      {"null name", Bytes("00 00"), false, {not_a_string}},
      {"empty message", {}, false, {kInvalidRead, not_a_string}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::unique_ptr<MethodCall<EncodableValue>> decoded;
    const Lines lines = DiagnosticsOf(
        [&] { decoded = Codec().DecodeCall(test.message.data(), test.message.size()); });
    EXPECT_EQ(decoded != nullptr, test.decodes);
    EXPECT_EQ(lines, test.lines);
    if (decoded) {
      EXPECT_EQ(decoded->method_name(), "abc");
      ASSERT_NE(decoded->arguments(), nullptr);
      EXPECT_TRUE(decoded->arguments()->IsNull());
    }
  }
}

TEST(StandardMethodCodecTest, EnvelopesHaveTheirExactWireForm) {
  const EncodableValue yes(true);
  const EncodableValue one(1.0);
  EXPECT_EQ(Codec().EncodeSuccess(&yes), Bytes("00 01"));
  EXPECT_EQ(Codec().EncodeSuccess(nullptr), Bytes("00 00"));
  // The padding counts the envelope byte: the double starts at position 8.
  EXPECT_EQ(Codec().EncodeSuccess(&one), Bytes("00 06 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F"));

  EXPECT_EQ(Codec().EncodeError("bad_args", "Expected map", nullptr),
            Concat({Bytes("01 07 08"), Text("bad_args"), Bytes("07 0C"), Text("Expected map"),
                    Bytes("00")}));
  EXPECT_EQ(Codec().EncodeError("code", "", nullptr),
            Concat({Bytes("01 07 04"), Text("code"), Bytes("00 00")}));
  EXPECT_EQ(Codec().EncodeError("", "m", &yes), Bytes("01 07 00 07 01 6D 01"));
}

TEST(StandardMethodCodecTest, SuccessRepliesCallSuccessOnce) {
  const EncodableValue map(EncodableMap{{"started", true}});
  auto outcome = DecodeReply(Codec().EncodeSuccess(&map));
  EXPECT_TRUE(outcome.decoded);
  EXPECT_EQ(outcome.result.calls, 1);
  EXPECT_TRUE(outcome.result.success);
  EXPECT_EQ(outcome.result.value, map);
  EXPECT_EQ(outcome.lines, Lines{});

  // Null and absent are the same after decoding; trailing bytes are ignored.
  outcome = DecodeReply(Bytes("00 00 07 03"));
  EXPECT_TRUE(outcome.decoded);
  EXPECT_EQ(outcome.result.calls, 1);
  EXPECT_TRUE(outcome.result.success);
  EXPECT_EQ(outcome.result.value, std::nullopt);

  // An empty reply: the envelope and the value both read as 0 with a line each.
  outcome = DecodeReply({});
  EXPECT_TRUE(outcome.decoded);
  EXPECT_EQ(outcome.result.calls, 1);
  EXPECT_TRUE(outcome.result.success);
  EXPECT_EQ(outcome.result.value, std::nullopt);
  EXPECT_EQ(outcome.lines, (Lines{kInvalidRead, kInvalidRead}));
}

TEST(StandardMethodCodecTest, ErrorRepliesCallErrorOnce) {
  const EncodableValue details(EncodableList{1, "two"});
  auto outcome =
      DecodeReply(Codec().EncodeError("shell_execute_failed:5", "Access denied", &details));
  EXPECT_TRUE(outcome.decoded);
  EXPECT_EQ(outcome.result.calls, 1);
  EXPECT_TRUE(outcome.result.error);
  EXPECT_EQ(outcome.result.code, "shell_execute_failed:5");
  EXPECT_EQ(outcome.result.message, "Access denied");
  EXPECT_EQ(outcome.result.details, details);

  // An empty message travels as null and arrives as the empty text; null details as none.
  outcome = DecodeReply(Codec().EncodeError("bad_args", "", nullptr));
  EXPECT_TRUE(outcome.decoded);
  EXPECT_TRUE(outcome.result.error);
  EXPECT_EQ(outcome.result.code, "bad_args");
  EXPECT_EQ(outcome.result.message, "");
  EXPECT_EQ(outcome.result.details, std::nullopt);
  EXPECT_EQ(outcome.lines, Lines{});

  // An error envelope cut short after its code still answers, with one line per missing value.
  outcome = DecodeReply(Bytes("01 07 01 78"));
  EXPECT_TRUE(outcome.decoded);
  EXPECT_TRUE(outcome.result.error);
  EXPECT_EQ(outcome.result.code, "x");
  EXPECT_EQ(outcome.lines, (Lines{kInvalidRead, kInvalidRead}));
}

TEST(StandardMethodCodecTest, RepliesThatAreNoEnvelopeAnswerNothing) {
  struct Case {
    const char* name;
    std::vector<uint8_t> reply;
  };
  const std::vector<Case> cases = {
      {"envelope byte 2", Bytes("02 00")},
      {"envelope byte 255", Bytes("FF")},
      // An error envelope whose parts have the wrong kinds is not an error envelope either: no
      // code to pass on, so false, and the channel reports the reply as undecodable.
      {"code is an integer", Bytes("01 03 05 00 00 00 00 00")},
      {"code is null", Bytes("01 00 00 00")},
      {"message is an integer", Bytes("01 07 01 61 03 05 00 00 00 00")},
      {"message is a list", Bytes("01 07 01 61 0C 00 00")},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const auto outcome = DecodeReply(test.reply);
    EXPECT_FALSE(outcome.decoded);
    EXPECT_EQ(outcome.result.calls, 0);
    EXPECT_EQ(outcome.lines, Lines{});
  }
}

TEST(StandardMethodCodecTest, SharedInstanceIsOnePerSerializer) {
  const StandardMethodCodec& first = StandardMethodCodec::SharedInstance();
  EXPECT_EQ(&first, &StandardMethodCodec::SharedInstance());
  EXPECT_EQ(&first,
            &StandardMethodCodec::SharedInstance(&StandardCodecSerializer::SharedInstance()));

  // A serializer of its own gets a codec of its own, which writes through it.
  class TaggingSerializer : public StandardCodecSerializer {
   public:
    void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const override {
      if (std::holds_alternative<CustomValue>(value)) {
        stream->WriteByte(200);
        return;
      }
      StandardCodecSerializer::WriteValue(value, stream);
    }
  };
  static const TaggingSerializer tagging;
  const StandardMethodCodec& own = StandardMethodCodec::SharedInstance(&tagging);
  EXPECT_NE(&own, &first);
  EXPECT_EQ(&own, &StandardMethodCodec::SharedInstance(&tagging));
  const EncodableValue custom(CustomValue(1));
  EXPECT_EQ(own.EncodeSuccess(&custom), Bytes("00 C8"));
}

TEST(StandardMethodCodecTest, ResultConveniencesForwardToTheVirtuals) {
  RecordingResult result;
  result.Success(EncodableValue(3));
  EXPECT_EQ(result.value, EncodableValue(3));
  result.Success();
  EXPECT_EQ(result.value, std::nullopt);
  result.Error("bad_args");
  EXPECT_EQ(result.code, "bad_args");
  EXPECT_EQ(result.message, "");
  EXPECT_EQ(result.details, std::nullopt);
  result.Error("bad_args", "Expected map", EncodableValue("why"));
  EXPECT_EQ(result.message, "Expected map");
  EXPECT_EQ(result.details, EncodableValue("why"));
  EXPECT_EQ(result.calls, 4);
}

}  // namespace
}  // namespace flutter
