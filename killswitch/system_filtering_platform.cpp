#include "killswitch/filtering_platform.h"

namespace {

// Straight calls into fwpuclnt.dll and iphlpapi.dll; nothing is added or translated here, so what
// the tests prove against the model is what the product sends to the platform.
class SystemPlatform final : public FilteringPlatform {
 public:
  DWORD FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                        SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                        HANDLE* engineHandle) noexcept override {
    return ::FwpmEngineOpen0(serverName, authnService, authIdentity, session, engineHandle);
  }
  DWORD FwpmEngineClose0(HANDLE engineHandle) noexcept override {
    return ::FwpmEngineClose0(engineHandle);
  }
  DWORD FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                         PSECURITY_DESCRIPTOR sd) noexcept override {
    return ::FwpmProviderAdd0(engineHandle, provider, sd);
  }
  DWORD FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept override {
    return ::FwpmProviderDeleteByKey0(engineHandle, key);
  }
  DWORD FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                         PSECURITY_DESCRIPTOR sd) noexcept override {
    return ::FwpmSubLayerAdd0(engineHandle, subLayer, sd);
  }
  DWORD FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept override {
    return ::FwpmSubLayerDeleteByKey0(engineHandle, key);
  }
  DWORD FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) noexcept override {
    return ::FwpmTransactionBegin0(engineHandle, flags);
  }
  DWORD FwpmTransactionCommit0(HANDLE engineHandle) noexcept override {
    return ::FwpmTransactionCommit0(engineHandle);
  }
  DWORD FwpmTransactionAbort0(HANDLE engineHandle) noexcept override {
    return ::FwpmTransactionAbort0(engineHandle);
  }
  DWORD FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR sd,
                       UINT64* id) noexcept override {
    return ::FwpmFilterAdd0(engineHandle, filter, sd, id);
  }
  DWORD FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) noexcept override {
    return ::FwpmFilterDeleteById0(engineHandle, id);
  }
  DWORD FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                    const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                    HANDLE* enumHandle) noexcept override {
    return ::FwpmFilterCreateEnumHandle0(engineHandle, enumTemplate, enumHandle);
  }
  DWORD FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                        FWPM_FILTER0*** entries, UINT32* numEntriesReturned) noexcept override {
    return ::FwpmFilterEnum0(engineHandle, enumHandle, numEntriesRequested, entries,
                             numEntriesReturned);
  }
  DWORD FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) noexcept override {
    return ::FwpmFilterDestroyEnumHandle0(engineHandle, enumHandle);
  }
  void FwpmFreeMemory0(void** p) noexcept override { ::FwpmFreeMemory0(p); }
  DWORD ConvertInterfaceAliasToLuid(const WCHAR* interfaceAlias,
                                    NET_LUID* interfaceLuid) noexcept override {
    return ::ConvertInterfaceAliasToLuid(interfaceAlias, interfaceLuid);
  }
};

}  // namespace

FilteringPlatform& SystemFilteringPlatform() noexcept {
  static SystemPlatform platform;
  return platform;
}
