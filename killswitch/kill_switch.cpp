#include "killswitch/kill_switch.h"

#include "killswitch/filter_records.h"

namespace {

using records::FilterRecord;

constexpr DWORD kSuccess = 0;

// A second Enable in the same session meets the provider and sublayer it registered before.
bool AddedOrPresent(DWORD status) noexcept {
  return status == kSuccess || status == wfp::Status(FWP_E_ALREADY_EXISTS);
}

// A filter someone else deleted meanwhile is as gone as one we deleted.
bool DeletedOrGone(DWORD status) noexcept {
  return status == kSuccess || status == wfp::Status(FWP_E_FILTER_NOT_FOUND);
}

}  // namespace

KillSwitch::KillSwitch() noexcept : KillSwitch(SystemFilteringPlatform()) {}

KillSwitch::KillSwitch(FilteringPlatform& platformBinding) noexcept
    : platform(platformBinding), engineHandle(platformBinding) {}

KillSwitch::~KillSwitch() {
  Close();
}

void KillSwitch::Close() noexcept {
  CloseSession();
}

void KillSwitch::CloseSession() noexcept {
  engineHandle.Reset();
  // The tunnel permits belonged to the session and went with it; their ids name nothing now.
  tunPermitIdV4 = 0;
  tunPermitIdV6 = 0;
}

bool KillSwitch::OpenSession() noexcept {
  if (engineHandle) {
    return true;
  }
  const FWPM_SESSION0 session = records::SessionRecord();
  HANDLE handle = nullptr;
  if (platform.FwpmEngineOpen0(nullptr, static_cast<UINT32>(RPC_C_AUTHN_DEFAULT), nullptr, &session,
                               &handle) != kSuccess) {
    return false;
  }
  engineHandle.Reset(handle);
  return true;
}

bool KillSwitch::PurgeFilters() noexcept {
  if (!engineHandle) {
    return false;
  }
  bool complete = true;
  {
    FilterEnumHandle enumHandle(platform, engineHandle.get());
    if (enumHandle.Create(records::ProviderFiltersTemplate()) != kSuccess) {
      return false;  // the tunnel ids stay: nothing was deleted
    }
    // The enumeration runs over a snapshot taken when the handle was created, so deleting while
    // paging through it neither skips nor repeats a filter.
    for (;;) {
      FilterEntries entries(platform);
      UINT32 count = 0;
      if (platform.FwpmFilterEnum0(engineHandle.get(), enumHandle.get(), records::kPurgePageSize,
                                   entries.Receive(), &count) != kSuccess) {
        complete = false;
        break;
      }
      if (count == 0) {
        break;
      }
      if (entries.get() == nullptr) {
        complete = false;
        break;
      }
      for (UINT32 i = 0; i < count; ++i) {
        const DWORD status =
            platform.FwpmFilterDeleteById0(engineHandle.get(), entries.get()[i]->filterId);
        if (!DeletedOrGone(status)) {
          complete = false;
        }
      }
    }  // each page is released before the next is fetched
  }    // the enumeration handle is destroyed here
  tunPermitIdV4 = 0;
  tunPermitIdV6 = 0;
  return complete;
}

bool KillSwitch::AddFilter(FilterRecord record, UINT64* id) noexcept {
  UINT64 newId = 0;
  if (platform.FwpmFilterAdd0(engineHandle.get(), &record.Get(), nullptr, &newId) != kSuccess) {
    return false;
  }
  if (id != nullptr) {
    *id = newId;
  }
  return true;
}

bool KillSwitch::AddBlockAllFilter(const GUID& layer) noexcept {
  return AddFilter(records::BlockAllFilter(layer));
}

bool KillSwitch::AddLoopbackPermit(const GUID& layer) noexcept {
  return AddFilter(records::LoopbackPermit(layer));
}

bool KillSwitch::AddSubnetPermit(const GUID& layer, UINT32 address, UINT32 mask,
                                 const wchar_t* displayName) noexcept {
  return AddFilter(records::SubnetPermit(layer, address, mask, displayName));
}

