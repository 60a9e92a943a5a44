#include "host/restore_window_message.h"

UINT RestoreWindowMessage() {
  // A function-local static is initialised once, thread-safely.
  static const UINT id = RegisterWindowMessageW(L"Orvane.RestoreWindow");
  return id;
}
