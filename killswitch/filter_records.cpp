#include "killswitch/filter_records.h"

#include <cassert>

namespace records {
namespace {

// The platform's records hold non-const pointers to names and keys it only ever reads.
wchar_t* Text(const wchar_t* text) noexcept {
  return const_cast<wchar_t*>(text);
}
GUID* Key(const GUID& key) noexcept {
  return const_cast<GUID*>(&key);
}

}  // namespace

FWPM_SESSION0 SessionRecord() noexcept {
  FWPM_SESSION0 session{};
  session.displayData.name = Text(kSessionName);
  // Dynamic: the platform deletes everything added through the session when it closes, so the
  // machine is never left blocked by a host that crashed.
  session.flags = FWPM_SESSION_FLAG_DYNAMIC;
  session.txnWaitTimeoutInMSec = 0;
  return session;
}

FWPM_PROVIDER0 ProviderRecord() noexcept {
  FWPM_PROVIDER0 provider{};
  provider.providerKey = KillSwitchProviderKey;
  provider.displayData.name = Text(kProviderName);
  provider.displayData.description = Text(kProviderDescription);
  provider.flags = 0;  // not persistent: it lives as long as the session
  return provider;
}

FWPM_SUBLAYER0 SublayerRecord() noexcept {
  FWPM_SUBLAYER0 sublayer{};
  sublayer.subLayerKey = KillSwitchSublayerKey;
  sublayer.displayData.name = Text(kSublayerName);
  sublayer.displayData.description = Text(kSublayerDescription);
  sublayer.flags = 0;
  sublayer.providerKey = Key(KillSwitchProviderKey);
  sublayer.weight = kSublayerWeight;
  return sublayer;
}

FWPM_FILTER_ENUM_TEMPLATE0 ProviderFiltersTemplate() noexcept {
  FWPM_FILTER_ENUM_TEMPLATE0 enumTemplate{};
  enumTemplate.providerKey = Key(KillSwitchProviderKey);
  // The platform returns only filters whose action type shares a bit with this mask; all ones is
  // its "any action". A zero mask would find nothing, and nothing would ever be purged.
  enumTemplate.actionMask = 0xFFFFFFFF;
  return enumTemplate;
}

FilterRecord::FilterRecord(const GUID& layer, const wchar_t* name, FilterAction action,
                           UINT8 weight) noexcept {
  filter_.displayData.name = Text(name);
  filter_.flags = 0;
  filter_.layerKey = layer;
  filter_.subLayerKey = KillSwitchSublayerKey;
  filter_.weight.type = FWP_UINT8;
  filter_.weight.uint8 = weight;
  filter_.action.type = action == FilterAction::kBlock ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT;
  filter_.rawContext = 0;
}

FWPM_FILTER_CONDITION0& FilterRecord::NextCondition(const GUID& field,
                                                    FWP_MATCH_TYPE match) noexcept {
  assert(conditionCount_ < kMaxConditions);
  FWPM_FILTER_CONDITION0& condition = conditions_[conditionCount_++];
  condition.fieldKey = field;
  condition.matchType = match;
  return condition;
}

FilterRecord& FilterRecord::FlagsAllSet(const GUID& field, UINT32 flags) noexcept {
  FWPM_FILTER_CONDITION0& condition = NextCondition(field, FWP_MATCH_FLAGS_ALL_SET);
  condition.conditionValue.type = FWP_UINT32;
  condition.conditionValue.uint32 = flags;
  return *this;
}

FilterRecord& FilterRecord::Uint8Equal(const GUID& field, UINT8 value) noexcept {
  FWPM_FILTER_CONDITION0& condition = NextCondition(field, FWP_MATCH_EQUAL);
  condition.conditionValue.type = FWP_UINT8;
  condition.conditionValue.uint8 = value;
  return *this;
}

FilterRecord& FilterRecord::Uint16Equal(const GUID& field, UINT16 value) noexcept {
  FWPM_FILTER_CONDITION0& condition = NextCondition(field, FWP_MATCH_EQUAL);
  condition.conditionValue.type = FWP_UINT16;
  condition.conditionValue.uint16 = value;
  return *this;
}

FilterRecord& FilterRecord::Uint64Equal(const GUID& field, UINT64 value) noexcept {
  uint64Values_[conditionCount_] = value;
  FWPM_FILTER_CONDITION0& condition = NextCondition(field, FWP_MATCH_EQUAL);
  condition.conditionValue.type = FWP_UINT64;  // the pointer is set by Get()
  return *this;
}

FilterRecord& FilterRecord::V4AddressAndMask(const GUID& field, UINT32 address,
                                             UINT32 mask) noexcept {
  addressMasks_[conditionCount_] = FWP_V4_ADDR_AND_MASK{address, mask};
  FWPM_FILTER_CONDITION0& condition = NextCondition(field, FWP_MATCH_EQUAL);
  condition.conditionValue.type = FWP_V4_ADDR_MASK;  // the pointer is set by Get()
  return *this;
}

const FWPM_FILTER0& FilterRecord::Get() noexcept {
  // Pointers are set here, not when the parts are added, so a record stays correct after being
  // copied or moved.
  for (std::size_t i = 0; i < conditionCount_; ++i) {
    FWP_CONDITION_VALUE0& value = conditions_[i].conditionValue;
    if (value.type == FWP_UINT64) {
      value.uint64 = &uint64Values_[i];
    } else if (value.type == FWP_V4_ADDR_MASK) {
      value.v4AddrMask = &addressMasks_[i];
    }
  }
  filter_.providerKey = &providerKey_;
  filter_.numFilterConditions = static_cast<UINT32>(conditionCount_);
  filter_.filterCondition = conditionCount_ == 0 ? nullptr : conditions_.data();
  return filter_;
}

FilterRecord BlockAllFilter(const GUID& layer) noexcept {
  return FilterRecord(layer, kBlockAllName, FilterAction::kBlock, kBlockWeight);
}

FilterRecord LoopbackPermit(const GUID& layer) noexcept {
  FilterRecord record(layer, kLoopbackPermitName, FilterAction::kPermit, kPermitWeight);
  record.FlagsAllSet(wfp::FWPM_CONDITION_FLAGS, FWP_CONDITION_FLAG_IS_LOOPBACK);
  return record;
}

FilterRecord DhcpPermit() noexcept {
  FilterRecord record(wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4, kDhcpPermitName, FilterAction::kPermit,
                      kPermitWeight);
  record.Uint8Equal(wfp::FWPM_CONDITION_IP_PROTOCOL, kProtocolUdp)
      .Uint16Equal(wfp::FWPM_CONDITION_IP_LOCAL_PORT, kDhcpClientPort);
  return record;
}

FilterRecord EndpointPermit(UINT32 address, UINT16 port, UINT8 protocol) noexcept {
  FilterRecord record(wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4, kEndpointPermitName,
                      FilterAction::kPermit, kPermitWeight);
  // Protocol 0 (the caller named none) is matched as such, not as "any protocol".
  record.V4AddressAndMask(wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS, address, kSingleHostMask)
      .Uint16Equal(wfp::FWPM_CONDITION_IP_REMOTE_PORT, port)
      .Uint8Equal(wfp::FWPM_CONDITION_IP_PROTOCOL, protocol);
  return record;
}

FilterRecord SubnetPermit(const GUID& layer, UINT32 address, UINT32 mask,
                          const wchar_t* name) noexcept {
  FilterRecord record(layer, name, FilterAction::kPermit, kPermitWeight);
  record.V4AddressAndMask(wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS, address, mask);
  return record;
}

FilterRecord InterfacePermit(const GUID& layer, UINT64 luid) noexcept {
  FilterRecord record(layer, kTunPermitName, FilterAction::kPermit, kPermitWeight);
  record.Uint64Equal(wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE, luid);
  return record;
}

}  // namespace records