bool KillSwitch::AddInterfacePermit(const GUID& layer, UINT64 luid, UINT64* id) noexcept {
  return AddFilter(records::InterfacePermit(layer, luid), id);
}

bool KillSwitch::AddFilterSet(const KillSwitchConfig& config) noexcept {
  const GUID& v4 = wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4;
  const GUID& v6 = wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6;
  // The blocks go first; the transaction makes the order invisible to traffic, and the first
  // failure stops the set.
  if (!AddBlockAllFilter(v4)) {
    return false;
  }
  if (config.blockIpv6OutsideVpn && !AddBlockAllFilter(v6)) {
    return false;
  }
  if (!AddLoopbackPermit(v4)) {
    return false;
  }
  if (config.blockIpv6OutsideVpn && !AddLoopbackPermit(v6)) {
    return false;
  }
  if (!AddFilter(records::DhcpPermit())) {
    return false;
  }
  for (const VpnEndpoint& endpoint : config.endpoints) {
    if (!AddFilter(records::EndpointPermit(endpoint.address, endpoint.port, endpoint.protocol))) {
      return false;
    }
  }
  if (config.allowLan) {
    for (const records::Ipv4Subnet& subnet : records::kLanSubnets) {
      if (!AddSubnetPermit(v4, subnet.address, subnet.mask, subnet.name)) {
        return false;
      }
    }
  }
  return true;
}

bool KillSwitch::Enable(const KillSwitchConfig& config) noexcept {
  if (!OpenSession()) {
    return false;
  }
  // The previous set and any tunnel permits go first, outside any transaction. A purge that could
  // not finish would leave permits of the previous configuration beside the new set, so it gets a
  // second pass; if that fails too, the switch is reported off rather than on with stale holes.
  if (!PurgeFilters() && !PurgeFilters()) {
    return false;
  }
  // Provider and sublayer stay outside the transaction: they outlive a failed Enable.
  const FWPM_PROVIDER0 provider = records::ProviderRecord();
  if (!AddedOrPresent(platform.FwpmProviderAdd0(engineHandle.get(), &provider, nullptr))) {
    return false;
  }
  const FWPM_SUBLAYER0 sublayer = records::SublayerRecord();
  if (!AddedOrPresent(platform.FwpmSubLayerAdd0(engineHandle.get(), &sublayer, nullptr))) {
    return false;
  }
  if (platform.FwpmTransactionBegin0(engineHandle.get(), 0) != kSuccess) {
    return false;
  }
  // Everything from here is all or nothing: a half-added set could block without the permits
  // that make the VPN reachable, or permit without the block.
  if (AddFilterSet(config) && platform.FwpmTransactionCommit0(engineHandle.get()) == kSuccess) {
    return true;
  }
  // A failed add, or a failed commit that may have left the transaction open: roll back, then
  // make sure nothing of ours is left. The abort's result does not matter (the platform may have
  // ended the transaction already).
  (void)platform.FwpmTransactionAbort0(engineHandle.get());
  (void)PurgeFilters();
  return false;
}

bool KillSwitch::Disable() noexcept {
  if (!OpenSession()) {
    return false;
  }
  // Filters first: a sublayer or provider still referenced by a filter cannot be deleted. None of
  // the results matter, because closing the dynamic session sweeps whatever a step left.
  (void)PurgeFilters();
  (void)platform.FwpmSubLayerDeleteByKey0(engineHandle.get(), &KillSwitchSublayerKey);
  (void)platform.FwpmProviderDeleteByKey0(engineHandle.get(), &KillSwitchProviderKey);
  CloseSession();
  return true;
}

bool KillSwitch::CleanupStale() noexcept {
  return Disable();
}

bool KillSwitch::IsEnabled() noexcept {
  if (!OpenSession()) {
    return false;
  }
  FilterEnumHandle enumHandle(platform, engineHandle.get());
  if (enumHandle.Create(records::ProviderFiltersTemplate()) != kSuccess) {
    return false;
  }
  FilterEntries entries(platform);
  UINT32 count = 0;
  (void)platform.FwpmFilterEnum0(engineHandle.get(), enumHandle.get(), 1, entries.Receive(),
                                 &count);
  return count > 0;  // the array is released, then the handle destroyed
}

