#pragma once

#include <array>
#include <cstddef>

#include "killswitch/wfp_compat.h"

// Every record the kill switch hands to the filtering platform, built from the named constants
// below and nowhere else. killswitch/README.md explains the weights and the arbitration.

// The program's own keys: the provider every filter carries, and our sublayer.
// {A7B8C9D0-E1F2-4A5B-8C7D-0E1F2A3B4C5D}
inline constexpr GUID KillSwitchProviderKey{
    0xA7B8C9D0, 0xE1F2, 0x4A5B, {0x8C, 0x7D, 0x0E, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D}};
// {B8C9D0E1-F2A3-4B5C-9D8E-1F2A3B4C5D6E}
inline constexpr GUID KillSwitchSublayerKey{
    0xB8C9D0E1, 0xF2A3, 0x4B5C, {0x9D, 0x8E, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D, 0x6E}};

namespace records {

inline constexpr wchar_t kSessionName[] = L"OrvaneVPN Kill Switch Session";
inline constexpr wchar_t kProviderName[] = L"OrvaneVPN";
inline constexpr wchar_t kProviderDescription[] = L"OrvaneVPN Kill Switch Provider";
inline constexpr wchar_t kSublayerName[] = L"OrvaneVPN Kill Switch";
inline constexpr wchar_t kSublayerDescription[] = L"OrvaneVPN Kill Switch Sublayer";

inline constexpr wchar_t kBlockAllName[] = L"OrvaneVPN Block All";
inline constexpr wchar_t kLoopbackPermitName[] = L"OrvaneVPN Permit Loopback";
inline constexpr wchar_t kDhcpPermitName[] = L"OrvaneVPN Permit DHCP";
inline constexpr wchar_t kEndpointPermitName[] = L"OrvaneVPN Permit VPN Endpoint";
inline constexpr wchar_t kLan10Name[] = L"OrvaneVPN Permit LAN 10/8";
inline constexpr wchar_t kLan172Name[] = L"OrvaneVPN Permit LAN 172.16/12";
inline constexpr wchar_t kLan192Name[] = L"OrvaneVPN Permit LAN 192.168/16";
inline constexpr wchar_t kLanLinkLocalName[] = L"OrvaneVPN Permit LAN Link-Local";
inline constexpr wchar_t kTunPermitName[] = L"OrvaneVPN Permit TUN Interface";

// Our sublayer is the highest there is; inside it every permit outranks the one block.
inline constexpr UINT16 kSublayerWeight = 0xFFFF;
inline constexpr UINT8 kBlockWeight = 1;
inline constexpr UINT8 kPermitWeight = 10;

inline constexpr UINT8 kProtocolUdp = 17;
inline constexpr UINT16 kDhcpClientPort = 68;
inline constexpr UINT32 kSingleHostMask = 0xFFFFFFFF;

// Addresses and masks in host byte order, the first dotted number in the top byte.
struct Ipv4Subnet {
  UINT32 address;
  UINT32 mask;
  const wchar_t* name;
};
inline constexpr std::array<Ipv4Subnet, 4> kLanSubnets{{
    {0x0A000000, 0xFF000000, kLan10Name},
    {0xAC100000, 0xFFF00000, kLan172Name},
    {0xC0A80000, 0xFFFF0000, kLan192Name},
    {0xA9FE0000, 0xFFFF0000, kLanLinkLocalName},  // 169.254.0.0/16
}};

// Filters are fetched for deletion in pages of this many.
inline constexpr UINT32 kPurgePageSize = 256;

FWPM_SESSION0 SessionRecord() noexcept;
FWPM_PROVIDER0 ProviderRecord() noexcept;
FWPM_SUBLAYER0 SublayerRecord() noexcept;
// Selects every filter that carries our provider key, in any layer, whatever its action.
FWPM_FILTER_ENUM_TEMPLATE0 ProviderFiltersTemplate() noexcept;

enum class FilterAction { kBlock, kPermit };

// One FWPM_FILTER0 with the storage its pointers refer to.
class FilterRecord {
 public:
  FilterRecord(const GUID& layer, const wchar_t* name, FilterAction action, UINT8 weight) noexcept;

  FilterRecord& FlagsAllSet(const GUID& field, UINT32 flags) noexcept;
  FilterRecord& Uint8Equal(const GUID& field, UINT8 value) noexcept;
  FilterRecord& Uint16Equal(const GUID& field, UINT16 value) noexcept;
  FilterRecord& Uint64Equal(const GUID& field, UINT64 value) noexcept;
  FilterRecord& V4AddressAndMask(const GUID& field, UINT32 address, UINT32 mask) noexcept;

  // The record for FwpmFilterAdd0. Its pointers refer into this object: it stays valid until the
  // object is changed, copied over, moved or destroyed.
  const FWPM_FILTER0& Get() noexcept;

 private:
  // The endpoint permit, the largest record, has three conditions.
  static constexpr std::size_t kMaxConditions = 3;

  FWPM_FILTER_CONDITION0& NextCondition(const GUID& field, FWP_MATCH_TYPE match) noexcept;

  FWPM_FILTER0 filter_{};
  GUID providerKey_ = KillSwitchProviderKey;
  std::array<FWPM_FILTER_CONDITION0, kMaxConditions> conditions_{};
  std::array<UINT64, kMaxConditions> uint64Values_{};
  std::array<FWP_V4_ADDR_AND_MASK, kMaxConditions> addressMasks_{};
  std::size_t conditionCount_ = 0;
};

FilterRecord BlockAllFilter(const GUID& layer) noexcept;
FilterRecord LoopbackPermit(const GUID& layer) noexcept;
FilterRecord DhcpPermit() noexcept;
FilterRecord EndpointPermit(UINT32 address, UINT16 port, UINT8 protocol) noexcept;
FilterRecord SubnetPermit(const GUID& layer, UINT32 address, UINT32 mask,
                          const wchar_t* name) noexcept;
FilterRecord InterfacePermit(const GUID& layer, UINT64 luid) noexcept;

}  // namespace records
