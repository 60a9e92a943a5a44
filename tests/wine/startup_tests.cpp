// The host's start-up: in this process with the rights check and the relaunch bound to fakes, and
// as real processes (orvane.exe from the bundle, and the start-up probe) where another process is
// the point: a running instance, the mutex it holds, the command line the system passes.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/platform_seams.h"
#include "host/registered_messages.h"
#include "host/startup.h"
#include "standins/engine/engine_view_control.h"

namespace {

constexpr wchar_t kClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";
constexpr wchar_t kMutexName[] = L"Local\\OrvaneVPN.SingleInstance";

std::wstring Directory(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::wstring TestDirectory() {
  return Directory(OwnPath());
}

std::wstring BundleDirectory() {
  std::wstring relative = TestDirectory() + L"\\" ORVANE_BUNDLE_FROM_TESTS;
  std::wstring full(32768, L'\0');
  full.resize(
      GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  return full;
}

bool MutexExists() {
  const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName);
  if (mutex == nullptr) {
    return false;
  }
  CloseHandle(mutex);
  return true;
}

// A process this test started; ended by its handle if a test leaves it running.
class Child {
 public:
  Child(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory) {
    std::wstring command_line = L"\"" + program + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &info_)) {
      info_ = PROCESS_INFORMATION{};
    }
  }
  ~Child() {
    if (info_.hProcess != nullptr) {
      if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info_.hProcess, 255);
      }
      CloseHandle(info_.hThread);
      CloseHandle(info_.hProcess);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return info_.hProcess != nullptr; }
  DWORD Id() const { return info_.dwProcessId; }

  // Runs this thread's messages (and `each`, after every wake-up) until the process ends; its
  // exit code, or nothing after `timeout_ms`.
  std::optional<DWORD> WaitPumping(DWORD timeout_ms, const std::function<void()>& each = {}) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        return std::nullopt;
      }
      const DWORD woke = MsgWaitForMultipleObjects(
          1, &info_.hProcess, FALSE, static_cast<DWORD>(deadline - now > 50 ? 50 : deadline - now),
          QS_ALLINPUT);
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
      }
      if (each) {
        each();
      }
      if (woke == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
      }
    }
  }

 private:
  PROCESS_INFORMATION info_{};
};

// The host window of process `id`, once it is visible; null after `timeout_ms`.
HWND WaitForVisibleWindowOf(DWORD id, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (GetTickCount64() < deadline) {
    const HWND window = FindWindowW(kClassName, L"Orvane");
    DWORD owner = 0;
    if (window != nullptr && IsWindowVisible(window) && GetWindowThreadProcessId(window, &owner) &&
        owner == id) {
      return window;
    }
    Sleep(20);
  }
  return nullptr;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!condition()) {
    if (GetTickCount64() >= deadline) {
      return false;
    }
    Sleep(20);
  }
  return true;
}

// ---- In this process: the rights check and the relaunch through the seams --------------------

struct Fakes {
  BOOL membershipResult = TRUE;
  BOOL membershipFlag = TRUE;
  bool sawNullTokenAndAdministrators = false;
  INT_PTR shellResult = 42;
  // "VERB|FILE|PARAMETERS|DIRECTORY|SHOW", "(null)" for null.
  std::vector<std::wstring> shellCalls;
};
Fakes* fakes = nullptr;

std::wstring OrNull(const wchar_t* text) {
  return text == nullptr ? L"(null)" : text;
}

BOOL WINAPI FakeCheckTokenMembership(HANDLE token, PSID sid, PBOOL is_member) {
  fakes->sawNullTokenAndAdministrators =
      token == nullptr && IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
  *is_member = fakes->membershipFlag;
  return fakes->membershipResult;
}

HINSTANCE WINAPI FakeShellExecute(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                  LPCWSTR directory, INT show) {
  fakes->shellCalls.push_back(OrNull(verb) + L"|" + OrNull(file) + L"|" + OrNull(parameters) +
                              L"|" + OrNull(directory) + L"|" + std::to_wstring(show));
  if (fakes->shellResult <= 32) {
    SetLastError(ERROR_CANCELLED);  // what a declined prompt leaves
  }
  return reinterpret_cast<HINSTANCE>(fakes->shellResult);
}

