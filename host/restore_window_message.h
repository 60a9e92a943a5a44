// The registered message by which a second start asks the running instance to show its window.
#ifndef ORVANE_HOST_RESTORE_WINDOW_MESSAGE_H_
#define ORVANE_HOST_RESTORE_WINDOW_MESSAGE_H_

#include <windows.h>

// The window message registered under "Orvane.RestoreWindow": the same number in every process
// that registers the name. Registered on first use and cached (thread-safe).
UINT RestoreWindowMessage();

#endif  // ORVANE_HOST_RESTORE_WINDOW_MESSAGE_H_
