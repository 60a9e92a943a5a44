#include "host/startup.h"

#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <io.h>
#include <iostream>
#include <memory>

#include "embedding/engine_project.h"
#include "embedding/flutter_windows.h"
#include "host/flutter_window.h"
#include "host/platform_seams.h"
#include "host/registered_messages.h"
#include "host/unique_handle.h"

platform_seams::Seam<platform_seams::CheckTokenMembershipFunction>
    platform_seams::checkTokenMembership{&CheckTokenMembership};
platform_seams::Seam<platform_seams::ShellExecuteFunction> platform_seams::shellExecute{
    &ShellExecuteW};

namespace {

constexpr wchar_t kWindowTitle[] = L"Orvane";
constexpr Win32Window::Point kWindowOrigin{10, 10};
constexpr wchar_t kInstanceMutexName[] = L"Local\\OrvaneVPN.SingleInstance";
constexpr wchar_t kElevationVerb[] = L"runas";
constexpr wchar_t kBundleDataDirectory[] = L"data";
// A path that fills the buffer was cut short; relaunching that would start something else.
constexpr DWORD kOwnPathCapacity = 260;
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

struct ArgumentListFree {
  void operator()(LPWSTR* arguments) const { LocalFree(arguments); }
};

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL is_member = FALSE;
  const BOOL checked = platform_seams::checkTokenMembership(nullptr, administrators, &is_member);
  FreeSid(administrators);
  // Only an exact 1 from a check that ran counts: anything else must end in the relaunch, never
  // in running with rights the process may not have.
  return checked != FALSE && is_member == 1;
}

int RelaunchElevated(const wchar_t* command_line, int show_command) {
  wchar_t own_path[kOwnPathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, own_path, kOwnPathCapacity);
  if (length == 0 || length == kOwnPathCapacity) {
    return kExitFailure;
  }
  // An empty parameter text is not the same request as none to every verb handler.
  const wchar_t* parameters =
      command_line != nullptr && command_line[0] != L'\0' ? command_line : nullptr;
  const HINSTANCE result = platform_seams::shellExecute(nullptr, kElevationVerb, own_path,
                                                        parameters, nullptr, show_command);
  // ShellExecuteW's documented convention: above 32 means started; at or below it is an error
  // code (a declined prompt among them).
  return reinterpret_cast<INT_PTR>(result) > 32 ? kExitOk : kExitFailure;
}

int Run(const wchar_t* command_line, int show_command) {
  // Before the rights check: a start without rights must not ask for elevation while an instance
  // is showing.
  if (FindAndRestoreExistingWindow()) {
    return kExitOk;
  }

  if (!IsAdministrator()) {
    return RelaunchElevated(command_line, show_command);
  }

  const HANDLE created_mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  // Read before anything else can overwrite the thread's last error.
  const DWORD mutex_error = GetLastError();
  if (created_mutex == nullptr) {
    return kExitFailure;
  }
  UniqueHandle mutex(created_mutex);
  if (mutex_error == ERROR_ALREADY_EXISTS) {
    // The other instance may not have its window yet; then there is nothing to restore, and
    // this start still ends.
    FindAndRestoreExistingWindow();
    return kExitOk;
  }

  if (!AttachConsole(ATTACH_PARENT_PROCESS) && IsDebuggerPresent()) {
    OpenDebugConsole();
  }

  // The engine and the shell dialogs the plugins open need an apartment-threaded UI thread. A
  // failure leaves them to fail on their own; the window itself does not need COM.
  (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  EngineProject project(kBundleDataDirectory);
  project.SetEntrypointArguments(GetEntrypointArguments());

  FlutterWindow window(project);
  if (!window.Create(kWindowTitle, kWindowOrigin, kWindowLogicalSize)) {
    // ORDER: the mutex goes before the window object, so that a start made while this one
    // winds down is not turned away by an instance that no longer runs.
    mutex.Close();
    return kExitFailure;
  }
  window.SetQuitOnClose(true);

  MSG message;
  // GetMessageW's -1 (an error) would otherwise spin this loop for ever.
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // A quit that our WM_DESTROY did not post (the engine's, a plugin's, anyone's on this thread)
  // ends the loop with the window still there: it ends now the way a closed window does, so the
  // core is stopped and the icon removed. No loop is left to take another quit.
  if (window.GetHandle() != nullptr) {
    window.SetQuitOnClose(false);
    window.Destroy();
  }

  CoUninitialize();
  // ORDER: as above, the mutex before the window object.
  mutex.Close();
  return kExitOk;
}

}  // namespace

int RunHost(const wchar_t* command_line, int show_command) noexcept {
  try {
    return Run(command_line, show_command);
  } catch (...) {
    // Out of memory while describing the bundle or building the window: nothing is shown and
    // nothing is logged at start-up; the exit code says it.
    return kExitFailure;
  }
}

bool FindAndRestoreExistingWindow() {
  // FindWindowW sees hidden windows too: the running instance may be sitting in the tray.
  const HWND window = FindWindowW(Win32Window::kClassName, kWindowTitle);
  if (window == nullptr) {
    return false;
  }
  ShowWindow(window, SW_SHOW);
  // Without a registered id there is nothing to post: message 0 would be WM_NULL.
  if (const UINT restore = RestoreWindowMessage(); restore != 0) {
    PostMessageW(window, restore, 0, 0);
  }
  return true;
}

void OpenDebugConsole() {
  if (!AllocConsole()) {
    return;
  }
  FILE* reopened = nullptr;
  if (freopen_s(&reopened, "CONOUT$", "w", stdout) != 0) {
    _dup2(_fileno(stdout), 1);
  }
  if (freopen_s(&reopened, "CONOUT$", "w", stderr) != 0) {
    _dup2(_fileno(stdout), 2);
  }
  std::ios::sync_with_stdio();
  // The engine keeps its own handles to the streams it found at load.
  FlutterDesktopResyncOutputStreams();
}

std::vector<std::string> GetEntrypointArguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR[], ArgumentListFree> arguments(
      CommandLineToArgvW(GetCommandLineW(), &count));
  if (arguments == nullptr) {
    return {};
  }
  std::vector<std::string> utf8_arguments;
  // Index 0 is the program's own path, which the application has no use for.
  for (int i = 1; i < count; ++i) {
    utf8_arguments.push_back(Utf8FromUtf16(arguments[static_cast<size_t>(i)]));
  }
  return utf8_arguments;
}

std::string Utf8FromUtf16(const wchar_t* utf16_text) {
  if (utf16_text == nullptr) {
    return std::string();
  }
  // WC_ERR_INVALID_CHARS: an unpaired surrogate fails the call instead of becoming U+FFFD, so
  // the application never sees a text that is not what was typed.
  const int target_length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16_text, -1,
                                                nullptr, 0, nullptr, nullptr);
  // 0: not valid UTF-16; 1: only the terminator.
  if (target_length <= 1) {
    return std::string();
  }
  // Every UTF-16 unit becomes at least one byte, so the unit count fits where the byte count
  // did.
  const size_t input_length = std::wcslen(utf16_text);
  std::string utf8_text(static_cast<size_t>(target_length - 1), '\0');
  const int converted =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16_text, static_cast<int>(input_length),
                          utf8_text.data(), target_length - 1, nullptr, nullptr);
  if (converted == 0) {
    return std::string();
  }
  utf8_text.resize(static_cast<size_t>(converted));
  return utf8_text;
}
