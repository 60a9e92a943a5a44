// The product orvane.exe, unmodified, under Wine with the stand-in engine and filtering platform:
// driven over "vpn/native" as the application drives it, and through its window and tray as a
// person does.
#include <gtest/gtest.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <tlhelp32.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/host_driver.h"

namespace {

using e2e::ErrorReply;
using e2e::Host;
using e2e::SuccessReply;
using e2e::WaitUntil;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

constexpr UINT kTrayCallbackMessage = WM_APP + 1;
constexpr UINT kTrayIconId = 1001;
constexpr UINT kNinKeySelect = 0x0401;  // NIN_KEYSELECT, shellapi.h

const std::vector<uint8_t> kNotImplemented;  // the empty reply

EncodableValue Endpoint(const char* ip, int32_t port, const char* protocol) {
  return EncodableMap{{"ip", ip}, {"port", port}, {"protocol", protocol}};
}

EncodableValue TwoEndpoints() {
  return EncodableList{Endpoint("203.0.113.10", 443, "tcp"),
                       Endpoint("198.51.100.7", 51820, "udp")};
}

// The interface a permit may name here: the loopback device, which Wine's IP helper knows by
// its Linux name.
constexpr char kRealInterface[] = "lo";

uint64_t LuidOf(const wchar_t* alias) {
  NET_LUID luid{};
  return ConvertInterfaceAliasToLuid(alias, &luid) == 0 ? luid.Value : 0;
}

// The value of "local-interface == N" in the model's tunnel permit for `version`, or 0.
uint64_t TunPermitLuid(const std::vector<std::string>& filters, const char* version) {
  for (const std::string& line : filters) {
    if (line.find(std::string(" ") + version + " permit") != std::string::npos &&
        line.find("OrvaneVPN Permit TUN Interface") != std::string::npos) {
      const size_t at = line.find("local-interface == ");
      if (at != std::string::npos) {
        return std::strtoull(line.c_str() + at + 19, nullptr, 10);
      }
    }
  }
  return 0;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Host::Window(), nullptr) << "another Orvane window is open in this prefix";
  }
};

