// A stand-in installer for the launcher tests, built in several flavours (see CMakeLists.txt):
// it reports how it was started, then ends with PROBE_EXIT_CODE, at once or after PROBE_STAY_MS,
// either as a console program or, with PROBE_GUI, as a windowed one whose message loop runs
// meanwhile (so that WaitForInputIdle sees it become idle).
//
// The report goes to the file named by ORVANE_PROBE_REPORT, in UTF-16, one item per line: the
// process id, the current directory, then each command-line argument after the program's name.
#include <windows.h>
#include <shellapi.h>

#include <string>

#ifndef PROBE_EXIT_CODE
#define PROBE_EXIT_CODE 0
#endif
#ifndef PROBE_STAY_MS
#define PROBE_STAY_MS 0
#endif

namespace {

void WriteReport() {
  wchar_t report_path[MAX_PATH];
  const DWORD path_length = GetEnvironmentVariableW(L"ORVANE_PROBE_REPORT", report_path, MAX_PATH);
  if (path_length == 0 || path_length >= MAX_PATH) {
    return;
  }
  std::wstring report = std::to_wstring(GetCurrentProcessId()) + L"\n";
  wchar_t directory[MAX_PATH];
  const DWORD directory_length = GetCurrentDirectoryW(MAX_PATH, directory);
  report.append(directory, directory_length < MAX_PATH ? directory_length : 0);
  report += L"\n";
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; arguments != nullptr && i < count; ++i) {
    report += arguments[i];
    report += L"\n";
  }
  LocalFree(arguments);

  // Written under a temporary name and renamed, so a reader never sees half a report.
  const std::wstring partial = std::wstring(report_path) + L".part";
  const HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, report.data(), static_cast<DWORD>(report.size() * sizeof(wchar_t)), &written,
            nullptr);
  CloseHandle(file);
  MoveFileExW(partial.c_str(), report_path, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

#ifdef PROBE_GUI
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  WriteReport();
  // An installer shows a window; until the thread timer ends the loop, the program sits idle in
  // GetMessage with it.
  const HWND window = CreateWindowExW(0, L"STATIC", L"Orvane probe installer", WS_OVERLAPPEDWINDOW,
                                      0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
  ShowWindow(window, SW_SHOWNOACTIVATE);
  SetTimer(nullptr, 0, PROBE_STAY_MS, nullptr);
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER) {
      break;
    }
    DispatchMessageW(&message);
  }
  ExitProcess(PROBE_EXIT_CODE);
}
#else
int main() {
  WriteReport();
  Sleep(PROBE_STAY_MS);
  ExitProcess(PROBE_EXIT_CODE);
}
#endif
