// Ending the VPN core when the application ends: a member of FlutterWindow.
#include <windows.h>

#include <string>
#include <vector>

#include "host/flutter_window.h"
#include "host/platform_seams.h"

platform_seams::Seam<platform_seams::CreateProcessFunction> platform_seams::createProcess{
    &CreateProcessW};

namespace {

constexpr wchar_t kTaskkill[] = L"\\taskkill.exe";
constexpr wchar_t kStopCoreArguments[] = L" /F /IM sing-box.exe /T";

// The system's own folder. The host runs elevated: a taskkill planted in the program's folder or
// the current directory would otherwise run with administrator rights at every exit, since both
// are searched before the system folder.
std::wstring SystemDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length == 0) {
      return std::wstring();
    }
    if (length < buffer.size()) {
      return std::wstring(buffer.data(), length);
    }
    buffer.resize(length);
  }
}

// Starts taskkill for the core; throws only when out of memory.
void StartTaskkill() {
  const std::wstring system_directory = SystemDirectory();
  if (system_directory.empty()) {
    return;  // no trustworthy taskkill to start
  }
  // taskkill itself, not through cmd.exe: the interpreter would first run the "AutoRun" commands
  // from the user's registry, which any unelevated program of the same user can write, with this
  // process's administrator rights.
  const std::wstring program = system_directory + kTaskkill;

  // CreateProcessW may write into the command line, whose first word is the program by
  // convention.
  std::wstring command_line = L"\"" + program + L"\"" + kStopCoreArguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  // CREATE_NO_WINDOW: taskkill's console, and with it what it prints, is never shown.
  if (platform_seams::createProcess(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                                    CREATE_NO_WINDOW, nullptr, system_directory.c_str(), &startup,
                                    &process)) {
    // Not waited for: nothing here depends on how the command ends.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

void FlutterWindow::StopVpnCore() noexcept {
  if (vpnCoreStopped) {
    return;
  }
  vpnCoreStopped = true;

  // LOAD-BEARING ORDER: the kill switch MUST be removed before the core is ended. The core dies
  // asynchronously once taskkill runs; if the filters were still in place then, the machine would
  // be left blocking everything with no tunnel to carry it, and a cancelled log-off keeps this
  // process (and so the dynamic filters) alive indefinitely. The result is not needed: the
  // process is ending either way and nothing is retried.
  killSwitch.Disable();

  try {
    StartTaskkill();
  } catch (...) {
    // Out of memory building the command: the core is left running, which is what a missing
    // system folder leaves too. The kill switch is already gone, and the exit path that called
    // this must go on.
  }
}
