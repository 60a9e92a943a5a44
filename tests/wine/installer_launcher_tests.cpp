// "launchInstallerUi": the shell request as it leaves the host, and real starts of the probe
// programs (programs/installer_probe.cpp) under Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cwchar>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/installer_launcher.h"
#include "host/platform_seams.h"
#include "tests/wine/native_channel_support.h"

namespace {

using namespace native_channel_test;

// What the launcher asked the shell for, copied while the strings still live.
struct ShellRequest {
  DWORD cbSize = 0;
  ULONG fMask = 0;
  HWND hwnd = nullptr;
  std::optional<std::wstring> verb, file, parameters, directory;
  int nShow = -1;
  bool restZero = false;  // every field the launcher does not name is zero
  DWORD lastError = 0;    // what the shell left for GetLastError, when the call went on to it
};

std::vector<ShellRequest>& Requests() {
  static std::vector<ShellRequest> requests;
  return requests;
}
// Set: the recorder answers with this result and last error instead of passing the request on
// to the shell. A success then comes without a process, as when the shell hands the file to one
// already running.
std::optional<std::pair<BOOL, DWORD>>& RecorderAnswer() {
  static std::optional<std::pair<BOOL, DWORD>> answer;
  return answer;
}

std::optional<std::wstring> Text(const wchar_t* text) {
  return text == nullptr ? std::nullopt : std::optional<std::wstring>(text);
}

BOOL WINAPI RecordShellExecuteEx(SHELLEXECUTEINFOW* info) {
  ShellRequest request;
  request.cbSize = info->cbSize;
  request.fMask = info->fMask;
  request.hwnd = info->hwnd;
  request.verb = Text(info->lpVerb);
  request.file = Text(info->lpFile);
  request.parameters = Text(info->lpParameters);
  request.directory = Text(info->lpDirectory);
  request.nShow = info->nShow;
  request.restZero = info->hInstApp == nullptr && info->lpIDList == nullptr &&
                     info->lpClass == nullptr && info->hkeyClass == nullptr &&
                     info->dwHotKey == 0 && info->hIcon == nullptr && info->hProcess == nullptr;
  Requests().push_back(request);
  if (RecorderAnswer().has_value()) {
    SetLastError(RecorderAnswer()->second);
    return RecorderAnswer()->first;
  }
  const BOOL started = ShellExecuteExW(info);
  const DWORD error = GetLastError();
  Requests().back().lastError = error;
  SetLastError(error);
  return started;
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L'\\'));
}

std::wstring Probe(const wchar_t* name) {
  return ExecutableDirectory() + L"\\" + name + L".exe";
}

EncodableValue LaunchArguments(const std::string& path,
                               std::optional<EncodableValue> parameters = std::nullopt) {
  EncodableMap map{{EncodableValue("filePath"), EncodableValue(path)}};
  if (parameters.has_value()) {
    map[EncodableValue("arguments")] = *parameters;
  }
  return EncodableValue(std::move(map));
}

Reply StartedReply() {
  return SuccessBytes(Map({{"started", EncodableValue(true)}}));
}
Reply FailedReply(const std::string& error) {
  return SuccessBytes(Map({{"started", EncodableValue(false)}, {"error", EncodableValue(error)}}));
}
Reply ExitedReply(int32_t code, const std::string& error) {
  return SuccessBytes(Map({{"started", EncodableValue(false)},
                           {"error", EncodableValue(error)},
                           {"earlyExitCode", EncodableValue(code)}}));
}

// The probe's report: process id, current directory, then its arguments.
std::vector<std::wstring> ReadReport(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::wstring text(4096, L'\0');
  DWORD read = 0;
  ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
  CloseHandle(file);
  text.resize(read / sizeof(wchar_t));
  std::vector<std::wstring> lines;
  for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The exit code of the process once it ended by itself, or nothing if it ran past `timeout_ms`.
std::optional<DWORD> AwaitExit(DWORD pid, DWORD timeout_ms) {
  const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    return std::nullopt;
  }
  std::optional<DWORD> code;
  DWORD value = 0;
  if (WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process, &value)) {
    code = value;
  }
  CloseHandle(process);
  return code;
}