TEST_F(HostTest, ShowsTheEngineViewAfterTheFirstFrameAndServesEveryMethod) {
  Host host;
  ASSERT_TRUE(host.started());
  const std::optional<e2e::ViewState> view = host.View();
  ASSERT_TRUE(view);
  RECT client{};
  GetClientRect(Host::Window(), &client);
  EXPECT_EQ(view->width, client.right);
  EXPECT_EQ(view->height, client.bottom);

  struct Case {
    const char* method;
    std::optional<EncodableValue> arguments;
    std::vector<uint8_t> reply;
  };
  const std::vector<uint8_t> ok = SuccessReply(true);
  const std::vector<uint8_t> no = SuccessReply(false);
  const std::vector<uint8_t> expected_map = ErrorReply("bad_args", "Expected map");
  // In order: each case sees the state the cases before it left.
  const Case cases[] = {
      {"cleanupStaleKillSwitch", std::nullopt, ok},
      {"isKillSwitchEnabled", std::nullopt, no},
      {"setTrayConnectionState", EncodableValue(true), ok},
      {"setTrayConnectionState", EncodableMap{{"connected", true}}, ok},
      {"setTrayConnectionState", EncodableValue(int32_t{1}), ok},
      {"setTrayConnectionState", std::nullopt, ok},
      {"enableKillSwitch", std::nullopt, expected_map},
      {"enableKillSwitch", EncodableValue("endpoints"), expected_map},
      {"enableKillSwitch", EncodableList{}, expected_map},
      {"isKillSwitchEnabled", std::nullopt, no},
      {"enableKillSwitch", EncodableMap{}, ok},
      {"isKillSwitchEnabled", EncodableValue("ignored"), ok},
      {"enableKillSwitch",
       EncodableMap{{"endpoints", TwoEndpoints()}, {"allowLan", 1}, {"blockIpv6OutsideVpn", "no"}},
       ok},
      {"permitTunInterface", EncodableMap{{"interfaceName", "OrvaneNoSuchInterface"}}, no},
      {"permitTunInterface", EncodableMap{{"interfaceName", kRealInterface}}, ok},
      {"revokeTunPermit", std::nullopt, ok},
      {"revokeTunPermit", std::nullopt, ok},
      {"disableKillSwitch", EncodableValue(int32_t{7}), ok},
      {"isKillSwitchEnabled", std::nullopt, no},
      // The tunnel permits need the provider that only an enable registers.
      {"permitTunInterface", EncodableMap{{"interfaceName", kRealInterface}}, no},
      {"disableKillSwitch", std::nullopt, ok},
      {"launchInstallerUi", std::nullopt, expected_map},
      {"launchInstallerUi", EncodableValue("C:\\setup.exe"), expected_map},
      {"launchInstallerUi", EncodableMap{}, ErrorReply("bad_args", "Missing filePath")},
      {"launchInstallerUi", EncodableMap{{"filePath", 5}},
       ErrorReply("bad_args", "Invalid filePath")},
      {"launchInstallerUi", EncodableMap{{"filePath", ""}},
       ErrorReply("bad_args", "Invalid filePath")},
      {"launchInstallerUi", EncodableMap{{"filePath", "\xC3\x28setup.exe"}},
       ErrorReply("bad_args", "Invalid UTF-8 filePath")},
      // An installer that ends during the watch. (A missing file is not tried here: the shell
      // shows its modal error box then, which holds the host's UI thread until someone closes it.)
      {"launchInstallerUi",
       EncodableMap{{"filePath", "C:\\windows\\system32\\cmd.exe"}, {"arguments", "/C exit 3"}},
       SuccessReply(EncodableMap{{"earlyExitCode", int32_t{3}},
                                 {"error", "installer_exited_early:3"},
                                 {"started", false}})},
      {"launchInstaller", EncodableMap{{"filePath", "C:\\setup.exe"}}, kNotImplemented},
      {"SetTrayConnectionState", EncodableValue(true), kNotImplemented},
      {"", std::nullopt, kNotImplemented},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + e2e::Hex(e2e::EncodeCall(c.method, c.arguments)));
    EXPECT_EQ(host.Call(c.method, c.arguments), std::optional(c.reply));
  }
  // Well-formed calls, bad arguments included, are nothing the host reports.
  EXPECT_EQ(host.Output(), "");

  // The console client people use, beside the test's own connection: one command from its
  // arguments, or one per line of its input (lines may end in CR LF).
  const std::wstring pipe = host.pipe();
  struct ClientCase {
    std::wstring arguments;
    std::string input;
    DWORD exit_code;
    std::string output;
  };
  const ClientCase client_cases[] = {
      {pipe + L" ping", "", 0, "ok\n"},
      {pipe + L" handler vpn/native", "", 0, "ok yes\n"},
      {pipe + L" send vpn/native " + std::wstring(L"071369734b696c6c537769746368456e61626c656400"),
       "", 0, "reply 0002\n"},  // success, false: it was disabled last
      {pipe + L" frobnicate now", "", 1, "error unknown command\n"},
      {pipe, "ping\r\n\nhandler none\n", 0, "ok\nok no\n"},
      {pipe, "ping\nsend vpn/native 0\n", 1, "ok\nerror bad hex\n"},
      {L"", "", 2, "usage: standin-control PIPE [COMMAND...]\n"},
  };
  for (const ClientCase& c : client_cases) {
    SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()) + " < " + c.input);
    EXPECT_EQ(e2e::RunControlProgram(c.arguments, c.input), std::make_pair(c.exit_code, c.output));
  }

  // Replies that never came, or came twice, would show here.
  EXPECT_EQ(host.Request("stats"), std::vector<std::string>{"ok pending=0 refused=0 dropped=0"});
}

TEST_F(HostTest, KeepsTheWindowHiddenUntilTheEngineHasDrawnAFrame) {
  SetEnvironmentVariableW(L"ORVANE_STANDIN_FIRST_FRAME_MS", L"1500");
  Host host(/*wait_until_shown=*/false);
  SetEnvironmentVariableW(L"ORVANE_STANDIN_FIRST_FRAME_MS", nullptr);
  ASSERT_TRUE(host.started());
  ASSERT_EQ(host.Request("wait-handler vpn/native 20000"), std::vector<std::string>{"ok"});
  // The channel is served while the window waits for the frame.
  EXPECT_EQ(host.Call("isKillSwitchEnabled"), std::optional(SuccessReply(false)));
  int hidden_without_frame = 0;
  bool shown = false;
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!shown && GetTickCount64() < deadline) {
    const std::optional<e2e::ViewState> view = host.View();
    ASSERT_TRUE(view);
    ASSERT_FALSE(view->visible && view->frames == 0) << "shown before the first frame";
    hidden_without_frame += !view->visible && view->frames == 0 ? 1 : 0;
    shown = view->visible && view->frames >= 1 && view->hosted;
    Sleep(20);
  }
  EXPECT_TRUE(shown);
  EXPECT_GT(hidden_without_frame, 5);
}

