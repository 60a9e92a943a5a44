#include "bridge/shell_bindings.h"

namespace shell_bindings {
namespace {

NotifyIconFunction notifyIcon = &Shell_NotifyIconW;
CreateProcessFunction createProcess = &CreateProcessW;

}  // namespace

NotifyIconFunction BindNotifyIcon(NotifyIconFunction function) {
  const NotifyIconFunction previous = notifyIcon;
  notifyIcon = function;
  return previous;
}

BOOL NotifyIcon(DWORD message, NOTIFYICONDATAW& data) {
  return notifyIcon(message, &data);
}

CreateProcessFunction BindCreateProcess(CreateProcessFunction function) {
  const CreateProcessFunction previous = createProcess;
  createProcess = function;
  return previous;
}

CreateProcessFunction CreateProcessBinding() {
  return createProcess;
}

}  // namespace shell_bindings
