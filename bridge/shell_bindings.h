// The two shell calls whose effect Wine cannot show (what the notification area was told, and the
// process the shutdown starts). The product binds the system's functions; tests bind recorders,
// which may pass the call on. Each Bind returns the function bound before.
#ifndef ORVANE_BRIDGE_SHELL_BINDINGS_H_
#define ORVANE_BRIDGE_SHELL_BINDINGS_H_

#include <windows.h>
#include <shellapi.h>

namespace shell_bindings {

using NotifyIconFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);
NotifyIconFunction BindNotifyIcon(NotifyIconFunction function);
BOOL NotifyIcon(DWORD message, NOTIFYICONDATAW& data);

using CreateProcessFunction = BOOL(WINAPI*)(LPCWSTR application, LPWSTR command_line,
                                            LPSECURITY_ATTRIBUTES process_attributes,
                                            LPSECURITY_ATTRIBUTES thread_attributes,
                                            BOOL inherit_handles, DWORD creation_flags,
                                            LPVOID environment, LPCWSTR current_directory,
                                            LPSTARTUPINFOW startup_info,
                                            LPPROCESS_INFORMATION process_information);
CreateProcessFunction BindCreateProcess(CreateProcessFunction function);
CreateProcessFunction CreateProcessBinding();

}  // namespace shell_bindings

#endif  // ORVANE_BRIDGE_SHELL_BINDINGS_H_
