#include "embedding/encodable_value.h"

#include <algorithm>
#include <functional>

namespace flutter {

bool operator<(const CustomValue& lhs, const CustomValue& rhs) noexcept {
  // std::less gives a total order over unrelated objects, where the built-in < does not.
  return std::less<const CustomValue*>()(&lhs, &rhs);
}

bool operator==(const CustomValue& lhs, const CustomValue& rhs) noexcept {
  return &lhs == &rhs;
}

namespace {

// Element by element: the first pair where one is less decides; a pair where neither is less
// (NaN against anything) counts as equal; then a proper prefix is less.
template <typename Sequence, typename Compare>
std::partial_ordering CompareSequences(const Sequence& lhs, const Sequence& rhs, Compare compare) {
  auto left = lhs.begin();
  auto right = rhs.begin();
  for (; left != lhs.end() && right != rhs.end(); ++left, ++right) {
    const std::partial_ordering order = compare(*left, *right);
    if (order < 0 || order > 0) {
      return order;
    }
  }
  if (left != lhs.end()) {
    return std::partial_ordering::greater;
  }
  return right != rhs.end() ? std::partial_ordering::less : std::partial_ordering::equivalent;
}

// A pair is less when its key is less, or when the keys are equivalent and its value is less.
std::partial_ordering ComparePairs(const EncodableMap::value_type& lhs,
                                   const EncodableMap::value_type& rhs) {
  const std::partial_ordering keys = lhs.first <=> rhs.first;
  if (keys < 0 || keys > 0) {
    return keys;
  }
  return lhs.second <=> rhs.second;
}

}  // namespace

std::partial_ordering operator<=>(const EncodableValue& lhs, const EncodableValue& rhs) {
  if (lhs.index() != rhs.index()) {
    return lhs.index() <=> rhs.index();
  }
  // Map keys are nearly always strings; spare them the visit.
  if (const auto* left_text = std::get_if<std::string>(&lhs)) {
    return *left_text <=> *std::get_if<std::string>(&rhs);
  }
  return std::visit(
      [&rhs](const auto& left) -> std::partial_ordering {
        using T = std::decay_t<decltype(left)>;
        const T& right = *std::get_if<T>(&rhs);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::partial_ordering::equivalent;
        } else if constexpr (std::is_same_v<T, CustomValue>) {
          // By identity: the two objects' addresses.
          return std::compare_three_way()(&left, &right);
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          return CompareSequences(left, right, ComparePairs);
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          return CompareSequences(
              left, right,
              [](const EncodableValue& a, const EncodableValue& b) { return a <=> b; });
        } else if constexpr (std::is_same_v<T, std::string>) {
          // char_traits<char> compares as unsigned char: unsigned bytes, then length.
          return left <=> right;
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>> ||
                             std::is_same_v<T, std::vector<int32_t>> ||
                             std::is_same_v<T, std::vector<int64_t>> ||
                             std::is_same_v<T, std::vector<double>> ||
                             std::is_same_v<T, std::vector<float>>) {
          return CompareSequences(left, right,
                                  [](auto a, auto b) -> std::partial_ordering { return a <=> b; });
        } else {
          // bool (false first), the integers, and double (NaN unordered).
          return left <=> right;
        }
      },
      static_cast<const EncodableValue::Variant&>(lhs));
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
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                            [](const auto& a, const auto& b) {
                              return a.first == b.first && a.second == b.second;
                            });
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
