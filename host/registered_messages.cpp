#include "host/registered_messages.h"

#include <atomic>

namespace {

std::atomic<window_messages::RegisterFunction> registerMessage{&RegisterWindowMessageW};
// 0 until registered. Every thread that finds 0 registers the name itself; the system gives all of
// them the same number, so the race is harmless.
std::atomic<UINT> restoreId{0};
std::atomic<UINT> taskbarCreatedId{0};

UINT Registered(std::atomic<UINT>& id, const wchar_t* name) {
  UINT value = id.load();
  if (value == 0) {
    value = registerMessage.load()(name);
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

namespace window_messages {

RegisterFunction BindRegisterWindowMessage(RegisterFunction function) {
  const RegisterFunction previous = registerMessage.exchange(function);
  restoreId.store(0);
  taskbarCreatedId.store(0);
  return previous;
}

}  // namespace window_messages
