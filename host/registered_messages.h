// The registered window messages the host window answers: the one by which a second start asks
// the running instance to show its window, and the shell's announcement of a new taskbar.
#ifndef ORVANE_HOST_REGISTERED_MESSAGES_H_
#define ORVANE_HOST_REGISTERED_MESSAGES_H_

#include <windows.h>

// The window message registered under "Orvane.RestoreWindow": the same number in every process
// that registers the name. Registered on first use and cached (thread-safe).
//
// 0 when the system could not register the name. 0 is WM_NULL, which anything may send (hang
// probes do): an id of 0 stands for no message at all and must never be matched or posted. A
// failed registration is not cached; the next use tries again.
UINT RestoreWindowMessage();

// The shell's "TaskbarCreated", broadcast to every top-level window when the taskbar is
// (re)created; cached and 0 on failure like RestoreWindowMessage.
UINT TaskbarCreatedMessage();

#endif  // ORVANE_HOST_REGISTERED_MESSAGES_H_
