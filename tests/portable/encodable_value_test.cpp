#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "embedding/encodable_value.h"
#include "tests/portable/codec_test_support.h"

namespace flutter {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Strictly ordered: each is less than the next and not the other way round.
void ExpectAscending(const std::vector<EncodableValue>& values) {
  for (size_t i = 0; i + 1 < values.size(); ++i) {
    EXPECT_TRUE(values[i] < values[i + 1]) << "at " << i;
    EXPECT_FALSE(values[i + 1] < values[i]) << "at " << i;
  }
}

void ExpectEquivalent(const EncodableValue& a, const EncodableValue& b) {
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
}

TEST(EncodableValueTest, ConstructionPicksTheAlternativeOfTheContent) {
  EXPECT_EQ(EncodableValue().index(), 0u);
  EXPECT_TRUE(EncodableValue().IsNull());
  EXPECT_EQ(EncodableValue(true).index(), 1u);
  EXPECT_EQ(EncodableValue(5).index(), 2u);
  EXPECT_EQ(EncodableValue(int64_t{5}).index(), 3u);
  EXPECT_EQ(EncodableValue(int64_t{1} << 40).index(), 3u);
  EXPECT_EQ(EncodableValue(1.5).index(), 4u);
  // A literal is text, not a pointer turned boolean.
  EXPECT_EQ(EncodableValue("text").index(), 5u);
  EXPECT_EQ(std::get<std::string>(EncodableValue("text")), "text");
  EXPECT_EQ(EncodableValue(std::string("text")).index(), 5u);
  EXPECT_EQ(EncodableValue(std::vector<uint8_t>{1}).index(), 6u);
  EXPECT_EQ(EncodableValue(std::vector<int32_t>{1}).index(), 7u);
  EXPECT_EQ(EncodableValue(std::vector<int64_t>{1}).index(), 8u);
  EXPECT_EQ(EncodableValue(std::vector<double>{1}).index(), 9u);
  EXPECT_EQ(EncodableValue(EncodableList{}).index(), 10u);
  EXPECT_EQ(EncodableValue(EncodableMap{}).index(), 11u);
  EXPECT_EQ(EncodableValue(CustomValue(7)).index(), 12u);
  EXPECT_EQ(EncodableValue(std::vector<float>{1}).index(), 13u);
  EXPECT_FALSE(EncodableValue(false).IsNull());
}

TEST(EncodableValueTest, CheckedAccessYieldsNothingAndUncheckedAccessThrows) {
  EncodableValue value(int64_t{42});
  EXPECT_EQ(std::get_if<int32_t>(&value), nullptr);
  ASSERT_NE(std::get_if<int64_t>(&value), nullptr);
  EXPECT_EQ(*std::get_if<int64_t>(&value), 42);
  EXPECT_THROW((void)std::get<int32_t>(value), std::bad_variant_access);
  EXPECT_EQ(std::get<int64_t>(value), 42);

  // Assignment replaces the content, in place or with another alternative.
  value = int64_t{7};
  EXPECT_EQ(std::get<int64_t>(value), 7);
  value = "now text";
  EXPECT_EQ(std::get<std::string>(value), "now text");
  value = EncodableValue();
  EXPECT_TRUE(value.IsNull());
}

TEST(EncodableValueTest, CopiesAreDeep) {
  EncodableValue original(EncodableList{EncodableValue(EncodableMap{{"k", EncodableList{1, 2}}})});
  EncodableValue copy = original;
  auto& inner = std::get<EncodableMap>(std::get<EncodableList>(copy)[0]);
  std::get<EncodableList>(inner[EncodableValue("k")]).push_back(3);

  const auto& original_inner = std::get<EncodableMap>(std::get<EncodableList>(original)[0]);
  EXPECT_EQ(std::get<EncodableList>(original_inner.at(EncodableValue("k"))).size(), 2u);
  EXPECT_FALSE(copy == original);

  // A custom value is copied through the held type's own copy.
  EncodableValue custom(CustomValue(std::string("held")));
  EncodableValue custom_copy = custom;
  const auto* held = std::get<CustomValue>(custom_copy).TryGet<std::string>();
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(*held, "held");
  EXPECT_NE(held, std::get<CustomValue>(custom).TryGet<std::string>());
  EXPECT_EQ(std::get<CustomValue>(custom).TryGet<int>(), nullptr);
}

TEST(EncodableValueTest, DifferentAlternativesOrderByIndex) {
  ExpectAscending({
      EncodableValue(),
      EncodableValue(true),
      EncodableValue(5),
      EncodableValue(int64_t{1}),  // 5 as a 32-bit integer sorts before 1 as a 64-bit one
      EncodableValue(-100.0),
      EncodableValue(""),
      EncodableValue(std::vector<uint8_t>{}),
      EncodableValue(std::vector<int32_t>{}),
      EncodableValue(std::vector<int64_t>{}),
      EncodableValue(std::vector<double>{}),
      EncodableValue(EncodableList{}),
      EncodableValue(EncodableMap{}),
      EncodableValue(CustomValue(0)),
      EncodableValue(std::vector<float>{}),
  });
}

TEST(EncodableValueTest, ScalarsOrderByContent) {
  ExpectEquivalent(EncodableValue(), EncodableValue());
  ExpectAscending({EncodableValue(false), EncodableValue(true)});
  ExpectAscending({EncodableValue(std::numeric_limits<int32_t>::min()), EncodableValue(-1),
                   EncodableValue(0), EncodableValue(std::numeric_limits<int32_t>::max())});
  ExpectAscending({EncodableValue(std::numeric_limits<int64_t>::min()), EncodableValue(int64_t{-1}),
                   EncodableValue(int64_t{1} << 40)});
  ExpectAscending({EncodableValue(-INFINITY), EncodableValue(-0.5), EncodableValue(2.0)});
  // NaN is neither less nor greater than anything, itself included.
  ExpectEquivalent(EncodableValue(kNaN), EncodableValue(1.0));
  ExpectEquivalent(EncodableValue(kNaN), EncodableValue(kNaN));
  ExpectEquivalent(EncodableValue(0.0), EncodableValue(-0.0));
}

TEST(EncodableValueTest, StringsAndByteListsOrderAsUnsignedBytesThenLength) {
  // 0x80 is negative as a signed char; as a byte it is above 'z'.
  ExpectAscending({EncodableValue(""), EncodableValue("a"), EncodableValue("ab"),
                   EncodableValue("b"), EncodableValue("z"), EncodableValue("\x80"),
                   EncodableValue("\xff")});
  ExpectAscending({EncodableValue(std::vector<uint8_t>{}), EncodableValue(std::vector<uint8_t>{1}),
                   EncodableValue(std::vector<uint8_t>{1, 0}),
                   EncodableValue(std::vector<uint8_t>{0x7f, 0xff}),
                   EncodableValue(std::vector<uint8_t>{0x80})});
}

TEST(EncodableValueTest, StringsOfEveryLengthOrderAsStdStringDoes) {
  // Keys that share long prefixes and differ in one byte anywhere, signed and unsigned halves.
  const char kAlphabet[] = {'\x00', '\x01', 'a', 'b', '\x7f', '\x80', '\xff'};
  std::mt19937 random(17);
  auto byte = [&] { return kAlphabet[random() % sizeof(kAlphabet)]; };
  for (int round = 0; round < 4000; ++round) {
    std::string left(random() % 25, 'a');
    for (char& c : left) {
      c = byte();
    }
    std::string right = left;
    switch (random() % 3) {
      case 0:
        if (!right.empty()) {
          right[random() % right.size()] = byte();
        }
        break;
      case 1:
        right.resize(random() % 25, byte());
        break;
      default:
        right.push_back(byte());
        break;
    }
    SCOPED_TRACE(testing::Message() << left.size() << " and " << right.size() << " bytes");
    const int expected = left.compare(right);
    EXPECT_EQ(EncodableValue(left) < EncodableValue(right), expected < 0);
    EXPECT_EQ(EncodableValue(right) < EncodableValue(left), expected > 0);
    EXPECT_EQ((EncodableValue(left) <=> EncodableValue(right)) == 0, expected == 0);
  }
}

// Random operations on an EncodableMap and on std::map side by side; both must hold the same
// pairs in the same order after each.
TEST(EncodableValueTest, MapKeepsKeysUniqueAndOrderedAsStdMapDoes) {
  EncodableMap map;
  std::map<EncodableValue, EncodableValue> reference;
  std::mt19937 random(5);
  for (int step = 0; step < 3000; ++step) {
    const EncodableValue key(static_cast<int32_t>(random() % 40));
    const EncodableValue value(step);
    SCOPED_TRACE(testing::Message() << "step " << step);
    switch (random() % 6) {
      case 0:
        map[key] = value;
        reference[key] = value;
        break;
      case 1:
        EXPECT_EQ(map.insert({key, value}).second, reference.insert({key, value}).second);
        break;
      case 2:
        EXPECT_EQ(map.emplace(key, value).first->second,
                  reference.emplace(key, value).first->second);
        break;
      case 3:
        EXPECT_EQ(map.insert_or_assign(key, value).second,
                  reference.insert_or_assign(key, value).second);
        break;
      case 4:
        EXPECT_EQ(map.erase(key), reference.erase(key));
        break;
      default:
        if (const auto found = map.find(key); found != map.end()) {
          map.erase(found);
          reference.erase(key);
        }
        break;
    }
    EXPECT_EQ(map.count(key), reference.count(key));
    EXPECT_EQ(map.contains(key), reference.count(key) == 1);
    if (reference.count(key) == 0) {
      EXPECT_THROW((void)map.at(key), std::out_of_range);
    }
    ASSERT_TRUE(orvane_test::SamePairs(map, reference));
  }

  // Built from pairs in any order, the first of equivalent keys wins, as std::map's own
  // construction from a sequence has it; with few pairs and with many.
  for (const int size : {3, 16, 17, 300}) {
    std::vector<EncodableMap::value_type> pairs;
    std::map<EncodableValue, EncodableValue> first_wins;
    for (int i = 0; i < size; ++i) {
      pairs.emplace_back(static_cast<int32_t>(random() % (size / 2 + 1)), i);
      first_wins.insert(pairs.back());
    }
    const EncodableMap built(std::move(pairs));
    EXPECT_TRUE(orvane_test::SamePairs(built, first_wins)) << size << " pairs";
  }
  const EncodableMap listed{{"b", 1}, {"a", 2}, {"b", 3}};
  EXPECT_EQ(listed, (EncodableMap{{"a", 2}, {"b", 1}}));
}

// Keys of every kind a NaN can sit in (a double, typed lists of doubles and floats, a list),
// mixed with integers and strings; -0.0 and 0.0 are one key. `nan` tells whether it holds one.
EncodableValue RandomKey(std::mt19937& random, bool& nan) {
  const double kNumbers[] = {kNaN, -kNaN, 1.0, 2.0, -0.0, 0.0, INFINITY, -1.5};
  nan = false;
  auto number = [&] {
    const double picked = kNumbers[random() % std::size(kNumbers)];
    nan = nan || std::isnan(picked);
    return picked;
  };
  switch (random() % 6) {
    case 0:
      return EncodableValue(static_cast<int32_t>(random() % 3));
    case 1:
      return EncodableValue(std::string(1, static_cast<char>('a' + random() % 3)));
    case 2:
      return EncodableValue(std::vector<double>{number(), number()});
    case 3:
      return EncodableValue(std::vector<float>{static_cast<float>(number())});
    case 4:
      return EncodableValue(EncodableList{number(), static_cast<int32_t>(random() % 2)});
    default:
      return EncodableValue(number());
  }
}

// The pairs in their order, repeats included. Encoded as a list of keys and values, then
// retagged: with fewer than 127 pairs, or 254 to 32767, both counts take a size field of the same
// length, so every double keeps its alignment.
std::vector<uint8_t> EncodedMap(const std::vector<EncodableMap::value_type>& pairs) {
  EncodableList flat;
  for (const auto& [key, value] : pairs) {
    flat.push_back(key);
    flat.push_back(value);
  }
  std::vector<uint8_t> bytes = orvane_test::Encode(EncodableValue(flat));
  bytes[0] = 0x0D;
  if (pairs.size() < 127) {
    bytes[1] = static_cast<uint8_t>(pairs.size());
  } else {
    bytes[2] = static_cast<uint8_t>(pairs.size());
    bytes[3] = static_cast<uint8_t>(pairs.size() >> 8);
  }
  return bytes;
}

EncodableValue DecodedFrom(const std::vector<uint8_t>& bytes) {
  ByteBufferStreamReader reader(bytes.data(), bytes.size());
  return StandardCodecSerializer::SharedInstance().ReadValue(&reader);
}

// Whatever its keys, a map finds every pair where it is (so no key is there twice), holds every
// NaN-free key with the value a map of only those would (so a NaN key never replaces or hides
// another), and its encoding decodes to the same bytes (so it is in order).
void ExpectConsistent(const EncodableMap& map,
                      const std::map<EncodableValue, EncodableValue>& nan_free) {
  for (auto pair = map.begin(); pair != map.end(); ++pair) {
    EXPECT_TRUE(map.find(pair->first) == pair) << testing::PrintToString(pair->first);
  }
  for (const auto& [key, value] : nan_free) {
    const auto found = map.find(key);
    EXPECT_TRUE(found != map.end() && found->second == value) << testing::PrintToString(key);
  }
  const std::vector<uint8_t> bytes = orvane_test::Encode(EncodableValue(map));
  EXPECT_EQ(orvane_test::Encode(DecodedFrom(bytes)), bytes);
}

TEST(EncodableValueTest, MapsStayConsistentWhateverTheirKeys) {
  // The shape that broke the sorted pairs: a NaN between two doubles that arrive backwards.
  const EncodableMap listed{{2.0, 0}, {kNaN, 1}, {1.0, 2}, {-kNaN, 3}};
  const std::vector<uint8_t> listed_bytes = orvane_test::Encode(EncodableValue(listed));
  for (const EncodableMap& map :
       {listed, std::get<EncodableMap>(DecodedFrom(EncodedMap({{2.0, 0}, {kNaN, 1}, {1.0, 2}})))}) {
    // A NaN key is one key, placed after every other double; a second NaN repeats it.
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.begin()->first, EncodableValue(1.0));
    EXPECT_TRUE(std::isnan(std::get<double>(std::prev(map.end())->first)));
    EXPECT_EQ(map.at(1.0), EncodableValue(2));
    EXPECT_EQ(map.at(2.0), EncodableValue(0));
    EXPECT_EQ(map.at(kNaN), EncodableValue(1));
    EXPECT_EQ(orvane_test::Encode(EncodableValue(map)), listed_bytes);
  }

