// The product's kill switch on its real platform binding (fwpuclnt.dll, loaded on first use from
// the system folder), which here is the stand-in put there in Wine's place, read back through the
// stand-in's own exports.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "killswitch/kill_switch.h"
#include "standins/wfp/wfp_standin_control.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::StartsWith;

std::wstring Directory(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  const std::wstring full(path, length);
  return full.substr(0, full.find_last_of(L"\\/"));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Switches the stand-in's journal on, into a file of this process's own, while it lives; a child
// process inherits it.
class Journal {
 public:
  Journal() {
    wchar_t directory[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, directory);
    path_ = std::wstring(directory, length) + L"wfp-journal-" +
            std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(path_.c_str());
    SetEnvironmentVariableW(kVariable, path_.c_str());
  }
  ~Journal() {
    Stop();
    DeleteFileW(path_.c_str());
  }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  void Stop() { SetEnvironmentVariableW(kVariable, nullptr); }
  std::vector<std::string> Lines() const {
    std::ifstream file(path_.c_str());
    std::stringstream text;
    text << file.rdbuf();
    return ::Lines(text.str());
  }

 private:
  static constexpr wchar_t kVariable[] = L"ORVANE_STANDIN_WFP_JOURNAL";
  std::wstring path_;
};

class StandinFwpuclnt : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loaded by the kill switch's binding on its first call, not at start-up, and from the system
    // folder. Wine names its own built-in by that folder too, so the read-out exports are what
    // tell that the stand-in was taken.
    (void)KillSwitch().IsEnabled();
    module_ = GetModuleHandleW(L"fwpuclnt.dll");
    ASSERT_NE(module_, nullptr);
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_EQ(lstrcmpiW(Directory(module_).c_str(), std::wstring(system, length).c_str()), 0);
    describe_ = reinterpret_cast<decltype(describe_)>(
        reinterpret_cast<void*>(GetProcAddress(module_, "StandinWfpDescribe")));
    classify_ = reinterpret_cast<decltype(classify_)>(
        reinterpret_cast<void*>(GetProcAddress(module_, "StandinWfpClassify")));
    const auto reset = reinterpret_cast<decltype(&StandinWfpReset)>(
        reinterpret_cast<void*>(GetProcAddress(module_, "StandinWfpReset")));
    ASSERT_TRUE(describe_ != nullptr && classify_ != nullptr && reset != nullptr);
    reset();
  }

  // Sized by a first call, as the header says. Filter ids depend on history, so they become #.
  std::vector<std::string> Describe() const {
    std::string text(describe_(nullptr, 0), '\0');
    EXPECT_EQ(describe_(text.data(), text.size() + 1), text.size());
    EXPECT_TRUE(text.ends_with('\n')) << text;
    std::vector<std::string> lines = Lines(text);
    for (std::string& line : lines) {
      if (line.starts_with("filter ")) {
        line.replace(7, line.find(' ', 7) - 7, "#");
      }
    }
    return lines;
  }
  std::string Classify(const char* connection) const {
    char text[160];
    const size_t needed = classify_(connection, text, sizeof text);
    EXPECT_LT(needed, sizeof text);
    return text;
  }

  HMODULE module_ = nullptr;
  decltype(&StandinWfpDescribe) describe_ = nullptr;
  decltype(&StandinWfpClassify) classify_ = nullptr;
};

