#include "host/registered_messages.h"

#include <atomic>

#include "host/platform_seams.h"

platform_seams::Seam<platform_seams::RegisterWindowMessageFunction>
    platform_seams::registerWindowMessage{&RegisterWindowMessageW};

namespace {

// 0 until registered. Every thread that finds 0 registers the name itself; the system gives all of
// them the same number, so the race is harmless.
std::atomic<UINT> restoreId{0};
std::atomic<UINT> taskbarCreatedId{0};

UINT Registered(std::atomic<UINT>& id, const wchar_t* name) {
  // Only the system promises one number per name for the whole session: what a test's stand-in
  // answers is asked anew each time, and never mixed with what the system gave.
  if (!platform_seams::registerWindowMessage.CallsSystem()) {
    return platform_seams::registerWindowMessage(name);
  }
  UINT value = id.load();
  if (value == 0) {
    value = platform_seams::registerWindowMessage(name);
    id.store(value);
  }
  return value;
}

}  // namespace

UINT RestoreWindowMessage() {
  return Registered(restoreId, L"Orvane.RestoreWindow");
}

UINT TaskbarCreatedMessage() {
  return Registered(taskbarCreatedId, L"TaskbarCreated");
}