// Closes the shell's error box, which otherwise blocks the thread that asked until someone
// dismisses it, and notes who owned it.
class ErrorBoxDismisser {
 public:
  explicit ErrorBoxDismisser(DWORD thread) : thread_(thread), worker_([this] { Run(); }) {}
  ~ErrorBoxDismisser() {
    stop_ = true;
    worker_.join();
  }
  ErrorBoxDismisser(const ErrorBoxDismisser&) = delete;
  ErrorBoxDismisser& operator=(const ErrorBoxDismisser&) = delete;

  int boxes() const { return boxes_; }
  HWND owner() const { return owner_; }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM context) {
    auto* self = reinterpret_cast<ErrorBoxDismisser*>(context);
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (std::wcscmp(name, L"#32770") == 0 && IsWindowVisible(window)) {
      if (self->seen_ != window) {
        self->seen_ = window;
        ++self->boxes_;
        self->owner_ = GetWindow(window, GW_OWNER);
      }
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    }
    return TRUE;
  }
  void Run() {
    while (!stop_) {
      EnumThreadWindows(thread_, &Visit, reinterpret_cast<LPARAM>(this));
      Sleep(50);
    }
  }

  const DWORD thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> boxes_{0};
  std::atomic<HWND> owner_{nullptr};
  HWND seen_ = nullptr;  // the worker's own
  std::thread worker_;   // last: starts once the rest is in place
};

class InstallerLauncherTest : public NativeChannelTest {
 protected:
  void SetUp() override {
    // As the host runs: the start-up initialises COM for the UI thread.
    comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    Requests().clear();
    RecorderAnswer().reset();
    NativeChannelTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }

    static int tests = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    directory_ = std::wstring(temp) + L"orvane-launch-" + std::to_wstring(GetCurrentProcessId()) +
                 L"-" + std::to_wstring(++tests);
    ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    report_ = directory_ + L"\\report.txt";
    DeleteFileW(report_.c_str());
    SetEnvironmentVariableW(L"ORVANE_PROBE_REPORT", report_.c_str());
  }

  void TearDown() override {
    NativeChannelTest::TearDown();
    SetEnvironmentVariableW(L"ORVANE_PROBE_REPORT", nullptr);
    for (const std::wstring& file : created_) {
      DeleteFileW(file.c_str());
    }
    DeleteFileW(report_.c_str());
    RemoveDirectoryW(directory_.c_str());
    if (comInitialised_) {
      CoUninitialize();
    }
  }

  // A copy of a probe at `path`, removed again after the test.
  std::wstring Place(const wchar_t* probe, const std::wstring& path) {
    EXPECT_TRUE(CopyFileW(Probe(probe).c_str(), path.c_str(), FALSE)) << GetLastError();
    created_.push_back(path);
    return path;
  }

  Reply Launch(const EncodableValue& arguments) { return Call("launchInstallerUi", arguments); }

  std::wstring directory_;
  std::wstring report_;

 private:
  const platform_seams::ScopedBinding<platform_seams::ShellExecuteExFunction> shellRecorder_{
      platform_seams::shellExecuteEx, &RecordShellExecuteEx};
  std::vector<std::wstring> created_;
  bool comInitialised_ = false;
};

// ---- what the launcher asks the shell for ----------------------------------------------------

