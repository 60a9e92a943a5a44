// Filter enumeration: a handle's snapshot, its pages, and the memory each page hands out until
// FwpmFreeMemory0 takes it back. Apart because the records handed out point into storage the model
// must own, and only this file knows how that storage is laid out.

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "standins/wfp/wfp_model.h"
#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {
namespace {

using detail::HandleValue;
using detail::IsKnownLayer;
using detail::kSuccess;
using detail::ToHandle;

constexpr DWORD kAnyAction = 0xFFFFFFFF;

// One filter handed out by FwpmFilterEnum0: the platform record and the storage it points into.
struct ReturnedFilter {
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
    effectiveWeight = detail::EffectiveWeight(source);
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

}  // namespace

// One array handed out by FwpmFilterEnum0; its address is what FwpmFreeMemory0 gets back.
struct WfpModel::EnumBlock {
  std::vector<std::unique_ptr<ReturnedFilter>> filters;
  std::vector<FWPM_FILTER0*> pointers;
};

// Here and not with the calls: the blocks the model owns are complete types only in this file.
WfpModel::WfpModel() = default;
WfpModel::~WfpModel() = default;

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

void WfpModel::ReleaseBlock(void** p) noexcept {
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

}  // namespace wfp_model
