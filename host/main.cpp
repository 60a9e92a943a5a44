#include <windows.h>

#include "host/startup.h"

namespace {

// The host runs elevated, so whatever a bare-name dynamic load finds runs with administrator
// rights. The current directory is wherever the user (or a planted shortcut) started the program,
// and is searched by default: take it off the path, and keep later loads to the program's own
// folder (the engine's libraries) and the system folder. Loads the import table makes are done
// by now and stay as they are.
void RestrictDllSearchPath() {
  SetDllDirectoryW(L"");
  // The default set: those two, and only what code in this process adds for itself
  // (AddDllDirectory).
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/, PWSTR command_line,
                    int show_command) {
  // First of all: nothing may be loaded dynamically before.
  RestrictDllSearchPath();
  return RunHost(command_line, show_command);
}
