#include "standins/wfp/wfp_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>

namespace wfp_model {
namespace {

constexpr DWORD kSuccess = 0;
constexpr DWORD kAnyAction = 0xFFFFFFFF;

// Weights of type FWP_UINT8 name one of the platform's sixteen weight ranges.
constexpr UINT8 kMaxUint8Weight = 15;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::uint64_t HandleValue(HANDLE handle) noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

HANDLE ToHandle(std::uint64_t value) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

std::optional<std::wstring> OptionalText(const wchar_t* text) {
  if (text == nullptr) {
    return std::nullopt;
  }
  return std::wstring(text);
}

bool IsKnownLayer(const GUID& layer) noexcept {
  return wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4) ||
         wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6);
}

bool IsV6Layer(const GUID& layer) noexcept {
  return wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6);
}

// The data type of a condition field on a connect layer, or FWP_EMPTY for a field the layer lacks.
FWP_DATA_TYPE FieldType(const GUID& layer, const GUID& field) noexcept {
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS)) {
    return IsV6Layer(layer) ? FWP_BYTE_ARRAY16_TYPE : FWP_UINT32;
  }
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_PORT) ||
      wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_PORT)) {
    return FWP_UINT16;
  }
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_PROTOCOL)) {
    return FWP_UINT8;
  }
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_FLAGS)) {
    return FWP_UINT32;
  }
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE)) {
    return FWP_UINT64;
  }
  return FWP_EMPTY;
}

bool IsUnsigned(FWP_DATA_TYPE type) noexcept {
  return type == FWP_UINT8 || type == FWP_UINT16 || type == FWP_UINT32 || type == FWP_UINT64;
}

bool IsContiguousV4Mask(std::uint32_t mask) noexcept {
  const std::uint32_t host = ~mask;  // must be 0...01...1
  return (host & (host + 1)) == 0;
}

// Checks one condition of a filter on `layer` and copies it. Returns the platform's status.
DWORD CopyCondition(const GUID& layer, const FWPM_FILTER_CONDITION0& in, Condition& out) {
  const FWP_DATA_TYPE fieldType = FieldType(layer, in.fieldKey);
  if (fieldType == FWP_EMPTY) {
    return wfp::Status(FWP_E_CONDITION_NOT_FOUND);
  }
  const FWP_CONDITION_VALUE0& value = in.conditionValue;
  out.field = in.fieldKey;
  out.match = in.matchType;
  out.type = value.type;

  const bool addressMask = (fieldType == FWP_UINT32 && value.type == FWP_V4_ADDR_MASK) ||
                           (fieldType == FWP_BYTE_ARRAY16_TYPE && value.type == FWP_V6_ADDR_MASK);
  if (value.type != fieldType && !addressMask) {
    return wfp::Status(FWP_E_TYPE_MISMATCH);
  }

  const FWP_MATCH_TYPE match = in.matchType;
  const bool equality = match == FWP_MATCH_EQUAL || match == FWP_MATCH_NOT_EQUAL;
  const bool ordering = match == FWP_MATCH_GREATER || match == FWP_MATCH_LESS ||
                        match == FWP_MATCH_GREATER_OR_EQUAL || match == FWP_MATCH_LESS_OR_EQUAL;
  const bool flags = match == FWP_MATCH_FLAGS_ALL_SET || match == FWP_MATCH_FLAGS_ANY_SET ||
                     match == FWP_MATCH_FLAGS_NONE_SET;
  if (IsUnsigned(value.type)) {
    if (!(equality || ordering || (flags && value.type != FWP_UINT64))) {
      return wfp::Status(FWP_E_MATCH_TYPE_MISMATCH);
    }
  } else if (!equality) {
    return wfp::Status(FWP_E_MATCH_TYPE_MISMATCH);
  }

  switch (value.type) {
    case FWP_UINT8:
      out.value = value.uint8;
      break;
    case FWP_UINT16:
      out.value = value.uint16;
      break;
    case FWP_UINT32:
      out.value = value.uint32;
      break;
    case FWP_UINT64:
      if (value.uint64 == nullptr) {
        return wfp::Status(FWP_E_NULL_POINTER);
      }
      out.value = *value.uint64;
      break;
    case FWP_BYTE_ARRAY16_TYPE:
      if (value.byteArray16 == nullptr) {
        return wfp::Status(FWP_E_NULL_POINTER);
      }
      std::memcpy(out.v6.data(), value.byteArray16->byteArray16, out.v6.size());
      break;
    case FWP_V4_ADDR_MASK:
      if (value.v4AddrMask == nullptr) {
        return wfp::Status(FWP_E_NULL_POINTER);
      }
      if (!IsContiguousV4Mask(value.v4AddrMask->mask)) {
        return wfp::Status(FWP_E_INVALID_NET_MASK);
      }
      out.value = value.v4AddrMask->addr;
      out.v4Mask = value.v4AddrMask->mask;
      break;
    case FWP_V6_ADDR_MASK:
      if (value.v6AddrMask == nullptr) {
        return wfp::Status(FWP_E_NULL_POINTER);
      }
      if (value.v6AddrMask->prefixLength > 128) {
        return wfp::Status(FWP_E_INVALID_NET_MASK);
      }
      std::memcpy(out.v6.data(), value.v6AddrMask->addr, out.v6.size());
      out.prefixLength = value.v6AddrMask->prefixLength;
      break;
    default:
      return wfp::Status(FWP_E_TYPE_MISMATCH);
  }
  return kSuccess;
}

