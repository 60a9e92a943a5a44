// Reading a call's arguments, and the error code for arguments a method cannot use. A value
// counts only when it holds exactly the expected alternative, so the integer 1 is no flag and a
// 64-bit number is no port.
#ifndef ORVANE_BRIDGE_CHANNEL_ARGUMENTS_H_
#define ORVANE_BRIDGE_CHANNEL_ARGUMENTS_H_

#include <variant>

#include "embedding/encodable_value.h"

namespace channel_arguments {

// The code of the error reply to arguments a method cannot use, the same for every method and
// every fault: the message says what was wrong, for a person to read.
inline constexpr char kBadArgs[] = "bad_args";

// The value under the string key `key` when it holds a T; null otherwise (absent included).
template <typename T>
const T* Find(const flutter::EncodableMap& map, const char* key) {
  const auto entry = map.find(flutter::EncodableValue(key));
  return entry == map.end() ? nullptr : std::get_if<T>(&entry->second);
}

// `value` when it is present and holds a T; null otherwise.
template <typename T>
const T* As(const flutter::EncodableValue* value) {
  return value == nullptr ? nullptr : std::get_if<T>(value);
}

}  // namespace channel_arguments

#endif  // ORVANE_BRIDGE_CHANNEL_ARGUMENTS_H_
