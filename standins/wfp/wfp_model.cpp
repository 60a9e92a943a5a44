// The platform calls as the kill switch makes them: each one logged, failed on purpose where a
// test asked for it, and otherwise handed to the file that does its job. Apart so that the log and
// the faults treat every call alike.

#include "standins/wfp/wfp_model.h"

#include <optional>
#include <string_view>

#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {

using detail::kSuccess;

std::string_view CallName(Call call) noexcept {
  switch (call) {
    case Call::kEngineOpen:
      return "FwpmEngineOpen0";
    case Call::kEngineClose:
      return "FwpmEngineClose0";
    case Call::kProviderAdd:
      return "FwpmProviderAdd0";
    case Call::kProviderDeleteByKey:
      return "FwpmProviderDeleteByKey0";
    case Call::kSubLayerAdd:
      return "FwpmSubLayerAdd0";
    case Call::kSubLayerDeleteByKey:
      return "FwpmSubLayerDeleteByKey0";
    case Call::kTransactionBegin:
      return "FwpmTransactionBegin0";
    case Call::kTransactionCommit:
      return "FwpmTransactionCommit0";
    case Call::kTransactionAbort:
      return "FwpmTransactionAbort0";
    case Call::kFilterAdd:
      return "FwpmFilterAdd0";
    case Call::kFilterDeleteById:
      return "FwpmFilterDeleteById0";
    case Call::kFilterCreateEnumHandle:
      return "FwpmFilterCreateEnumHandle0";
    case Call::kFilterEnum:
      return "FwpmFilterEnum0";
    case Call::kFilterDestroyEnumHandle:
      return "FwpmFilterDestroyEnumHandle0";
    case Call::kFreeMemory:
      return "FwpmFreeMemory0";
    case Call::kConvertInterfaceAliasToLuid:
      return "ConvertInterfaceAliasToLuid";
  }
  return "?";
}

template <typename Body>
DWORD WfpModel::Run(Call call, Body&& body) noexcept {
  const bool inTransaction = transaction_.has_value();
  DWORD status = kSuccess;
  if (const std::optional<DWORD> fault = TakeFault(call)) {
    status = *fault;
  } else {
    try {
      status = body();
    } catch (...) {
      status = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  try {
    calls_.push_back(CallRecord{call, status, inTransaction});
  } catch (...) {
    // The log is for the tests; a call does not fail because it could not be logged.
  }
  return status;
}

std::optional<DWORD> WfpModel::TakeFault(Call call) noexcept {
  std::optional<DWORD> result;
  for (auto it = faults_.begin(); it != faults_.end();) {
    if (it->call && *it->call != call) {
      ++it;
      continue;
    }
    if (--it->remaining == 0) {
      if (!result) {
        result = it->status;
      }
      it = faults_.erase(it);
    } else {
      ++it;
    }
  }
  return result;
}

void WfpModel::FailOnUse(Call call, std::uint32_t k, DWORD status) {
  if (k > 0) {
    faults_.push_back(Fault{call, k, status});
  }
}

void WfpModel::FailOnCallNumber(std::uint32_t k, DWORD status) {
  if (k > 0) {
    faults_.push_back(Fault{std::nullopt, k, status});
  }
}

void WfpModel::ClearFaults() noexcept {
  faults_.clear();
}

// ---- platform calls -----------------------------------------------------------------------

DWORD WfpModel::FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                                SEC_WINNT_AUTH_IDENTITY_W* authIdentity,
                                const FWPM_SESSION0* session, HANDLE* engineHandle) noexcept {
  return Run(Call::kEngineOpen, [&] {
    return EngineOpen(serverName, authnService, authIdentity, session, engineHandle);
  });
}

DWORD WfpModel::FwpmEngineClose0(HANDLE engineHandle) noexcept {
  return Run(Call::kEngineClose, [&] { return EngineClose(engineHandle); });
}

DWORD WfpModel::FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                                 PSECURITY_DESCRIPTOR sd) noexcept {
  return Run(Call::kProviderAdd, [&] { return ProviderAdd(engineHandle, provider, sd); });
}

DWORD WfpModel::FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept {
  return Run(Call::kProviderDeleteByKey, [&] { return ProviderDelete(engineHandle, key); });
}

DWORD WfpModel::FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                                 PSECURITY_DESCRIPTOR sd) noexcept {
  return Run(Call::kSubLayerAdd, [&] { return SublayerAdd(engineHandle, subLayer, sd); });
}

DWORD WfpModel::FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept {
  return Run(Call::kSubLayerDeleteByKey, [&] { return SublayerDelete(engineHandle, key); });
}

DWORD WfpModel::FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) noexcept {
  return Run(Call::kTransactionBegin, [&] { return TransactionBegin(engineHandle, flags); });
}

DWORD WfpModel::FwpmTransactionCommit0(HANDLE engineHandle) noexcept {
  return Run(Call::kTransactionCommit, [&] { return TransactionEnd(engineHandle, true); });
}

DWORD WfpModel::FwpmTransactionAbort0(HANDLE engineHandle) noexcept {
  return Run(Call::kTransactionAbort, [&] { return TransactionEnd(engineHandle, false); });
}

DWORD WfpModel::FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                               PSECURITY_DESCRIPTOR sd, UINT64* id) noexcept {
  return Run(Call::kFilterAdd, [&] { return FilterAdd(engineHandle, filter, sd, id); });
}

DWORD WfpModel::FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) noexcept {
  return Run(Call::kFilterDeleteById, [&] { return FilterDelete(engineHandle, id); });
}

DWORD WfpModel::FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                            const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                            HANDLE* enumHandle) noexcept {
  return Run(Call::kFilterCreateEnumHandle,
             [&] { return CreateEnum(engineHandle, enumTemplate, enumHandle); });
}

DWORD WfpModel::FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                                FWPM_FILTER0*** entries, UINT32* numEntriesReturned) noexcept {
  return Run(Call::kFilterEnum, [&] {
    return Enumerate(engineHandle, enumHandle, numEntriesRequested, entries, numEntriesReturned);
  });
}

DWORD WfpModel::FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) noexcept {
  return Run(Call::kFilterDestroyEnumHandle, [&] { return DestroyEnum(engineHandle, enumHandle); });
}

void WfpModel::FwpmFreeMemory0(void** p) noexcept {
  try {
    calls_.push_back(CallRecord{Call::kFreeMemory, kSuccess, transaction_.has_value()});
  } catch (...) {
  }
  ReleaseBlock(p);
}

DWORD WfpModel::ConvertInterfaceAliasToLuid(const WCHAR* interfaceAlias,
                                            NET_LUID* interfaceLuid) noexcept {
  return Run(Call::kConvertInterfaceAliasToLuid,
             [&] { return AliasToLuid(interfaceAlias, interfaceLuid); });
}

}  // namespace wfp_model
