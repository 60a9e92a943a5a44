// A real FlutterWindow on the stand-in engine, its kill switch bound to the filtering platform
// model, with the test playing the application on "vpn/native".
#ifndef ORVANE_TESTS_WINE_NATIVE_CHANNEL_SUPPORT_H_
#define ORVANE_TESTS_WINE_NATIVE_CHANNEL_SUPPORT_H_

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "embedding/encodable_value.h"
#include "embedding/engine_project.h"
#include "embedding/method_call.h"
#include "embedding/standard_method_codec.h"
#include "host/flutter_window.h"
#include "host/platform_seams.h"
#include "killswitch/filter_records.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/messaging_control.h"
#include "standins/wfp/wfp_model.h"
#include "tests/portable/codec_test_support.h"

namespace native_channel_test {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using Bytes = std::vector<uint8_t>;

inline constexpr UINT64 kTunLuid = 0x0006000000010000ULL;

inline const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::SharedInstance();
}

// A response as it came back: compared by its bytes, printed decoded.
struct Reply {
  Bytes bytes;
  friend bool operator==(const Reply&, const Reply&) = default;
};

class PrintingResult : public flutter::MethodResult<EncodableValue> {
 public:
  explicit PrintingResult(std::ostream& out) : out_(out) {}
  void Success(const EncodableValue* value) override {
    out_ << "Success(";
    flutter::PrintTo(value != nullptr ? *value : EncodableValue(), &out_);
    out_ << ")";
  }
  void Error(const std::string& code, const std::string& message,
             const EncodableValue* details) override {
    out_ << "Error(" << code << ", " << message << (details != nullptr ? ", details" : "") << ")";
  }
  void NotImplemented() override { out_ << "NotImplemented"; }

 private:
  std::ostream& out_;
};

inline void PrintTo(const Reply& reply, std::ostream* out) {
  if (reply.bytes.empty()) {
    *out << "empty response (NotImplemented)";
    return;
  }
  PrintingResult printer(*out);
  if (!Codec().DecodeReply(reply.bytes.data(), reply.bytes.size(), &printer)) {
    *out << "no envelope";
  }
  *out << " [";
  for (uint8_t byte : reply.bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte);
    *out << hex;
  }
  *out << " ]";
}

// The application's call; no value means a call without arguments.
inline Bytes CallBytes(const std::string& method, std::optional<EncodableValue> arguments) {
  const flutter::MethodCall<EncodableValue> call(
      method, arguments ? std::make_unique<EncodableValue>(std::move(*arguments)) : nullptr);
  return Codec().EncodeCall(call);
}

inline Reply SuccessBytes(const EncodableValue& value) {
  return {Codec().EncodeSuccess(&value)};
}
inline Reply BadArgsBytes(const std::string& message) {
  return {Codec().EncodeError("bad_args", message, nullptr)};
}
// What NotImplemented sends: an empty response.
inline const Reply kNotImplemented{};

// Records what the notification area is told, without telling it.
struct TrayRecord {
  DWORD message;
  NOTIFYICONDATAW data;
};
inline std::vector<TrayRecord>& TrayRecords() {
  static std::vector<TrayRecord> records;
  return records;
}
inline BOOL WINAPI RecordNotifyIcon(DWORD message, PNOTIFYICONDATAW data) {
  TrayRecords().push_back({message, *data});
  return TRUE;
}

// The window's end would otherwise start taskkill for the VPN core.
inline BOOL WINAPI RefuseCreateProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                       LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                       LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

class NativeChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinEngineReset();
    TrayRecords().clear();
    model.SetInterfaceAlias(L"OrvaneTun", kTunLuid);
    ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
    messaging = StandinEngineLatestMessaging();
    ASSERT_NE(messaging, nullptr);
  }

  void TearDown() override {
    // A second answer to any message would have been refused and counted here.
    EXPECT_EQ(StandinMessagingRefusedResponses(messaging), 0u);
    window.Destroy();
    StandinEngineReset();
  }

  // Delivers `message` as the application and returns the response; fails the test when the
  // handler did not answer during the delivery.
  Reply Exchange(const Bytes& message) {
    Bytes response(1 << 16);
    size_t size = 0;
    const StandinDeliveryStatus status =
        StandinMessagingExchange(messaging, "vpn/native", message.data(), message.size(),
                                 response.data(), response.size(), &size, nullptr);
    EXPECT_EQ(status, kStandinAnswered);
    response.resize(status == kStandinAnswered ? size : 0);
    return {response};
  }

  Reply Call(const std::string& method, std::optional<EncodableValue> arguments = std::nullopt) {
    return Exchange(CallBytes(method, std::move(arguments)));
  }

  std::vector<wfp_model::Filter> Ours() const {
    return model.FiltersOfProvider(KillSwitchProviderKey);
  }

  // Declared before the window, which uses them until it is gone: the seams it calls, and the
  // model its kill switch is bound to.
  const platform_seams::ScopedBinding<platform_seams::NotifyIconFunction> trayRecorder{
      platform_seams::shellNotifyIcon, &RecordNotifyIcon};
  const platform_seams::ScopedBinding<platform_seams::CreateProcessFunction> noProcesses{
      platform_seams::createProcess, &RefuseCreateProcess};
  wfp_model::WfpModel model;
  FlutterWindow window{EngineProject(L"data"), model};
  StandinMessagingRef messaging = nullptr;
};

// Builds an EncodableMap with string keys.
inline EncodableValue Map(std::vector<std::pair<std::string, EncodableValue>> entries) {
  EncodableMap map;
  for (auto& [key, value] : entries) {
    map[EncodableValue(key)] = std::move(value);
  }
  return EncodableValue(std::move(map));
}

}  // namespace native_channel_test

#endif  // ORVANE_TESTS_WINE_NATIVE_CHANNEL_SUPPORT_H_