TEST_F(InstallerLauncherTest, RequestRecordAndWorkingDirectory) {
  RecorderAnswer() = {FALSE, ERROR_NO_ASSOCIATION};
  struct Case {
    std::string path;
    std::optional<EncodableValue> arguments;
    std::wstring file;
    std::optional<std::wstring> parameters, directory;
  };
  const std::vector<Case> cases{
      {"setup.exe", std::nullopt, L"setup.exe", std::nullopt, std::nullopt},
      {"C:\\setup.exe", EncodableValue("/S"), L"C:\\setup.exe", L"/S", L"C:\\"},
      {"C:/setup.exe", std::nullopt, L"C:/setup.exe", std::nullopt, L"C:/"},
      {"C:setup.exe", std::nullopt, L"C:setup.exe", std::nullopt, std::nullopt},
      {"C:\\a/b\\c.exe", std::nullopt, L"C:\\a/b\\c.exe", std::nullopt, L"C:\\a/b"},
      {"C:/a\\b/c.msi", EncodableValue(""), L"C:/a\\b/c.msi", std::nullopt, L"C:/a\\b"},
      {"\\\\server\\share\\x.msi", EncodableValue("/quiet /norestart"), L"\\\\server\\share\\x.msi",
       L"/quiet /norestart", L"\\\\server\\share"},
      {"\\x.exe", std::nullopt, L"\\x.exe", std::nullopt, L"\\"},
      {"D:\\\xD0\xA3\xD1\x81\xD1\x82\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBA\xD0\xB0\\s.exe",
       EncodableValue("--\xC3\xBC"),
       L"D:\\\u0423\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0430\\s.exe", L"--\u00fc",
       L"D:\\\u0423\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0430"},
      {"C:\\a\\b.exe", EncodableValue(int32_t{5}), L"C:\\a\\b.exe", std::nullopt, L"C:\\a"},
      {"C:\\a\\b.exe", EncodableValue("\xFF\xFE"), L"C:\\a\\b.exe", std::nullopt, L"C:\\a"},
      {std::string("C:\\a\\b.exe\0\\c\\d.exe", 20), EncodableValue(std::string("/S\0/X", 5)),
       L"C:\\a\\b.exe", L"/S", L"C:\\a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Requests().clear();
    EXPECT_EQ(Launch(LaunchArguments(c.path, c.arguments)),
              FailedReply("shell_execute_failed:1155"));
    ASSERT_EQ(Requests().size(), 1u) << "nothing is retried";
    const ShellRequest& request = Requests()[0];
    EXPECT_EQ(request.cbSize, 112u);
    EXPECT_EQ(request.fMask, 0x40u);
    EXPECT_EQ(request.hwnd, window.GetHandle());
    EXPECT_EQ(request.verb, L"open");
    EXPECT_EQ(request.file, c.file);
    EXPECT_EQ(request.parameters, c.parameters);
    EXPECT_EQ(request.directory, c.directory);
    EXPECT_EQ(request.nShow, SW_SHOWNORMAL);
    EXPECT_TRUE(request.restZero);
  }

  // The error number is unsigned decimal, whatever the shell set.
  RecorderAnswer() = {FALSE, 0x80070002};
  EXPECT_EQ(Launch(LaunchArguments("x.exe")), FailedReply("shell_execute_failed:2147942402"));

  // Handed to a running process: nothing to watch, so it counts as started.
  RecorderAnswer() = {TRUE, ERROR_SUCCESS};
  EXPECT_EQ(Launch(LaunchArguments("C:\\a\\page.url")), StartedReply());
}

TEST_F(InstallerLauncherTest, BadArgumentsAreRefusedBeforeTheShell) {
  struct Case {
    const char* what;
    std::optional<EncodableValue> arguments;
    const char* message;
  };
  const std::vector<Case> cases{
      {"no arguments", std::nullopt, "Expected map"},
      {"a string", EncodableValue("C:\\setup.exe"), "Expected map"},
      {"a list", EncodableValue(EncodableList{LaunchArguments("C:\\setup.exe")}), "Expected map"},
      {"no filePath", Map({{"arguments", EncodableValue("/S")}}), "Missing filePath"},
      {"filePath null", Map({{"filePath", EncodableValue()}}), "Invalid filePath"},
      {"filePath a number", Map({{"filePath", EncodableValue(int32_t{5})}}), "Invalid filePath"},
      {"filePath empty", LaunchArguments(""), "Invalid filePath"},
      {"filePath not UTF-8", LaunchArguments("C:\\\xC3\x28.exe"), "Invalid UTF-8 filePath"},
      {"filePath empty before its NUL", LaunchArguments(std::string("\0a.exe", 6)),
       "Invalid UTF-8 filePath"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Call("launchInstallerUi", c.arguments), BadArgsBytes(c.message));
  }
  EXPECT_TRUE(Requests().empty());
}

// ---- real starts -----------------------------------------------------------------------------

TEST_F(InstallerLauncherTest, InstallerEndingAtOnceReportsItsExitCode) {
  // A folder and file name with spaces and letters outside ASCII; the installer runs there.
  const std::wstring folder = directory_ + L"\\\u041f\u0440\u043e\u0431\u0430 \u00fc";
  // Wine reuses process ids, so an earlier run's folder (one its probe still held as its current
  // directory when the test cleaned up) may be there already.
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const std::wstring setup = Place(L"probe_exit_zero", folder + L"\\set up \u0451.exe");
  EXPECT_EQ(Launch(LaunchArguments(Utf8(setup), EncodableValue("--mode \"two words\""))),
            ExitedReply(0, "installer_exited_early:0"));
  const std::vector<std::wstring> report = ReadReport(report_);
  DeleteFileW(setup.c_str());
  RemoveDirectoryW(folder.c_str());
  ASSERT_EQ(report.size(), 4u);
  EXPECT_EQ(_wcsicmp(report[1].c_str(), folder.c_str()), 0) << Utf8(report[1]);
  EXPECT_EQ(report[2], L"--mode");
  EXPECT_EQ(report[3], L"two words");

  // The same 32 bits: signed as the number, unsigned in the text.
  EXPECT_EQ(Launch(LaunchArguments(Utf8(Probe(L"probe_exit_access_violation")))),
            ExitedReply(-1073741819, "installer_exited_early:3221225477"));
}

TEST_F(InstallerLauncherTest, InstallerStillRunningAfterTheWatchIsStartedAndLeftRunning) {
  for (const wchar_t* probe : {L"probe_console_stays", L"probe_gui_stays"}) {
    SCOPED_TRACE(Utf8(probe));
    DeleteFileW(report_.c_str());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Launch(LaunchArguments(Utf8(Probe(probe)))), StartedReply());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    std::cout << "[ measured ] " << Utf8(probe) << ": answered after " << elapsed << " ms\n";
    // The 1.5 s watch ran. Had the idle wait held out its 5 s (a console program has no loop to
    // wait for, the GUI one reaches its loop at once), the 4 s probe would have been seen ending.
    EXPECT_GE(elapsed, 1450);

    const std::vector<std::wstring> report = ReadReport(report_);
    ASSERT_FALSE(report.empty());
    // Never ended by the host: it runs out its time and ends with its own code.
    EXPECT_EQ(AwaitExit(static_cast<DWORD>(std::stoul(report[0])), 10000), DWORD{7});
  }
}

