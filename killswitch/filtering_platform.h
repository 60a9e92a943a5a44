#pragma once

#include "killswitch/wfp_compat.h"

// The platform calls of the kill switch, one virtual per function, with the platform's own names,
// parameters and record types. The kill switch speaks only to this interface, so tests can put the
// in-memory model of the filtering platform (standins/wfp) behind it and run the very call
// sequence and records the product sends.
//
// Every member returns the platform's status (0 is success) except FwpmFreeMemory0. None throws.
class FilteringPlatform {
 public:
  virtual ~FilteringPlatform() = default;

  virtual DWORD FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                                SEC_WINNT_AUTH_IDENTITY_W* authIdentity,
                                const FWPM_SESSION0* session, HANDLE* engineHandle) noexcept = 0;
  virtual DWORD FwpmEngineClose0(HANDLE engineHandle) noexcept = 0;

  virtual DWORD FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                                 PSECURITY_DESCRIPTOR sd) noexcept = 0;
  virtual DWORD FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept = 0;
  virtual DWORD FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                                 PSECURITY_DESCRIPTOR sd) noexcept = 0;
  virtual DWORD FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept = 0;

  virtual DWORD FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) noexcept = 0;
  virtual DWORD FwpmTransactionCommit0(HANDLE engineHandle) noexcept = 0;
  virtual DWORD FwpmTransactionAbort0(HANDLE engineHandle) noexcept = 0;

  virtual DWORD FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                               PSECURITY_DESCRIPTOR sd, UINT64* id) noexcept = 0;
  virtual DWORD FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) noexcept = 0;
  virtual DWORD FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                            const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                            HANDLE* enumHandle) noexcept = 0;
  virtual DWORD FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                                FWPM_FILTER0*** entries, UINT32* numEntriesReturned) noexcept = 0;
  virtual DWORD FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) noexcept = 0;
  virtual void FwpmFreeMemory0(void** p) noexcept = 0;

  virtual DWORD ConvertInterfaceAliasToLuid(const WCHAR* interfaceAlias,
                                            NET_LUID* interfaceLuid) noexcept = 0;

 protected:
  FilteringPlatform() = default;
  FilteringPlatform(const FilteringPlatform&) = default;
  FilteringPlatform& operator=(const FilteringPlatform&) = default;
};

// The binding to fwpuclnt.dll and iphlpapi.dll, each loaded on its first call and kept for the
// whole process. A library that cannot be loaded, or lacks a function, answers every call with
// ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND (FwpmFreeMemory0 then does nothing).
FilteringPlatform& SystemFilteringPlatform() noexcept;