TEST_F(HostTest, NothingOutsideTheVpnPassesOnceTheKillSwitchIsOn) {
  Host host;
  ASSERT_TRUE(host.started());
  const uint64_t real_luid = LuidOf(L"lo");
  ASSERT_NE(real_luid, 0u);
  const std::string tun = " luid=" + std::to_string(real_luid);

  const std::string endpoint = "permit OrvaneVPN Permit VPN Endpoint";
  const std::string blocked = "block OrvaneVPN Block All";
  const std::string lan = "permit OrvaneVPN Permit LAN ";
  const std::string unfiltered = "permit (no filter)";
  const std::string tunnel = "permit OrvaneVPN Permit TUN Interface";
  struct Phase {
    const char* name;
    std::vector<std::pair<const char*, std::optional<EncodableValue>>> calls;
  };
  const Phase phases[] = {
      {"strict",
       {{"enableKillSwitch",
         EncodableMap{
             {"endpoints", TwoEndpoints()}, {"allowLan", false}, {"blockIpv6OutsideVpn", true}}}}},
      {"tunnel", {{"permitTunInterface", EncodableMap{{"interfaceName", kRealInterface}}}}},
      {"revoked", {{"revokeTunPermit", std::nullopt}}},
      {"lenient",
       {{"enableKillSwitch",
         EncodableMap{
             {"endpoints", TwoEndpoints()}, {"allowLan", true}, {"blockIpv6OutsideVpn", false}}},
        {"permitTunInterface", EncodableMap{{"interfaceName", kRealInterface}}}}},
      {"off", {{"disableKillSwitch", std::nullopt}}},
  };
  // Each connection's verdict (a prefix of the model's answer) in each phase above.
  struct Row {
    std::string connection;
    std::string strict, tunnel, revoked, lenient, off;
  };
  const std::string loopback = "permit OrvaneVPN Permit Loopback";
  const std::string dhcp = "permit OrvaneVPN Permit DHCP";
  const Row rows[] = {
      {"v4 tcp 203.0.113.10:443", endpoint, endpoint, endpoint, endpoint, unfiltered},
      {"v4 udp 198.51.100.7:51820", endpoint, endpoint, endpoint, endpoint, unfiltered},
      {"v4 udp 203.0.113.10:443", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 tcp 203.0.113.10:8443", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 tcp 198.51.100.7:51820", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 tcp 93.184.216.34:443", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 udp 8.8.8.8:53", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 tcp 127.0.0.1:8080 loopback", loopback, loopback, loopback, loopback, unfiltered},
      {"v4 udp 255.255.255.255:67 local-port=68", dhcp, dhcp, dhcp, dhcp, unfiltered},
      {"v4 udp 255.255.255.255:67 local-port=1068", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 tcp 192.168.1.20:445", blocked, blocked, blocked, lan + "192.168/16", unfiltered},
      {"v4 tcp 10.1.2.3:22", blocked, blocked, blocked, lan + "10/8", unfiltered},
      {"v4 tcp 172.20.0.1:80", blocked, blocked, blocked, lan + "172.16/12", unfiltered},
      {"v4 tcp 172.32.0.1:80", blocked, blocked, blocked, blocked, unfiltered},
      {"v4 tcp 169.254.10.10:80", blocked, blocked, blocked, lan + "Link-Local", unfiltered},
      {"v6 tcp [2001:db8::1]:443", blocked, blocked, blocked, unfiltered, unfiltered},
      {"v6 tcp [::1]:80 loopback", loopback, loopback, loopback, unfiltered, unfiltered},
      {"v4 tcp 93.184.216.34:443" + tun, blocked, tunnel, blocked, tunnel, unfiltered},
      {"v6 udp [2001:db8::53]:53" + tun, blocked, tunnel, blocked, tunnel, unfiltered},
      {"v4 tcp 93.184.216.34:443 luid=1", blocked, blocked, blocked, blocked, unfiltered},
  };
  size_t classified = 0;
  for (const Phase& phase : phases) {
    for (const auto& [method, arguments] : phase.calls) {
      ASSERT_EQ(host.Call(method, arguments), std::optional(SuccessReply(true))) << method;
    }
    const std::string Row::*column = std::string(phase.name) == "strict"    ? &Row::strict
                                     : std::string(phase.name) == "tunnel"  ? &Row::tunnel
                                     : std::string(phase.name) == "revoked" ? &Row::revoked
                                     : std::string(phase.name) == "lenient" ? &Row::lenient
                                                                            : &Row::off;
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(phase.name) + ": " + row.connection);
      const std::string verdict = host.Classify(row.connection);
      EXPECT_EQ(verdict.substr(0, (row.*column).size()), row.*column) << verdict;
      ++classified;
    }
    const std::vector<std::string> filters = host.DescribeFilters();
    if (std::string(phase.name) == "tunnel") {
      // The permit carries the LUID that the IP helper gives this process for the same alias.
      EXPECT_EQ(TunPermitLuid(filters, "v4"), real_luid);
      EXPECT_EQ(TunPermitLuid(filters, "v6"), real_luid);
    }
    if (std::string(phase.name) == "off") {
      EXPECT_EQ(CountContaining(filters, "filter "), 0u);
    }
  }
  std::cout << "[ classified ] " << classified << " connection attempts in " << std::size(phases)
            << " phases\n";
}

