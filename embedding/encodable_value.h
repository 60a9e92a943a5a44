// The value model of all channel traffic: a tagged union whose alternatives, in this order,
// are exactly what the standard message encoding can carry.
#ifndef ORVANE_EMBEDDING_ENCODABLE_VALUE_H_
#define ORVANE_EMBEDDING_ENCODABLE_VALUE_H_

#include <any>
#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

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
  // alternative). NaN is neither less nor greater than any double. Declaring the three-way form
  // ourselves also keeps the compiler from trying std::variant's, whose constraints recurse
  // through the list and map alternatives back to this type.
  friend std::partial_ordering operator<=>(const EncodableValue& lhs, const EncodableValue& rhs);
  friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
    // Map keys are nearly always strings: those compare here, without a call.
    const auto* left_text = std::get_if<std::string>(&lhs);
    const auto* right_text = std::get_if<std::string>(&rhs);
    if (left_text != nullptr && right_text != nullptr) {
      return *left_text < *right_text;
    }
    return (lhs <=> rhs) < 0;
  }
  // Same alternative and equal content; doubles compare as numbers (NaN is unequal to itself).
  friend bool operator==(const EncodableValue& lhs, const EncodableValue& rhs);
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_ENCODABLE_VALUE_H_
