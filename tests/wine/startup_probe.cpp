// A whole host start in a process of its own, for the start-up tests: the same entry point and
// start-up as orvane.exe, with the stand-in engine, and a report of what it did written to the
// file named by ORVANE_PROBE_REPORT:
//   "exit N"                                      the start-up's exit code
//   "shell VERB|FILE|PARAMETERS|DIRECTORY|SHOW"   one line per ShellExecuteW ("(null)" for null)
//   "argc N" and then N lines "arg HEX"           what the engine was given as arguments (UTF-8)
// ORVANE_PROBE_NOT_ADMIN=1 makes the rights check say no; the relaunch is then recorded, not
// made. The window is destroyed as soon as it shows, which ends the start like the tray's exit.
//
// ORVANE_PROBE_CONSOLE=1 runs only the debugger's console, twice, from no console, and reports
//   "console stdout S written W resyncs N"   S, W: 1 when stdout is a character device and a
//   "console again resyncs N"                write went through; N: the engine's resyncs so far
#include <windows.h>

#include <cstdio>
#include <io.h>
#include <string>

#include "host/platform_seams.h"
#include "host/startup.h"
#include "standins/engine/engine_view_control.h"

namespace {

std::string report;

std::string Text(const wchar_t* text) {
  return text == nullptr ? std::string("(null)") : Utf8FromUtf16(text);
}

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length == 0 || length >= 1024 ? std::wstring() : std::wstring(value, length);
}

BOOL WINAPI NotMember(HANDLE /*token*/, PSID /*sid*/, PBOOL is_member) {
  *is_member = FALSE;
  return TRUE;
}

HINSTANCE WINAPI RecordShellExecute(HWND /*owner*/, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                    LPCWSTR directory, INT show_command) {
  report += "shell " + Text(verb) + "|" + Text(file) + "|" + Text(parameters) + "|" +
            Text(directory) + "|" + std::to_string(show_command) + "\n";
  return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

// No cmd.exe at exit: the probe has no VPN core to end, and it would only slow every test.
BOOL WINAPI NoProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                      LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

void CALLBACK DestroyOnceShown(HWND, UINT, UINT_PTR, DWORD) {
  const HWND window = FindWindowW(L"FLUTTER_RUNNER_WIN32_WINDOW", L"Orvane");
  DWORD owner = 0;
  if (window != nullptr && IsWindowVisible(window) &&
      GetWindowThreadProcessId(window, &owner) != 0 && owner == GetCurrentProcessId()) {
    DestroyWindow(window);
  }
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    hex += digits[value >> 4];
    hex += digits[value & 15];
  }
  return hex;
}

}  // namespace

size_t Resyncs() {
  std::string log(StandinEngineCallLog(nullptr, 0), '\0');
  StandinEngineCallLog(log.data(), log.size() + 1);
  size_t count = 0;
  for (size_t at = log.find("FlutterDesktopResyncOutputStreams"); at != std::string::npos;
       at = log.find("FlutterDesktopResyncOutputStreams", at + 1)) {
    ++count;
  }
  return count;
}

void ReportConsole() {
  FreeConsole();
  OpenDebugConsole();
  // A write-only console handle (mode "w") cannot be asked for its console mode; it is a
  // character device, where a GUI process's stdout had nothing behind it before.
  const bool console =
      GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)))) == FILE_TYPE_CHAR;
  const bool written = fputs("probe\n", stdout) >= 0 && fflush(stdout) == 0;
  report += "console stdout " + std::to_string(console) + " written " + std::to_string(written) +
            " resyncs " + std::to_string(Resyncs()) + "\n";
  // With a console there, no second one can be opened, and the engine must be left alone.
  OpenDebugConsole();
  report += "console again resyncs " + std::to_string(Resyncs()) + "\n";
}

bool WriteReport() {
  // Also on the standard error, where there is one: a start that ends at once with status 1 and
  // says nothing looks to the test runner like Wine failing to start it, and is tried again.
  const HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
    WriteFile(error_output, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  }
  FILE* file = _wfopen(Environment(L"ORVANE_PROBE_REPORT").c_str(), L"wb");
  if (file == nullptr) {
    return false;
  }
  fwrite(report.data(), 1, report.size(), file);
  fclose(file);
  return true;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int show_command) {
  if (Environment(L"ORVANE_PROBE_CONSOLE") == L"1") {
    ReportConsole();
    return WriteReport() ? 0 : 99;
  }
  const platform_seams::ScopedBinding membership(
      platform_seams::checkTokenMembership,
      Environment(L"ORVANE_PROBE_NOT_ADMIN") == L"1" ? &NotMember : &CheckTokenMembership);
  const platform_seams::ScopedBinding relaunch(platform_seams::shellExecute, &RecordShellExecute);
  const platform_seams::ScopedBinding processes(platform_seams::createProcess, &NoProcess);
  SetTimer(nullptr, 0, 20, &DestroyOnceShown);

  const int exit_code = RunHost(command_line, show_command);

  report += "exit " + std::to_string(exit_code) + "\n";
  StandinEngineProperties properties{};
  if (StandinEngineLastProperties(&properties)) {
    report += "argc " + std::to_string(properties.dart_entrypoint_argc) + "\n";
    for (int i = 0; i < properties.dart_entrypoint_argc; ++i) {
      const size_t length = StandinEngineLastEntrypointText(i, nullptr, 0);
      if (length == STANDIN_ENGINE_NO_TEXT) {
        report += "arg (none)\n";
        continue;
      }
      std::string argument(length, '\0');
      StandinEngineLastEntrypointText(i, argument.data(), length + 1);
      report += "arg " + Hex(argument) + "\n";
    }
  }
  return WriteReport() ? exit_code : 99;
}