bool PrefixMatches(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b,
                   unsigned prefixLength) noexcept {
  for (unsigned bit = 0; bit < prefixLength; ++bit) {
    const unsigned byte = bit / 8;
    const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if ((a[byte] & mask) != (b[byte] & mask)) {
      return false;
    }
  }
  return true;
}

bool Compare(std::uint64_t actual, FWP_MATCH_TYPE match, std::uint64_t value) noexcept {
  switch (match) {
    case FWP_MATCH_EQUAL:
      return actual == value;
    case FWP_MATCH_NOT_EQUAL:
      return actual != value;
    case FWP_MATCH_GREATER:
      return actual > value;
    case FWP_MATCH_LESS:
      return actual < value;
    case FWP_MATCH_GREATER_OR_EQUAL:
      return actual >= value;
    case FWP_MATCH_LESS_OR_EQUAL:
      return actual <= value;
    case FWP_MATCH_FLAGS_ALL_SET:
      return (actual & value) == value;
    case FWP_MATCH_FLAGS_ANY_SET:
      return (actual & value) != 0;
    case FWP_MATCH_FLAGS_NONE_SET:
      return (actual & value) == 0;
    default:
      return false;
  }
}

bool ConditionHolds(const Condition& condition, const Connection& connection) noexcept {
  const GUID& field = condition.field;
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS)) {
    bool equal = false;
    switch (condition.type) {
      case FWP_UINT32:
        equal = connection.remoteV4 == condition.value;
        break;
      case FWP_V4_ADDR_MASK:
        equal = (connection.remoteV4 & condition.v4Mask) ==
                (static_cast<std::uint32_t>(condition.value) & condition.v4Mask);
        break;
      case FWP_BYTE_ARRAY16_TYPE:
        equal = connection.remoteV6 == condition.v6;
        break;
      case FWP_V6_ADDR_MASK:
        equal = PrefixMatches(connection.remoteV6, condition.v6, condition.prefixLength);
        break;
      default:
        return false;
    }
    return condition.match == FWP_MATCH_NOT_EQUAL ? !equal : equal;
  }
  std::uint64_t actual = 0;
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_PORT)) {
    actual = connection.remotePort;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_PORT)) {
    actual = connection.localPort;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_PROTOCOL)) {
    actual = connection.protocol;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_FLAGS)) {
    actual = connection.flags;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE)) {
    actual = connection.localInterface;
  } else {
    return false;
  }
  return Compare(actual, condition.match, condition.value);
}

// Conditions on the same field are alternatives; conditions on different fields must all hold.
bool FilterMatches(const Filter& filter, const Connection& connection) noexcept {
  for (const Condition& condition : filter.conditions) {
    bool fieldHolds = false;
    for (const Condition& alternative : filter.conditions) {
      if (wfp::SameGuid(alternative.field, condition.field) &&
          ConditionHolds(alternative, connection)) {
        fieldHolds = true;
        break;
      }
    }
    if (!fieldHolds) {
      return false;
    }
  }
  return true;
}

UINT64 EffectiveWeight(const Filter& filter) noexcept {
  switch (filter.weightType) {
    case FWP_UINT8:
      return filter.weight << 60;  // the top four bits select the weight range
    case FWP_UINT64:
      return filter.weight;
    default:
      return 0;  // automatic weight: the model places it at the bottom
  }
}

}  // namespace

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

std::string Describe(const Connection& c) {
  char text[256];
  if (c.version == IpVersion::kV4) {
    std::snprintf(text, sizeof text, "v4 to %u.%u.%u.%u", static_cast<unsigned>(c.remoteV4 >> 24),
                  static_cast<unsigned>((c.remoteV4 >> 16) & 0xFF),
                  static_cast<unsigned>((c.remoteV4 >> 8) & 0xFF),
                  static_cast<unsigned>(c.remoteV4 & 0xFF));
  } else {
    std::snprintf(text, sizeof text, "v6 to %02x%02x:%02x%02x:...:%02x%02x", c.remoteV6[0],
                  c.remoteV6[1], c.remoteV6[2], c.remoteV6[3], c.remoteV6[14], c.remoteV6[15]);
  }
  std::string result = text;
  std::snprintf(text, sizeof text,
                " port %u protocol %u from local port %u flags 0x%x interface 0x%llx",
                static_cast<unsigned>(c.remotePort), static_cast<unsigned>(c.protocol),
                static_cast<unsigned>(c.localPort), static_cast<unsigned>(c.flags),
                static_cast<unsigned long long>(c.localInterface));
  result += text;
  return result;
}

