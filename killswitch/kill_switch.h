#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "killswitch/filter_records.h"
#include "killswitch/filtering_platform.h"
#include "killswitch/wfp_handles.h"

// A VPN server the kill switch lets through.
struct VpnEndpoint {
  // IPv4 address in host byte order, the first dotted number in the top byte (10.1.2.3 is
  // 0x0A010203).
  uint32_t address = 0;
  // Remote port, host order.
  uint16_t port = 0;
  // IP protocol number: 17 UDP, 6 TCP, 0 when the caller named none. Matched exactly, 0 included.
  uint8_t protocol = 0;
};

struct KillSwitchConfig {
  std::vector<VpnEndpoint> endpoints;
  // Let the private and link-local IPv4 ranges through.
  bool allowLan = true;
  // Also block IPv6 (except loopback). Without it IPv6 is not filtered at all.
  bool blockIpv6OutsideVpn = true;
};

// Blocks every outbound connection outside the VPN with filters of the Windows Filtering Platform,
// all in one dynamic session of this process (killswitch/README.md has the design).
//
// Owned by the host window for its whole life and used on the UI thread only; no lock. Every
// operation answers true or false and never throws: platform status codes stay inside.
class KillSwitch {
 public:
  // Bound to the real platform (fwpuclnt.dll, iphlpapi.dll).
  KillSwitch() noexcept;
  // Bound to `platform`, which must outlive this object.
  explicit KillSwitch(FilteringPlatform& platform) noexcept;
  ~KillSwitch();
  KillSwitch(const KillSwitch&) = delete;
  KillSwitch& operator=(const KillSwitch&) = delete;

  // Replaces whatever filters we had by the set for `config`, added in one transaction. True only
  // when the whole set is in place; on false no filter of ours is left.
  [[nodiscard]] bool Enable(const KillSwitchConfig& config) noexcept;
  // Removes every filter, the sublayer and the provider, and closes the session. False only when
  // no session could be opened. The exit path ignores the result, so it is not [[nodiscard]].
  bool Disable() noexcept;
  // True when any filter of ours exists, a tunnel permit alone included.
  [[nodiscard]] bool IsEnabled() noexcept;
  // Closes the session, which makes the platform remove everything added through it.
  void Close() noexcept;

  // Replaces the tunnel permits (IPv4 and IPv6) by a pair for the interface with this alias.
  [[nodiscard]] bool PermitTunInterface(const std::wstring& alias) noexcept;
  // Deletes the stored tunnel permits. True when nothing had to go or every deletion succeeded.
  [[nodiscard]] bool RevokeTunPermit() noexcept;
  // Removes every kill-switch object of ours: the same operation as Disable.
  [[nodiscard]] bool CleanupStale() noexcept;

  // Dotted IPv4 text to a host-order address. Accepts what "%u.%u.%u.%u" would (white space and a
  // sign before each number, anything after the fourth number) with each number at most 255;
  // fails on anything else, a number too large for any type included. `address` is written only
  // on success.
  [[nodiscard]] static bool ParseIpv4(std::string_view text, uint32_t& address) noexcept;

 private:
  [[nodiscard]] bool OpenSession() noexcept;
  // Deletes every filter carrying our provider key, in any layer, and forgets the tunnel ids.
  // True when the provider has no filter left that we could not delete.
  bool PurgeFilters() noexcept;
  [[nodiscard]] bool AddFilter(records::FilterRecord record, UINT64* id = nullptr) noexcept;
  [[nodiscard]] bool AddBlockAllFilter(const GUID& layer) noexcept;
  [[nodiscard]] bool AddLoopbackPermit(const GUID& layer) noexcept;
  [[nodiscard]] bool AddSubnetPermit(const GUID& layer, UINT32 address, UINT32 mask,
                                     const wchar_t* displayName) noexcept;
  [[nodiscard]] bool AddInterfacePermit(const GUID& layer, UINT64 luid, UINT64* id) noexcept;
  [[nodiscard]] bool AddFilterSet(const KillSwitchConfig& config) noexcept;
  void CloseSession() noexcept;

  FilteringPlatform& platform;
  EngineSession engineHandle;
  UINT64 tunPermitIdV4 = 0;
  UINT64 tunPermitIdV6 = 0;
};
