// Starting an installer file for the application: through the shell, owned by the main window,
// watched briefly to tell a running installer from one that ended at once.
#ifndef ORVANE_BRIDGE_INSTALLER_LAUNCHER_H_
#define ORVANE_BRIDGE_INSTALLER_LAUNCHER_H_

#include <windows.h>

#include <string>

#include "embedding/encodable_value.h"
#include "embedding/method_result.h"

// UTF-8 to UTF-16; empty when the text is not valid UTF-8. The text ends at its first NUL byte.
std::wstring Utf16FromUtf8(const std::string& text);

// Opens `arguments`["filePath"] with the shell verb "open", with `arguments`["arguments"] as its
// parameters, in the file's own directory and owned by `owner`, then watches the new process for
// up to 6.5 s on the calling thread. Answers through `result` exactly once: an error for a
// missing, non-text, empty or non-UTF-8 path, otherwise a success map with "started" and, when
// it did not start or ended during the watch, "error" and "earlyExitCode".
//
// May throw only on allocation failure, and then before it answered or from within the answer.
void LaunchInstaller(const flutter::EncodableMap& arguments, HWND owner,
                     flutter::MethodResult<flutter::EncodableValue>& result);

#endif  // ORVANE_BRIDGE_INSTALLER_LAUNCHER_H_
