// The value model of all channel traffic: a tagged union whose alternatives, in this order,
// are exactly what the standard message encoding can carry.
#ifndef ORVANE_EMBEDDING_ENCODABLE_VALUE_H_
#define ORVANE_EMBEDDING_ENCODABLE_VALUE_H_

#include <algorithm>
#include <any>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

namespace internal {

// Written as compilers recognise a byte swap, which they then emit as one instruction.
constexpr uint32_t ByteSwapped(uint32_t word) noexcept {
  return (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
}
constexpr uint64_t ByteSwapped(uint64_t word) noexcept {
  return (static_cast<uint64_t>(ByteSwapped(static_cast<uint32_t>(word))) << 32) |
         ByteSwapped(static_cast<uint32_t>(word >> 32));
}

// The order of strings as map keys: unsigned bytes, then the shorter first on a common prefix,
// as std::string's own comparison gives it. Keys are short and often share a prefix
// ("setting.1", "setting.10"), where a call of memcmp per comparison costs more than the
// comparing: this compares eight (or four) bytes at a time, inline, as big-endian numbers, and
// finishes with one window that overlaps what has already been found equal.
inline int CompareText(std::string_view lhs, std::string_view rhs) noexcept {
  const size_t common = std::min(lhs.size(), rhs.size());
  const char* const left = lhs.data();
  const char* const right = rhs.data();
  // The `width` bytes at `at` of both, as numbers that order as the bytes do.
  auto ordered = [&](auto width, size_t at) {
    using Word = decltype(width);
    Word a = 0;
    Word b = 0;
    std::memcpy(&a, left + at, sizeof(Word));
    std::memcpy(&b, right + at, sizeof(Word));
    if constexpr (std::endian::native == std::endian::little) {
      a = ByteSwapped(a);
      b = ByteSwapped(b);
    }
    return a < b ? -1 : (a > b ? 1 : 0);
  };
  int order = 0;
  if (common >= 8) {
    size_t at = 0;
    for (; at + 8 <= common && order == 0; at += 8) {
      order = ordered(uint64_t{0}, at);
    }
    if (order == 0 && at != common) {
      order = ordered(uint64_t{0}, common - 8);
    }
  } else if (common >= 4) {
    order = ordered(uint32_t{0}, 0);
    if (order == 0) {
      order = ordered(uint32_t{0}, common - 4);
    }
  } else {
    for (size_t at = 0; at < common && order == 0; ++at) {
      const auto a = static_cast<unsigned char>(left[at]);
      const auto b = static_cast<unsigned char>(right[at]);
      order = a < b ? -1 : (a > b ? 1 : 0);
    }
  }
  if (order != 0) {
    return order;
  }
  return lhs.size() < rhs.size() ? -1 : (lhs.size() > rhs.size() ? 1 : 0);
}

}  // namespace internal

using EncodableList = std::vector<EncodableValue>;

// The map alternative: ordered by key (the ordering of EncodableValue, with NaN given a place:
// see internal::KeyLess), keys unique. Kept as one array of pairs sorted by key rather than a
// tree: a channel message's maps are small and are built once, read a few times and dropped, so
// one allocation per map instead of one per pair, and pairs side by side, are worth more than
// cheap insertion in the middle. The interface is the part of std::map's that values need; what
// differs: inserting or erasing moves the pairs after the place and invalidates iterators and
// references, and the iterators reach the key as a plain member, which must not be changed
// through them (that would break the order).
//
// The member functions are defined after EncodableValue, which they need complete.
class EncodableMap {
 public:
  using key_type = EncodableValue;
  using mapped_type = EncodableValue;
  using value_type = std::pair<EncodableValue, EncodableValue>;
  using size_type = size_t;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  EncodableMap() noexcept = default;
  // As for std::map, the first of equivalent keys wins.
  EncodableMap(std::initializer_list<value_type> pairs);
  // Takes the pairs in any order and sorts them by key, keeping the first of equivalent keys.
  explicit EncodableMap(std::vector<value_type>&& pairs);

  iterator begin() noexcept;
  iterator end() noexcept;
  const_iterator begin() const noexcept;
  const_iterator end() const noexcept;
  const_iterator cbegin() const noexcept;
  const_iterator cend() const noexcept;

  bool empty() const noexcept;
  size_t size() const noexcept;
  void clear() noexcept;

  // The first pair whose key is not less than `key`.
  iterator lower_bound(const EncodableValue& key);
  const_iterator lower_bound(const EncodableValue& key) const;
  iterator find(const EncodableValue& key);
  const_iterator find(const EncodableValue& key) const;
  size_t count(const EncodableValue& key) const;
  bool contains(const EncodableValue& key) const;
  // Throws std::out_of_range when the key is absent.
  EncodableValue& at(const EncodableValue& key);
  const EncodableValue& at(const EncodableValue& key) const;
  // Inserts the key with a null value when it is absent.
  EncodableValue& operator[](const EncodableValue& key);
  EncodableValue& operator[](EncodableValue&& key);

