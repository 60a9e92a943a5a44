#include "killswitch/filtering_platform.h"

namespace {

// fwpuclnt.dll and iphlpapi.dll are bound on the kill switch's first call, not through the
// executable's import table: nothing before the window's first frame needs them, and loading
// them at start-up (with ws2_32, dnsapi and nsi behind them) was a measurable share of the time
// to that frame. Binding by name at run time works the same with every toolchain, where a
// delay-load helper would raise an exception on a missing library or function.
//
// A library that cannot be loaded, or lacks any function we call, is not used at all: every call
// into it answers ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND, which the kill switch turns into
// false. Nothing is ever called through a null pointer.
//
// Both are system libraries, and the host runs elevated: only the system folder is searched. A
// fwpuclnt.dll placed beside orvane.exe (or in the current directory, or on PATH) would otherwise
// run with the host's rights and answer for the kill switch.
constexpr DWORD kLibrarySearch = LOAD_LIBRARY_SEARCH_SYSTEM32;

template <typename Function>
bool Resolve(HMODULE library, const char* name, Function& function) {
  const FARPROC address = GetProcAddress(library, name);
  // Through void(*)() because a direct cast between unrelated function types draws a warning.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}

// The platform's own declarations give each pointer its type, so a call through it is checked as
// a direct call would be.
struct Fwpuclnt {
  DWORD status = ERROR_MOD_NOT_FOUND;
  decltype(&::FwpmEngineOpen0) engineOpen = nullptr;
  decltype(&::FwpmEngineClose0) engineClose = nullptr;
  decltype(&::FwpmProviderAdd0) providerAdd = nullptr;
  decltype(&::FwpmProviderDeleteByKey0) providerDeleteByKey = nullptr;
  decltype(&::FwpmSubLayerAdd0) subLayerAdd = nullptr;
  decltype(&::FwpmSubLayerDeleteByKey0) subLayerDeleteByKey = nullptr;
  decltype(&::FwpmTransactionBegin0) transactionBegin = nullptr;
  decltype(&::FwpmTransactionCommit0) transactionCommit = nullptr;
  decltype(&::FwpmTransactionAbort0) transactionAbort = nullptr;
  decltype(&::FwpmFilterAdd0) filterAdd = nullptr;
  decltype(&::FwpmFilterDeleteById0) filterDeleteById = nullptr;
  decltype(&::FwpmFilterCreateEnumHandle0) filterCreateEnumHandle = nullptr;
  decltype(&::FwpmFilterEnum0) filterEnum = nullptr;
  decltype(&::FwpmFilterDestroyEnumHandle0) filterDestroyEnumHandle = nullptr;
  decltype(&::FwpmFreeMemory0) freeMemory = nullptr;
};

struct IpHelper {
  DWORD status = ERROR_MOD_NOT_FOUND;
  decltype(&::ConvertInterfaceAliasToLuid) convertInterfaceAliasToLuid = nullptr;
};

// Loaded once per process and never freed: the pointers stay valid for the process's life.
const Fwpuclnt& BoundFwpuclnt() noexcept {
  static const Fwpuclnt bound = [] {
    Fwpuclnt f;
    const HMODULE library = LoadLibraryExW(L"fwpuclnt.dll", nullptr, kLibrarySearch);
    if (library == nullptr) {
      return f;
    }
    const bool complete =
        Resolve(library, "FwpmEngineOpen0", f.engineOpen) &&
        Resolve(library, "FwpmEngineClose0", f.engineClose) &&
        Resolve(library, "FwpmProviderAdd0", f.providerAdd) &&
        Resolve(library, "FwpmProviderDeleteByKey0", f.providerDeleteByKey) &&
        Resolve(library, "FwpmSubLayerAdd0", f.subLayerAdd) &&
        Resolve(library, "FwpmSubLayerDeleteByKey0", f.subLayerDeleteByKey) &&
        Resolve(library, "FwpmTransactionBegin0", f.transactionBegin) &&
        Resolve(library, "FwpmTransactionCommit0", f.transactionCommit) &&
        Resolve(library, "FwpmTransactionAbort0", f.transactionAbort) &&
        Resolve(library, "FwpmFilterAdd0", f.filterAdd) &&
        Resolve(library, "FwpmFilterDeleteById0", f.filterDeleteById) &&
        Resolve(library, "FwpmFilterCreateEnumHandle0", f.filterCreateEnumHandle) &&
        Resolve(library, "FwpmFilterEnum0", f.filterEnum) &&
        Resolve(library, "FwpmFilterDestroyEnumHandle0", f.filterDestroyEnumHandle) &&
        Resolve(library, "FwpmFreeMemory0", f.freeMemory);
    f.status = complete ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
    return f;
  }();
  return bound;
}

const IpHelper& BoundIpHelper() noexcept {
  static const IpHelper bound = [] {
    IpHelper h;
    const HMODULE library = LoadLibraryExW(L"iphlpapi.dll", nullptr, kLibrarySearch);
    if (library == nullptr) {
      return h;
    }
    h.status = Resolve(library, "ConvertInterfaceAliasToLuid", h.convertInterfaceAliasToLuid)
                   ? ERROR_SUCCESS
                   : ERROR_PROC_NOT_FOUND;
    return h;
  }();
  return bound;
}

// Straight calls into the platform's libraries; nothing is added or translated here, so what the
// tests prove against the model is what the product sends to the platform.
class SystemPlatform final : public FilteringPlatform {
 public:
  DWORD FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                        SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                        HANDLE* engineHandle) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS
               ? f.status
               : f.engineOpen(serverName, authnService, authIdentity, session, engineHandle);
  }
  DWORD FwpmEngineClose0(HANDLE engineHandle) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.engineClose(engineHandle);
  }
  DWORD FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                         PSECURITY_DESCRIPTOR sd) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.providerAdd(engineHandle, provider, sd);
  }
  DWORD FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.providerDeleteByKey(engineHandle, key);
  }
  DWORD FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                         PSECURITY_DESCRIPTOR sd) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.subLayerAdd(engineHandle, subLayer, sd);
  }
  DWORD FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.subLayerDeleteByKey(engineHandle, key);
  }
  DWORD FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.transactionBegin(engineHandle, flags);
  }
  DWORD FwpmTransactionCommit0(HANDLE engineHandle) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.transactionCommit(engineHandle);
  }
  DWORD FwpmTransactionAbort0(HANDLE engineHandle) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.transactionAbort(engineHandle);
  }
  DWORD FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR sd,
                       UINT64* id) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.filterAdd(engineHandle, filter, sd, id);
  }
  DWORD FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status : f.filterDeleteById(engineHandle, id);
  }
  DWORD FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                    const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                    HANDLE* enumHandle) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS
               ? f.status
               : f.filterCreateEnumHandle(engineHandle, enumTemplate, enumHandle);
  }
  DWORD FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                        FWPM_FILTER0*** entries, UINT32* numEntriesReturned) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status
                                     : f.filterEnum(engineHandle, enumHandle, numEntriesRequested,
                                                    entries, numEntriesReturned);
  }
  DWORD FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) noexcept override {
    const Fwpuclnt& f = BoundFwpuclnt();
    return f.status != ERROR_SUCCESS ? f.status
                                     : f.filterDestroyEnumHandle(engineHandle, enumHandle);
  }
  void FwpmFreeMemory0(void** p) noexcept override {
    // Without the library nothing can have been allocated by it.
    const Fwpuclnt& f = BoundFwpuclnt();
    if (f.status == ERROR_SUCCESS) {
      f.freeMemory(p);
    }
  }
  DWORD ConvertInterfaceAliasToLuid(const WCHAR* interfaceAlias,
                                    NET_LUID* interfaceLuid) noexcept override {
    const IpHelper& h = BoundIpHelper();
    return h.status != ERROR_SUCCESS ? h.status
                                     : h.convertInterfaceAliasToLuid(interfaceAlias, interfaceLuid);
  }
};

}  // namespace

FilteringPlatform& SystemFilteringPlatform() noexcept {
  static SystemPlatform platform;
  return platform;
}