// In a private network namespace with a real tun device "OrvaneTun" (tun_namespace_test.sh
// makes one and sets ORVANE_E2E_TUN): the permit without an interface name resolves that device
// through Wine's IP helper.
TEST_F(HostTest, PermitsTheRealTunnelInterfaceByItsDefaultAlias) {
  wchar_t flag[4] = {};
  if (GetEnvironmentVariableW(L"ORVANE_E2E_TUN", flag, 4) == 0) {
    GTEST_SKIP() << "needs a tun device named OrvaneTun: run by tun_namespace_test.sh";
  }
  const uint64_t tun_luid = LuidOf(L"OrvaneTun");
  ASSERT_NE(tun_luid, 0u) << "no OrvaneTun interface seen by Wine";
  Host host;
  ASSERT_TRUE(host.started());
  ASSERT_EQ(host.Call("enableKillSwitch", EncodableMap{{"endpoints", TwoEndpoints()}}),
            std::optional(SuccessReply(true)));
  ASSERT_EQ(host.Call("permitTunInterface"), std::optional(SuccessReply(true)));
  const std::vector<std::string> filters = host.DescribeFilters();
  EXPECT_EQ(TunPermitLuid(filters, "v4"), tun_luid);
  EXPECT_EQ(TunPermitLuid(filters, "v6"), tun_luid);
  const std::string through = " luid=" + std::to_string(tun_luid);
  EXPECT_EQ(host.Classify("v4 tcp 93.184.216.34:443" + through),
            "permit OrvaneVPN Permit TUN Interface");
  EXPECT_EQ(host.Classify("v6 tcp [2001:db8::1]:443" + through),
            "permit OrvaneVPN Permit TUN Interface");
  EXPECT_EQ(host.Classify("v4 tcp 93.184.216.34:443"), "block OrvaneVPN Block All");
  std::cout << "[ tunnel     ] OrvaneTun LUID " << tun_luid << "\n";
}

// ---- Tray and life cycle ------------------------------------------------------------------

// Opens the tray menu as a right click on the icon would, and picks the entry `downs` steps
// down: 1 "Показать Orvane", 2 the connect/disconnect toggle, 3 "Выход" (separators are skipped).
bool ChooseTrayMenuEntry(HWND window, int downs) {
  if (!PostMessageW(window, kTrayCallbackMessage, 0, MAKELPARAM(WM_CONTEXTMENU, kTrayIconId))) {
    return false;
  }
  const bool open = WaitUntil(
      [] {
        const HWND menu = FindWindowW(L"#32768", nullptr);
        return menu != nullptr && IsWindowVisible(menu);
      },
      10000);
  if (!open) {
    return false;
  }
  // The menu's modal loop reads the keys from the host's UI thread queue.
  for (int i = 0; i < downs; ++i) {
    PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
  }
  PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
  return WaitUntil(
      [] {
        const HWND menu = FindWindowW(L"#32768", nullptr);
        return menu == nullptr || !IsWindowVisible(menu);
      },
      10000);
}

// The programs the host starts, seen in the process list until the host has ended.
class ChildWatch {
 public:
  explicit ChildWatch(DWORD parent) : thread_([this, parent] { Watch(parent); }) {}
  ~ChildWatch() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  // How many child processes named `name` were seen. (Wine may start its explorer.exe from the
  // first program that uses the tray, so other children are no concern here.)
  size_t Count(const std::wstring& name) {
    Stop();
    return static_cast<size_t>(
        std::count_if(children_.begin(), children_.end(),
                      [&](const auto& child) { return child.second == name; }));
  }

 private:
  void Watch(DWORD parent) {
    while (!stop_) {
      const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
      if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry)) {
          if (entry.th32ParentProcessID == parent) {
            std::wstring name = entry.szExeFile;
            std::transform(name.begin(), name.end(), name.begin(), ::towlower);
            children_[entry.th32ProcessID] = name;
          }
        }
        CloseHandle(snapshot);
      }
      Sleep(2);
    }
  }

  std::atomic<bool> stop_{false};
  std::map<DWORD, std::wstring> children_;
  std::thread thread_;
};

