#include "embedding/encodable_value.h"

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

namespace flutter {

bool operator<(const CustomValue& lhs, const CustomValue& rhs) noexcept {
  // std::less gives a total order over unrelated objects, where the built-in < does not.
  return std::less<const CustomValue*>()(&lhs, &rhs);
}

bool operator==(const CustomValue& lhs, const CustomValue& rhs) noexcept {
  return &lhs == &rhs;
}

namespace {

using MapPair = EncodableMap::value_type;

bool PairLess(const MapPair& lhs, const MapPair& rhs) {
  return internal::KeyLess(lhs.first, rhs.first);
}

// Below this many pairs an insertion sort in place is the cheapest.
constexpr size_t kInsertionSortLimit = 16;

bool EquivalentKeys(const MapPair& lhs, const MapPair& rhs) {
  return !PairLess(lhs, rhs) && !PairLess(rhs, lhs);
}

// Puts pairs[order[k]] at k for every k, in place, following the permutation's cycles.
// `order` is a permutation of the indices; it is used up.
void Permute(std::vector<MapPair>& pairs, std::vector<uint32_t>& order) {
  for (size_t start = 0; start < pairs.size(); ++start) {
    if (order[start] == start) {
      continue;
    }
    MapPair held = std::move(pairs[start]);
    size_t at = start;
    while (order[at] != start) {
      const size_t from = order[at];
      pairs[at] = std::move(pairs[from]);
      order[at] = static_cast<uint32_t>(at);
      at = from;
    }
    pairs[at] = std::move(held);
    order[at] = static_cast<uint32_t>(at);
  }
}

}  // namespace

// Both sorts are stable, which is what keeps the first of equivalent keys in front. A long map
// sorts its indices and then moves each pair once into place: sorting the pairs themselves would
// take a buffer as large as the map.
void internal::SortByKeyKeepingFirst(std::vector<MapPair>& pairs) {
  if (std::adjacent_find(pairs.begin(), pairs.end(), [](const MapPair& lhs, const MapPair& rhs) {
        return !PairLess(lhs, rhs);
      }) == pairs.end()) {
    return;  // strictly ascending already: the common case
  }
  if (pairs.size() <= kInsertionSortLimit) {
    for (auto next = pairs.begin() + 1; next != pairs.end(); ++next) {
      std::rotate(std::upper_bound(pairs.begin(), next, *next, PairLess), next, next + 1);
    }
    pairs.erase(std::unique(pairs.begin(), pairs.end(), EquivalentKeys), pairs.end());
    return;
  }
  // A map has fewer than 2^32 pairs: its size field has 32 bits.
  std::vector<uint32_t> order(pairs.size());
  for (size_t i = 0; i < order.size(); ++i) {
    order[i] = static_cast<uint32_t>(i);
  }
  std::stable_sort(order.begin(), order.end(), [&pairs](uint32_t lhs, uint32_t rhs) {
    return PairLess(pairs[lhs], pairs[rhs]);
  });
  // The first of each run of equivalent keys is kept; the others go to the end, to be dropped.
  std::vector<uint32_t> dropped;
  size_t kept = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (kept != 0 && EquivalentKeys(pairs[order[kept - 1]], pairs[order[i]])) {
      dropped.push_back(order[i]);
    } else {
      order[kept++] = order[i];
    }
  }
  std::copy(dropped.begin(), dropped.end(), order.begin() + static_cast<std::ptrdiff_t>(kept));
  Permute(pairs, order);
  pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(kept), pairs.end());
}

EncodableMap::EncodableMap(std::initializer_list<value_type> pairs) : pairs_(pairs) {
  internal::SortByKeyKeepingFirst(pairs_);
}

EncodableMap::EncodableMap(std::vector<value_type>&& pairs) : pairs_(std::move(pairs)) {
  internal::SortByKeyKeepingFirst(pairs_);
}

bool operator==(const EncodableMap& lhs, const EncodableMap& rhs) {
  return std::equal(lhs.begin(), lhs.end(), rhs.begin(), rhs.end(),
                    [](const MapPair& a, const MapPair& b) {
                      return a.first == b.first && a.second == b.second;
                    });
}