// One filter handed out by FwpmFilterEnum0: the platform record and the storage it points into.
struct WfpModel::ReturnedFilter {
  explicit ReturnedFilter(const Filter& filter) : source(filter) {
    const std::size_t count = source.conditions.size();
    conditions.resize(count);
    uint64Values.resize(count);
    v4Masks.resize(count);
    v6Masks.resize(count);
    byteArrays.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      const Condition& from = source.conditions[i];
      FWPM_FILTER_CONDITION0& to = conditions[i];
      to.fieldKey = from.field;
      to.matchType = from.match;
      to.conditionValue.type = from.type;
      switch (from.type) {
        case FWP_UINT8:
          to.conditionValue.uint8 = static_cast<UINT8>(from.value);
          break;
        case FWP_UINT16:
          to.conditionValue.uint16 = static_cast<UINT16>(from.value);
          break;
        case FWP_UINT32:
          to.conditionValue.uint32 = static_cast<UINT32>(from.value);
          break;
        case FWP_UINT64:
          uint64Values[i] = from.value;
          to.conditionValue.uint64 = &uint64Values[i];
          break;
        case FWP_BYTE_ARRAY16_TYPE:
          std::memcpy(byteArrays[i].byteArray16, from.v6.data(), from.v6.size());
          to.conditionValue.byteArray16 = &byteArrays[i];
          break;
        case FWP_V4_ADDR_MASK:
          v4Masks[i] = FWP_V4_ADDR_AND_MASK{static_cast<UINT32>(from.value), from.v4Mask};
          to.conditionValue.v4AddrMask = &v4Masks[i];
          break;
        case FWP_V6_ADDR_MASK:
          std::memcpy(v6Masks[i].addr, from.v6.data(), from.v6.size());
          v6Masks[i].prefixLength = from.prefixLength;
          to.conditionValue.v6AddrMask = &v6Masks[i];
          break;
        default:
          break;
      }
    }
    record.filterKey = source.key;
    record.displayData.name = source.name.data();
    record.displayData.description =
        source.description ? source.description->data() : static_cast<wchar_t*>(nullptr);
    record.flags = source.flags;
    if (source.providerKey) {
      providerKey = *source.providerKey;
      record.providerKey = &providerKey;
    }
    record.providerData.size = static_cast<UINT32>(source.providerData.size());
    record.providerData.data = source.providerData.empty() ? nullptr : source.providerData.data();
    record.layerKey = source.layer;
    record.subLayerKey = source.sublayer;
    record.weight.type = source.weightType;
    if (source.weightType == FWP_UINT8) {
      record.weight.uint8 = static_cast<UINT8>(source.weight);
    } else if (source.weightType == FWP_UINT64) {
      weight = source.weight;
      record.weight.uint64 = &weight;
    }
    record.numFilterConditions = static_cast<UINT32>(count);
    record.filterCondition = count == 0 ? nullptr : conditions.data();
    record.action.type = source.action;
    record.action.filterType = source.filterType;
    record.rawContext = source.rawContext;
    record.filterId = source.id;
    effectiveWeight = EffectiveWeight(source);
    record.effectiveWeight.type = FWP_UINT64;
    record.effectiveWeight.uint64 = &effectiveWeight;
  }
  ReturnedFilter(const ReturnedFilter&) = delete;
  ReturnedFilter& operator=(const ReturnedFilter&) = delete;

  Filter source;
  FWPM_FILTER0 record{};
  GUID providerKey{};
  std::vector<FWPM_FILTER_CONDITION0> conditions;
  std::vector<UINT64> uint64Values;
  std::vector<FWP_V4_ADDR_AND_MASK> v4Masks;
  std::vector<FWP_V6_ADDR_AND_MASK> v6Masks;
  std::vector<FWP_BYTE_ARRAY16> byteArrays;
  UINT64 weight = 0;
  UINT64 effectiveWeight = 0;
};

// One array handed out by FwpmFilterEnum0; its address is what FwpmFreeMemory0 gets back.
struct WfpModel::EnumBlock {
  std::vector<std::unique_ptr<ReturnedFilter>> filters;
  std::vector<FWPM_FILTER0*> pointers;
};

WfpModel::WfpModel() = default;
WfpModel::~WfpModel() = default;

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

void WfpModel::SetInterfaceAlias(std::wstring alias, UINT64 luid) {
  for (auto& entry : aliases_) {
    if (entry.first == alias) {
      entry.second = luid;
      return;
    }
  }
  aliases_.emplace_back(std::move(alias), luid);
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
  if (p == nullptr || *p == nullptr) {
    return;
  }
  const auto it = allocations_.find(*p);
  if (it == allocations_.end()) {
    ++invalidFrees_;  // the platform's heap would be corrupted; the tests look at this count
  } else {
    allocations_.erase(it);
  }
  *p = nullptr;
}

DWORD WfpModel::ConvertInterfaceAliasToLuid(const WCHAR* interfaceAlias,
                                            NET_LUID* interfaceLuid) noexcept {
  return Run(Call::kConvertInterfaceAliasToLuid,
             [&] { return AliasToLuid(interfaceAlias, interfaceLuid); });
}

