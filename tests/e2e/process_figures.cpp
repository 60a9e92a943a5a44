#include "tests/e2e/process_figures.h"

#include <psapi.h>
#include <winternl.h>

#include <vector>

namespace e2e {
namespace {

// From the platform's public symbols; winternl.h leaves them out.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
struct HandleEntry {
  void* object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
// PEB.GdiSharedHandleTable on x86-64, and the table's entries (GDI_HANDLE_ENTRY): 24 bytes, the
// object's type at byte 14, 0 for a free entry.
constexpr size_t kPebGdiTableOffset = 0xF8;
constexpr size_t kGdiEntrySize = 24;
constexpr size_t kGdiEntryTypeOffset = 14;
constexpr size_t kGdiEntries = 0x10000;

Figure HandlesInSystemList(DWORD process_id) {
  using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) {
    return {};
  }
  std::vector<unsigned char> buffer(1 << 20);
  NTSTATUS status;
  ULONG needed = 0;
  while ((status = query(kSystemExtendedHandleInformation, buffer.data(),
                         static_cast<ULONG>(buffer.size()), &needed)) ==
             kStatusInfoLengthMismatch &&
         buffer.size() < (256u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) {
    return {};
  }
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  int64_t count = 0;
  for (ULONG_PTR i = 0; i < list->count; ++i) {
    count += list->entries[i].processId == process_id ? 1 : 0;
  }
  return {count, "system handle list"};
}

Figure GdiTableEntries(HANDLE process) {
  using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION basic{};
  ULONG size = 0;
  if (query == nullptr ||
      query(process, ProcessBasicInformation, &basic, sizeof basic, &size) != 0) {
    return {};
  }
  ULONG_PTR table = 0;
  SIZE_T read = 0;
  if (!ReadProcessMemory(process,
                         reinterpret_cast<const char*>(basic.PebBaseAddress) + kPebGdiTableOffset,
                         &table, sizeof table, &read) ||
      table == 0) {
    return {};
  }
  std::vector<unsigned char> entries(kGdiEntries * kGdiEntrySize);
  if (!ReadProcessMemory(process, reinterpret_cast<const void*>(table), entries.data(),
                         entries.size(), &read) ||
      read != entries.size()) {
    return {};
  }
  int64_t count = 0;
  for (size_t i = 0; i < kGdiEntries; ++i) {
    count += entries[i * kGdiEntrySize + kGdiEntryTypeOffset] != 0 ? 1 : 0;
  }
  return {count, "GDI handle table"};
}

struct WindowCount {
  DWORD processId;
  int64_t count;
};

BOOL CALLBACK CountChild(HWND window, LPARAM context) {
  auto* counting = reinterpret_cast<WindowCount*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  counting->count += owner == counting->processId ? 1 : 0;
  return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM context) {
  CountChild(window, context);
  EnumChildWindows(window, CountChild, context);  // every descendant
  return TRUE;
}

Figure Windows(DWORD process_id) {
  WindowCount counting{process_id, 0};
  EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&counting));
  for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window != nullptr;
       window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) {
    CountTopLevel(window, reinterpret_cast<LPARAM>(&counting));
  }
  return {counting.count, "windows only"};
}

Figure CommittedPrivate(HANDLE process) {
  int64_t bytes = 0;
  MEMORY_BASIC_INFORMATION region{};
  const char* address = nullptr;
  while (VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
      bytes += static_cast<int64_t>(region.RegionSize);
    }
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) {
      break;
    }
    address = next;
  }
  return {bytes, "committed private regions"};
}

}  // namespace

ProcessFigures ReadProcessFigures(HANDLE process, DWORD process_id) {
  ProcessFigures figures;
  DWORD handles = 0;
  // A live process always holds some handles: 0 is Wine's stub answering.
  if (GetProcessHandleCount(process, &handles) && handles != 0) {
    figures.handles = {handles, "GetProcessHandleCount"};
  } else {
    figures.handles = HandlesInSystemList(process_id);
  }
  SetLastError(ERROR_SUCCESS);
  const DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
  const bool gui_stubbed = gdi == 0 && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
  if (gui_stubbed) {
    figures.gdiObjects = GdiTableEntries(process);
    figures.userObjects = Windows(process_id);
  } else {
    figures.gdiObjects = {gdi, "GetGuiResources"};
    figures.userObjects = {GetGuiResources(process, GR_USEROBJECTS), "GetGuiResources"};
  }
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory) &&
      memory.PrivateUsage != 0) {
    figures.privateBytes = {static_cast<int64_t>(memory.PrivateUsage), "PrivateUsage"};
  } else {
    figures.privateBytes = CommittedPrivate(process);
  }
  return figures;
}

std::string Describe(const ProcessFigures& figures) {
  auto one = [](const char* name, const Figure& figure) {
    return std::string(name) + " " + std::to_string(figure.value) + " (" + figure.source + ")";
  };
  return one("handles", figures.handles) + ", " + one("gdi", figures.gdiObjects) + ", " +
         one("user", figures.userObjects) + ", " + one("private bytes", figures.privateBytes);
}

}  // namespace e2e