TEST_F(StandinFwpuclnt, KillSwitchRunsAgainstTheModelThroughItsImports) {
  // Wine's iphlpapi knows the host's real interfaces; "lo" is on every Linux machine.
  NET_LUID lo{};
  ASSERT_EQ(ConvertInterfaceAliasToLuid(L"lo", &lo), 0u);
  ASSERT_NE(lo.Value, 0u);
  const std::string luid = std::to_string(lo.Value);

  KillSwitch killSwitch;
  EXPECT_FALSE(killSwitch.IsEnabled());
  KillSwitchConfig config;
  config.endpoints = {{0x01020304, 443, 6}, {0x05060708, 51820, 17}};
  ASSERT_TRUE(killSwitch.Enable(config));
  ASSERT_TRUE(killSwitch.PermitTunInterface(L"lo"));
  EXPECT_TRUE(killSwitch.IsEnabled());

  const std::vector<std::string> expected = {
      "sessions 1 transaction none",
      R"(provider {A7B8C9D0-E1F2-4A5B-8C7D-0E1F2A3B4C5D} "OrvaneVPN")",
      R"(sublayer {B8C9D0E1-F2A3-4B5C-9D8E-1F2A3B4C5D6E} "OrvaneVPN Kill Switch" weight 65535)",
      R"(filter # v4 block weight 1 "OrvaneVPN Block All")",
      R"(filter # v6 block weight 1 "OrvaneVPN Block All")",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit Loopback" if flags all-set 0x00000001)",
      R"(filter # v6 permit weight 10 "OrvaneVPN Permit Loopback" if flags all-set 0x00000001)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit DHCP" if protocol == 17 and local-port == 68)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit VPN Endpoint" if remote-address == 1.2.3.4/32 and remote-port == 443 and protocol == 6)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit VPN Endpoint" if remote-address == 5.6.7.8/32 and remote-port == 51820 and protocol == 17)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit LAN 10/8" if remote-address == 10.0.0.0/8)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit LAN 172.16/12" if remote-address == 172.16.0.0/12)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit LAN 192.168/16" if remote-address == 192.168.0.0/16)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit LAN Link-Local" if remote-address == 169.254.0.0/16)",
      R"(filter # v4 permit weight 10 "OrvaneVPN Permit TUN Interface" if local-interface == )" +
          luid,
      R"(filter # v6 permit weight 10 "OrvaneVPN Permit TUN Interface" if local-interface == )" +
          luid,
  };
  EXPECT_THAT(Describe(), ElementsAreArray(expected));

  const std::string viaTunnel = "luid=" + luid;
  char hexLuid[24];
  std::snprintf(hexLuid, sizeof hexLuid, "0x%llx", static_cast<unsigned long long>(lo.Value));
  const struct {
    std::string connection;
    std::string verdict;
  } cases[] = {
      {"v4 tcp 1.2.3.4:443", "permit OrvaneVPN Permit VPN Endpoint"},
      {"v4 udp 5.6.7.8:51820", "permit OrvaneVPN Permit VPN Endpoint"},
      {"v4 udp 1.2.3.4:443", "block OrvaneVPN Block All"},  // right port, wrong protocol
      {"v4 tcp 1.2.3.4:80", "block OrvaneVPN Block All"},
      {"v4 tcp 8.8.8.8:443", "block OrvaneVPN Block All"},
      {"v4 tcp 10.20.30.40:445", "permit OrvaneVPN Permit LAN 10/8"},
      {"v4 tcp 172.31.255.1:22", "permit OrvaneVPN Permit LAN 172.16/12"},
      {"v4 tcp 172.32.0.1:22", "block OrvaneVPN Block All"},
      {"v4 tcp 192.168.1.10:445", "permit OrvaneVPN Permit LAN 192.168/16"},
      {"v4 udp 169.254.1.1:5353", "permit OrvaneVPN Permit LAN Link-Local"},
      {"v4 tcp 127.0.0.1:80 loopback", "permit OrvaneVPN Permit Loopback"},
      {"v6 tcp [::1]:80 loopback", "permit OrvaneVPN Permit Loopback"},
      {"v6 tcp [2001:db8::1]:443", "block OrvaneVPN Block All"},
      {"v4 udp 255.255.255.255:67 local-port=68", "permit OrvaneVPN Permit DHCP"},
      {"v4 udp 255.255.255.255:67 local-port=69", "block OrvaneVPN Block All"},
      {"v4 tcp 8.8.8.8:443 " + viaTunnel, "permit OrvaneVPN Permit TUN Interface"},
      {"v6 udp [2001:db8::1]:53 " + viaTunnel, "permit OrvaneVPN Permit TUN Interface"},
      {"v4 tcp 8.8.8.8:443 luid=" + std::string(hexLuid), "permit OrvaneVPN Permit TUN Interface"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Classify(c.connection.c_str()), c.verdict) << c.connection;
  }

  // An alias that names no interface leaves no tunnel permit: the pair went before the lookup.
  EXPECT_FALSE(killSwitch.PermitTunInterface(L"OrvaneTun-absent"));
  EXPECT_EQ(Classify(("v4 tcp 8.8.8.8:443 " + viaTunnel).c_str()), "block OrvaneVPN Block All");
  EXPECT_EQ(Describe().size(), expected.size() - 2);

  // The journal shows the removal; every line is this process's.
  Journal journal;
  EXPECT_TRUE(killSwitch.Disable());
  journal.Stop();
  EXPECT_THAT(Describe(), ElementsAreArray({"sessions 0 transaction none"}));
  EXPECT_EQ(Classify("v4 tcp 8.8.8.8:443"), "permit (no filter)");

  const std::vector<std::string> lines = journal.Lines();
  ASSERT_FALSE(lines.empty());
  const std::string pid = std::to_string(GetCurrentProcessId()) + " ";
  for (const std::string& line : lines) {
    EXPECT_THAT(line, StartsWith(pid));
  }
  EXPECT_EQ(lines.front(), pid + "FwpmFilterCreateEnumHandle0 0x00000000 filters=11");
  EXPECT_EQ(lines.back(), pid + "FwpmEngineClose0 0x00000000 filters=0");
  EXPECT_FALSE(killSwitch.IsEnabled());
}