// How many bright green pixels the host's tray icon shows: none in the waiting state (grey
// emblem, 102), many when connected (green, 103). Nothing while there is no icon. Without a
// notification area of the desktop's own, Wine's X11 driver shows the icons in a small window
// of its own, which is moved clear of the host's window first, since the screen is read back.
std::optional<int> TrayIconGreenPixels() {
  const HWND tray = FindWindowW(L"__winex11_standalone_tray", nullptr);
  const HWND icon = FindWindowExW(tray, nullptr, L"__winex11_tray_icon", nullptr);
  if (tray == nullptr || icon == nullptr) {
    return std::nullopt;
  }
  SetWindowPos(tray, HWND_TOPMOST, GetSystemMetrics(SM_CXSCREEN) - 200,
               GetSystemMetrics(SM_CYSCREEN) - 100, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  RedrawWindow(icon, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  RECT rect{};
  GetWindowRect(icon, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  int green = 0;
  for (int i = 0; bits != nullptr && i < width * height; ++i) {
    const uint32_t pixel = static_cast<const uint32_t*>(bits)[i];
    const int r = (pixel >> 16) & 0xFF;
    const int g = (pixel >> 8) & 0xFF;
    green += g > 140 && r < 120 ? 1 : 0;
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return green;
}

// What the filtering journal says the shutdown did: one Disable (its provider delete), and the
// model empty with no session open when the process ended.
void ExpectKillSwitchRemovedOnce(const Host& host) {
  const std::vector<std::string> journal = host.Journal();
  EXPECT_EQ(CountContaining(journal, "FwpmProviderDeleteByKey0"), 1u);
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.back(), "exit filters=0 sessions=0");
}

TEST_F(HostTest, TrayToggleReachesTheApplicationAndExitEndsEverythingOnce) {
  Host host;
  ASSERT_TRUE(host.started());
  const HWND window = Host::Window();
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(host.Call("enableKillSwitch", EncodableMap{{"endpoints", TwoEndpoints()}}),
            std::optional(SuccessReply(true)));
  // The icon is there from the start, waiting; it turns green when the application says so.
  Sleep(300);
  EXPECT_EQ(TrayIconGreenPixels(), std::optional(0));
  ASSERT_EQ(host.Call("setTrayConnectionState", EncodableValue(true)),
            std::optional(SuccessReply(true)));
  EXPECT_TRUE(WaitUntil([] { return TrayIconGreenPixels().value_or(0) > 30; }, 3000));

  ASSERT_TRUE(ChooseTrayMenuEntry(window, 2));
  const std::string toggle = e2e::Hex(e2e::EncodeCall("trayToggleVpn", std::nullopt));
  ASSERT_TRUE(WaitUntil([&] { return !host.HostMessages().empty(); }, 5000));
  EXPECT_EQ(host.HostMessages(), std::vector<std::string>{"1 vpn/native " + toggle});
  // Choosing the toggle changes nothing by itself: the application decides.
  EXPECT_EQ(host.Call("isKillSwitchEnabled"), std::optional(SuccessReply(true)));

  ChildWatch children(host.pid());
  ASSERT_TRUE(ChooseTrayMenuEntry(window, 3));
  EXPECT_EQ(host.WaitForExit(15000), std::optional<DWORD>(0));
  EXPECT_EQ(children.Count(L"taskkill.exe"), 1u);
  ExpectKillSwitchRemovedOnce(host);
  EXPECT_EQ(Host::Window(), nullptr);
  EXPECT_TRUE(WaitUntil([] { return !TrayIconGreenPixels().has_value(); }, 3000));
}

// The filtering platform is loaded on the kill switch's first call, not at start-up: where it
// cannot be loaded at all the host still starts and shows, every kill-switch method answers false,
// and the exit path, which disables the kill switch, ends the process normally. Run by its own
// ctest entry with fwpuclnt.dll disabled (tests/e2e/CMakeLists.txt), which the host inherits.
TEST_F(HostTest, WithoutTheFilteringPlatformTheKillSwitchAnswersFalseAndTheHostRuns) {
  if (const HMODULE library = LoadLibraryW(L"fwpuclnt.dll"); library != nullptr) {
    FreeLibrary(library);
    GTEST_SKIP() << "fwpuclnt.dll loads here: run with WINEDLLOVERRIDES=fwpuclnt=";
  }
  Host host;
  ASSERT_TRUE(host.started());
  const HWND window = Host::Window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindowVisible(window));

  struct Case {
    const char* method;
    std::optional<EncodableValue> arguments;
    bool reply;
  };
  const Case cases[] = {
      {"enableKillSwitch", EncodableMap{{"endpoints", TwoEndpoints()}}, false},
      {"isKillSwitchEnabled", std::nullopt, false},
      {"permitTunInterface", EncodableMap{{"interfaceName", kRealInterface}}, false},
      {"revokeTunPermit", std::nullopt, true},  // nothing was permitted, so nothing is left
      {"disableKillSwitch", std::nullopt, false},
      {"cleanupStaleKillSwitch", std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(host.Call(c.method, c.arguments), std::optional(SuccessReply(c.reply)));
  }
  EXPECT_TRUE(host.Journal().empty()) << "the stand-in fwpuclnt.dll was loaded after all";

  ASSERT_TRUE(ChooseTrayMenuEntry(window, 3));
  EXPECT_EQ(host.WaitForExit(15000), std::optional<DWORD>(0));
}

TEST_F(HostTest, CloseHidesEveryRestorerShowsAndEndSessionEndsCleanly) {
  Host host;
  ASSERT_TRUE(host.started());
  const HWND window = Host::Window();
  ASSERT_EQ(host.Call("enableKillSwitch", EncodableMap{}), std::optional(SuccessReply(true)));

  // Each way back to a window that a close request hid: the process, the engine and the channel
  // stay meanwhile.
  struct Restorer {
    const char* name;
    bool (*restore)(HWND window);
  };
  const Restorer restorers[] = {
      {"a second start", [](HWND) { return Host::RunSecondInstance(15000) == DWORD{0}; }},
      {"a click on the tray icon",
       [](HWND w) {
         return PostMessageW(w, kTrayCallbackMessage, 0, MAKELPARAM(WM_LBUTTONUP, kTrayIconId)) !=
                0;
       }},
      {"a keyboard selection of the tray icon",
       [](HWND w) {
         return PostMessageW(w, kTrayCallbackMessage, 0, MAKELPARAM(kNinKeySelect, kTrayIconId)) !=
                0;
       }},
      {"the tray menu's first entry", [](HWND w) { return ChooseTrayMenuEntry(w, 1); }},
  };
  for (const Restorer& restorer : restorers) {
    SCOPED_TRACE(restorer.name);
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return !host.View()->visible; }, 5000));
    EXPECT_FALSE(host.WaitForExit(200));
    EXPECT_EQ(host.Call("isKillSwitchEnabled"), std::optional(SuccessReply(true)));
    EXPECT_TRUE(restorer.restore(window));
    EXPECT_TRUE(WaitUntil([&] { return host.View()->visible; }, 5000));
    EXPECT_EQ(Host::Window(), window);
  }

  // A session end that did not happen changes nothing.
  DWORD_PTR unchanged = 1;
  ASSERT_NE(SendMessageTimeoutW(window, WM_ENDSESSION, FALSE, 0, SMTO_NORMAL, 10000, &unchanged),
            0);
  EXPECT_EQ(unchanged, 0u);
  EXPECT_EQ(host.Call("isKillSwitchEnabled"), std::optional(SuccessReply(true)));

  ChildWatch children(host.pid());
  DWORD_PTR answer = 0;
  ASSERT_NE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer), 0);
  EXPECT_EQ(answer, 1u);
  // The kill switch is gone as soon as the system asks.
  EXPECT_EQ(CountContaining(host.DescribeFilters(), "filter "), 0u);
  ASSERT_NE(SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer), 0);
  EXPECT_EQ(answer, 0u);
  // A log-off ends the process here; a close request now destroys the window instead of hiding.
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(host.WaitForExit(15000), std::optional<DWORD>(0));
  EXPECT_EQ(children.Count(L"taskkill.exe"), 1u);
  ExpectKillSwitchRemovedOnce(host);
}