struct RightsCase {
  const char* name;
  BOOL membershipResult;
  BOOL membershipFlag;
  const wchar_t* commandLine;
  int show;
  INT_PTR shellResult;
  int expectedExit;
  bool expectRelaunch;
  const wchar_t* expectedParameters;
};

void PrintTo(const RightsCase& c, std::ostream* out) {
  *out << c.name;
}

class StartupRightsTest : public testing::TestWithParam<RightsCase> {
 protected:
  void SetUp() override { fakes = &state; }
  void TearDown() override { fakes = nullptr; }
  Fakes state;
  const platform_seams::ScopedBinding<platform_seams::CheckTokenMembershipFunction> check{
      platform_seams::checkTokenMembership, &FakeCheckTokenMembership};
  const platform_seams::ScopedBinding<platform_seams::ShellExecuteFunction> shell{
      platform_seams::shellExecute, &FakeShellExecute};
};

TEST_P(StartupRightsTest, OnlyAnExactMembershipRunsElseTheSameStartIsRelaunched) {
  const RightsCase& c = GetParam();
  state.membershipResult = c.membershipResult;
  state.membershipFlag = c.membershipFlag;
  state.shellResult = c.shellResult;
  // Held here so that a start with rights ends at the mutex instead of running the host.
  const HANDLE held = c.expectRelaunch ? nullptr : CreateMutexW(nullptr, TRUE, kMutexName);

  EXPECT_EQ(RunHost(c.commandLine, c.show), c.expectedExit);
  EXPECT_TRUE(state.sawNullTokenAndAdministrators);
  if (held != nullptr) {
    CloseHandle(held);
    EXPECT_TRUE(state.shellCalls.empty());
    return;
  }
  EXPECT_FALSE(MutexExists()) << "a start that relaunches must not touch the mutex";
  EXPECT_EQ(state.shellCalls,
            std::vector<std::wstring>{L"runas|" + OwnPath() + L"|" + OrNull(c.expectedParameters) +
                                      L"|(null)|" + std::to_wstring(c.show)});
}

const std::wstring kArguments = L"--tab settings \"C:\\Program Files\\x\" \u0442\u0435\u0441\u0442";

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupRightsTest,
    testing::Values(
        RightsCase{"Member", TRUE, 1, L"--x", SW_SHOWNORMAL, 42, 0, false, nullptr},
        RightsCase{"NotMember", TRUE, 0, kArguments.c_str(), SW_SHOWMINNOACTIVE, 42, 0, true,
                   kArguments.c_str()},
        RightsCase{"FlagNeitherZeroNorOne", TRUE, 2, L"a", SW_SHOWMAXIMIZED, 42, 0, true, L"a"},
        RightsCase{"CheckFailed", FALSE, 1, L"a", SW_SHOWNORMAL, 42, 0, true, L"a"},
        RightsCase{"EmptyTextGivesNullParameters", TRUE, 0, L"", SW_SHOW, 42, 0, true, nullptr},
        RightsCase{"NullTextGivesNullParameters", TRUE, 0, nullptr, SW_SHOW, 42, 0, true, nullptr},
        RightsCase{"Declined", TRUE, 0, L"a", SW_SHOWNORMAL, SE_ERR_ACCESSDENIED, 1, true, L"a"},
        RightsCase{"ResultOf32IsAFailure", TRUE, 0, L"a", SW_SHOWNORMAL, 32, 1, true, L"a"},
        RightsCase{"ResultOf33IsAStart", TRUE, 0, L"a", SW_SHOWNORMAL, 33, 0, true, L"a"}),
    [](const testing::TestParamInfo<RightsCase>& param) { return std::string(param.param.name); });

UINT WINAPI RegisterNothing(LPCWSTR) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

