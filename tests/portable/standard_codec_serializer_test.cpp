#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>

#include "embedding/byte_streams.h"
#include "embedding/encodable_value.h"
#include "embedding/standard_codec_serializer.h"
#include "tests/portable/codec_test_support.h"

namespace flutter {
namespace {

using orvane_test::Bytes;
using orvane_test::Concat;
using orvane_test::DecodeOne;
using orvane_test::DiagnosticsOf;
using orvane_test::Encode;
using orvane_test::kInvalidRead;
using orvane_test::Repeat;
using orvane_test::Text;
using Lines = std::vector<std::string>;

const StandardCodecSerializer& Serializer() {
  return StandardCodecSerializer::SharedInstance();
}

// Each value is written as exactly these bytes, and these bytes read back as the value with no
// diagnostic and nothing left over.
struct WireCase {
  const char* name;
  EncodableValue value;
  std::vector<uint8_t> bytes;
};

TEST(StandardCodecSerializerTest, ValuesHaveTheirExactWireForm) {
  const std::vector<WireCase> cases = {
      {"null", EncodableValue(), Bytes("00")},
      {"true", EncodableValue(true), Bytes("01")},
      {"false", EncodableValue(false), Bytes("02")},
      {"int32 1", EncodableValue(1), Bytes("03 01 00 00 00")},
      {"int32 -2", EncodableValue(-2), Bytes("03 FE FF FF FF")},
      {"int64", EncodableValue(int64_t{-2}), Bytes("04 FE FF FF FF FF FF FF FF")},
      {"double 1.0", EncodableValue(1.0), Bytes("06 00 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F")},
      {"abc", EncodableValue("abc"), Bytes("07 03 61 62 63")},
      {"empty string", EncodableValue(""), Bytes("07 00")},
      {"300 bytes", EncodableValue(std::string(300, 'x')),
       Concat({Bytes("07 FE 2C 01"), std::vector<uint8_t>(300, 'x')})},
      {"65536 bytes", EncodableValue(std::string(65536, 'y')),
       Concat({Bytes("07 FF 00 00 01 00"), std::vector<uint8_t>(65536, 'y')})},
      {"empty int32 list", EncodableValue(std::vector<int32_t>{}), Bytes("09 00 00 00")},
      {"int32 list", EncodableValue(std::vector<int32_t>{1, -1}),
       Bytes("09 02 00 00 01 00 00 00 FF FF FF FF")},
      {"map a->1", EncodableValue(EncodableMap{{"a", 1}}), Bytes("0D 01 07 01 61 03 01 00 00 00")},
      {"list of one double", EncodableValue(EncodableList{1.0}),
       Bytes("0C 01 06 00 00 00 00 00 00 00 00 00 00 00 F0 3F")},
      {"empty float list", EncodableValue(std::vector<float>{}), Bytes("0E 00 00 00")},
      {"float list", EncodableValue(std::vector<float>{1.0f}), Bytes("0E 01 00 00 00 00 80 3F")},
      {"empty int64 list", EncodableValue(std::vector<int64_t>{}),
       Bytes("0A 00 00 00 00 00 00 00")},
      {"int64 list", EncodableValue(std::vector<int64_t>{1}),
       Bytes("0A 01 00 00 00 00 00 00 01 00 00 00 00 00 00 00")},
      {"double list", EncodableValue(std::vector<double>{-2.0}),
       Bytes("0B 01 00 00 00 00 00 00 00 00 00 00 00 00 00 C0")},
      {"empty byte list", EncodableValue(std::vector<uint8_t>{}), Bytes("08 00")},
      {"byte list", EncodableValue(std::vector<uint8_t>{0, 255}), Bytes("08 02 00 FF")},
      {"nested",
       EncodableValue(EncodableList{EncodableList{}, EncodableMap{{EncodableValue(), true}}}),
       Bytes("0C 02 0C 00 0D 01 00 01")},
  };
  for (const WireCase& wire : cases) {
    SCOPED_TRACE(wire.name);
    Lines lines;
    std::vector<uint8_t> written;
    lines = DiagnosticsOf([&] { written = Encode(wire.value); });
    EXPECT_EQ(written, wire.bytes);
    EXPECT_EQ(lines, Lines{});
    const auto decoded = DecodeOne(wire.bytes);
    EXPECT_EQ(decoded.value, wire.value);
    EXPECT_EQ(decoded.lines, Lines{});
    EXPECT_EQ(decoded.position, wire.bytes.size());
  }
}

TEST(StandardCodecSerializerTest, SizeFieldTakesOneThreeOrFiveBytes) {
  const std::vector<std::pair<size_t, std::vector<uint8_t>>> cases = {
      {0, Bytes("00")},
      {253, Bytes("FD")},
      {254, Bytes("FE FE 00")},
      {65535, Bytes("FE FF FF")},
      {65536, Bytes("FF 00 00 01 00")},
      {0xFFFFFFFF, Bytes("FF FF FF FF FF")},
  };
  for (const auto& [size, bytes] : cases) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> written;
    ByteBufferStreamWriter writer(&written);
    Serializer().WriteSize(size, &writer);
    EXPECT_EQ(written, bytes);
    ByteBufferStreamReader reader(bytes.data(), bytes.size());
    EXPECT_EQ(Serializer().ReadSize(&reader), size);
  }
  // Longer forms than needed are read too.
  for (const auto& longer : {Bytes("FE 05 00"), Bytes("FF 05 00 00 00")}) {
    ByteBufferStreamReader reader(longer.data(), longer.size());
    EXPECT_EQ(Serializer().ReadSize(&reader), 5u);
  }
  // A size beyond 32 bits has no wire form.
  if constexpr (sizeof(size_t) > 4) {
    std::vector<uint8_t> written;
    ByteBufferStreamWriter writer(&written);
    const Lines lines = DiagnosticsOf(
        [&] { Serializer().WriteSize(static_cast<size_t>(uint64_t{1} << 32), &writer); });
    EXPECT_EQ(written, Bytes("00"));
    EXPECT_EQ(lines, Lines{"Size too large in StandardCodecSerializer::WriteSize: 4294967296"});
  }
}

TEST(StandardCodecSerializerTest, AlignmentCountsFromTheStartOfTheMessage) {
  // A double after three bytes of other content pads to position 8, not by 7.
  std::vector<uint8_t> written = Bytes("AA BB CC");
  ByteBufferStreamWriter writer(&written);
  Serializer().WriteValue(EncodableValue(0.5), &writer);
  EXPECT_EQ(written, Bytes("AA BB CC 06 00 00 00 00 00 00 00 00 00 00 E0 3F"));

  ByteBufferStreamReader reader(written.data(), written.size());
  for (int i = 0; i < 3; ++i) {
    (void)reader.ReadByte();
  }
  EXPECT_EQ(Serializer().ReadValue(&reader), EncodableValue(0.5));
  EXPECT_EQ(reader.position(), written.size());
}

TEST(StandardCodecSerializerTest, MapsAreWrittenInKeyOrder) {
  EncodableMap map;
  map[EncodableValue("b")] = 1;
  map[EncodableValue("a")] = 2;
  EXPECT_EQ(Encode(EncodableValue(map)),
            Bytes("0D 02 07 01 61 03 02 00 00 00 07 01 62 03 01 00 00 00"));

  EncodableMap numbers;
  numbers[EncodableValue(int64_t{1})] = EncodableValue();
  numbers[EncodableValue(5)] = EncodableValue();
  EXPECT_EQ(Encode(EncodableValue(numbers)),
            Bytes("0D 02 03 05 00 00 00 00 04 01 00 00 00 00 00 00 00 00"));
}

TEST(StandardCodecSerializerTest, ReadingAcceptsWhatIsNeverWritten) {
  // Tag 5 reads as a string.
  auto decoded = DecodeOne(Bytes("05 03 61 62 63"));
  EXPECT_EQ(decoded.value, EncodableValue("abc"));
  EXPECT_EQ(decoded.lines, Lines{});

  // A repeated map key keeps its first value.
  decoded = DecodeOne(Bytes("0D 03 07 01 61 03 01 00 00 00 07 01 61 03 02 00 00 00 00 01"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableMap{{"a", 1}, {EncodableValue(), true}}));
  EXPECT_EQ(std::get<EncodableMap>(decoded.value).size(), 2u);

  // Keys out of order still build the ordered map.
  decoded = DecodeOne(Bytes("0D 02 07 01 62 01 07 01 61 02"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableMap{{"a", false}, {"b", true}}));
}

// Maps arrive in any key order (the application writes its own order) and may repeat keys: they
// read as the ordered map where the first occurrence of each key won, whatever the order and
// however many pairs.
TEST(StandardCodecSerializerTest, MapsReadInAnyKeyOrderKeepTheFirstOfEachKey) {
  std::mt19937 random(3);
  for (int round = 0; round < 200; ++round) {
    const uint32_t pairs = random() % 60;
    std::vector<uint8_t> bytes = {0x0D, static_cast<uint8_t>(pairs)};
    std::map<EncodableValue, EncodableValue> first_wins;
    for (uint32_t i = 0; i < pairs; ++i) {
      // Runs in order, runs backwards and repeats, next to each other and far apart.
      const int32_t key = round % 2 == 0 ? static_cast<int32_t>(random() % (pairs / 2 + 1))
                                         : static_cast<int32_t>(i % 7 == 0 ? i : pairs - i);
      const std::vector<uint8_t> pair = Concat({Bytes("07 01"),
                                                {static_cast<uint8_t>('A' + key % 26)},
                                                Bytes("03"),
                                                {static_cast<uint8_t>(i), 0, 0, 0}});
      bytes.insert(bytes.end(), pair.begin(), pair.end());
      first_wins.emplace(std::string(1, static_cast<char>('A' + key % 26)),
                         static_cast<int32_t>(i));
    }
    const auto decoded = DecodeOne(bytes);
    SCOPED_TRACE(testing::Message() << "round " << round << ", " << pairs << " pairs");
    ASSERT_EQ(decoded.lines, Lines{});
    ASSERT_EQ(decoded.position, bytes.size());
    const auto& map = std::get<EncodableMap>(decoded.value);
    EXPECT_TRUE(orvane_test::SamePairs(map, first_wins));
  }
}

TEST(StandardCodecSerializerTest, UnknownTagsReadAsNullAndConsumeOnlyTheTag) {
  for (const uint8_t tag : {uint8_t{15}, uint8_t{128}, uint8_t{255}}) {
    SCOPED_TRACE(+tag);
    const std::vector<uint8_t> bytes = {tag, 0x03, 0x07, 0x00, 0x00, 0x00};
    Lines lines;
    EncodableValue first;
    EncodableValue second;
    lines = DiagnosticsOf([&] {
      ByteBufferStreamReader reader(bytes.data(), bytes.size());
      first = Serializer().ReadValue(&reader);
      second = Serializer().ReadValue(&reader);
    });
    EXPECT_TRUE(first.IsNull());
    EXPECT_EQ(second, EncodableValue(7));  // the next value begins right after the tag
    EXPECT_EQ(lines, Lines{"Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                           std::to_string(tag)});
  }
}

TEST(StandardCodecSerializerTest, ShortReadsGiveZerosOneLineEachAndDoNotMove) {
  auto decoded = DecodeOne({});
  EXPECT_TRUE(decoded.value.IsNull());
  EXPECT_EQ(decoded.lines, Lines{kInvalidRead});
  EXPECT_EQ(decoded.position, 0u);

  // A string of declared length 3 with 1 byte left: three zero bytes, and the byte stays unread.
  decoded = DecodeOne(Bytes("07 03 61"));
  EXPECT_EQ(decoded.value, EncodableValue(std::string(3, '\0')));
  EXPECT_EQ(decoded.lines, Lines{kInvalidRead});
  EXPECT_EQ(decoded.position, 2u);

  decoded = DecodeOne(Bytes("03 01 02"));
  EXPECT_EQ(decoded.value, EncodableValue(0));
  EXPECT_EQ(decoded.lines, Lines{kInvalidRead});
  EXPECT_EQ(decoded.position, 1u);

  // A size cut short reads as 0.
  decoded = DecodeOne(Bytes("07 FE 05"));
  EXPECT_EQ(decoded.value, EncodableValue(""));
  EXPECT_EQ(decoded.lines, Lines{kInvalidRead});

  decoded = DecodeOne(Bytes("09 02 00 00 01 00 00 00"));
  EXPECT_EQ(decoded.value, EncodableValue(std::vector<int32_t>{0, 0}));
  EXPECT_EQ(decoded.lines, Lines{kInvalidRead});
  EXPECT_EQ(decoded.position, 4u);  // after the padding, which was skipped

  // Padding that runs past the end makes even an empty typed list a short read.
  decoded = DecodeOne(Bytes("0E 00"));
  EXPECT_EQ(decoded.value, EncodableValue(std::vector<float>{}));
  EXPECT_EQ(decoded.lines, Lines{kInvalidRead});

  // Elements after a failed read come from the same bytes, each failure with its own line.
  decoded = DecodeOne(Bytes("0C 03 01"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableList{true, EncodableValue(), EncodableValue()}));
  EXPECT_EQ(decoded.lines, (Lines{kInvalidRead, kInvalidRead}));

  decoded = DecodeOne(Bytes("0D 02 07 01 61"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableMap{{"a", EncodableValue()},
                                                       {EncodableValue(), EncodableValue()}}));
  EXPECT_EQ(decoded.lines, Lines(3, kInvalidRead));
}

TEST(StandardCodecSerializerTest, CustomValuesGoOutAsNullWithOneLine) {
  const EncodableValue list(EncodableList{CustomValue(std::string("x")), true});
  std::vector<uint8_t> written;
  const Lines lines = DiagnosticsOf([&] { written = Encode(list); });
  EXPECT_EQ(written, Bytes("0C 02 00 01"));
  EXPECT_EQ(lines, Lines{"Unhandled custom type in StandardCodecSerializer::WriteValue. "
                         "Custom types require codec extensions."});
}

// A serializer for an application type, to show that the hooks see every nested element.
struct Point {
  int32_t x;
  int32_t y;
};

class PointSerializer : public StandardCodecSerializer {
 public:
  static constexpr uint8_t kPointTag = 128;

  void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const override {
    if (const auto* custom = std::get_if<CustomValue>(&value)) {
      if (const Point* point = custom->TryGet<Point>()) {
        stream->WriteByte(kPointTag);
        stream->WriteBytes(reinterpret_cast<const uint8_t*>(&point->x), 4);
        stream->WriteBytes(reinterpret_cast<const uint8_t*>(&point->y), 4);
        return;
      }
    }
    StandardCodecSerializer::WriteValue(value, stream);
  }

  EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const override {
    if (type != kPointTag) {
      return StandardCodecSerializer::ReadValueOfType(type, stream);
    }
    Point point{0, 0};
    stream->ReadBytes(reinterpret_cast<uint8_t*>(&point.x), 4);
    stream->ReadBytes(reinterpret_cast<uint8_t*>(&point.y), 4);
    return EncodableValue(CustomValue(point));
  }
};

TEST(StandardCodecSerializerTest, DerivedSerializerHandlesCustomValuesAtAnyDepth) {
  const PointSerializer serializer;
  const EncodableValue value(EncodableMap{{"points", EncodableList{CustomValue(Point{1, -1}), 3}}});
  std::vector<uint8_t> written;
  ByteBufferStreamWriter writer(&written);
  serializer.WriteValue(value, &writer);
  EXPECT_EQ(written, Concat({Bytes("0D 01 07 06"), Text("points"),
                             Bytes("0C 02 80 01 00 00 00 FF FF FF FF 03 03 00 00 00")}));

  ByteBufferStreamReader reader(written.data(), written.size());
  const EncodableValue read = serializer.ReadValue(&reader);
  const auto& list =
      std::get<EncodableList>(std::get<EncodableMap>(read).at(EncodableValue("points")));
  ASSERT_EQ(list.size(), 2u);
  const Point* point = std::get<CustomValue>(list[0]).TryGet<Point>();
  ASSERT_NE(point, nullptr);
  EXPECT_EQ(point->x, 1);
  EXPECT_EQ(point->y, -1);
  EXPECT_EQ(list[1], EncodableValue(3));

  // The nesting limit holds through the hooks as well: every level passing through the derived
  // serializer's own ReadValueOfType must not make the depth start again.
  const std::vector<uint8_t> deep = Concat({Repeat(Bytes("0C 01"), 100000), Bytes("01")});
  ByteBufferStreamReader deep_reader(deep.data(), deep.size());
  EncodableValue deep_value;
  const Lines lines = DiagnosticsOf([&] { deep_value = serializer.ReadValue(&deep_reader); });
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(orvane_test::NestingDepth(deep_value), StandardCodecSerializer::kMaxNestingDepth);
}

// Any other reader: the same operations through the virtual interface, optionally without
// knowing how many bytes are left.
class ForwardingReader : public ByteStreamReader {
 public:
  ForwardingReader(const std::vector<uint8_t>& bytes, bool knows_remaining)
      : inner_(bytes.data(), bytes.size()), knows_remaining_(knows_remaining) {}
  uint8_t ReadByte() override { return inner_.ReadByte(); }
  void ReadBytes(uint8_t* buffer, size_t length) override { inner_.ReadBytes(buffer, length); }
  void SkipToAlignment(uint8_t alignment) override { inner_.SkipToAlignment(alignment); }
  std::optional<size_t> BytesRemaining() const override {
    return knows_remaining_ ? inner_.BytesRemaining() : std::nullopt;
  }
  uint64_t position() const { return inner_.position(); }

 private:
  ByteBufferStreamReader inner_;
  bool knows_remaining_;
};

TEST(StandardCodecSerializerTest, OtherReadersDecodeExactlyLikeTheBufferReader) {
  const std::vector<std::vector<uint8_t>> messages = {
      Bytes("0D 02 07 01 61 0C 02 03 01 00 00 00 06 00 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F "
            "07 01 62 0B 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 C0"),
      Bytes("0C 03 08 02 00 FF 09 01 00 00 05 00 00 00 0E 00 00 00"),
      Bytes("05 03 61 62 63"),
      Bytes("07 03 61"),
      Bytes("0C 03 01"),
      Bytes("0D 02 07 01 61"),
      Bytes("0F 01"),
      Bytes("0A 02 00 00 00 00 00 00 01"),
      Concat({Repeat(Bytes("0C 01"), 300), Bytes("01")}),
  };
  for (const bool knows_remaining : {true, false}) {
    for (const auto& bytes : messages) {
      SCOPED_TRACE(testing::Message() << "knows remaining " << knows_remaining << ", "
                                      << bytes.size() << " bytes starting " << +bytes[0]);
      const auto expected = DecodeOne(bytes);
      EncodableValue value;
      ForwardingReader reader(bytes, knows_remaining);
      const Lines lines = DiagnosticsOf([&] { value = Serializer().ReadValue(&reader); });
      EXPECT_EQ(value, expected.value);
      EXPECT_EQ(lines, expected.lines);
      EXPECT_EQ(reader.position(), expected.position);
    }
  }
  // Only a reader that can tell what is left gets hostile sizes cut off.
  const std::vector<uint8_t> truncated = Bytes("0C FE FF 00");
  ForwardingReader blind(truncated, false);
  EncodableValue value;
  const Lines lines = DiagnosticsOf([&] { value = Serializer().ReadValue(&blind); });
  EXPECT_EQ(std::get<EncodableList>(value).size(), 255u);
  EXPECT_EQ(lines, Lines(255, kInvalidRead));
}

// Hostile sizes: a declared length or count is never trusted beyond what the message holds, and a
// read that fails says so with the line every short read gives, once.
TEST(StandardCodecSerializerTest, LengthsBeyondTheMessageReadAsZerosOnlyWithinSixteenBytes) {
  struct Case {
    std::vector<uint8_t> bytes;
    EncodableValue expected;
    uint64_t position;  // after the size field and the padding: the failed read does not move
  };
  const std::vector<Case> cases = {
      // Each of these would ask for 4 GiB to 32 GiB before the read failed.
      {Bytes("07 FF FF FF FF FF 61"), EncodableValue(""), 6},
      {Bytes("05 FF FF FF FF FF"), EncodableValue(""), 6},
      {Bytes("08 FF FF FF FF FF"), EncodableValue(std::vector<uint8_t>{}), 6},
      {Bytes("09 FF FF FF FF FF 00 00"), EncodableValue(std::vector<int32_t>{}), 8},
      {Bytes("0A FF FF FF FF FF"), EncodableValue(std::vector<int64_t>{}), 8},
      {Bytes("0B FF FF FF FF FF"), EncodableValue(std::vector<double>{}), 8},
      {Bytes("0E FF FF FF FF FF"), EncodableValue(std::vector<float>{}), 8},
      // Not hostile at all, just longer than what is left.
      {Bytes("07 11 61"), EncodableValue(""), 2},
      {Bytes("09 05 00 00 01 00 00 00"), EncodableValue(std::vector<int32_t>{}), 4},
      // Within sixteen bytes the declared zeros stay, as the format describes a short read.
      {Bytes("07 10 61"), EncodableValue(std::string(16, '\0')), 2},
      {Bytes("09 04 00 00 01 00 00 00"), EncodableValue(std::vector<int32_t>(4)), 4},
      {Bytes("0A 02 00 00 00 00 00 00 01"), EncodableValue(std::vector<int64_t>(2)), 8},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << test.bytes.size() << " bytes starting " << +test.bytes[0]
                                    << " " << +test.bytes[1]);
    const auto decoded = DecodeOne(test.bytes);
    EXPECT_EQ(decoded.value, test.expected);
    EXPECT_EQ(decoded.lines, Lines{kInvalidRead});
    EXPECT_EQ(decoded.position, test.position);
  }

  // A hundred strings that each declare 512 bytes where fewer than 400 are left: read literally,
  // 51,200 zero bytes out of a 402-byte message. Each is empty, each with its own line.
  const std::vector<uint8_t> bytes = Concat({Bytes("0C 64"), Repeat(Bytes("07 FE 00 02"), 100)});
  const auto decoded = DecodeOne(bytes);
  EXPECT_EQ(decoded.value, EncodableValue(EncodableList(100, EncodableValue(""))));
  EXPECT_EQ(decoded.lines, Lines(100, kInvalidRead));
  EXPECT_EQ(decoded.position, bytes.size());
}

TEST(StandardCodecSerializerTest, CountsBeyondTheMessageStopSixteenElementsPastTheEnd) {
  // The six bytes that once reserved room for four billion values and then printed a line for
  // each: sixteen nulls are read past the end, each with its line, and the rest is dropped.
  const auto decoded = DecodeOne(Bytes("0C FF FF FF FF FF"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableList(16)));
  EXPECT_EQ(decoded.lines, Lines(16, kInvalidRead));

  // Elements that are present are read as usual first.
  const auto partial = DecodeOne(Bytes("0C FF FF FF FF FF 01 0F"));
  ASSERT_EQ(std::get<EncodableList>(partial.value).size(), 18u);
  EXPECT_EQ(std::get<EncodableList>(partial.value)[0], EncodableValue(true));
  Lines expected{"Unknown type in StandardCodecSerializer::ReadValueOfType: 15"};
  expected.insert(expected.end(), 16, kInvalidRead);
  EXPECT_EQ(partial.lines, expected);

  // A pair past the end is two reads; the null key repeats and is dropped.
  const auto map = DecodeOne(Bytes("0D FF FF FF FF FF"));
  EXPECT_EQ(map.value, EncodableValue(EncodableMap{{EncodableValue(), EncodableValue()}}));
  EXPECT_EQ(map.lines, Lines(2 * 16, kInvalidRead));

  // Every list claims four billion elements, and its first element is the next list: each of the
  // 200 lists open at the end reads its sixteen nulls.
  const auto nested = DecodeOne(Repeat(Bytes("0C FF FF FF FF FF"), 200));
  EXPECT_EQ(nested.lines, Lines(200 * 16, kInvalidRead));
  EXPECT_EQ(orvane_test::NestingDepth(nested.value), 200u);
}

std::vector<uint8_t> NestedLists(size_t depth) {
  return Concat({Repeat(Bytes("0C 01"), depth), Bytes("01")});
}

TEST(StandardCodecSerializerTest, NestingBeyondTheLimitReadsAsNullWithOneLine) {
  const size_t limit = StandardCodecSerializer::kMaxNestingDepth;
  // At the limit everything decodes.
  auto decoded = DecodeOne(NestedLists(limit));
  EXPECT_EQ(decoded.lines, Lines{});
  EXPECT_EQ(orvane_test::NestingDepth(decoded.value), limit);

  // One deeper: the innermost list is null and nothing after its tag is read.
  decoded = DecodeOne(NestedLists(limit + 1));
  EXPECT_EQ(decoded.lines, Lines{"Value nested too deeply in StandardCodecSerializer::"
                                 "ReadValueOfType; limit is 256 levels"});
  EXPECT_EQ(orvane_test::NestingDepth(decoded.value), limit);
  EXPECT_EQ(decoded.position, 2 * limit + 1);

  // Hundreds of kilobytes of nesting neither overflow the stack nor print more than the one line.
  decoded = DecodeOne(NestedLists(200000));
  EXPECT_EQ(decoded.lines.size(), 1u);
  EXPECT_EQ(orvane_test::NestingDepth(decoded.value), limit);

  // Maps count as well, and the depth is back to zero for the next message.
  decoded = DecodeOne(Repeat(Bytes("0D 01 00"), 300));
  EXPECT_EQ(decoded.lines.size(), 1u);
  EXPECT_EQ(orvane_test::NestingDepth(decoded.value), limit);
  decoded = DecodeOne(NestedLists(limit));
  EXPECT_EQ(decoded.lines, Lines{});
}

TEST(StandardCodecSerializerTest, DecodingGoesOnAfterATooDeepValue) {
  // The too-deep list's count byte (01 = true) becomes the next element of the enclosing list.
  const size_t limit = StandardCodecSerializer::kMaxNestingDepth;
  const auto decoded =
      DecodeOne(Concat({Repeat(Bytes("0C 01"), limit - 1), Bytes("0C 02 0C 01 03 07 00 00 00")}));
  EncodableValue innermost(EncodableList{EncodableValue(), true});
  const EncodableValue* current = &decoded.value;
  for (size_t i = 0; i + 1 < limit; ++i) {
    current = &std::get<EncodableList>(*current)[0];
  }
  EXPECT_EQ(*current, innermost);
  EXPECT_EQ(decoded.lines.size(), 1u);
  EXPECT_EQ(decoded.position, 2 * (limit - 1) + 4);
}

}  // namespace
}  // namespace flutter