// ---- the calls' effects ---------------------------------------------------------------------

const Session* WfpModel::FindSession(HANDLE engineHandle) const noexcept {
  const auto it = sessions_.find(HandleValue(engineHandle));
  return it == sessions_.end() ? nullptr : &it->second;
}

// What the platform checks of a new provider or sublayer before it looks at keys: a writable
// session, a name, only the persistent flag, no lasting object from a dynamic session, and
// provider data that is there when its size says so.
DWORD WfpModel::CheckNewObject(const Session& session, const FWPM_DISPLAY_DATA0& displayData,
                               UINT32 flags, UINT32 persistentFlag,
                               const FWP_BYTE_BLOB& providerData) const noexcept {
  if (const DWORD status = CheckWrite(session.id); status != kSuccess) {
    return status;
  }
  if (displayData.name == nullptr) {
    return wfp::Status(FWP_E_NULL_DISPLAY_NAME);
  }
  if ((flags & ~persistentFlag) != 0) {
    return wfp::Status(FWP_E_INVALID_FLAGS);
  }
  if ((flags & persistentFlag) != 0 && (session.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0) {
    return wfp::Status(FWP_E_DYNAMIC_SESSION_IN_PROGRESS);
  }
  if (providerData.size != 0 && providerData.data == nullptr) {
    return wfp::Status(FWP_E_NULL_POINTER);
  }
  return kSuccess;
}

// What every call that changes objects checks first, in the platform's order: a known session,
// the object argument given, and no other session's transaction in the way.
DWORD WfpModel::StartWrite(HANDLE engineHandle, const void* argument,
                           const Session*& session) const noexcept {
  session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (argument == nullptr) {
    return wfp::Status(FWP_E_NULL_POINTER);
  }
  return CheckWrite(session->id);
}

DWORD WfpModel::CheckWrite(std::uint64_t session) const noexcept {
  if (!transaction_) {
    return kSuccess;
  }
  if (transaction_->session != session) {
    return wfp::Status(FWP_E_TIMEOUT);  // the platform would wait for the other writer
  }
  if (transaction_->readOnly) {
    return wfp::Status(FWP_E_INCOMPATIBLE_TXN);
  }
  return kSuccess;
}

void WfpModel::Remember(Undo undo) {
  if (transaction_) {
    transaction_->undo.push_back(std::move(undo));
  }
}

void WfpModel::RollBack() {
  std::vector<Undo> undo = std::move(transaction_->undo);
  transaction_.reset();
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    std::visit(Overloaded{
                   [&](FilterAdded& step) { filters_.erase(step.id); },
                   [&](FilterDeleted& step) {
                     const UINT64 id = step.filter.id;
                     filters_.emplace(id, std::move(step.filter));
                   },
                   [&](ProviderAdded& step) {
                     std::erase_if(providers_, [&](const Provider& provider) {
                       return wfp::SameGuid(provider.key, step.key);
                     });
                   },
                   [&](ProviderDeleted& step) { providers_.push_back(std::move(step.provider)); },
                   [&](SublayerAdded& step) {
                     std::erase_if(sublayers_, [&](const Sublayer& sublayer) {
                       return wfp::SameGuid(sublayer.key, step.key);
                     });
                   },
                   [&](SublayerDeleted& step) { sublayers_.push_back(std::move(step.sublayer)); },
               },
               *it);
  }
}

void WfpModel::RemoveObjectsOf(std::uint64_t session) {
  std::erase_if(filters_, [&](const auto& entry) { return entry.second.session == session; });
  std::erase_if(sublayers_, [&](const Sublayer& sublayer) { return sublayer.session == session; });
  std::erase_if(providers_, [&](const Provider& provider) { return provider.session == session; });
}

bool WfpModel::ProviderRegistered(const GUID& key) const noexcept {
  return std::any_of(providers_.begin(), providers_.end(),
                     [&](const Provider& provider) { return wfp::SameGuid(provider.key, key); });
}

bool WfpModel::SublayerRegistered(const GUID& key) const noexcept {
  return std::any_of(sublayers_.begin(), sublayers_.end(),
                     [&](const Sublayer& sublayer) { return wfp::SameGuid(sublayer.key, key); });
}

