#include <windows.h>

#include "host/startup.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/, PWSTR command_line,
                    int show_command) {
  return RunHost(command_line, show_command);
}
