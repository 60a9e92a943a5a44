#include <gtest/gtest.h>

#include <cmath>
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
