// The words, lines and hex of the control pipe's line protocol (README, "Driving the host by
// hand"), shared by the pipe's server and its commands.
#ifndef ORVANE_STANDINS_ENGINE_CONTROL_TEXT_H_
#define ORVANE_STANDINS_ENGINE_CONTROL_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin_engine {

// Longest message, response or read-out copied out in one go.
constexpr size_t kMaxMessageBytes = 16 * 1024 * 1024;

// Lower-case, two digits a byte.
std::string Hex(const uint8_t* bytes, size_t size);
// Either case; null on an odd length or a character that is not a digit.
std::optional<std::vector<uint8_t>> FromHex(std::string_view text);

// The first word of `rest`, which is left holding what follows it.
std::string_view NextWord(std::string_view& rest);

std::vector<std::string> SplitLines(const std::string& text);

// A reply of several lines: "lines N", then the N lines. No line may itself contain a line feed.
std::vector<std::string> Listing(std::vector<std::string> lines);
// A reply of one line.
std::vector<std::string> One(std::string line);

// A handle or pointer as the protocol prints it: hex, no prefix.
std::string HandleText(const void* handle);

}  // namespace standin_engine

#endif  // ORVANE_STANDINS_ENGINE_CONTROL_TEXT_H_