  // Nothing is inserted when an equivalent key is present; the iterator then points at it.
  std::pair<iterator, bool> insert(value_type pair);
  template <typename... Args>
  std::pair<iterator, bool> emplace(Args&&... arguments);
  template <typename Value>
  std::pair<iterator, bool> insert_or_assign(EncodableValue key, Value&& value);
  iterator erase(const_iterator position);
  size_t erase(const EncodableValue& key);

  friend bool operator==(const EncodableMap& lhs, const EncodableMap& rhs);

 private:
  // The place of `key`, and whether an equivalent key is there.
  std::pair<iterator, bool> Locate(const EncodableValue& key);

  std::vector<value_type> pairs_;
};

// One application-defined value of any copyable type. The standard serializer cannot encode it
// (it goes out as null) and never produces one; a derived serializer may give it a wire form.
class CustomValue {
 public:
  template <typename T, typename = std::enable_if_t<!std::is_same_v<std::decay_t<T>, CustomValue>>>
  explicit CustomValue(T&& value) : value_(std::forward<T>(value)) {}

  CustomValue(const CustomValue&) = default;
  CustomValue(CustomValue&&) noexcept = default;
  CustomValue& operator=(const CustomValue&) = default;
  CustomValue& operator=(CustomValue&&) noexcept = default;
  ~CustomValue() = default;

  const std::type_info& type() const noexcept { return value_.type(); }
  const std::any& value() const noexcept { return value_; }

  // The held value when it is a T, else null.
  template <typename T>
  const T* TryGet() const noexcept {
    return std::any_cast<T>(&value_);
  }

  // Custom values have no content order of their own: they are ordered, and are equal, by object
  // identity, so a copy is a different key.
  friend bool operator<(const CustomValue& lhs, const CustomValue& rhs) noexcept;
  friend bool operator==(const CustomValue& lhs, const CustomValue& rhs) noexcept;

 private:
  std::any value_;
};

namespace internal {
// The alternative order is load-bearing: map keys sort by it, and the serializer's tags follow it.
using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList,
                 EncodableMap, CustomValue, std::vector<float>>;
}  // namespace internal

// Access the content with std::get_if<T>(&value) (checked: null when the value holds another
// alternative) or std::get<T>(value) (unchecked: throws std::bad_variant_access).
class EncodableValue : public internal::EncodableValueVariant {
 public:
  using Variant = internal::EncodableValueVariant;
  using Variant::Variant;
  using Variant::operator=;

  EncodableValue() = default;
  // Text literals are strings; without this a pointer would choose the boolean alternative.
  EncodableValue(const char* text) : Variant(std::string(text)) {}  // NOLINT: implicit on purpose
  EncodableValue& operator=(const char* text) {
    Variant::operator=(std::string(text));
    return *this;
  }

  bool IsNull() const noexcept { return std::holds_alternative<std::monostate>(*this); }

  // Orders first by alternative index, then by content (see encodable_value.cpp for the rules per
  // alternative). NaN is neither less nor greater than any double, so this is no order for map
  // keys where a NaN may occur; maps use internal::KeyLess. Declaring the three-way form
  // ourselves also keeps the compiler from trying std::variant's, whose constraints recurse
  // through the list and map alternatives back to this type.
  friend std::partial_ordering operator<=>(const EncodableValue& lhs, const EncodableValue& rhs);
  friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
    // Map keys are nearly always strings: those compare here, without a call.
    const auto* left_text = std::get_if<std::string>(&lhs);
    const auto* right_text = std::get_if<std::string>(&rhs);
    if (left_text != nullptr && right_text != nullptr) {
      return internal::CompareText(*left_text, *right_text) < 0;
    }
    return (lhs <=> rhs) < 0;
  }
  // Same alternative and equal content; doubles compare as numbers (NaN is unequal to itself).
  friend bool operator==(const EncodableValue& lhs, const EncodableValue& rhs);
};

namespace internal {

// The order of map keys: the order of values, except where that cannot place a NaN (neither less
// nor greater than any double, it would be "equivalent" to every double at once, and a map
// sorted by such an order cannot find its own keys). Here a NaN is greater than every other
// double and equivalent to every NaN, whatever its bits: as a double, as an element of a typed
// list of doubles or floats, and anywhere inside a list or map used as a key. A map thus holds
// at most one NaN key of each shape, after the numbers. For keys without a NaN the two orders
// are the same, so are the maps.
std::weak_ordering CompareKeys(const EncodableValue& lhs, const EncodableValue& rhs);

inline bool KeyLess(const EncodableValue& lhs, const EncodableValue& rhs) {
  // Map keys are nearly always strings: those compare here, without a call.
  const auto* left_text = std::get_if<std::string>(&lhs);
  const auto* right_text = std::get_if<std::string>(&rhs);
  if (left_text != nullptr && right_text != nullptr) {
    return CompareText(*left_text, *right_text) < 0;
  }
  return CompareKeys(lhs, rhs) < 0;
}

// Sorts pairs by key, stably, and drops every pair whose key is equivalent to an earlier one's,
// so the first of a repeated key stays. The map's constructors end with it; decoding also runs it
// over the pairs read so far, so that repeats do not pile up before the map is made.
void SortByKeyKeepingFirst(std::vector<EncodableMap::value_type>& pairs);

}  // namespace internal

