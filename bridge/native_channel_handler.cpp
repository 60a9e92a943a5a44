#include "bridge/native_channel_handler.h"

#include <windows.h>

#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "bridge/channel_arguments.h"
#include "bridge/installer_launcher.h"
#include "host/flutter_window.h"
#include "killswitch/kill_switch.h"

namespace {

using channel_arguments::As;
using channel_arguments::Find;
using channel_arguments::kBadArgs;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using Result = flutter::MethodResult<EncodableValue>;

constexpr char kExpectedMap[] = "Expected map";
constexpr wchar_t kDefaultTunAlias[] = L"OrvaneTun";
constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kProtocolTcp = 6;

// What the application gets when the handler itself fails before it answered (in practice only
// an allocation can): an error, which the application can tell from a missing method.
constexpr char kInternalError[] = "internal_error";
constexpr char kInternalErrorMessage[] = "The native handler failed";

// Passes the first answer on to the call's result and swallows any later one. The answer counts
// as given from the moment it is attempted: one that throws halfway may already have reached the
// engine, and a second reply to the same message would be a fault of its own.
class SingleAnswer final : public Result {
 public:
  explicit SingleAnswer(std::unique_ptr<Result> result) noexcept : result_(std::move(result)) {}

  bool answered() const noexcept { return answered_; }

  using Result::Error;
  using Result::Success;

  void Success(const EncodableValue* value) override {
    if (Take()) {
      result_->Success(value);
    }
  }
  void Error(const std::string& code, const std::string& message,
             const EncodableValue* details) override {
    if (Take()) {
      result_->Error(code, message, details);
    }
  }
  void NotImplemented() override {
    if (Take()) {
      result_->NotImplemented();
    }
  }

 private:
  bool Take() noexcept {
    if (answered_ || result_ == nullptr) {
      return false;
    }
    answered_ = true;
    return true;
  }

  std::unique_ptr<Result> result_;
  bool answered_ = false;
};

bool FlagOr(const EncodableMap& map, const char* key, bool fallback) {
  const bool* flag = Find<bool>(map, key);
  return flag == nullptr ? fallback : *flag;
}

// Every map item becomes an endpoint, whatever it holds: one with a bad address or no port is
// still passed on, as the kill switch matches it exactly (zeros included).
VpnEndpoint EndpointFrom(const EncodableMap& item) {
  VpnEndpoint endpoint;
  if (const auto* ip = Find<std::string>(item, "ip"); ip != nullptr) {
    // On failure the address stays 0.
    (void)KillSwitch::ParseIpv4(*ip, endpoint.address);
  }
  if (const auto* port = Find<int32_t>(item, "port"); port != nullptr) {
    endpoint.port = static_cast<uint16_t>(static_cast<uint32_t>(*port) & 0xFFFFu);
  }
  if (const auto entry = item.find(EncodableValue("protocol")); entry != item.end()) {
    const auto* name = std::get_if<std::string>(&entry->second);
    endpoint.protocol = name != nullptr && *name == "udp" ? kProtocolUdp : kProtocolTcp;
  }
  return endpoint;
}

KillSwitchConfig ConfigFrom(const EncodableMap& arguments) {
  KillSwitchConfig config;
  if (const auto* endpoints = Find<EncodableList>(arguments, "endpoints"); endpoints != nullptr) {
    for (const EncodableValue& item : *endpoints) {
      if (const auto* fields = std::get_if<EncodableMap>(&item); fields != nullptr) {
        config.endpoints.push_back(EndpointFrom(*fields));
      }
    }
  }
  config.allowLan = FlagOr(arguments, "allowLan", true);
  config.blockIpv6OutsideVpn = FlagOr(arguments, "blockIpv6OutsideVpn", true);
  return config;
}

// The interface alias the application named, or nothing when its text is not UTF-8. The channel
// carries UTF-8 and aliases are UTF-16, so a name outside ASCII (Windows names adapters in the
// user's language) arrives as the same characters; ASCII converts unit for unit. Every byte is
// converted, a NUL included: cutting the name at a NUL would name a different interface, while
// the kill switch refuses an alias that holds one.
std::optional<std::wstring> AliasFromUtf8(const std::string& name) {
  if (name.empty()) {
    return std::wstring();
  }
  if (name.size() > static_cast<size_t>(INT_MAX)) {
    return std::nullopt;
  }
  const int size = static_cast<int>(name.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), size, nullptr, 0);
  if (length <= 0) {
    return std::nullopt;
  }
  std::wstring alias(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), size, alias.data(), length) !=
      length) {
    return std::nullopt;
  }
  return alias;
}

