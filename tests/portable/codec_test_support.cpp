#include "tests/portable/codec_test_support.h"

#include <algorithm>
#include <sstream>
#include <variant>

namespace flutter {

void PrintTo(const EncodableValue& value, std::ostream* out) {
  std::visit(
      [out](const auto& content) {
        using T = std::decay_t<decltype(content)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          *out << "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          *out << (content ? "true" : "false");
        } else if constexpr (std::is_same_v<T, int32_t>) {
          *out << content << "i32";
        } else if constexpr (std::is_same_v<T, int64_t>) {
          *out << content << "i64";
        } else if constexpr (std::is_same_v<T, double>) {
          *out << content << "d";
        } else if constexpr (std::is_same_v<T, std::string>) {
          *out << '"' << content << "\" (" << content.size() << " bytes)";
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          *out << '[';
          for (const auto& element : content) {
            PrintTo(element, out);
            *out << ", ";
          }
          *out << ']';
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          *out << '{';
          for (const auto& [key, element] : content) {
            PrintTo(key, out);
            *out << ": ";
            PrintTo(element, out);
            *out << ", ";
          }
          *out << '}';
        } else if constexpr (std::is_same_v<T, CustomValue>) {
          *out << "custom " << content.type().name();
        } else {
          *out << "typed list of " << content.size() << " {";
          for (const auto& element : content) {
            *out << +element << ' ';
          }
          *out << '}';
        }
      },
      static_cast<const EncodableValue::Variant&>(value));
}

}  // namespace flutter

namespace orvane_test {

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') {
      digits.push_back(c);
    }
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::vector<uint8_t> Repeat(const std::vector<uint8_t>& part, size_t times) {
  std::vector<uint8_t> all;
  all.reserve(part.size() * times);
  for (size_t i = 0; i < times; ++i) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::vector<uint8_t> Text(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> DiagnosticsOf(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  const std::string captured = testing::internal::GetCapturedStderr();
  std::vector<std::string> lines;
  std::istringstream stream(captured);
  std::string line;
  while (std::getline(stream, line)) {
    // The Windows C runtime writes the standard error stream in text mode.
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

std::vector<uint8_t> Encode(const flutter::EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::SharedInstance().WriteValue(value, &writer);
  return bytes;
}

Decoded DecodeOne(const std::vector<uint8_t>& bytes) {
  Decoded decoded;
  decoded.lines = DiagnosticsOf([&] {
    flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
    decoded.value = flutter::StandardCodecSerializer::SharedInstance().ReadValue(&reader);
    decoded.position = reader.position();
  });
  return decoded;
}

bool SamePairs(const flutter::EncodableMap& map,
               const std::map<flutter::EncodableValue, flutter::EncodableValue>& reference) {
  return std::equal(
      map.begin(), map.end(), reference.begin(), reference.end(),
      [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; });
}

size_t NestingDepth(const flutter::EncodableValue& value) {
  // Iterative, so that checking a deep value cannot itself exhaust the stack.
  size_t deepest = 0;
  std::vector<std::pair<const flutter::EncodableValue*, size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [current, depth] = pending.back();
    pending.pop_back();
    if (const auto* list = std::get_if<flutter::EncodableList>(current)) {
      deepest = std::max(deepest, depth + 1);
      for (const auto& element : *list) {
        pending.emplace_back(&element, depth + 1);
      }
    } else if (const auto* map = std::get_if<flutter::EncodableMap>(current)) {
      deepest = std::max(deepest, depth + 1);
      for (const auto& [key, element] : *map) {
        pending.emplace_back(&key, depth + 1);
        pending.emplace_back(&element, depth + 1);
      }
    }
  }
  return deepest;
}

}  // namespace orvane_test