// A quit that no WM_DESTROY of the host's posted, as the engine or a plugin might post one on
// the UI thread: the host ends as through its own exit, and the engine is ended while the window
// that hosts its view is whole.
TEST_F(HostTest, StrayQuitEndsEverythingOnceAsTheExitDoes) {
  Host host;
  ASSERT_TRUE(host.started());
  ASSERT_EQ(host.Call("enableKillSwitch", EncodableMap{{"endpoints", TwoEndpoints()}}),
            std::optional(SuccessReply(true)));
  ChildWatch children(host.pid());
  const DWORD ui_thread = GetWindowThreadProcessId(Host::Window(), nullptr);
  ASSERT_TRUE(PostThreadMessageW(ui_thread, WM_QUIT, 0, 0));
  EXPECT_EQ(host.WaitForExit(15000), std::optional<DWORD>(0));
  EXPECT_EQ(children.Count(L"taskkill.exe"), 1u);
  ExpectKillSwitchRemovedOnce(host);
  // (The icon's removal is shown in-process: Wine takes an icon away with its window anyway.)
  EXPECT_EQ(host.Output().find("stand-in engine misuse"), std::string::npos) << host.Output();
}

// Whether a planted probe (planted_probe.cpp) of this file name was loaded by a process still
// running.
bool ProbeLoaded(const wchar_t* file_name) {
  const HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE,
                                 (std::wstring(L"Local\\OrvanePlantedProbe.") + file_name).c_str());
  if (mark != nullptr) {
    CloseHandle(mark);
  }
  return mark != nullptr;
}