bool KillSwitch::PermitTunInterface(const std::wstring& alias) noexcept {
  if (!OpenSession()) {
    return false;
  }
  // Drop the earlier pair. The IPv6 permit is deleted only when the IPv4 one is gone; either way
  // both ids are forgotten, and a later purge sweeps what remains.
  bool v4Gone = true;
  if (tunPermitIdV4 != 0) {
    v4Gone = platform.FwpmFilterDeleteById0(engineHandle.get(), tunPermitIdV4) == kSuccess;
    tunPermitIdV4 = 0;
  }
  if (tunPermitIdV6 != 0) {
    if (v4Gone) {
      (void)platform.FwpmFilterDeleteById0(engineHandle.get(), tunPermitIdV6);
    }
    tunPermitIdV6 = 0;
  }
  // The platform reads the alias up to its first NUL; an alias with a NUL inside would silently
  // name another interface, so it names none.
  if (alias.find(L'\0') != std::wstring::npos) {
    return false;
  }
  NET_LUID luid{};
  luid.Value = 0;
  if (platform.ConvertInterfaceAliasToLuid(alias.c_str(), &luid) != kSuccess) {
    return false;
  }
  if (!AddInterfacePermit(wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4, luid.Value, &tunPermitIdV4)) {
    return false;
  }
  // Added whether or not IPv6 is blocked: the pair must survive a later Enable that blocks it.
  // Should this add fail, the IPv4 permit stays with its id stored, for a later revoke.
  return AddInterfacePermit(wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6, luid.Value, &tunPermitIdV6);
}

bool KillSwitch::RevokeTunPermit() noexcept {
  if (!engineHandle) {
    return true;  // no session, so no permit of this session exists; none is opened for this
  }
  bool success = true;
  if (tunPermitIdV4 != 0) {
    success = platform.FwpmFilterDeleteById0(engineHandle.get(), tunPermitIdV4) == kSuccess;
    tunPermitIdV4 = 0;
  }
  if (tunPermitIdV6 == 0) {
    return success;
  }
  if (!success) {
    // Left in place without an id; the next Enable, Disable or CleanupStale purges it.
    tunPermitIdV6 = 0;
    return false;
  }
  const bool deleted =
      platform.FwpmFilterDeleteById0(engineHandle.get(), tunPermitIdV6) == kSuccess;
  tunPermitIdV6 = 0;
  return deleted;
}

namespace {

// White space as the C locale's isspace sees it, which is what scanf skips.
constexpr bool IsCSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool IsDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

}  // namespace

bool KillSwitch::ParseIpv4(std::string_view text, uint32_t& address) noexcept {
  // Accepts exactly what scanf("%u.%u.%u.%u") accepted with every number at most 255, but a
  // number too large for its type fails here instead of wrapping ("4294967297.0.0.1" must not
  // become 1.0.0.1).
  uint32_t parts[4] = {};
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      // The dot is matched literally: no white space before it.
      if (pos >= text.size() || text[pos] != '.') {
        return false;
      }
      ++pos;
    }
    while (pos < text.size() && IsCSpace(text[pos])) {
      ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negative = text[pos] == '-';
      ++pos;
    }
    const std::size_t digitsStart = pos;
    uint32_t value = 0;
    bool tooLarge = false;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
      if (!tooLarge) {
        value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
        tooLarge = value > 255;  // stops accumulating long before any overflow
      }
    }
    if (pos == digitsStart || tooLarge) {
      return false;
    }
    // "%u" negates a signed number into a huge unsigned one; only "-0" stays within 255.
    if (negative && value != 0) {
      return false;
    }
    parts[part] = value;
  }
  // Anything after the fourth number is ignored, as scanf did (a ":443" suffix, say).
  address = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
  return true;
}
