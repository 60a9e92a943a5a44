// The read-outs of the stand-in fwpuclnt.dll (wfp_standin_control.h has the formats).

#include "standins/wfp/wfp_standin_control.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standins/wfp/fwpuclnt_state.h"

#include <ws2tcpip.h>

namespace {

using wfp_model::Condition;
using wfp_model::Connection;
using wfp_model::Filter;
using wfp_model::IpVersion;

size_t CopyText(const std::string& text, char* buffer, size_t capacity) noexcept {
  if (buffer != nullptr && capacity > 0) {
    const size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    text.copy(buffer, count);
    buffer[count] = '\0';
  }
  return text.size();
}

std::string Utf8(const std::wstring& name) {
  std::string utf8;
  if (!name.empty()) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                         nullptr, 0, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(size > 0 ? size : 0));
    if (size > 0) {
      WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), utf8.data(), size,
                          nullptr, nullptr);
    }
  }
  return utf8;
}

std::string Quoted(const std::wstring& name) {
  std::string result = "\"";
  for (const char c : Utf8(name)) {
    if (c == '"' || c == '\\') {
      result += '\\';
    }
    result += c;
  }
  return result + '"';
}

std::string KeyText(const GUID& key) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", key.Data1,
                key.Data2, key.Data3, key.Data4[0], key.Data4[1], key.Data4[2], key.Data4[3],
                key.Data4[4], key.Data4[5], key.Data4[6], key.Data4[7]);
  return text;
}

std::string V4Text(UINT32 address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

std::string V6Text(const std::array<std::uint8_t, 16>& bytes) {
  std::string result;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    char group[8];
    std::snprintf(group, sizeof group, "%s%x", i == 0 ? "" : ":",
                  static_cast<unsigned>(bytes[i] << 8 | bytes[i + 1]));
    result += group;
  }
  return result;
}

unsigned PrefixLength(UINT32 mask) noexcept {
  unsigned length = 0;
  while (length < 32 && (mask & (0x80000000u >> length)) != 0) {
    ++length;
  }
  return length;  // the model refuses masks that are not contiguous
}

const char* FieldName(const GUID& field) noexcept {
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS))
    return "remote-address";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_PORT))
    return "remote-port";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_PORT))
    return "local-port";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_PROTOCOL))
    return "protocol";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_FLAGS))
    return "flags";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE))
    return "local-interface";
  return "?";  // the model accepts no other field
}

const char* MatchName(FWP_MATCH_TYPE match) noexcept {
  switch (match) {
    case FWP_MATCH_EQUAL:
      return "==";
    case FWP_MATCH_NOT_EQUAL:
      return "!=";
    case FWP_MATCH_GREATER:
      return ">";
    case FWP_MATCH_LESS:
      return "<";
    case FWP_MATCH_GREATER_OR_EQUAL:
      return ">=";
    case FWP_MATCH_LESS_OR_EQUAL:
      return "<=";
    case FWP_MATCH_FLAGS_ALL_SET:
      return "all-set";
    case FWP_MATCH_FLAGS_ANY_SET:
      return "any-set";
    case FWP_MATCH_FLAGS_NONE_SET:
      return "none-set";
    default:
      return "?";
  }
}

std::string ValueText(const Condition& condition) {
  switch (condition.type) {
    case FWP_V4_ADDR_MASK:
      return V4Text(static_cast<UINT32>(condition.value)) + "/" +
             std::to_string(PrefixLength(condition.v4Mask));
    case FWP_BYTE_ARRAY16_TYPE:
      return V6Text(condition.v6);
    case FWP_V6_ADDR_MASK:
      return V6Text(condition.v6) + "/" + std::to_string(condition.prefixLength);
    default:
      break;
  }
  if (wfp::SameGuid(condition.field, wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS)) {
    return V4Text(static_cast<UINT32>(condition.value));
  }
  if (wfp::SameGuid(condition.field, wfp::FWPM_CONDITION_FLAGS)) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(condition.value));
    return text;
  }
  return std::to_string(condition.value);
}

std::string WeightText(const Filter& filter) {
  switch (filter.weightType) {
    case FWP_UINT8:
      return std::to_string(filter.weight);
    case FWP_UINT64:
      return "u64:" + std::to_string(filter.weight);
    default:
      return "auto";
  }
}

std::string Describe(const wfp_model::WfpModel& model) {
  std::string text = "sessions " + std::to_string(model.OpenSessions().size()) + " transaction " +
                     (model.TransactionOpen() ? "open" : "none") + "\n";
  for (const wfp_model::Provider& provider : model.Providers()) {
    text += "provider " + KeyText(provider.key) + " " + Quoted(provider.name) + "\n";
  }
  for (const wfp_model::Sublayer& sublayer : model.Sublayers()) {
    text += "sublayer " + KeyText(sublayer.key) + " " + Quoted(sublayer.name) + " weight " +
            std::to_string(sublayer.weight) + "\n";
  }
  for (const Filter& filter : model.Filters()) {
    text += "filter " + std::to_string(filter.id) +
            (wfp::SameGuid(filter.layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6) ? " v6 " : " v4 ") +
            (filter.action == FWP_ACTION_BLOCK ? "block" : "permit") + " weight " +
            WeightText(filter) + " " + Quoted(filter.name);
    const char* joiner = " if ";
    for (const Condition& condition : filter.conditions) {
      text += joiner;
      text += FieldName(condition.field);
      text += ' ';
      text += MatchName(condition.match);
      text += ' ';
      text += ValueText(condition);
      joiner = " and ";
    }
    text += "\n";
  }
  return text;
}