// The host runs elevated: a library planted in the folder it is started from must not be found by
// a load by bare name, as the one beside the program still is (the engine loads its own so); and
// the system libraries it loads itself (the filtering platform's, the window manager's) come from
// the system folder only, never from beside the program.
TEST_F(HostTest, LoadsNothingPlantedInTheCurrentDirectoryNorASystemLibraryBesideIt) {
  wchar_t own_path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, own_path, MAX_PATH);
  const std::wstring probe =
      std::wstring(own_path).substr(0, std::wstring(own_path).find_last_of(L'\\')) +
      L"\\planted_probe.dll";
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring planted_dir =
      std::wstring(temp) + L"orvane-planted-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring planted = planted_dir + L"\\orvane_planted_probe.dll";
  std::vector<std::wstring> beside = {L"orvane_beside_probe.dll"};
  const wchar_t* const kSystemLibraries[] = {L"fwpuclnt.dll", L"dwmapi.dll"};
  beside.insert(beside.end(), std::begin(kSystemLibraries), std::end(kSystemLibraries));
  // Removed however the test ends: left in the bundle, they would be there for every later test.
  struct Planted {
    std::vector<std::wstring> files;
    std::wstring folder;
    ~Planted() {
      for (const std::wstring& file : files) {
        DeleteFileW(file.c_str());
      }
      RemoveDirectoryW(folder.c_str());
    }
  } cleanup{{planted}, planted_dir};
  CreateDirectoryW(planted_dir.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(probe.c_str(), planted.c_str(), FALSE));
  for (const std::wstring& name : beside) {
    cleanup.files.push_back(e2e::BundleDir() + L"\\" + name);
    ASSERT_TRUE(CopyFileW(probe.c_str(), cleanup.files.back().c_str(), FALSE));
  }

  // Without the host's precautions, the system does find it there.
  wchar_t own_directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, own_directory);
  SetCurrentDirectoryW(planted_dir.c_str());
  const HMODULE found_here = LoadLibraryW(L"orvane_planted_probe.dll");
  SetCurrentDirectoryW(own_directory);
  EXPECT_NE(found_here, nullptr);
  // and the probe's mark shows a load.
  EXPECT_TRUE(ProbeLoaded(L"orvane_planted_probe.dll"));
  FreeLibrary(found_here);

  // Wine takes its own dwmapi over a file beside the program unless told to prefer files: so
  // told, a host that imported it, or loaded it by bare name, would take the probe.
  wchar_t overrides[1024] = {};
  GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 1024);
  SetEnvironmentVariableW(
      L"WINEDLLOVERRIDES",
      (std::wstring(overrides) + (overrides[0] ? L";" : L"") + L"dwmapi=n,b").c_str());
  SetEnvironmentVariableW(L"ORVANE_STANDIN_LOAD_LIBRARIES",
                          L"orvane_planted_probe.dll;orvane_beside_probe.dll");
  {
    Host host(/*wait_until_shown=*/true, planted_dir);
    SetEnvironmentVariableW(L"ORVANE_STANDIN_LOAD_LIBRARIES", nullptr);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides[0] ? overrides : nullptr);
    ASSERT_TRUE(host.started());
    const std::vector<std::string> log = host.EngineLog();
    EXPECT_EQ(CountContaining(log, "LoadLibrary orvane_planted_probe.dll missing"), 1u);
    EXPECT_EQ(CountContaining(log, "LoadLibrary orvane_beside_probe.dll found"), 1u);
    // The filtering platform is the stand-in in the system folder (Wine's own refuses, the probe
    // has none of its functions), and no system library beside orvane.exe was ever loaded.
    EXPECT_EQ(host.Call("enableKillSwitch", EncodableMap{}), std::optional(SuccessReply(true)));
    for (const wchar_t* name : kSystemLibraries) {
      EXPECT_FALSE(ProbeLoaded(name)) << "loaded the planted " << name;
    }
  }
}

// ---- The stand-in application ----------------------------------------------------------------

