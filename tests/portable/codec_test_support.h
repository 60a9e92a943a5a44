// Helpers shared by the value and codec tests: hex byte strings, diagnostics capture, printing.
#ifndef ORVANE_TESTS_PORTABLE_CODEC_TEST_SUPPORT_H_
#define ORVANE_TESTS_PORTABLE_CODEC_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "embedding/byte_streams.h"
#include "embedding/encodable_value.h"
#include "embedding/standard_codec_serializer.h"

namespace flutter {
// Readable failure messages for values (found by GoogleTest through argument-dependent lookup).
void PrintTo(const EncodableValue& value, std::ostream* out);
}  // namespace flutter

namespace orvane_test {

// "07 03 61" -> {0x07, 0x03, 0x61}; spaces are ignored.
std::vector<uint8_t> Bytes(const std::string& hex);
std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts);
std::vector<uint8_t> Repeat(const std::vector<uint8_t>& part, size_t times);
// The bytes of a string's text.
std::vector<uint8_t> Text(const std::string& text);

// Runs `action` with the standard error stream captured and returns the lines it wrote.
std::vector<std::string> DiagnosticsOf(const std::function<void()>& action);

std::vector<uint8_t> Encode(const flutter::EncodableValue& value);

// One value read from position 0 of `bytes`, with what the read printed and where it stopped.
struct Decoded {
  flutter::EncodableValue value;
  std::vector<std::string> lines;
  uint64_t position = 0;
};
Decoded DecodeOne(const std::vector<uint8_t>& bytes);

// Whether `map` holds exactly the pairs of `reference`, in the same order.
bool SamePairs(const flutter::EncodableMap& map,
               const std::map<flutter::EncodableValue, flutter::EncodableValue>& reference);

// How many lists and maps are nested at the deepest point of `value`.
size_t NestingDepth(const flutter::EncodableValue& value);

inline constexpr char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";

}  // namespace orvane_test

#endif  // ORVANE_TESTS_PORTABLE_CODEC_TEST_SUPPORT_H_