// Also when the restore message could not be registered: the window is still shown, and no
// message 0 (WM_NULL) is posted in its place.
TEST(StartupProbeTest, AnInstanceShowingEndsAStartWithoutRightsBeforeTheRightsCheck) {
  Fakes state;
  state.membershipFlag = 0;
  fakes = &state;
  const platform_seams::ScopedBinding check(platform_seams::checkTokenMembership,
                                            &FakeCheckTokenMembership);
  const platform_seams::ScopedBinding shell(platform_seams::shellExecute, &FakeShellExecute);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &DefWindowProcW;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClassName;
  ASSERT_NE(RegisterClassW(&window_class), 0);
  const HWND hidden = CreateWindowExW(0, kClassName, L"Orvane", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                      nullptr, nullptr, window_class.hInstance, nullptr);

  for (const bool registered : {true, false}) {
    SCOPED_TRACE(registered ? "registered" : "registration failed");
    ShowWindow(hidden, SW_HIDE);
    {
      const platform_seams::ScopedBinding registration(
          platform_seams::registerWindowMessage,
          registered ? &RegisterWindowMessageW : &RegisterNothing);
      EXPECT_EQ(RunHost(L"a", SW_SHOWNORMAL), 0);
    }
    EXPECT_FALSE(state.sawNullTokenAndAdministrators) << "the rights were checked";
    EXPECT_TRUE(state.shellCalls.empty()) << "a prompt while an instance shows";
    EXPECT_TRUE(IsWindowVisible(hidden));
    size_t nulls = 0;
    for (MSG message{}; PeekMessageW(&message, hidden, 0, 0, PM_REMOVE);) {
      nulls += message.message == WM_NULL ? 1 : 0;
      DispatchMessageW(&message);  // a paint is due until it is handled
    }
    EXPECT_EQ(nulls, 0u);
  }

  DestroyWindow(hidden);
  UnregisterClassW(kClassName, window_class.hInstance);
  fakes = nullptr;
}

TEST(Utf8FromUtf16Test, ConvertsValidTextAndEmptiesInvalidText) {
  const struct {
    const wchar_t* input;
    std::string expected;
  } cases[] = {
      {nullptr, ""},
      {L"", ""},
      {L"plain", "plain"},
      {L"\u0442\u0435\u0441\u0442", "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},
      {L"\u20AC", "\xE2\x82\xAC"},
      {L"a\xD83D\xDE00z", "a\xF0\x9F\x98\x80z"},  // a surrogate pair is one character
      {L"a\xD83Dz", ""},                          // lone high surrogate
      {L"\xDE00", ""},                            // lone low surrogate
      {L"end\xD83D", ""},                         // high surrogate at the end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8FromUtf16(c.input), c.expected) << (c.input ? Utf8FromUtf16(c.input) : "null");
  }
}

// ---- orvane.exe and the probe as processes of their own ---------------------------------------

// Ends a real orvane.exe through its own exit path: the session-end query makes the next close
// final, and the loop then ends with the window.
std::optional<DWORD> EndHost(Child& host, HWND window) {
  PostMessageW(window, WM_QUERYENDSESSION, 0, 0);
  PostMessageW(window, WM_CLOSE, 0, 0);
  return host.WaitPumping(20000);
}

int processStarts = 0;

BOOL WINAPI CountProcessStart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  ++processStarts;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// A start the engine refused never ran the application, so no VPN core and no kill switch can be
// of its making: it ends neither. A sing-box.exe running now is somebody else's. The kill switch
// loads fwpuclnt.dll at its first filtering call, so a library still not loaded means none.
TEST(StartupTest, RefusedViewControllerEndsWithOneAndReleasesTheMutex) {
  StandinEngineReset();
  StandinEngineFailViewControllerCreate(true);
  ASSERT_EQ(GetModuleHandleW(L"fwpuclnt.dll"), nullptr) << "loaded before the start";
  processStarts = 0;
  {
    const platform_seams::ScopedBinding starts(platform_seams::createProcess, &CountProcessStart);
    EXPECT_EQ(RunHost(L"", SW_SHOWNORMAL), 1);
  }
  EXPECT_EQ(processStarts, 0) << "taskkill was started";
  EXPECT_EQ(GetModuleHandleW(L"fwpuclnt.dll"), nullptr) << "the kill switch was called";
  StandinEngineReset();
  EXPECT_FALSE(MutexExists());
  EXPECT_EQ(FindWindowW(kClassName, L"Orvane"), nullptr);

  // orvane.exe itself, refused: its exit code says so and it leaves no window.
  SetEnvironmentVariableW(L"ORVANE_STANDIN_FAIL_VIEW_CONTROLLER_CREATE", L"1");
  Child refused(BundleDirectory() + L"\\orvane.exe", L"", BundleDirectory());
  SetEnvironmentVariableW(L"ORVANE_STANDIN_FAIL_VIEW_CONTROLLER_CREATE", nullptr);
  ASSERT_TRUE(refused.Started());
  EXPECT_EQ(refused.WaitPumping(20000), std::optional<DWORD>(1));
  EXPECT_EQ(FindWindowW(kClassName, L"Orvane"), nullptr);

  // While this process lives, a start elsewhere is not turned away by what the failed one left.
  Child next(BundleDirectory() + L"\\orvane.exe", L"", BundleDirectory());
  ASSERT_TRUE(next.Started());
  const HWND window = WaitForVisibleWindowOf(next.Id(), 20000);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(EndHost(next, window), std::optional<DWORD>(0));
}

// Plays the running instance: a window of the host's class and title that counts what it gets.
struct FirstInstance {
  static inline int restores = 0;
  static inline bool parametersZero = true;
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == RestoreWindowMessage()) {
      ++restores;
      parametersZero = parametersZero && wparam == 0 && lparam == 0;
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }
};

