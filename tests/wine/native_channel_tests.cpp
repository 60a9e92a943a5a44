// The "vpn/native" methods as the application reaches them: call bytes in, reply bytes out, and
// what the tray and the filtering platform were really told.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/native_channel_handler.h"
#include "tests/wine/killswitch/kill_switch_harness.h"
#include "tests/wine/native_channel_support.h"

namespace {

using kill_switch_test::ExpectedSet;
using kill_switch_test::Signatures;
using kill_switch_test::TunPermitSignature;
using namespace native_channel_test;

constexpr wchar_t kConnectedTip[] =
    L"Orvane \u2014 \u041f\u043e\u0434\u043a\u043b\u044e\u0447\u0435\u043d\u043e";
constexpr wchar_t kWaitingTip[] = L"Orvane \u2014 \u041e\u0436\u0438\u0434\u0430\u043d\u0438\u0435";

KillSwitchConfig Config(std::vector<VpnEndpoint> endpoints, bool allowLan = true,
                        bool blockIpv6 = true) {
  KillSwitchConfig config;
  config.endpoints = std::move(endpoints);
  config.allowLan = allowLan;
  config.blockIpv6OutsideVpn = blockIpv6;
  return config;
}

EncodableValue Endpoints(EncodableList items) {
  return Map({{"endpoints", EncodableValue(std::move(items))}});
}

std::vector<std::string> TunPair(UINT64 luid) {
  return {TunPermitSignature("V4", luid), TunPermitSignature("V6", luid)};
}

std::vector<std::string> TunPermits(const std::vector<wfp_model::Filter>& filters) {
  std::vector<std::string> found;
  for (const std::string& signature : Signatures(filters)) {
    if (signature.rfind("OrvaneVPN Permit TUN Interface", 0) == 0) {
      found.push_back(signature);
    }
  }
  return found;
}

// The tip of the last record that set one: the state the tray shows.
std::wstring ShownTip() {
  for (auto record = TrayRecords().rbegin(); record != TrayRecords().rend(); ++record) {
    if ((record->data.uFlags & NIF_TIP) != 0) {
      return record->data.szTip;
    }
  }
  return L"(none)";
}

// ---- wire level -----------------------------------------------------------------------------

TEST_F(NativeChannelTest, HandWrittenApplicationBytesGetTheExactReplyBytes) {
  using orvane_test::Bytes;
  using orvane_test::Concat;
  using orvane_test::Text;
  EXPECT_EQ(Exchange(Concat({Bytes("07 13"), Text("isKillSwitchEnabled"), Bytes("00")})),
            (Reply{Bytes("00 02")}));

  // A call of only a name: its arguments read as null, after one invalid-read line.
  Reply reply;
  const std::vector<std::string> lines = orvane_test::DiagnosticsOf([&] {
    reply = Exchange(Concat({Bytes("07 10"), Text("enableKillSwitch")}));
  });
  EXPECT_EQ(reply, (Reply{Concat({Bytes("01 07 08"), Text("bad_args"), Bytes("07 0C"),
                                  Text("Expected map"), Bytes("00")})}));
  EXPECT_EQ(lines, std::vector<std::string>{orvane_test::kInvalidRead});
}

TEST_F(NativeChannelTest, NamesOutsideTheTableAreNotImplementedAndTouchNothing) {
  const std::vector<std::string> names{"launchInstaller",
                                       "LaunchInstallerUi",
                                       "enablekillswitch",
                                       "isKillSwitchEnabled ",
                                       std::string("isKillSwitchEnabled\0", 20),
                                       "trayToggleVpn",
                                       ""};
  TrayRecords().clear();
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Call(name, Map({})), kNotImplemented);
  }
  EXPECT_TRUE(model.Calls().empty());
  EXPECT_TRUE(TrayRecords().empty());
}

// ---- failures inside the handler ---------------------------------------------------------------

BOOL WINAPI ThrowingNotifyIcon(DWORD, PNOTIFYICONDATAW) {
  throw std::bad_alloc();
}

// Counts the answers it is given; the first one throws, as an answer that ran out of memory
// while encoding would.
class ThrowingResult : public flutter::MethodResult<EncodableValue> {
 public:
  explicit ThrowingResult(int& answers) : answers_(answers) {}
  void Success(const EncodableValue*) override { Answer(); }
  void Error(const std::string&, const std::string&, const EncodableValue*) override { Answer(); }
  void NotImplemented() override { Answer(); }