// ---- the connection text -------------------------------------------------------------------

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text, int base = 10) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint8_t> ParseProtocol(std::string_view word) {
  constexpr std::pair<std::string_view, std::uint8_t> kNames[] = {
      {"tcp", 6}, {"udp", 17}, {"icmp", 1}, {"icmpv6", 58}};
  for (const auto& [name, number] : kNames) {
    if (word == name) {
      return number;
    }
  }
  return ParseNumber<std::uint8_t>(word);
}

std::optional<std::uint64_t> ParseLuid(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    return ParseNumber<std::uint64_t>(text.substr(2), 16);
  }
  return ParseNumber<std::uint64_t>(text);
}

// Fills the address and port of `connection`; returns what is wrong, or nothing.
std::optional<std::string> ParseDestination(std::string_view word, Connection& connection) {
  std::string address;
  std::string_view rest;
  if (connection.version == IpVersion::kV6) {
    const size_t close = word.find(']');
    if (!word.starts_with('[') || close == std::string_view::npos) {
      return "an IPv6 address must be in brackets";
    }
    address = std::string(word.substr(1, close - 1));
    rest = word.substr(close + 1);
  } else {
    const size_t colon = word.find(':');
    address = std::string(word.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : word.substr(colon);
  }
  if (!rest.empty()) {
    if (!rest.starts_with(':')) {
      return "unexpected text after the address";
    }
    const auto port = ParseNumber<std::uint16_t>(rest.substr(1));
    if (!port) {
      return "bad port";
    }
    connection.remotePort = *port;
  }
  if (connection.version == IpVersion::kV4) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
      return "bad IPv4 address";
    }
    connection.remoteV4 = ntohl(parsed.s_addr);
  } else {
    in6_addr parsed{};
    if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
      return "bad IPv6 address";
    }
    std::memcpy(connection.remoteV6.data(), &parsed, connection.remoteV6.size());
  }
  return std::nullopt;
}

// Reads the connection text into `connection`; returns what is wrong, or nothing.
std::optional<std::string> ParseConnection(std::string_view text, Connection& connection) {
  std::vector<std::string_view> words;
  for (size_t at = 0; at < text.size();) {
    const size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) {
      break;
    }
    const size_t end = std::min(text.find_first_of(" \t", start), text.size());
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  if (words.size() < 3) {
    return "expected \"<v4|v6> <protocol> <address>[:<port>]\"";
  }
  if (words[0] == "v4" || words[0] == "v6") {
    connection.version = words[0] == "v4" ? IpVersion::kV4 : IpVersion::kV6;
  } else {
    return "unknown IP version \"" + std::string(words[0]) + "\"";
  }
  const auto protocol = ParseProtocol(words[1]);
  if (!protocol) {
    return "unknown protocol \"" + std::string(words[1]) + "\"";
  }
  connection.protocol = *protocol;
  if (auto problem = ParseDestination(words[2], connection)) {
    return problem;
  }
  for (size_t i = 3; i < words.size(); ++i) {
    const std::string_view word = words[i];
    if (word == "loopback") {
      connection.flags |= FWP_CONDITION_FLAG_IS_LOOPBACK;
    } else if (word.starts_with("local-port=")) {
      const auto port = ParseNumber<std::uint16_t>(word.substr(11));
      if (!port) {
        return "bad local port";
      }
      connection.localPort = *port;
    } else if (word.starts_with("luid=")) {
      const auto luid = ParseLuid(word.substr(5));
      if (!luid) {
        return "bad luid";
      }
      connection.localInterface = *luid;
    } else {
      return "unknown option \"" + std::string(word) + "\"";
    }
  }
  return std::nullopt;
}

std::string Classify(const wfp_model::WfpModel& model, const Connection& connection) {
  const wfp_model::Decision decision = model.Classify(connection);
  const std::string verdict = decision.verdict == wfp_model::Verdict::kBlock ? "block" : "permit";
  const Filter* filter = model.FindFilter(decision.filterId);
  if (filter == nullptr) {
    return verdict + " (no filter)";
  }
  return verdict + " " + Utf8(filter->name);
}

}  // namespace

extern "C" size_t StandinWfpDescribe(char* text, size_t capacity) {
  try {
    standin_wfp::Platform& platform = standin_wfp::Shared();
    const std::lock_guard<std::mutex> hold(platform.lock);
    return CopyText(Describe(*platform.model), text, capacity);
  } catch (...) {
    return CopyText(std::string(), text, capacity);
  }
}

extern "C" size_t StandinWfpClassify(const char* connection, char* text, size_t capacity) {
  try {
    if (connection == nullptr) {
      return CopyText("error: no connection text", text, capacity);
    }
    Connection parsed;
    if (const auto problem = ParseConnection(connection, parsed)) {
      return CopyText("error: " + *problem, text, capacity);
    }
    standin_wfp::Platform& platform = standin_wfp::Shared();
    const std::lock_guard<std::mutex> hold(platform.lock);
    return CopyText(Classify(*platform.model, parsed), text, capacity);
  } catch (...) {
    return CopyText("error: out of memory", text, capacity);
  }
}

extern "C" void StandinWfpReset(void) {
  try {
    standin_wfp::Platform& platform = standin_wfp::Shared();
    auto fresh = std::make_unique<wfp_model::WfpModel>();
    const std::lock_guard<std::mutex> hold(platform.lock);
    platform.model = std::move(fresh);
  } catch (...) {
    // Out of memory: the old model stays.
  }
}