namespace {

// The values' order compares with std::partial_ordering, where a NaN is unordered; the keys'
// order with std::weak_ordering, where a NaN is greater than every other number and equivalent
// to every NaN. Everything else is the same rule in both, written once.
template <typename Ordering>
Ordering Compare(const EncodableValue& lhs, const EncodableValue& rhs);

template <typename Ordering, typename Number>
Ordering CompareNumbers(Number lhs, Number rhs) {
  if constexpr (std::is_floating_point_v<Number> && std::is_same_v<Ordering, std::weak_ordering>) {
    const bool left_nan = std::isnan(lhs);
    const bool right_nan = std::isnan(rhs);
    if (left_nan || right_nan) {
      return left_nan <=> right_nan;  // a NaN after every number
    }
    return lhs < rhs ? Ordering::less : (rhs < lhs ? Ordering::greater : Ordering::equivalent);
  } else {
    return lhs <=> rhs;
  }
}

// Element by element: the first pair where one is less decides; a pair where neither is less
// (NaN against anything, in the values' order) counts as equal; then a proper prefix is less.
template <typename Ordering, typename Sequence, typename ElementOrder>
Ordering CompareSequences(const Sequence& lhs, const Sequence& rhs, ElementOrder compare) {
  auto left = lhs.begin();
  auto right = rhs.begin();
  for (; left != lhs.end() && right != rhs.end(); ++left, ++right) {
    const Ordering order = compare(*left, *right);
    if (order < 0 || order > 0) {
      return order;
    }
  }
  if (left != lhs.end()) {
    return Ordering::greater;
  }
  return right != rhs.end() ? Ordering::less : Ordering::equivalent;
}

// A pair is less when its key is less, or when the keys are equivalent and its value is less.
template <typename Ordering>
Ordering ComparePairs(const EncodableMap::value_type& lhs, const EncodableMap::value_type& rhs) {
  const Ordering keys = Compare<Ordering>(lhs.first, rhs.first);
  if (keys < 0 || keys > 0) {
    return keys;
  }
  return Compare<Ordering>(lhs.second, rhs.second);
}

template <typename Ordering>
Ordering Compare(const EncodableValue& lhs, const EncodableValue& rhs) {
  if (lhs.index() != rhs.index()) {
    return lhs.index() <=> rhs.index();
  }
  // Map keys are nearly always strings; spare them the visit.
  if (const auto* left_text = std::get_if<std::string>(&lhs)) {
    return internal::CompareText(*left_text, *std::get_if<std::string>(&rhs)) <=> 0;
  }
  return std::visit(
      [&rhs](const auto& left) -> Ordering {
        using T = std::decay_t<decltype(left)>;
        const T& right = *std::get_if<T>(&rhs);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return Ordering::equivalent;
        } else if constexpr (std::is_same_v<T, CustomValue>) {
          // By identity: the two objects' addresses.
          return std::compare_three_way()(&left, &right);
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          return CompareSequences<Ordering>(left, right, ComparePairs<Ordering>);
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          return CompareSequences<Ordering>(left, right, Compare<Ordering>);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return internal::CompareText(left, right) <=> 0;
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>> ||
                             std::is_same_v<T, std::vector<int32_t>> ||
                             std::is_same_v<T, std::vector<int64_t>> ||
                             std::is_same_v<T, std::vector<double>> ||
                             std::is_same_v<T, std::vector<float>>) {
          return CompareSequences<Ordering>(left, right,
                                            CompareNumbers<Ordering, typename T::value_type>);
        } else {
          // bool (false first), the integers, and double.
          return CompareNumbers<Ordering>(left, right);
        }
      },
      static_cast<const EncodableValue::Variant&>(lhs));
}

}  // namespace

std::partial_ordering operator<=>(const EncodableValue& lhs, const EncodableValue& rhs) {
  return Compare<std::partial_ordering>(lhs, rhs);
}

std::weak_ordering internal::CompareKeys(const EncodableValue& lhs, const EncodableValue& rhs) {
  return Compare<std::weak_ordering>(lhs, rhs);
}

bool operator==(const EncodableValue& lhs, const EncodableValue& rhs) {
  if (lhs.index() != rhs.index()) {
    return false;
  }
  return std::visit(
      [&rhs](const auto& left) -> bool {
        using T = std::decay_t<decltype(left)>;
        const T& right = *std::get_if<T>(&rhs);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return true;
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          return std::equal(
              left.begin(), left.end(), right.begin(), right.end(),
              [](const EncodableValue& a, const EncodableValue& b) { return a == b; });
        } else {
          return left == right;
        }
      },
      static_cast<const EncodableValue::Variant&>(lhs));
}

}  // namespace flutter