 private:
  void Answer() {
    if (++answers_ == 1) {
      throw std::runtime_error("answer failed");
    }
  }
  int& answers_;
};

TEST_F(NativeChannelTest, AFailureBeforeTheAnswerIsAnsweredOnceAsAnError) {
  const platform_seams::ScopedBinding throwing(platform_seams::shellNotifyIcon,
                                               &ThrowingNotifyIcon);
  EXPECT_EQ(Call("setTrayConnectionState", EncodableValue(true)),
            (Reply{Codec().EncodeError("internal_error", "The native handler failed", nullptr)}));
}

TEST_F(NativeChannelTest, AnAnswerThatThrowsIsNeitherRepeatedNorPassedOn) {
  for (const char* method : {"isKillSwitchEnabled", "enableKillSwitch", "noSuchMethod"}) {
    SCOPED_TRACE(method);
    int answers = 0;
    const flutter::MethodCall<EncodableValue> call(method, nullptr);
    NativeChannelHandler(call, std::make_unique<ThrowingResult>(answers), &window);
    EXPECT_EQ(answers, 1);
  }
}

// ---- setTrayConnectionState ------------------------------------------------------------------

TEST_F(NativeChannelTest, TrayStateFollowsOnlyATrueBoolean) {
  struct Case {
    const char* what;
    std::optional<EncodableValue> arguments;
    bool connected;
  };
  const std::vector<Case> cases{
      {"true", EncodableValue(true), true},
      {"map connected true", Map({{"connected", EncodableValue(true)}}), true},
      {"false", EncodableValue(false), false},
      {"map connected false", Map({{"connected", EncodableValue(false)}}), false},
      {"no arguments", std::nullopt, false},
      {"integer 1", EncodableValue(int32_t{1}), false},
      {"string true", EncodableValue("true"), false},
      {"empty map", Map({}), false},
      {"map connected integer 1", Map({{"connected", EncodableValue(int32_t{1})}}), false},
      {"map connected string", Map({{"connected", EncodableValue("true")}}), false},
      {"list of true", EncodableValue(EncodableList{EncodableValue(true)}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // From the opposite state, so the case itself must make the change.
    ASSERT_EQ(Call("setTrayConnectionState", EncodableValue(!c.connected)),
              SuccessBytes(EncodableValue(true)));
    ASSERT_EQ(ShownTip(), c.connected ? kWaitingTip : kConnectedTip);

    EXPECT_EQ(Call("setTrayConnectionState", c.arguments), SuccessBytes(EncodableValue(true)));
    EXPECT_EQ(ShownTip(), c.connected ? kConnectedTip : kWaitingTip);
  }
}

// ---- enableKillSwitch ----------------------------------------------------------------------

TEST_F(NativeChannelTest, EnableBuildsTheConfigurationFromTheArguments) {
  struct Case {
    const char* what;
    EncodableValue arguments;
    KillSwitchConfig expected;
  };
  const EncodableValue udp("udp");
  const std::vector<Case> cases{
      {"empty map: defaults", Map({}), Config({})},
      {"only allowLan false", Map({{"allowLan", EncodableValue(false)}}), Config({}, false, true)},
      {"only blockIpv6OutsideVpn false", Map({{"blockIpv6OutsideVpn", EncodableValue(false)}}),
       Config({}, true, false)},
      {"flags that are not booleans",
       Map({{"allowLan", EncodableValue(int32_t{0})},
            {"blockIpv6OutsideVpn", EncodableValue("false")}}),
       Config({})},
      {"ip only", Endpoints({Map({{"ip", EncodableValue("10.0.0.1")}})}),
       Config({{0x0A000001, 0, 0}})},
      {"bad ip, port 443, protocol tcp",
       Endpoints({Map({{"ip", EncodableValue("vpn.example.org")},
                       {"port", EncodableValue(int32_t{443})},
                       {"protocol", EncodableValue("tcp")}})}),
       Config({{0, 443, 6}})},
      {"ip as a number", Endpoints({Map({{"ip", EncodableValue(int32_t{0x0A000001})}})}),
       Config({{0, 0, 0}})},
      {"port 70000 keeps its low 16 bits",
       Endpoints({Map({{"port", EncodableValue(int32_t{70000})}})}), Config({{0, 4464, 0}})},
      {"port -1", Endpoints({Map({{"port", EncodableValue(int32_t{-1})}})}),
       Config({{0, 65535, 0}})},
      {"port as a 64-bit integer", Endpoints({Map({{"port", EncodableValue(int64_t{443})}})}),
       Config({{0, 0, 0}})},
      {"protocol udp", Endpoints({Map({{"protocol", udp}})}), Config({{0, 0, 17}})},
      {"protocol UDP", Endpoints({Map({{"protocol", EncodableValue("UDP")}})}),
       Config({{0, 0, 6}})},
      {"protocol true", Endpoints({Map({{"protocol", EncodableValue(true)}})}),
       Config({{0, 0, 6}})},
      {"protocol null is present", Endpoints({Map({{"protocol", EncodableValue()}})}),
       Config({{0, 0, 6}})},
      {"empty endpoint map", Endpoints({Map({})}), Config({{0, 0, 0}})},
      {"items that are not maps are skipped, order kept",
       Endpoints({EncodableValue("1.2.3.4"),
                  Map({{"ip", EncodableValue("1.2.3.4")},
                       {"port", EncodableValue(int32_t{51820})},
                       {"protocol", udp}}),
                  EncodableValue(int32_t{5}),
                  Map({{"ip", EncodableValue("5.6.7.8")},
                       {"port", EncodableValue(int32_t{443})},
                       {"protocol", EncodableValue("tcp")}})}),
       Config({{0x01020304, 51820, 17}, {0x05060708, 443, 6}})},
      {"endpoints a map",
       Map({{"endpoints", Map({{"ip", EncodableValue("1.2.3.4")}})},
            {"allowLan", EncodableValue(false)}}),
       Config({}, false, true)},
      {"endpoints a list of strings", Endpoints({EncodableValue("1.2.3.4:443")}), Config({})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Call("enableKillSwitch", c.arguments), SuccessBytes(EncodableValue(true)));
    EXPECT_EQ(Signatures(Ours()), ExpectedSet(c.expected));
  }
}

TEST_F(NativeChannelTest, EnableWithoutAMapIsRefusedAndLeavesTheFiltersAlone) {
  ASSERT_EQ(Call("enableKillSwitch", Map({})), SuccessBytes(EncodableValue(true)));
  const std::vector<std::string> before = Signatures(Ours());
  const std::vector<std::optional<EncodableValue>> arguments{
      std::nullopt, EncodableValue(true),
      EncodableValue(EncodableList{Map({{"allowLan", EncodableValue(false)}})})};
  for (const auto& argument : arguments) {
    EXPECT_EQ(Call("enableKillSwitch", argument), BadArgsBytes("Expected map"));
  }
  EXPECT_EQ(Signatures(Ours()), before);
}

TEST_F(NativeChannelTest, AFailingKillSwitchAnswersFalseNotAnError) {
  model.FailOnUse(wfp_model::Call::kFilterAdd, 2, FWP_E_INVALID_PARAMETER);
  EXPECT_EQ(Call("enableKillSwitch", Map({})), SuccessBytes(EncodableValue(false)));
  EXPECT_TRUE(Ours().empty());

  // No session to be had (the filtering engine stopped, or too few rights).
  ASSERT_EQ(Call("disableKillSwitch"), SuccessBytes(EncodableValue(true)));
  model.FailOnUse(wfp_model::Call::kEngineOpen, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Call("disableKillSwitch"), SuccessBytes(EncodableValue(false)));
}

// ---- the other kill switch methods -----------------------------------------------------------

TEST_F(NativeChannelTest, DisableAndCleanupStaleBothRemoveEverythingAndIgnoreArguments) {
  for (const char* method : {"disableKillSwitch", "cleanupStaleKillSwitch"}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Call("enableKillSwitch", Map({})), SuccessBytes(EncodableValue(true)));
    ASSERT_EQ(Call("permitTunInterface"), SuccessBytes(EncodableValue(true)));
    ASSERT_EQ(Call("isKillSwitchEnabled", EncodableValue("junk")),
              SuccessBytes(EncodableValue(true)));

    EXPECT_EQ(Call(method, EncodableValue(int32_t{5})), SuccessBytes(EncodableValue(true)));
    EXPECT_TRUE(model.Filters().empty());
    EXPECT_FALSE(model.FindProvider(KillSwitchProviderKey).has_value());
    EXPECT_FALSE(model.FindSublayer(KillSwitchSublayerKey).has_value());
    EXPECT_TRUE(model.OpenSessions().empty());
    // Asking opens a session again, which then stays.
    EXPECT_EQ(Call("isKillSwitchEnabled"), SuccessBytes(EncodableValue(false)));
    EXPECT_EQ(Call(method), SuccessBytes(EncodableValue(true)));
  }
}

TEST_F(NativeChannelTest, TunnelPermitAndRevoke) {
  // No session yet: nothing to revoke, and none is opened for it.
  EXPECT_EQ(Call("revokeTunPermit"), SuccessBytes(EncodableValue(true)));
  EXPECT_TRUE(model.OpenSessions().empty());

  // Without the provider registered the platform refuses the permits.
  EXPECT_EQ(Call("permitTunInterface"), SuccessBytes(EncodableValue(false)));

  ASSERT_EQ(Call("enableKillSwitch", Map({{"blockIpv6OutsideVpn", EncodableValue(false)}})),
            SuccessBytes(EncodableValue(true)));
  EXPECT_EQ(Call("permitTunInterface"), SuccessBytes(EncodableValue(true)));
  EXPECT_EQ(TunPermits(Ours()), TunPair(kTunLuid));
  EXPECT_EQ(Call("revokeTunPermit", Map({{"interfaceName", EncodableValue("x")}})),
            SuccessBytes(EncodableValue(true)));
  EXPECT_TRUE(TunPermits(Ours()).empty());
  EXPECT_EQ(Signatures(Ours()), ExpectedSet(Config({}, true, false)));
}

TEST_F(NativeChannelTest, PermitTunInterfaceNamesTheInterface) {
  constexpr UINT64 kWgLuid = 0x0006000000020000ULL;
  constexpr UINT64 kEmptyLuid = 0x0006000000030000ULL;
  constexpr UINT64 kCyrillicLuid = 0x0006000000040000ULL;
  constexpr UINT64 kCutLuid = 0x0006000000050000ULL;
  model.SetInterfaceAlias(L"wg0", kWgLuid);
  model.SetInterfaceAlias(L"", kEmptyLuid);
  model.SetInterfaceAlias(L"\u041e\u0440\u0432\u0435\u0439\u043d VPN \U0001F512", kCyrillicLuid);
  // What a name cut at its NUL would find.
  model.SetInterfaceAlias(L"Orvane", kCutLuid);

  struct Case {
    const char* what;
    std::optional<EncodableValue> arguments;
    bool reply;
    std::vector<std::string> permits;  // after the call; each case starts from the default pair
  };
  const std::vector<Case> cases{
      {"no arguments", std::nullopt, true, TunPair(kTunLuid)},
      {"empty map", Map({}), true, TunPair(kTunLuid)},
      {"name a number", Map({{"interfaceName", EncodableValue(int32_t{5})}}), true,
       TunPair(kTunLuid)},
      {"a bare string is no map", EncodableValue("wg0"), true, TunPair(kTunLuid)},
      {"ASCII name", Map({{"interfaceName", EncodableValue("wg0")}}), true, TunPair(kWgLuid)},
      {"empty name passes on as empty", Map({{"interfaceName", EncodableValue("")}}), true,
       TunPair(kEmptyLuid)},
      {"non-ASCII name converts from UTF-8",
       Map({{"interfaceName",
             EncodableValue(
                 "\xD0\x9E\xD1\x80\xD0\xB2\xD0\xB5\xD0\xB9\xD0\xBD VPN \xF0\x9F\x94\x92")}}),
       true, TunPair(kCyrillicLuid)},
      {"unknown name: the earlier pair is gone",
       Map({{"interfaceName", EncodableValue("eth9")}}),
       false,
       {}},
      {"name with a NUL is not cut",
       Map({{"interfaceName", EncodableValue(std::string("Orvane\0Tun", 10))}}),
       false,
       {}},
      {"name not UTF-8: nothing changes", Map({{"interfaceName", EncodableValue("wg\xC3\x28")}}),
       false, TunPair(kTunLuid)},
      {"lone surrogate encoded in UTF-8", Map({{"interfaceName", EncodableValue("\xED\xA0\x80")}}),
       false, TunPair(kTunLuid)},
  };
  ASSERT_EQ(Call("enableKillSwitch", Map({})), SuccessBytes(EncodableValue(true)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Call("permitTunInterface"), SuccessBytes(EncodableValue(true)));
    EXPECT_EQ(Call("permitTunInterface", c.arguments), SuccessBytes(EncodableValue(c.reply)));
    EXPECT_EQ(TunPermits(Ours()), c.permits);
  }
}

}  // namespace
