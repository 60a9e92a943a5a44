// Providers, sublayers and filters: what the platform checks before it adds or deletes one, and
// the deep copies the model keeps. Apart because these checks are most of what makes the model
// refuse what the platform would refuse.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "standins/wfp/wfp_model.h"
#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {
namespace {

using detail::IsKnownLayer;
using detail::kSuccess;
using detail::OptionalText;

// Weights of type FWP_UINT8 name one of the platform's sixteen weight ranges.
constexpr UINT8 kMaxUint8Weight = 15;

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

// What the platform checks of a new provider or sublayer once the session may write and before
// it looks at keys: a name, only the persistent flag, no lasting object from a dynamic session,
// and provider data that is there when its size says so.
DWORD CheckNewObject(const Session& session, const FWPM_DISPLAY_DATA0& displayData, UINT32 flags,
                     UINT32 persistentFlag, const FWP_BYTE_BLOB& providerData) noexcept {
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

// Where providers and sublayers differ only in names, so AddByKey serves both.
const GUID& GivenKey(const FWPM_PROVIDER0& provider) noexcept {
  return provider.providerKey;
}
const GUID& GivenKey(const FWPM_SUBLAYER0& subLayer) noexcept {
  return subLayer.subLayerKey;
}
constexpr UINT32 PersistentFlag(const FWPM_PROVIDER0&) noexcept {
  return FWPM_PROVIDER_FLAG_PERSISTENT;
}
constexpr UINT32 PersistentFlag(const FWPM_SUBLAYER0&) noexcept {
  return FWPM_SUBLAYER_FLAG_PERSISTENT;
}

// The fields a provider and a sublayer both copy from the caller's record.
template <typename Record, typename Object>
void CopyShared(const Record& record, const GUID& key, const Session& session,
                PSECURITY_DESCRIPTOR sd, Object& object) {
  object.key = key;
  object.name = record.displayData.name;
  object.description = OptionalText(record.displayData.description);
  object.flags = record.flags;
  object.providerDataSize = record.providerData.size;
  object.securityDescriptorGiven = sd != nullptr;
  object.session = session.id;
}

template <typename Object>
auto FindByKey(std::vector<Object>& objects, const GUID& key) {
  return std::find_if(objects.begin(), objects.end(),
                      [&](const Object& object) { return wfp::SameGuid(object.key, key); });
}

template <typename Object>
bool Registered(const std::vector<Object>& objects, const GUID& key) noexcept {
  return std::any_of(objects.begin(), objects.end(),
                     [&](const Object& object) { return wfp::SameGuid(object.key, key); });
}

bool IsDynamic(const std::map<std::uint64_t, Session>& sessions, std::uint64_t session) noexcept {
  const auto it = sessions.find(session);
  return it != sessions.end() && (it->second.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
}

// An object added outside a dynamic session outlives that session's objects, so it may not
// reference one of them.
template <typename Object>
bool Outlives(const Session& adder, const std::vector<Object>& objects, const GUID& key,
              const std::map<std::uint64_t, Session>& sessions) noexcept {
  if ((adder.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0) {
    return false;
  }
  return std::any_of(objects.begin(), objects.end(), [&](const Object& object) {
    return wfp::SameGuid(object.key, key) && IsDynamic(sessions, object.session);
  });
}

}  // namespace

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

// Adds a provider or sublayer after the platform's checks, in its order; `complete` checks and
// fills in what only one of the two has.
template <typename Added, typename Record, typename Object, typename Complete>
DWORD WfpModel::AddByKey(HANDLE engineHandle, const Record* record, PSECURITY_DESCRIPTOR sd,
                         std::vector<Object>& objects, Complete complete) {
  const Session* session = nullptr;
  if (const DWORD status = StartWrite(engineHandle, record, session); status != kSuccess) {
    return status;
  }
  if (const DWORD status = CheckNewObject(*session, record->displayData, record->flags,
                                          PersistentFlag(*record), record->providerData);
      status != kSuccess) {
    return status;
  }
  const GUID key = wfp::IsZeroGuid(GivenKey(*record)) ? NewKey() : GivenKey(*record);
  if (Registered(objects, key)) {
    return wfp::Status(FWP_E_ALREADY_EXISTS);
  }
  Object added;
  if (const DWORD status = complete(*session, added); status != kSuccess) {
    return status;
  }
  CopyShared(*record, key, *session, sd, added);
  Remember(Added{key});
  objects.push_back(std::move(added));
  return kSuccess;
}

// A provider or sublayer still referenced cannot go.
template <typename Deleted, typename Object, typename InUse>
DWORD WfpModel::DeleteByKey(HANDLE engineHandle, const GUID* key, std::vector<Object>& objects,
                            DWORD notFound, InUse inUse) {
  const Session* session = nullptr;
  if (const DWORD status = StartWrite(engineHandle, key, session); status != kSuccess) {
    return status;
  }
  const auto it = FindByKey(objects, *key);
  if (it == objects.end()) {
    return notFound;
  }
  if (inUse(*key)) {
    return wfp::Status(FWP_E_IN_USE);
  }
  Remember(Deleted{*it});
  objects.erase(it);
  return kSuccess;
}

DWORD WfpModel::ProviderAdd(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                            PSECURITY_DESCRIPTOR sd) {
  return AddByKey<ProviderAdded>(engineHandle, provider, sd, providers_,
                                 [&](const Session&, Provider& added) {
                                   added.serviceNameGiven = provider->serviceName != nullptr;
                                   return kSuccess;
                                 });
}

DWORD WfpModel::SublayerAdd(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                            PSECURITY_DESCRIPTOR sd) {
  return AddByKey<SublayerAdded>(
      engineHandle, subLayer, sd, sublayers_, [&](const Session& session, Sublayer& added) {
        if (subLayer->providerKey != nullptr) {
          if (!Registered(providers_, *subLayer->providerKey)) {
            return wfp::Status(FWP_E_PROVIDER_NOT_FOUND);
          }
          if (Outlives(session, providers_, *subLayer->providerKey, sessions_)) {
            return wfp::Status(FWP_E_LIFETIME_MISMATCH);
          }
          added.providerKey = *subLayer->providerKey;
        }
        added.weight = subLayer->weight;
        return kSuccess;
      });
}

DWORD WfpModel::ProviderDelete(HANDLE engineHandle, const GUID* key) {
  return DeleteByKey<ProviderDeleted>(
      engineHandle, key, providers_, wfp::Status(FWP_E_PROVIDER_NOT_FOUND), [&](const GUID& k) {
        return std::any_of(sublayers_.begin(), sublayers_.end(),
                           [&](const Sublayer& s) {
                             return s.providerKey && wfp::SameGuid(*s.providerKey, k);
                           }) ||
               std::any_of(filters_.begin(), filters_.end(), [&](const auto& entry) {
                 return entry.second.providerKey && wfp::SameGuid(*entry.second.providerKey, k);
               });
      });
}

DWORD WfpModel::SublayerDelete(HANDLE engineHandle, const GUID* key) {
  return DeleteByKey<SublayerDeleted>(
      engineHandle, key, sublayers_, wfp::Status(FWP_E_SUBLAYER_NOT_FOUND), [&](const GUID& k) {
        return std::any_of(filters_.begin(), filters_.end(), [&](const auto& entry) {
          return wfp::SameGuid(entry.second.sublayer, k);
        });
      });
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
  if (filter->providerKey != nullptr && !Registered(providers_, *filter->providerKey)) {
    return wfp::Status(FWP_E_PROVIDER_NOT_FOUND);
  }
  // A zero sublayer key stands for the platform's built-in default sublayer.
  if (!wfp::IsZeroGuid(filter->subLayerKey) && !Registered(sublayers_, filter->subLayerKey)) {
    return wfp::Status(FWP_E_SUBLAYER_NOT_FOUND);
  }
  if ((filter->providerKey != nullptr &&
       Outlives(*session, providers_, *filter->providerKey, sessions_)) ||
      Outlives(*session, sublayers_, filter->subLayerKey, sessions_)) {
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

}  // namespace wfp_model