enum class Running { kHiddenWindow, kShownWindow, kMutexOnly };
const char* const kRunningNames[] = {"HiddenWindow", "ShownWindow", "MutexWithoutWindow"};
void PrintTo(Running running, std::ostream* out) {
  *out << static_cast<int>(running);
}

class SecondStartTest : public testing::TestWithParam<Running> {};

TEST_P(SecondStartTest, EndsWithZeroAndRestoresWhatIsThere) {
  FirstInstance::restores = 0;
  FirstInstance::parametersZero = true;
  HANDLE mutex = nullptr;
  HWND window = nullptr;
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &FirstInstance::Proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClassName;
  if (GetParam() == Running::kMutexOnly) {
    mutex = CreateMutexW(nullptr, TRUE, kMutexName);
    ASSERT_NE(mutex, nullptr);
  } else {
    ASSERT_NE(RegisterClassW(&window_class), 0);
    window = CreateWindowExW(0, kClassName, L"Orvane", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                             nullptr, window_class.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    if (GetParam() == Running::kShownWindow) {
      ShowWindow(window, SW_SHOWNORMAL);
    }
  }

  Child second(BundleDirectory() + L"\\orvane.exe", L" --from-test", BundleDirectory());
  ASSERT_TRUE(second.Started());
  bool foreign_window = false;
  const std::optional<DWORD> exit_code = second.WaitPumping(20000, [&] {
    const HWND found = FindWindowW(kClassName, L"Orvane");
    foreign_window = foreign_window || (found != nullptr && found != window);
  });
  EXPECT_EQ(exit_code, std::optional<DWORD>(0));
  EXPECT_FALSE(foreign_window) << "the second start made a window of its own";

  if (window != nullptr) {
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(FirstInstance::restores, 1);
    EXPECT_TRUE(FirstInstance::parametersZero);
    DestroyWindow(window);
    UnregisterClassW(kClassName, window_class.hInstance);
  }
  if (mutex != nullptr) {
    CloseHandle(mutex);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SecondStartTest,
                         testing::Values(Running::kHiddenWindow, Running::kShownWindow,
                                         Running::kMutexOnly),
                         [](const testing::TestParamInfo<Running>& param) {
                           return std::string(kRunningNames[static_cast<int>(param.param)]);
                         });

TEST(SecondStartTest, RealInstanceHiddenInTheTrayComesBack) {
  Child first(BundleDirectory() + L"\\orvane.exe", L"", BundleDirectory());
  ASSERT_TRUE(first.Started());
  const HWND window = WaitForVisibleWindowOf(first.Id(), 20000);
  ASSERT_NE(window, nullptr);
  RECT frame{};
  GetWindowRect(window, &frame);
  // At 96 DPI, where logical units are pixels.
  EXPECT_EQ((std::vector<LONG>{frame.left, frame.top, frame.right, frame.bottom}),
            (std::vector<LONG>{10, 10, 930, 630}));
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(window); }, 10000)) << "close did not hide";

  Child second(BundleDirectory() + L"\\orvane.exe", L"", BundleDirectory());
  ASSERT_TRUE(second.Started());
  EXPECT_EQ(second.WaitPumping(20000), std::optional<DWORD>(0));
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 10000));
  EXPECT_EQ(EndHost(first, window), std::optional<DWORD>(0));
}