inline EncodableMap::iterator EncodableMap::begin() noexcept {
  return pairs_.begin();
}
inline EncodableMap::iterator EncodableMap::end() noexcept {
  return pairs_.end();
}
inline EncodableMap::const_iterator EncodableMap::begin() const noexcept {
  return pairs_.begin();
}
inline EncodableMap::const_iterator EncodableMap::end() const noexcept {
  return pairs_.end();
}
inline EncodableMap::const_iterator EncodableMap::cbegin() const noexcept {
  return pairs_.cbegin();
}
inline EncodableMap::const_iterator EncodableMap::cend() const noexcept {
  return pairs_.cend();
}
inline bool EncodableMap::empty() const noexcept {
  return pairs_.empty();
}
inline size_t EncodableMap::size() const noexcept {
  return pairs_.size();
}
inline void EncodableMap::clear() noexcept {
  pairs_.clear();
}
template <typename... Args>
std::pair<EncodableMap::iterator, bool> EncodableMap::emplace(Args&&... arguments) {
  return insert(value_type(std::forward<Args>(arguments)...));
}
inline EncodableMap::iterator EncodableMap::erase(const_iterator position) {
  return pairs_.erase(position);
}

inline EncodableMap::iterator EncodableMap::lower_bound(const EncodableValue& key) {
  return std::lower_bound(pairs_.begin(), pairs_.end(), key,
                          [](const value_type& pair, const EncodableValue& wanted) {
                            return internal::KeyLess(pair.first, wanted);
                          });
}

inline EncodableMap::const_iterator EncodableMap::lower_bound(const EncodableValue& key) const {
  return std::lower_bound(pairs_.begin(), pairs_.end(), key,
                          [](const value_type& pair, const EncodableValue& wanted) {
                            return internal::KeyLess(pair.first, wanted);
                          });
}

inline std::pair<EncodableMap::iterator, bool> EncodableMap::Locate(const EncodableValue& key) {
  // Maps are mostly built in key order: try the end first.
  if (pairs_.empty() || internal::KeyLess(pairs_.back().first, key)) {
    return {pairs_.end(), false};
  }
  const iterator place = lower_bound(key);
  return {place, !internal::KeyLess(key, place->first)};
}

inline EncodableMap::iterator EncodableMap::find(const EncodableValue& key) {
  const iterator place = lower_bound(key);
  return place != end() && !internal::KeyLess(key, place->first) ? place : end();
}

inline EncodableMap::const_iterator EncodableMap::find(const EncodableValue& key) const {
  const const_iterator place = lower_bound(key);
  return place != end() && !internal::KeyLess(key, place->first) ? place : end();
}

inline size_t EncodableMap::count(const EncodableValue& key) const {
  return find(key) == end() ? 0 : 1;
}

inline bool EncodableMap::contains(const EncodableValue& key) const {
  return find(key) != end();
}

inline EncodableValue& EncodableMap::at(const EncodableValue& key) {
  const iterator found = find(key);
  if (found == end()) {
    throw std::out_of_range("EncodableMap::at: no such key");
  }
  return found->second;
}

inline const EncodableValue& EncodableMap::at(const EncodableValue& key) const {
  const const_iterator found = find(key);
  if (found == end()) {
    throw std::out_of_range("EncodableMap::at: no such key");
  }
  return found->second;
}

inline EncodableValue& EncodableMap::operator[](const EncodableValue& key) {
  const auto [place, present] = Locate(key);
  if (present) {
    return place->second;
  }
  return pairs_.emplace(place, key, EncodableValue())->second;
}

inline EncodableValue& EncodableMap::operator[](EncodableValue&& key) {
  const auto [place, present] = Locate(key);
  if (present) {
    return place->second;
  }
  return pairs_.emplace(place, std::move(key), EncodableValue())->second;
}

inline std::pair<EncodableMap::iterator, bool> EncodableMap::insert(value_type pair) {
  const auto [place, present] = Locate(pair.first);
  if (present) {
    return {place, false};
  }
  return {pairs_.insert(place, std::move(pair)), true};
}

template <typename Value>
std::pair<EncodableMap::iterator, bool> EncodableMap::insert_or_assign(EncodableValue key,
                                                                       Value&& value) {
  const auto [place, present] = Locate(key);
  if (present) {
    place->second = std::forward<Value>(value);
    return {place, false};
  }
  return {pairs_.emplace(place, std::move(key), std::forward<Value>(value)), true};
}

inline size_t EncodableMap::erase(const EncodableValue& key) {
  const const_iterator found = find(key);
  if (found == cend()) {
    return 0;
  }
  pairs_.erase(found);
  return 1;
}

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_ENCODABLE_VALUE_H_