TEST_F(HostTest, StandinApplicationConnectsFromItsButtonAndDisconnectsFromTheTrayMenu) {
  SetEnvironmentVariableW(L"ORVANE_STANDIN_APP", L"1");
  Host host;
  SetEnvironmentVariableW(L"ORVANE_STANDIN_APP", nullptr);
  ASSERT_TRUE(host.started());
  const HWND window = Host::Window();
  const HWND view = FindWindowExW(window, nullptr, L"OrvaneStandinEngineView", nullptr);
  const HWND connect = FindWindowExW(view, nullptr, L"BUTTON", L"Connect");
  ASSERT_NE(connect, nullptr);
  auto filters = [&] { return CountContaining(host.DescribeFilters(), "filter "); };
  // It starts as the application does, with the stale kill switch cleaned up.
  ASSERT_TRUE(WaitUntil(
      [&] { return CountContaining(host.Journal(), "FwpmProviderDeleteByKey0") == 1; }, 5000));

  SendMessageW(connect, BM_CLICK, 0, 0);
  // Two endpoints with the LAN and IPv6 defaults: 11 filters. The tunnel permit fails here, as
  // there is no OrvaneTun.
  EXPECT_EQ(filters(), 11u);
  EXPECT_TRUE(WaitUntil([] { return TrayIconGreenPixels().value_or(0) > 30; }, 3000));

  ASSERT_TRUE(ChooseTrayMenuEntry(window, 2));
  EXPECT_TRUE(WaitUntil([&] { return filters() == 0; }, 5000));
  EXPECT_TRUE(WaitUntil([] { return TrayIconGreenPixels() == std::optional(0); }, 3000));
}

// ---- Bad input ------------------------------------------------------------------------------

TEST_F(HostTest, RandomAndTruncatedMessagesEachGetOneReplyAndNeverStopTheHost) {
  Host host;
  ASSERT_TRUE(host.started());
  std::vector<std::vector<uint8_t>> messages;
  // Every prefix of calls that are well formed, the installer excepted: a mutation must never
  // start a program.
  const std::vector<std::vector<uint8_t>> valid = {
      e2e::EncodeCall("enableKillSwitch",
                      EncodableMap{{"endpoints", TwoEndpoints()}, {"allowLan", false}}),
      e2e::EncodeCall("setTrayConnectionState", EncodableMap{{"connected", true}}),
      e2e::EncodeCall("permitTunInterface", EncodableMap{{"interfaceName", "OrvaneTun"}}),
      e2e::EncodeCall("isKillSwitchEnabled", std::nullopt),
  };
  for (const std::vector<uint8_t>& call : valid) {
    for (size_t length = 0; length < call.size(); ++length) {
      messages.emplace_back(call.begin(), call.begin() + static_cast<ptrdiff_t>(length));
    }
  }
  std::mt19937 random(20261208);
  for (int i = 0; i < 1500; ++i) {
    // A valid call with a few bytes changed...
    std::vector<uint8_t> mutated = valid[random() % valid.size()];
    for (int k = 0, changes = 1 + static_cast<int>(random() % 4); k < changes; ++k) {
      mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
    }
    messages.push_back(std::move(mutated));
    // ...and plain noise, with size fields that claim far more than is there.
    std::vector<uint8_t> noise(random() % 48);
    for (uint8_t& byte : noise) {
      byte = static_cast<uint8_t>(random());
    }
    messages.push_back(std::move(noise));
  }
  // Every method but the installer's, with arguments of random bytes behind its valid name.
  const char* const methods[] = {
      "setTrayConnectionState", "enableKillSwitch", "disableKillSwitch",     "isKillSwitchEnabled",
      "permitTunInterface",     "revokeTunPermit",  "cleanupStaleKillSwitch"};
  for (const char* method : methods) {
    const std::vector<uint8_t> name = e2e::EncodeCall(method, std::nullopt);
    for (int i = 0; i < 100; ++i) {
      std::vector<uint8_t> call(name.begin(), name.end() - 1);  // without the null arguments
      for (size_t k = 0, size = random() % 24; k < size; ++k) {
        call.push_back(static_cast<uint8_t>(random()));
      }
      messages.push_back(std::move(call));
    }
  }
  size_t answered = 0;
  for (const std::vector<uint8_t>& message : messages) {
    const std::vector<std::string> reply = host.Request("send vpn/native " + e2e::Hex(message));
    ASSERT_EQ(reply.size(), 1u) << e2e::Hex(message);
    ASSERT_EQ(reply[0].rfind("reply", 0), 0u) << e2e::Hex(message) << ": " << reply[0];
    ++answered;
  }
  EXPECT_EQ(host.Request("stats"), std::vector<std::string>{"ok pending=0 refused=0 dropped=0"});
  EXPECT_EQ(host.Call("disableKillSwitch"), std::optional(SuccessReply(true)));
  EXPECT_FALSE(host.WaitForExit(0));
  // Undecodable messages are reported, one line each (text mode: CR LF), on the standard error.
  EXPECT_NE(host.Output().find("Unable to construct method call from message on channel "
                               "vpn/native\r\n"),
            std::string::npos);
  std::cout << "[ bad input  ] " << answered << " messages, each answered once\n";
}

}  // namespace
