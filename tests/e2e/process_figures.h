// What another process holds, read from outside it: kernel handles, GDI and USER objects, private
// bytes. Each figure comes from the call Windows offers for it where that call reports one; where
// Wine 8 only stubs it, from the closest substitute that can be read from outside as well, and
// the figure says which.
#ifndef ORVANE_TESTS_E2E_PROCESS_FIGURES_H_
#define ORVANE_TESTS_E2E_PROCESS_FIGURES_H_

#include <windows.h>

#include <cstdint>
#include <string>

namespace e2e {

struct Figure {
  int64_t value = -1;  // -1: not readable
  const char* source = "";
};

struct ProcessFigures {
  // GetProcessHandleCount; under Wine (which answers 0) the process's entries in the system's
  // handle list (NtQuerySystemInformation, SystemExtendedHandleInformation).
  Figure handles;
  // GetGuiResources(GR_GDIOBJECTS); under Wine (not implemented) the used entries of the process's
  // GDI handle table, which Wine maps where Windows does (PEB GdiSharedHandleTable). Stock
  // objects count too; they do not change.
  Figure gdiObjects;
  // GetGuiResources(GR_USEROBJECTS); under Wine the process's windows (top-level, child and
  // message-only). Its menus, icons and hooks cannot be read from outside there.
  Figure userObjects;
  // PROCESS_MEMORY_COUNTERS_EX.PrivateUsage; under Wine (which answers 0) the committed private
  // regions of its address space (VirtualQueryEx), which is what private bytes are.
  Figure privateBytes;
};

// `process` needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ.
ProcessFigures ReadProcessFigures(HANDLE process, DWORD process_id);

// "handles 41 (system handle list), gdi 85 (...)": one line.
std::string Describe(const ProcessFigures& figures);

}  // namespace e2e

#endif  // ORVANE_TESTS_E2E_PROCESS_FIGURES_H_