void SetTrayConnectionState(const EncodableValue* arguments, FlutterWindow& window,
                            Result& result) {
  bool connected = false;
  if (const bool* flag = As<bool>(arguments); flag != nullptr) {
    connected = *flag;
  } else if (const auto* map = As<EncodableMap>(arguments); map != nullptr) {
    connected = FlagOr(*map, "connected", false);
  }
  window.UpdateTrayConnectionState(connected);
  result.Success(EncodableValue(true));
}

void LaunchInstallerUi(const EncodableValue* arguments, FlutterWindow& window, Result& result) {
  const auto* map = As<EncodableMap>(arguments);
  if (map == nullptr) {
    result.Error(kBadArgs, kExpectedMap);
    return;
  }
  LaunchInstaller(*map, window.GetHandle(), result);
}

void EnableKillSwitch(const EncodableValue* arguments, FlutterWindow& window, Result& result) {
  const auto* map = As<EncodableMap>(arguments);
  if (map == nullptr) {
    result.Error(kBadArgs, kExpectedMap);
    return;
  }
  const KillSwitchConfig config = ConfigFrom(*map);
  result.Success(EncodableValue(window.GetKillSwitch().Enable(config)));
}

void DisableKillSwitch(const EncodableValue*, FlutterWindow& window, Result& result) {
  result.Success(EncodableValue(window.GetKillSwitch().Disable()));
}

void IsKillSwitchEnabled(const EncodableValue*, FlutterWindow& window, Result& result) {
  result.Success(EncodableValue(window.GetKillSwitch().IsEnabled()));
}

// A name that is not UTF-8 names no interface: the answer is false and the kill switch is left as
// it was, tunnel permits included, rather than guessing which interface was meant.
void PermitTunInterface(const EncodableValue* arguments, FlutterWindow& window, Result& result) {
  std::wstring alias = kDefaultTunAlias;
  if (const auto* map = As<EncodableMap>(arguments); map != nullptr) {
    if (const auto* name = Find<std::string>(*map, "interfaceName"); name != nullptr) {
      std::optional<std::wstring> converted = AliasFromUtf8(*name);
      if (!converted.has_value()) {
        result.Success(EncodableValue(false));
        return;
      }
      alias = std::move(*converted);
    }
  }
  result.Success(EncodableValue(window.GetKillSwitch().PermitTunInterface(alias)));
}

void RevokeTunPermit(const EncodableValue*, FlutterWindow& window, Result& result) {
  result.Success(EncodableValue(window.GetKillSwitch().RevokeTunPermit()));
}

void CleanupStaleKillSwitch(const EncodableValue*, FlutterWindow& window, Result& result) {
  result.Success(EncodableValue(window.GetKillSwitch().CleanupStale()));
}

struct Method {
  std::string_view name;
  void (*run)(const EncodableValue* arguments, FlutterWindow& window, Result& result);
};

// Tried in this order; names match byte for byte, case included.
constexpr std::array<Method, 8> kMethods{{
    {"setTrayConnectionState", &SetTrayConnectionState},
    {"launchInstallerUi", &LaunchInstallerUi},
    {"enableKillSwitch", &EnableKillSwitch},
    {"disableKillSwitch", &DisableKillSwitch},
    {"isKillSwitchEnabled", &IsKillSwitchEnabled},
    {"permitTunInterface", &PermitTunInterface},
    {"revokeTunPermit", &RevokeTunPermit},
    {"cleanupStaleKillSwitch", &CleanupStaleKillSwitch},
}};

void Dispatch(const flutter::MethodCall<EncodableValue>& call, FlutterWindow& window,
              Result& result) {
  const std::string& name = call.method_name();
  for (const Method& method : kMethods) {
    if (name == method.name) {
      method.run(call.arguments(), window, result);
      return;
    }
  }
  result.NotImplemented();
}

}  // namespace

void NativeChannelHandler(const flutter::MethodCall<EncodableValue>& call,
                          std::unique_ptr<Result> result, FlutterWindow* window) noexcept {
  if (result == nullptr) {
    return;  // nothing to answer through
  }
  SingleAnswer answer(std::move(result));
  try {
    if (window == nullptr) {
      // Without the host window none of the services exists.
      answer.NotImplemented();
      return;
    }
    Dispatch(call, *window, answer);
  } catch (...) {
    if (!answer.answered()) {
      try {
        answer.Error(kInternalError, kInternalErrorMessage);
      } catch (...) {
        // Out of memory even for that: the result, released unanswered, still sends the engine
        // an empty response, so the message is not left hanging.
      }
    }
  }
}