bool WfpModel::IsDynamic(std::uint64_t session) const noexcept {
  const auto it = sessions_.find(session);
  return it != sessions_.end() && (it->second.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
}

// An object added outside a dynamic session outlives that session's objects, so it may not
// reference one of them.
bool WfpModel::OutlivesProvider(const Session& adder, const GUID& key) const noexcept {
  if ((adder.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0) {
    return false;
  }
  return std::any_of(providers_.begin(), providers_.end(), [&](const Provider& provider) {
    return wfp::SameGuid(provider.key, key) && IsDynamic(provider.session);
  });
}

bool WfpModel::OutlivesSublayer(const Session& adder, const GUID& key) const noexcept {
  if ((adder.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0) {
    return false;
  }
  return std::any_of(sublayers_.begin(), sublayers_.end(), [&](const Sublayer& sublayer) {
    return wfp::SameGuid(sublayer.key, key) && IsDynamic(sublayer.session);
  });
}

GUID WfpModel::NewKey() noexcept {
  // Keys the platform generates; recognisable, and never equal to one a caller chose on purpose.
  GUID key{0x0DE1DE1D, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0}};
  const std::uint32_t n = nextKey_++;
  key.Data4[4] = static_cast<unsigned char>(n >> 24);
  key.Data4[5] = static_cast<unsigned char>(n >> 16);
  key.Data4[6] = static_cast<unsigned char>(n >> 8);
  key.Data4[7] = static_cast<unsigned char>(n);
  return key;
}

std::uint64_t WfpModel::NewHandle() noexcept {
  // Handles are never reused, so a stale one is always recognised as such.
  const std::uint64_t handle = nextHandle_;
  nextHandle_ += 0x10;
  return handle;
}

DWORD WfpModel::EngineOpen(const wchar_t* serverName, UINT32 authnService,
                           SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                           HANDLE* engineHandle) {
  if (engineHandle == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Session opened;
  opened.id = NewHandle();
  opened.serverNameGiven = serverName != nullptr;
  opened.authnService = authnService;
  opened.authIdentityGiven = authIdentity != nullptr;
  if (session != nullptr) {
    opened.recordGiven = true;
    if (session->displayData.name != nullptr) {
      opened.name = session->displayData.name;
    }
    opened.description = OptionalText(session->displayData.description);
    opened.flags = session->flags;
    opened.txnWaitTimeoutInMSec = session->txnWaitTimeoutInMSec;
  }
  const std::uint64_t id = opened.id;
  sessions_.emplace(id, std::move(opened));
  *engineHandle = ToHandle(id);
  return kSuccess;
}

DWORD WfpModel::EngineClose(HANDLE engineHandle) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  const std::uint64_t id = session->id;
  const bool dynamic = (session->flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
  if (transaction_ && transaction_->session == id) {
    RollBack();
  }
  std::erase_if(enums_, [&](const auto& entry) { return entry.second.session == id; });
  if (dynamic) {
    RemoveObjectsOf(id);
  }
  sessions_.erase(id);
  return kSuccess;
}

DWORD WfpModel::ProviderAdd(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                            PSECURITY_DESCRIPTOR sd) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (provider == nullptr) {
    return wfp::Status(FWP_E_NULL_POINTER);
  }
  if (const DWORD status = CheckNewObject(*session, provider->displayData, provider->flags,
                                          FWPM_PROVIDER_FLAG_PERSISTENT, provider->providerData);
      status != kSuccess) {
    return status;
  }
  const GUID key = wfp::IsZeroGuid(provider->providerKey) ? NewKey() : provider->providerKey;
  if (ProviderRegistered(key)) {
    return wfp::Status(FWP_E_ALREADY_EXISTS);
  }
  Provider added;
  added.key = key;
  added.name = provider->displayData.name;
  added.description = OptionalText(provider->displayData.description);
  added.flags = provider->flags;
  added.providerDataSize = provider->providerData.size;
  added.serviceNameGiven = provider->serviceName != nullptr;
  added.securityDescriptorGiven = sd != nullptr;
  added.session = session->id;
  Remember(ProviderAdded{key});
  providers_.push_back(std::move(added));
  return kSuccess;
}

DWORD WfpModel::ProviderDelete(HANDLE engineHandle, const GUID* key) {
  const Session* session = nullptr;
  if (const DWORD status = StartWrite(engineHandle, key, session); status != kSuccess) {
    return status;
  }
  const auto it = std::find_if(providers_.begin(), providers_.end(),
                               [&](const Provider& p) { return wfp::SameGuid(p.key, *key); });
  if (it == providers_.end()) {
    return wfp::Status(FWP_E_PROVIDER_NOT_FOUND);
  }
  const bool referenced =
      std::any_of(sublayers_.begin(), sublayers_.end(),
                  [&](const Sublayer& s) {
                    return s.providerKey && wfp::SameGuid(*s.providerKey, *key);
                  }) ||
      std::any_of(filters_.begin(), filters_.end(), [&](const auto& entry) {
        return entry.second.providerKey && wfp::SameGuid(*entry.second.providerKey, *key);
      });
  if (referenced) {
    return wfp::Status(FWP_E_IN_USE);
  }
  Remember(ProviderDeleted{*it});
  providers_.erase(it);
  return kSuccess;
}

DWORD WfpModel::SublayerAdd(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                            PSECURITY_DESCRIPTOR sd) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (subLayer == nullptr) {
    return wfp::Status(FWP_E_NULL_POINTER);
  }
  if (const DWORD status = CheckNewObject(*session, subLayer->displayData, subLayer->flags,
                                          FWPM_SUBLAYER_FLAG_PERSISTENT, subLayer->providerData);
      status != kSuccess) {
    return status;
  }
  const GUID key = wfp::IsZeroGuid(subLayer->subLayerKey) ? NewKey() : subLayer->subLayerKey;
  if (SublayerRegistered(key)) {
    return wfp::Status(FWP_E_ALREADY_EXISTS);
  }
  if (subLayer->providerKey != nullptr && !ProviderRegistered(*subLayer->providerKey)) {
    return wfp::Status(FWP_E_PROVIDER_NOT_FOUND);
  }
  if (subLayer->providerKey != nullptr && OutlivesProvider(*session, *subLayer->providerKey)) {
    return wfp::Status(FWP_E_LIFETIME_MISMATCH);
  }
  Sublayer added;
  added.key = key;
  added.name = subLayer->displayData.name;
  added.description = OptionalText(subLayer->displayData.description);
  added.flags = subLayer->flags;
  if (subLayer->providerKey != nullptr) {
    added.providerKey = *subLayer->providerKey;
  }
  added.providerDataSize = subLayer->providerData.size;
  added.weight = subLayer->weight;
  added.securityDescriptorGiven = sd != nullptr;
  added.session = session->id;
  Remember(SublayerAdded{key});
  sublayers_.push_back(std::move(added));
  return kSuccess;
}

DWORD WfpModel::SublayerDelete(HANDLE engineHandle, const GUID* key) {
  const Session* session = nullptr;
  if (const DWORD status = StartWrite(engineHandle, key, session); status != kSuccess) {
    return status;
  }
  const auto it = std::find_if(sublayers_.begin(), sublayers_.end(),
                               [&](const Sublayer& s) { return wfp::SameGuid(s.key, *key); });
  if (it == sublayers_.end()) {
    return wfp::Status(FWP_E_SUBLAYER_NOT_FOUND);
  }
  if (std::any_of(filters_.begin(), filters_.end(),
                  [&](const auto& entry) { return wfp::SameGuid(entry.second.sublayer, *key); })) {
    return wfp::Status(FWP_E_IN_USE);
  }
  Remember(SublayerDeleted{*it});
  sublayers_.erase(it);
  return kSuccess;
}

DWORD WfpModel::TransactionBegin(HANDLE engineHandle, UINT32 flags) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if ((flags & ~static_cast<UINT32>(FWPM_TXN_READ_ONLY)) != 0) {
    return wfp::Status(FWP_E_INVALID_FLAGS);
  }
  if (transaction_) {
    return transaction_->session == session->id ? wfp::Status(FWP_E_TXN_IN_PROGRESS)
                                                : wfp::Status(FWP_E_TIMEOUT);
  }
  transaction_ = Transaction{session->id, (flags & FWPM_TXN_READ_ONLY) != 0, {}};
  return kSuccess;
}