TEST_F(InstallerLauncherTest, ParametersNotUtf8TextAreDroppedAndThePathEndsAtANul) {
  const std::wstring probe = Probe(L"probe_exit_zero");
  const std::vector<std::pair<std::string, EncodableValue>> cases{
      {"", EncodableValue(int32_t{42})},
      {"", EncodableValue("--a \xC0\xAF")},
      {"", EncodableValue("")},
      {std::string("\0.evil.exe", 10), EncodableValue(std::string("\0--a", 4))},
  };
  for (const auto& [suffix, parameters] : cases) {
    Requests().clear();
    DeleteFileW(report_.c_str());
    EXPECT_EQ(Launch(LaunchArguments(Utf8(probe) + suffix, parameters)),
              ExitedReply(0, "installer_exited_early:0"));
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Requests()[0].file, probe);
    EXPECT_EQ(ReadReport(report_).size(), 2u) << "the probe did not run, or saw arguments";
  }
}

// From a current directory elsewhere on the same drive, which is what "C:" alone would name.
TEST_F(InstallerLauncherTest, FileAtTheDriveRootRunsInTheRoot) {
  const std::wstring setup = Place(
      L"probe_exit_zero", L"C:\\orvane-probe-" + std::to_wstring(GetCurrentProcessId()) + L".exe");
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_EQ(directory_.rfind(L"C:\\", 0), 0u) << "the temporary folder is not on drive C";
  ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
  const Reply reply = Launch(LaunchArguments(Utf8(setup)));
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(reply, ExitedReply(0, "installer_exited_early:0"));
  const std::vector<std::wstring> report = ReadReport(report_);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[1], L"C:\\") << Utf8(report[1]);
}

TEST_F(InstallerLauncherTest, MissingFileIsAFailedStartAfterTheShellsErrorBox) {
  const std::wstring missing = directory_ + L"\\no such setup.exe";
  Reply reply;
  {
    // The box is modal on this thread and owned by the window; only another thread can close it.
    const ErrorBoxDismisser dismisser(GetCurrentThreadId());
    reply = Launch(LaunchArguments(Utf8(missing)));
    EXPECT_EQ(dismisser.boxes(), 1);
    EXPECT_EQ(dismisser.owner(), window.GetHandle());
  }
  ASSERT_EQ(Requests().size(), 1u);
  const DWORD error = Requests()[0].lastError;
  EXPECT_EQ(reply, FailedReply("shell_execute_failed:" + std::to_string(error)));
  // Windows leaves the file-not-found code. Wine's shell overwrites it while its box is up (with
  // 5), so there the reply can only carry what the shell left.
  if (!RunningUnderWine()) {
    EXPECT_EQ(error, DWORD{ERROR_FILE_NOT_FOUND});
  }
}

}  // namespace