  std::mt19937 random(24);
  for (int round = 0; round < 1000; ++round) {
    std::vector<EncodableMap::value_type> pairs;
    std::map<EncodableValue, EncodableValue> first_wins;
    std::map<EncodableValue, EncodableValue> last_wins;
    // Now and then a long one, whose decoding drops repeats as it reads.
    const size_t size = round % 50 == 0 ? 254 + random() % 100 : 1 + random() % 20;
    for (size_t i = 0; i < size; ++i) {
      bool nan = false;
      pairs.emplace_back(RandomKey(random, nan), static_cast<int32_t>(i));
      if (!nan) {
        first_wins.insert(pairs.back());
        last_wins[pairs.back().first] = pairs.back().second;
      }
    }
    SCOPED_TRACE(testing::Message() << "round " << round);
    EncodableMap inserted;
    EncodableMap subscripted;
    for (size_t i = 0; i < pairs.size(); ++i) {
      if (i % 2 == 0) {
        inserted.insert(pairs[i]);
      } else {
        inserted.emplace(pairs[i].first, pairs[i].second);
      }
      subscripted[pairs[i].first] = pairs[i].second;
    }
    ExpectConsistent(std::get<EncodableMap>(DecodedFrom(EncodedMap(pairs))), first_wins);
    ExpectConsistent(EncodableMap(std::vector<EncodableMap::value_type>(pairs)), first_wins);
    ExpectConsistent(inserted, first_wins);
    ExpectConsistent(subscripted, last_wins);
    if (HasFailure()) {
      ADD_FAILURE() << "pairs in order: " << testing::PrintToString(pairs);
      break;  // one map's report is enough
    }
  }
}