DWORD WfpModel::TransactionEnd(HANDLE engineHandle, bool commit) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (!transaction_ || transaction_->session != session->id) {
    return wfp::Status(FWP_E_NO_TXN_IN_PROGRESS);
  }
  if (commit) {
    transaction_.reset();
  } else {
    RollBack();
  }
  return kSuccess;
}

DWORD WfpModel::FilterAdd(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR sd,
                          UINT64* id) {
  const Session* session = nullptr;
  if (const DWORD status = StartWrite(engineHandle, filter, session); status != kSuccess) {
    return status;
  }
  if (filter->displayData.name == nullptr) {
    return wfp::Status(FWP_E_NULL_DISPLAY_NAME);
  }
  if (filter->flags != 0) {
    return wfp::Status(FWP_E_INVALID_FLAGS);  // the model knows no filter flags
  }
  if (!IsKnownLayer(filter->layerKey)) {
    return wfp::Status(FWP_E_LAYER_NOT_FOUND);
  }
  if (filter->providerKey != nullptr && !ProviderRegistered(*filter->providerKey)) {
    return wfp::Status(FWP_E_PROVIDER_NOT_FOUND);
  }
  // A zero sublayer key stands for the platform's built-in default sublayer.
  if (!wfp::IsZeroGuid(filter->subLayerKey) && !SublayerRegistered(filter->subLayerKey)) {
    return wfp::Status(FWP_E_SUBLAYER_NOT_FOUND);
  }
  if ((filter->providerKey != nullptr && OutlivesProvider(*session, *filter->providerKey)) ||
      OutlivesSublayer(*session, filter->subLayerKey)) {
    return wfp::Status(FWP_E_LIFETIME_MISMATCH);
  }
  if (filter->providerData.size != 0 && filter->providerData.data == nullptr) {
    return wfp::Status(FWP_E_NULL_POINTER);
  }

  Filter added;
  added.weightType = filter->weight.type;
  switch (filter->weight.type) {
    case FWP_EMPTY:
      break;
    case FWP_UINT8:
      if (filter->weight.uint8 > kMaxUint8Weight) {
        return wfp::Status(FWP_E_INVALID_WEIGHT);
      }
      added.weight = filter->weight.uint8;
      break;
    case FWP_UINT64:
      if (filter->weight.uint64 == nullptr) {
        return wfp::Status(FWP_E_NULL_POINTER);
      }
      added.weight = *filter->weight.uint64;
      break;
    default:
      return wfp::Status(FWP_E_INVALID_WEIGHT);
  }

  if (filter->numFilterConditions != 0 && filter->filterCondition == nullptr) {
    return wfp::Status(FWP_E_NULL_POINTER);
  }
  added.conditions.resize(filter->numFilterConditions);
  for (UINT32 i = 0; i < filter->numFilterConditions; ++i) {
    if (const DWORD status =
            CopyCondition(filter->layerKey, filter->filterCondition[i], added.conditions[i]);
        status != kSuccess) {
      return status;
    }
  }

  const FWP_ACTION_TYPE action = filter->action.type;
  if ((action & FWP_ACTION_FLAG_CALLOUT) != 0) {
    return wfp::Status(FWP_E_CALLOUT_NOT_FOUND);  // the model has no callouts
  }
  if (action != FWP_ACTION_BLOCK && action != FWP_ACTION_PERMIT) {
    return wfp::Status(FWP_E_INVALID_ACTION_TYPE);
  }

  const GUID key = wfp::IsZeroGuid(filter->filterKey) ? NewKey() : filter->filterKey;
  if (std::any_of(filters_.begin(), filters_.end(),
                  [&](const auto& entry) { return wfp::SameGuid(entry.second.key, key); })) {
    return wfp::Status(FWP_E_ALREADY_EXISTS);
  }

  added.id = nextFilterId_++;
  added.key = key;
  added.name = filter->displayData.name;
  added.description = OptionalText(filter->displayData.description);
  added.flags = filter->flags;
  if (filter->providerKey != nullptr) {
    added.providerKey = *filter->providerKey;
  }
  if (filter->providerData.size != 0) {
    added.providerData.assign(filter->providerData.data,
                              filter->providerData.data + filter->providerData.size);
  }
  added.layer = filter->layerKey;
  added.sublayer = filter->subLayerKey;
  added.action = action;
  added.filterType = filter->action.filterType;
  added.rawContext = filter->rawContext;
  added.securityDescriptorGiven = sd != nullptr;
  added.session = session->id;

  const UINT64 newId = added.id;
  Remember(FilterAdded{newId});
  filters_.emplace(newId, std::move(added));
  if (id != nullptr) {
    *id = newId;
  }
  return kSuccess;
}