TEST_F(StandinFwpuclnt, JournalEndsWithWhatTheProcessLeftBehind) {
  Journal journal;
  std::wstring command = Directory(nullptr) + L"\\kill_switch_left_on.exe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &child));
  CloseHandle(child.hThread);
  const DWORD waited = WaitForSingleObject(child.hProcess, 60000);
  DWORD exitCode = 1;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hProcess);
  ASSERT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(exitCode, 0u);

  // The default set: two blocks, two loopback permits, DHCP and four LAN permits.
  const std::vector<std::string> lines = journal.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), std::to_string(child.dwProcessId) + " exit filters=9 sessions=1");
}

TEST_F(StandinFwpuclnt, ClassifyAnswersAnErrorForTextItCannotRead) {
  const char* const bad[] = {
      "",
      "v4",
      "v4 tcp",
      "v5 tcp 1.2.3.4:443",
      "v4 gre 1.2.3.4:443",
      "v4 tcp 1.2.3.4:65536",
      "v4 tcp 1.2.3.4:",
      "v4 tcp 1.2.3:443",
      "v4 tcp 1.2.3.256:443",
      "v4 tcp [1.2.3.4]:443",
      "v6 tcp 2001:db8::1",
      "v6 tcp [2001:db8::1",
      "v6 tcp [2001:db8::1]443",
      "v6 tcp [1.2.3.4]:443",
      "v4 tcp 1.2.3.4:443 local-port=70000",
      "v4 tcp 1.2.3.4:443 luid=-1",
      "v4 tcp 1.2.3.4:443 luid=0x",
      "v4 tcp 1.2.3.4:443 luid=18446744073709551616",
      "v4 tcp 1.2.3.4:443 fast",
  };
  for (const char* text : bad) {
    EXPECT_THAT(Classify(text), StartsWith("error: ")) << text;
  }
  EXPECT_THAT(Classify(nullptr), StartsWith("error: "));

  // A buffer too small gets what fits and a NUL; the length needed is still told.
  char small[8];
  const size_t needed = classify_("v4 tcp 8.8.8.8:443", small, sizeof small);
  EXPECT_EQ(needed, std::string("permit (no filter)").size());
  EXPECT_STREQ(small, "permit ");
}

}  // namespace