TEST(EncodableValueTest, ListsOrderElementByElementWithPrefixFirst) {
  ExpectAscending(
      {EncodableValue(std::vector<int32_t>{}), EncodableValue(std::vector<int32_t>{-5, 100}),
       EncodableValue(std::vector<int32_t>{-5, 100, 0}), EncodableValue(std::vector<int32_t>{3})});
  ExpectAscending(
      {EncodableValue(std::vector<int64_t>{-1}), EncodableValue(std::vector<int64_t>{0})});
  ExpectAscending({EncodableValue(EncodableList{1, "a"}), EncodableValue(EncodableList{1, "b"}),
                   EncodableValue(EncodableList{int64_t{0}})});
  // A pair where neither is less (NaN) counts as equal and the next pair decides.
  ExpectAscending({EncodableValue(std::vector<double>{kNaN, 1.0}),
                   EncodableValue(std::vector<double>{5.0, 2.0})});
  ExpectEquivalent(EncodableValue(std::vector<double>{kNaN}),
                   EncodableValue(std::vector<double>{1.0}));
  ExpectAscending({EncodableValue(std::vector<float>{1.0f}),
                   EncodableValue(std::vector<float>{1.0f, -1.0f}),
                   EncodableValue(std::vector<float>{2.0f})});
}