DWORD WfpModel::FilterDelete(HANDLE engineHandle, UINT64 id) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (const DWORD status = CheckWrite(session->id); status != kSuccess) {
    return status;
  }
  const auto it = filters_.find(id);
  if (it == filters_.end()) {
    return wfp::Status(FWP_E_FILTER_NOT_FOUND);
  }
  Remember(FilterDeleted{it->second});
  filters_.erase(it);
  return kSuccess;
}

DWORD WfpModel::CreateEnum(HANDLE engineHandle, const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                           HANDLE* enumHandle) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (enumHandle == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (enumTemplate != nullptr) {
    if (enumTemplate->numFilterConditions != 0 ||
        enumTemplate->providerContextTemplate != nullptr || enumTemplate->calloutKey != nullptr ||
        enumTemplate->flags != 0) {
      return ERROR_NOT_SUPPORTED;  // template parts the kill switch never uses
    }
    if (enumTemplate->enumType >= FWP_FILTER_ENUM_TYPE_MAX) {
      return ERROR_INVALID_PARAMETER;
    }
    if (!wfp::IsZeroGuid(enumTemplate->layerKey) && !IsKnownLayer(enumTemplate->layerKey)) {
      return wfp::Status(FWP_E_LAYER_NOT_FOUND);
    }
  }
  EnumState state;
  state.session = session->id;
  for (const auto& [filterId, filter] : filters_) {
    if (enumTemplate != nullptr) {
      if (enumTemplate->providerKey != nullptr &&
          !(filter.providerKey && wfp::SameGuid(*filter.providerKey, *enumTemplate->providerKey))) {
        continue;
      }
      if (!wfp::IsZeroGuid(enumTemplate->layerKey) &&
          !wfp::SameGuid(filter.layer, enumTemplate->layerKey)) {
        continue;
      }
      // Only filters whose action type shares a bit with the mask; all ones means any action.
      if (enumTemplate->actionMask != kAnyAction &&
          (filter.action & enumTemplate->actionMask) == 0) {
        continue;
      }
    }
    state.snapshot.push_back(filter);
  }
  const std::uint64_t handle = NewHandle();
  enums_.emplace(handle, std::move(state));
  *enumHandle = ToHandle(handle);
  return kSuccess;
}