// The probe's report, one line per entry.
struct ProbeRun {
  std::optional<DWORD> exitCode;
  std::vector<std::string> lines;
};

ProbeRun RunProbe(const std::wstring& arguments) {
  const std::wstring report = TestDirectory() + L"\\startup_probe_report.txt";
  DeleteFileW(report.c_str());
  SetEnvironmentVariableW(L"ORVANE_PROBE_REPORT", report.c_str());
  ProbeRun run;
  {
    Child probe(TestDirectory() + L"\\startup_probe.exe", arguments, TestDirectory());
    if (probe.Started()) {
      run.exitCode = probe.WaitPumping(30000);
    }
  }
  {
    std::ifstream file(report.c_str());
    for (std::string line; std::getline(file, line);) {
      run.lines.push_back(line);
    }
  }
  DeleteFileW(report.c_str());
  return run;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : bytes) {
    hex += digits[static_cast<unsigned char>(byte) >> 4];
    hex += digits[static_cast<unsigned char>(byte) & 15];
  }
  return hex;
}

TEST(EntrypointArgumentsTest, ArgumentsAfterTheProgramReachTheEngineInOrderAsUtf8) {
  const struct {
    std::wstring arguments;
    std::vector<std::string> expected;
  } cases[] = {
      {L"", {}},
      {L" one \"two words\" \"\" \u0442\u0440\u0438 \"a\\\"b\"",
       {"one", "two words", "", "\xD1\x82\xD1\x80\xD0\xB8", "a\"b"}},
      {L" first \xD800 last", {"first", "", "last"}},
      {L" \xD83D\xDE00 x\xDC00y", {"\xF0\x9F\x98\x80", ""}},
  };
  for (const auto& c : cases) {
    const ProbeRun run = RunProbe(c.arguments);
    std::vector<std::string> expected = {"exit 0", "argc " + std::to_string(c.expected.size())};
    for (const std::string& argument : c.expected) {
      expected.push_back("arg " + Hex(argument));
    }
    EXPECT_EQ(run.exitCode, std::optional<DWORD>(0)) << Utf8FromUtf16(c.arguments.c_str());
    EXPECT_EQ(run.lines, expected) << "arguments #" << (&c - cases);
  }
}

TEST(OrvaneExecutableTest, PropertiesNameTheProduct) {
  const std::wstring program = BundleDirectory() + L"\\orvane.exe";
  std::vector<char> block(GetFileVersionInfoSizeW(program.c_str(), nullptr));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(
      GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
  for (const wchar_t* field : {L"ProductName", L"FileDescription"}) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + field;
    ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), &value, &length));
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), L"Orvane") << Utf8FromUtf16(field);
  }
}

}  // namespace

namespace {
TEST(OpenDebugConsoleTest, ANewConsoleTakesTheStreamsAndTheEngineFollowsOnlyThen) {
  // In the probe: the streams it moves are that process's, not the ones ctest reads here.
  SetEnvironmentVariableW(L"ORVANE_PROBE_CONSOLE", L"1");
  const ProbeRun run = RunProbe(L"");
  SetEnvironmentVariableW(L"ORVANE_PROBE_CONSOLE", nullptr);
  EXPECT_EQ(run.lines, (std::vector<std::string>{"console stdout 1 written 1 resyncs 1",
                                                 "console again resyncs 1"}));
}

}  // namespace