TEST(EncodableValueTest, MapsOrderPairByPair) {
  const EncodableValue a1(EncodableMap{{"a", 1}});
  const EncodableValue a2(EncodableMap{{"a", 2}});
  const EncodableValue a1b0(EncodableMap{{"a", 1}, {"b", 0}});
  const EncodableValue b0(EncodableMap{{"b", 0}});
  ExpectAscending({EncodableValue(EncodableMap{}), a1, a1b0, a2, b0});
  ExpectEquivalent(a1, EncodableValue(EncodableMap{{"a", 1}}));
}

TEST(EncodableValueTest, CustomValuesOrderByIdentity) {
  EncodableList customs{EncodableValue(CustomValue(1)), EncodableValue(CustomValue(1))};
  const EncodableValue& first = customs[0];
  const EncodableValue& second = customs[1];
  EXPECT_TRUE(first < second);  // adjacent in one vector, so the first has the lower address
  EXPECT_FALSE(second < first);
  ExpectEquivalent(first, first);
  EXPECT_TRUE(first == first);
  EXPECT_FALSE(first == second);
}

TEST(EncodableValueTest, MapKeysFollowTheOrderingAndKeepTheFirstOfEquivalentKeys) {
  EncodableMap map;
  map[EncodableValue("b")] = 1;
  map[EncodableValue("a")] = 2;
  map[EncodableValue(int64_t{1})] = 3;
  map[EncodableValue(5)] = 4;
  std::vector<EncodableValue> keys;
  for (const auto& [key, value] : map) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<EncodableValue>{EncodableValue(5), EncodableValue(int64_t{1}),
                                               EncodableValue("a"), EncodableValue("b")}));

  // Subscript inserts a null for a missing key; lookup by a value made for it finds the pair.
  EXPECT_TRUE(map[EncodableValue("missing")].IsNull());
  EXPECT_EQ(map.size(), 5u);
  auto found = map.find(EncodableValue("a"));
  ASSERT_NE(found, map.end());
  EXPECT_EQ(found->second, EncodableValue(2));
  EXPECT_EQ(map.find(EncodableValue(int64_t{5})), map.end());
}

TEST(EncodableValueTest, EqualityComparesAlternativeAndContent) {
  EXPECT_EQ(EncodableValue(1), EncodableValue(1));
  EXPECT_NE(EncodableValue(1), EncodableValue(int64_t{1}));
  EXPECT_NE(EncodableValue(kNaN), EncodableValue(kNaN));
  EXPECT_EQ(EncodableValue(EncodableMap{{"a", EncodableList{1, "x"}}}),
            EncodableValue(EncodableMap{{"a", EncodableList{1, "x"}}}));
  EXPECT_NE(EncodableValue(EncodableMap{{"a", 1}}), EncodableValue(EncodableMap{{"a", 2}}));
  EXPECT_NE(EncodableValue(EncodableMap{{"a", 1}}), EncodableValue(EncodableMap{{"b", 1}}));
}

}  // namespace
}  // namespace flutter