DWORD WfpModel::Enumerate(HANDLE engineHandle, HANDLE enumHandle, UINT32 requested,
                          FWPM_FILTER0*** entries, UINT32* returned) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (entries == nullptr || returned == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const auto it = enums_.find(HandleValue(enumHandle));
  if (it == enums_.end() || it->second.session != session->id) {
    return wfp::Status(FWP_E_INVALID_ENUMERATOR);
  }
  EnumState& state = it->second;
  const std::size_t take = std::min<std::size_t>(requested, state.snapshot.size() - state.next);
  if (take == 0) {
    *entries = nullptr;
    *returned = 0;
    return kSuccess;
  }
  auto block = std::make_unique<EnumBlock>();
  block->filters.reserve(take);
  block->pointers.reserve(take);
  for (std::size_t i = 0; i < take; ++i) {
    block->filters.push_back(std::make_unique<ReturnedFilter>(state.snapshot[state.next + i]));
    block->pointers.push_back(&block->filters.back()->record);
  }
  FWPM_FILTER0** array = block->pointers.data();
  allocations_.emplace(static_cast<void*>(array), std::move(block));
  state.next += take;
  *entries = array;
  *returned = static_cast<UINT32>(take);
  return kSuccess;
}

DWORD WfpModel::DestroyEnum(HANDLE engineHandle, HANDLE enumHandle) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  const auto it = enums_.find(HandleValue(enumHandle));
  if (it == enums_.end() || it->second.session != session->id) {
    return wfp::Status(FWP_E_INVALID_ENUMERATOR);
  }
  enums_.erase(it);
  return kSuccess;
}

DWORD WfpModel::AliasToLuid(const WCHAR* alias, NET_LUID* luid) const {
  if (alias == nullptr || luid == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::wstring_view wanted(alias);
  for (const auto& [name, value] : aliases_) {
    if (name == wanted) {
      luid->Value = value;
      return kSuccess;
    }
  }
  return ERROR_INVALID_PARAMETER;  // what the platform answers for an alias it does not know
}

// ---- inspection -----------------------------------------------------------------------------

std::vector<Filter> WfpModel::Filters() const {
  std::vector<Filter> result;
  result.reserve(filters_.size());
  for (const auto& entry : filters_) {
    result.push_back(entry.second);
  }
  return result;
}

std::vector<Filter> WfpModel::FiltersOfProvider(const GUID& providerKey) const {
  std::vector<Filter> result;
  for (const auto& entry : filters_) {
    if (entry.second.providerKey && wfp::SameGuid(*entry.second.providerKey, providerKey)) {
      result.push_back(entry.second);
    }
  }
  return result;
}

const Filter* WfpModel::FindFilter(UINT64 id) const noexcept {
  const auto it = filters_.find(id);
  return it == filters_.end() ? nullptr : &it->second;
}

std::optional<Provider> WfpModel::FindProvider(const GUID& key) const {
  for (const Provider& provider : providers_) {
    if (wfp::SameGuid(provider.key, key)) {
      return provider;
    }
  }
  return std::nullopt;
}

std::optional<Sublayer> WfpModel::FindSublayer(const GUID& key) const {
  for (const Sublayer& sublayer : sublayers_) {
    if (wfp::SameGuid(sublayer.key, key)) {
      return sublayer;
    }
  }
  return std::nullopt;
}

std::vector<Session> WfpModel::OpenSessions() const {
  std::vector<Session> result;
  for (const auto& entry : sessions_) {
    result.push_back(entry.second);
  }
  return result;
}

Decision WfpModel::Classify(const Connection& connection) const noexcept {
  const GUID& layer = connection.version == IpVersion::kV4 ? wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4
                                                           : wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6;
  // The deciding filter of each sublayer: the highest weight; at equal weight a block, then the
  // older filter.
  struct Best {
    GUID sublayer;
    const Filter* filter;
    UINT64 weight;
  };
  auto better = [](const Filter& candidate, UINT64 weight, const Best& current) {
    if (weight != current.weight) {
      return weight > current.weight;
    }
    const bool candidateBlocks = candidate.action == FWP_ACTION_BLOCK;
    const bool currentBlocks = current.filter->action == FWP_ACTION_BLOCK;
    if (candidateBlocks != currentBlocks) {
      return candidateBlocks;
    }
    return candidate.id < current.filter->id;
  };
  std::vector<Best> best;
  try {
    for (const auto& [filterId, filter] : filters_) {
      if (!wfp::SameGuid(filter.layer, layer) || !FilterMatches(filter, connection)) {
        continue;
      }
      const UINT64 weight = EffectiveWeight(filter);
      const auto slot = std::find_if(best.begin(), best.end(), [&](const Best& entry) {
        return wfp::SameGuid(entry.sublayer, filter.sublayer);
      });
      if (slot == best.end()) {
        best.push_back(Best{filter.sublayer, &filter, weight});
      } else if (better(filter, weight, *slot)) {
        slot->filter = &filter;
        slot->weight = weight;
      }
    }
  } catch (...) {
    return Decision{Verdict::kBlock, 0};  // out of memory: fail closed
  }
  Decision decision;
  for (const Best& entry : best) {
    if (entry.filter->action == FWP_ACTION_BLOCK) {
      return Decision{Verdict::kBlock, entry.filter->id};  // a block in any sublayer wins
    }
    if (decision.filterId == 0) {
      decision = Decision{Verdict::kPermit, entry.filter->id};
    }
  }
  return decision;
}

}  // namespace wfp_model
