#include "bridge/installer_launcher.h"

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "bridge/channel_arguments.h"
#include "host/platform_seams.h"
#include "host/unique_handle.h"

platform_seams::Seam<platform_seams::ShellExecuteExFunction> platform_seams::shellExecuteEx{
    &ShellExecuteExW};

namespace {

using channel_arguments::Find;
using channel_arguments::kBadArgs;
using flutter::EncodableMap;
using flutter::EncodableValue;

constexpr char kShellExecuteFailed[] = "shell_execute_failed:";
constexpr char kExitedEarly[] = "installer_exited_early:";

// An installer with a window gets this long to reach its message loop...
constexpr DWORD kInputIdleWaitMs = 5000;
// ...and must then still be running after this much more to count as started.
constexpr DWORD kExitWaitMs = 1500;

static_assert(sizeof(SHELLEXECUTEINFOW) == 112 || sizeof(void*) != 8);

// The installer runs where it lies: the path up to its last separator, either kind; nothing for
// a bare file name. A root keeps its separator: "C:" alone names the current directory of drive C
// (wherever this process was last there), not its root, and "" would be no directory at all.
std::wstring WorkingDirectory(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) {
    return std::wstring();
  }
  const bool root = separator == 0 || (separator == 2 && path[1] == L':');
  return path.substr(0, root ? separator + 1 : separator);
}

EncodableValue Key(const char* name) {
  return EncodableValue(name);
}

}  // namespace

std::wstring Utf16FromUtf8(const std::string& text) {
  if (text.empty()) {
    return std::wstring();
  }
  // Length -1: the input is read as a NUL-terminated string, so the count includes the NUL.
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (length <= 0) {
    return std::wstring();
  }
  std::wstring wide(static_cast<size_t>(length - 1), L'\0');
  // The terminator lands on the string's own, which holds NUL already.
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, wide.data(), length) <=
      0) {
    return std::wstring();
  }
  return wide;
}

void LaunchInstaller(const EncodableMap& arguments, HWND owner,
                     flutter::MethodResult<EncodableValue>& result) {
  const auto path_entry = arguments.find(EncodableValue("filePath"));
  if (path_entry == arguments.end()) {
    result.Error(kBadArgs, "Missing filePath");
    return;
  }
  const auto* path_text = std::get_if<std::string>(&path_entry->second);
  if (path_text == nullptr || path_text->empty()) {
    result.Error(kBadArgs, "Invalid filePath");
    return;
  }
  const std::wstring path = Utf16FromUtf8(*path_text);
  if (path.empty()) {
    result.Error(kBadArgs, "Invalid UTF-8 filePath");
    return;
  }

  // Parameters that are not text, or not UTF-8, are dropped rather than refused: the installer
  // still starts, just without them.
  std::wstring parameters;
  if (const auto* text = Find<std::string>(arguments, "arguments"); text != nullptr) {
    parameters = Utf16FromUtf8(*text);
  }
  const std::wstring directory = WorkingDirectory(path);

  // No SEE_MASK_FLAG_NO_UI: a file that cannot be opened gets the shell's own error box, owned by
  // our window, as the user would see it when opening the file by hand.
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = owner;
  info.lpVerb = L"open";
  info.lpFile = path.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOWNORMAL;

  EncodableMap reply;
  if (platform_seams::shellExecuteEx(&info) == FALSE) {
    // Read before anything else can overwrite it.
    const DWORD error = GetLastError();
    reply[Key("started")] = EncodableValue(false);
    reply[Key("error")] = EncodableValue(kShellExecuteFailed + std::to_string(error));
    result.Success(EncodableValue(std::move(reply)));
    return;
  }

  const UniqueHandle process(info.hProcess);
  if (process.get() == nullptr) {
    // The shell handed the file to a process already running, or started none that it could
    // give us: nothing to watch.
    reply[Key("started")] = EncodableValue(true);
    result.Success(EncodableValue(std::move(reply)));
    return;
  }

  // Fails at once for a program without a message loop; the second wait then does the watching.
  (void)WaitForInputIdle(process.get(), kInputIdleWaitMs);
  if (WaitForSingleObject(process.get(), kExitWaitMs) != WAIT_OBJECT_0) {
    // Still running, or the wait itself failed: either way the installer is left to run.
    reply[Key("started")] = EncodableValue(true);
    result.Success(EncodableValue(std::move(reply)));
    return;
  }

  DWORD exit_code = 0;
  (void)GetExitCodeProcess(process.get(), &exit_code);
  reply[Key("started")] = EncodableValue(false);
  // The same 32 bits both ways: signed as a number (0xC0000005 is -1073741819), unsigned in the
  // text (3221225477).
  reply[Key("earlyExitCode")] = EncodableValue(static_cast<int32_t>(exit_code));
  reply[Key("error")] = EncodableValue(kExitedEarly + std::to_string(exit_code));
  result.Success(EncodableValue(std::move(reply)));
}
