// The process's start: whether this process may run at all (an instance already showing, no
// administrator rights, an instance already starting), then the console, COM, the engine's
// description of the bundle, the host window and the message loop.
#ifndef ORVANE_HOST_STARTUP_H_
#define ORVANE_HOST_STARTUP_H_

#include <windows.h>

#include <string>
#include <vector>

// Runs the host from start to end and returns the process exit code: 0 for a normal end or
// nothing to do, 1 for a failure. `command_line` is the text after the program name, as the
// system hands it to a Unicode GUI entry point (may be null); `show_command` is the entry
// point's show command, passed on to an elevated relaunch.
int RunHost(const wchar_t* command_line, int show_command) noexcept;

// Shows the window of an instance that is already running, hidden or not, and tells it to come
// to the front. True when there was such a window.
bool FindAndRestoreExistingWindow();

// Gives a process started from the desktop under a debugger a console for its output and the
// engine's.
void OpenDebugConsole();

// The arguments after the program path, in order, as UTF-8. An argument that is not valid UTF-16
// is an empty string at its place.
std::vector<std::string> GetEntrypointArguments();

// UTF-8 of a NUL-terminated UTF-16 text; empty for null or for text that is not valid UTF-16.
std::string Utf8FromUtf16(const wchar_t* utf16_text);

#endif  // ORVANE_HOST_STARTUP_H_
