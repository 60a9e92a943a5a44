#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/wine/killswitch/kill_switch_harness.h"

// The two promises the kill switch makes to its users, checked against the platform model:
// nothing leaves the machine that the policy does not allow, and the switch is never half on.

namespace {

using kill_switch_test::ExpectedSet;
using kill_switch_test::Harness;
using kill_switch_test::kTunAlias;
using kill_switch_test::Signatures;
using kill_switch_test::TunPermitSignature;
using wfp_model::Call;
using wfp_model::Connection;
using wfp_model::IpVersion;
using wfp_model::Verdict;

// A small generator whose sequence is the same on every standard library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  template <typename T, size_t N>
  T Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  uint64_t state_;
};

// The addresses where the LAN ranges begin and end, and their neighbours just outside.
constexpr uint32_t kEdges[] = {
    0x0A000000, 0x0AFFFFFF, 0x09FFFFFF, 0x0B000000,  // 10/8
    0xAC100000, 0xAC1FFFFF, 0xAC0FFFFF, 0xAC200000,  // 172.16/12
    0xC0A80000, 0xC0A8FFFF, 0xC0A7FFFF, 0xC0A90000,  // 192.168/16
    0xA9FE0000, 0xA9FEFFFF, 0xA9FDFFFF, 0xA9FF0000,  // 169.254/16
    0x7F000001, 0x00000000, 0xFFFFFFFF,
};

struct Scenario {
  KillSwitchConfig config;
  bool tunnel = false;  // a tunnel permit was added after the last Enable
  UINT64 tunnelLuid = 0;
};

// The policy in plain words, written without looking at any filter.
bool Permitted(const Scenario& s, const Connection& c) {
  if ((c.flags & FWP_CONDITION_FLAG_IS_LOOPBACK) != 0) {
    return true;
  }
  if (s.tunnel && c.localInterface == s.tunnelLuid) {
    return true;
  }
  if (c.version == IpVersion::kV6) {
    return !s.config.blockIpv6OutsideVpn;
  }
  if (c.protocol == 17 && c.localPort == 68) {
    return true;
  }
  for (const VpnEndpoint& endpoint : s.config.endpoints) {
    if (c.remoteV4 == endpoint.address && c.remotePort == endpoint.port &&
        c.protocol == endpoint.protocol) {
      return true;
    }
  }
  const uint32_t a = c.remoteV4;
  const bool lan =
      (a >> 24) == 10 || (a >> 20) == 0xAC1 || (a >> 16) == 0xC0A8 || (a >> 16) == 0xA9FE;
  return s.config.allowLan && lan;
}

std::string Describe(const Scenario& s) {
  std::string text = "allowLan=" + std::to_string(s.config.allowLan) +
                     " blockIpv6=" + std::to_string(s.config.blockIpv6OutsideVpn) +
                     " tunnel=" + std::to_string(s.tunnel);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer,
                " luid=0x%llx endpoints:", static_cast<unsigned long long>(s.tunnelLuid));
  text += buffer;
  for (const VpnEndpoint& e : s.config.endpoints) {
    std::snprintf(buffer, sizeof buffer, " 0x%08x:%u/%u", static_cast<unsigned>(e.address),
                  static_cast<unsigned>(e.port), static_cast<unsigned>(e.protocol));
    text += buffer;
  }
  return text;
}

uint32_t RandomAddress(Random& random) {
  switch (random.Below(4)) {
    case 0:
      return random.Pick(kEdges);
    case 1:  // somewhere inside one of the LAN ranges
      return random.Pick(kEdges) + random.Below(0x10000);
    default:
      return static_cast<uint32_t>(random.Next());
  }
}

KillSwitchConfig RandomConfig(Random& random) {
  KillSwitchConfig config;
  config.allowLan = random.OneIn(2);
  config.blockIpv6OutsideVpn = random.OneIn(2);
  const uint32_t count = random.Below(5);
  for (uint32_t i = 0; i < count; ++i) {
    VpnEndpoint endpoint;
    endpoint.address = RandomAddress(random);
    const uint16_t ports[] = {443, 51820, 1194, 0, 68, 53};
    endpoint.port = random.OneIn(2) ? random.Pick(ports) : static_cast<uint16_t>(random.Next());
    const uint8_t protocols[] = {6, 17, 0};
    endpoint.protocol = random.Pick(protocols);
    config.endpoints.push_back(endpoint);
  }
  return config;
}

Connection RandomConnection(Random& random, const Scenario& s) {
  Connection c;
  c.version = random.OneIn(3) ? IpVersion::kV6 : IpVersion::kV4;
  if (!s.config.endpoints.empty() && random.OneIn(3)) {
    // Aim at an endpoint, then maybe miss by one field.
    const VpnEndpoint& e =
        s.config.endpoints[random.Below(static_cast<uint32_t>(s.config.endpoints.size()))];
    c.remoteV4 = e.address;
    c.remotePort = e.port;
    c.protocol = e.protocol;
    switch (random.Below(5)) {
      case 0:
        c.remoteV4 += random.OneIn(2) ? 1 : 0xFFFFFFFF;
        break;
      case 1:
        c.remotePort = static_cast<uint16_t>(c.remotePort + 1);
        break;
      case 2:
        c.protocol = c.protocol == 6 ? 17 : 6;
        break;
      default:
        break;
    }
  } else {
    c.remoteV4 = RandomAddress(random);
    c.remotePort = static_cast<uint16_t>(random.Next());
    const uint8_t protocols[] = {6, 17, 0, 1, 58};
    c.protocol = random.Pick(protocols);
  }
  for (auto& byte : c.remoteV6) {
    byte = static_cast<uint8_t>(random.Next());
  }
  const uint16_t localPorts[] = {68, 67, 50000};
  c.localPort = random.OneIn(2) ? random.Pick(localPorts) : static_cast<uint16_t>(random.Next());
  if (random.OneIn(8)) {
    c.flags |= FWP_CONDITION_FLAG_IS_LOOPBACK;
  }
  if (random.OneIn(4)) {
    c.flags |= FWP_CONDITION_FLAG_IS_IPSEC_SECURED | FWP_CONDITION_FLAG_IS_REAUTHORIZE;
  }
  switch (random.Below(4)) {
    case 0:
      c.localInterface = s.tunnelLuid;
      break;
    case 1:
      c.localInterface = s.tunnelLuid ^ 1;  // a neighbour, or the previous tunnel
      break;
    default:
      c.localInterface = random.Next();
      break;
  }
  return c;
}

// ---- No leak ----------------------------------------------------------------------------------

TEST(KillSwitchProperties, NoLeak) {
  constexpr uint64_t kSeeds[] = {1, 2, 3, 4};
  constexpr int kConfigurationsPerSeed = 750;
  constexpr int kAttemptsPerConfiguration = 400;
  long configurations = 0;
  long attempts = 0;
  int failures = 0;

  for (uint64_t seed : kSeeds) {
    Random random(seed);
    Harness h;
    Scenario s;
    UINT64 luid = 0x0006000000010000ULL;
    for (int n = 0; n < kConfigurationsPerSeed && failures < 5; ++n) {
      // Each configuration follows the previous one in the same session, so whatever an earlier
      // Enable or tunnel permit left behind would show up here.
      if (random.OneIn(3)) {
        luid += 0x100;  // the tunnel interface was recreated
        h.model.SetInterfaceAlias(kTunAlias, luid);
      }
      if (n > 0 && random.OneIn(4)) {
        ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));  // before Enable: purged by it
      }
      s.config = RandomConfig(random);
      ASSERT_TRUE(h.killSwitch.Enable(s.config)) << "seed " << seed << " configuration " << n;
      s.tunnel = random.OneIn(2);
      s.tunnelLuid = luid;
      if (s.tunnel) {
        ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
      }
      ++configurations;

      for (int i = 0; i < kAttemptsPerConfiguration; ++i) {
        const Connection c = RandomConnection(random, s);
        ++attempts;
        const bool expected = Permitted(s, c);
        const wfp_model::Decision decision = h.model.Classify(c);
        if ((decision.verdict == Verdict::kPermit) != expected) {
          const wfp_model::Filter* decider = h.model.FindFilter(decision.filterId);
          ADD_FAILURE() << "seed " << seed << ", configuration " << n << ", attempt " << i << ": "
                        << wfp_model::Describe(c) << " was " << (expected ? "blocked" : "permitted")
                        << " by " << (decider ? kill_switch_test::Signature(*decider) : "no filter")
                        << "\n  configuration: " << Describe(s);
          ++failures;
        }
      }
    }
  }
  std::printf("no leak: %ld configurations, %ld connection attempts checked\n", configurations,
              attempts);
  EXPECT_EQ(configurations, 4 * kConfigurationsPerSeed);
}

// ---- Never half on ----------------------------------------------------------------------------

constexpr DWORD kFailures[] = {ERROR_ACCESS_DENIED, wfp::Status(FWP_E_TIMEOUT), RPC_S_CALL_FAILED,
                               wfp::Status(FWP_E_SESSION_ABORTED)};

KillSwitchConfig PreviousConfig() {
  KillSwitchConfig config;
  config.endpoints = {{0x01020304, 443, 6}, {0x05060708, 1194, 17}, {0x0A0B0C0D, 0, 0}};
  config.allowLan = true;
  config.blockIpv6OutsideVpn = true;
  return config;
}

std::vector<KillSwitchConfig> ConfigsUnderTest() {
  std::vector<KillSwitchConfig> configs;
  KillSwitchConfig minimal;
  minimal.allowLan = false;
  minimal.blockIpv6OutsideVpn = false;
  configs.push_back(minimal);
  KillSwitchConfig full;
  full.endpoints = {{0x5DB8D822, 443, 6}, {0x0A000001, 51820, 17}};
  configs.push_back(full);
  Random random(99);
  for (int i = 0; i < 3; ++i) {
    configs.push_back(RandomConfig(random));
  }
  return configs;
}

struct Start {
  const char* name;
  std::function<void(Harness&)> prepare;
};

std::vector<Start> Starts() {
  return {
      {"nothing installed, no session", [](Harness&) {}},
      {"previous set and tunnel permit in place",
       [](Harness& h) {
         ASSERT_TRUE(h.killSwitch.Enable(PreviousConfig()));
         ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
       }},
      {"after a failed enable",
       [](Harness& h) {
         h.model.FailOnUse(Call::kFilterAdd, 3, ERROR_ACCESS_DENIED);
         ASSERT_FALSE(h.killSwitch.Enable(PreviousConfig()));
         h.model.ClearFaults();
       }},
  };
}

// The number of status-returning platform calls `operation` makes from `start`.
size_t CallsMade(const Start& start, const std::function<void(Harness&)>& operation) {
  Harness h;
  start.prepare(h);
  h.model.ClearCalls();
  operation(h);
  return h.StatusCalls().size();
}

// `failed` is the call that was made to fail: when the platform refused to destroy an enumeration
// handle, that handle lives on until its session ends, and nothing can be done about it.
void ExpectNothingDangling(const Harness& h, std::optional<Call> failed = std::nullopt) {
  EXPECT_FALSE(h.model.TransactionOpen());
  EXPECT_LE(h.model.OpenEnumHandles(), failed == Call::kFilterDestroyEnumHandle ? 1u : 0u);
  EXPECT_EQ(h.model.OutstandingAllocations(), 0u);
  EXPECT_EQ(h.model.InvalidFrees(), 0u);
}

TEST(KillSwitchProperties, EnableIsNeverHalfOn) {
  int runs = 0;
  for (const Start& start : Starts()) {
    for (const KillSwitchConfig& config : ConfigsUnderTest()) {
      const std::vector<std::string> complete = ExpectedSet(config);
      const size_t calls =
          CallsMade(start, [&](Harness& h) { ASSERT_TRUE(h.killSwitch.Enable(config)); });
      ASSERT_GT(calls, 5u);
      for (size_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE(std::string(start.name) + ", " + std::to_string(complete.size()) +
                     "-filter set, failing call " + std::to_string(k));
        Harness h;
        start.prepare(h);
        h.model.ClearCalls();
        h.model.FailOnCallNumber(static_cast<uint32_t>(k), kFailures[k % 4]);
        const bool enabled = h.killSwitch.Enable(config);
        ++runs;
        const Call failed = h.StatusCalls().at(k - 1);
        SCOPED_TRACE(std::string("which was ") + std::string(wfp_model::CallName(failed)));
        if (enabled) {
          EXPECT_EQ(Signatures(h.Ours()), complete);
        } else {
          EXPECT_TRUE(h.Ours().empty()) << "false must leave no filter of ours";
        }
        ExpectNothingDangling(h, failed);
        // Whatever happened, the next attempt gets the whole set in.
        EXPECT_TRUE(h.killSwitch.Enable(config));
        EXPECT_EQ(Signatures(h.Ours()), complete);
      }
    }
  }
  std::printf("never half on: %d failing Enable runs checked\n", runs);
}

TEST(KillSwitchProperties, DisableAndCleanupStaleLeaveNothingOfOurs) {
  int runs = 0;
  for (bool cleanup : {false, true}) {
    const auto operation = [cleanup](Harness& h) {
      return cleanup ? h.killSwitch.CleanupStale() : h.killSwitch.Disable();
    };
    for (const Start& start : Starts()) {
      const size_t calls = CallsMade(start, [&](Harness& h) { ASSERT_TRUE(operation(h)); });
      for (size_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE(std::string(cleanup ? "CleanupStale" : "Disable") + ", " + start.name +
                     ", failing call " + std::to_string(k));
        Harness h;
        start.prepare(h);
        h.model.ClearCalls();
        h.model.FailOnCallNumber(static_cast<uint32_t>(k), kFailures[k % 4]);
        const bool result = operation(h);
        ++runs;
        const Call failed = h.StatusCalls().at(k - 1);
        SCOPED_TRACE(std::string("which was ") + std::string(wfp_model::CallName(failed)));

        EXPECT_EQ(result, failed != Call::kEngineOpen) << "false only without a session";
        EXPECT_TRUE(h.Ours().empty());
        EXPECT_FALSE(h.model.FindSublayer(KillSwitchSublayerKey).has_value());
        EXPECT_FALSE(h.model.FindProvider(KillSwitchProviderKey).has_value());
        ExpectNothingDangling(h, failed);
        if (failed == Call::kEngineClose) {
          // The platform refused to close; the handle is given up anyway, and the kill switch
          // opens a fresh session next time.
          EXPECT_EQ(h.model.OpenSessions().size(), 1u);
          h.model.ClearCalls();
          EXPECT_FALSE(h.killSwitch.IsEnabled());
          EXPECT_EQ(h.StatusCalls().front(), Call::kEngineOpen);
        } else {
          EXPECT_TRUE(h.model.OpenSessions().empty()) << "the session is closed";
        }
      }
    }
  }
  std::printf("never half on: %d failing Disable/CleanupStale runs checked\n", runs);
}

// The tunnel permits follow the same rule: after PermitTunInterface either the new pair is in
// place (true), or no permit for the new interface exists (false) apart from the IPv4 half the
// design keeps for a later revoke.
TEST(KillSwitchProperties, TunnelPermitFailuresLeaveAKnownState) {
  const UINT64 newLuid = 0x0006000000020000ULL;
  const std::vector<Start> starts = Starts();
  const Start& start = starts[1];
  const size_t calls = CallsMade(start, [&](Harness& h) {
    h.model.SetInterfaceAlias(kTunAlias, newLuid);
    ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  });
  for (size_t k = 1; k <= calls; ++k) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    Harness h;
    start.prepare(h);
    h.model.SetInterfaceAlias(kTunAlias, newLuid);
    h.model.ClearCalls();
    h.model.FailOnCallNumber(static_cast<uint32_t>(k), ERROR_ACCESS_DENIED);
    const bool permitted = h.killSwitch.PermitTunInterface(kTunAlias);
    std::vector<std::string> newPermits;
    for (const std::string& signature : Signatures(h.Ours())) {
      if (signature.find("0x6000000020000;") != std::string::npos) {
        newPermits.push_back(signature);
      }
    }
    if (permitted) {
      EXPECT_EQ(newPermits, (std::vector<std::string>{TunPermitSignature("V4", newLuid),
                                                      TunPermitSignature("V6", newLuid)}));
    } else {
      EXPECT_TRUE(newPermits.empty() ||
                  newPermits == std::vector<std::string>{TunPermitSignature("V4", newLuid)});
    }
    // A revoke and an Enable always get back to the plain set.
    (void)h.killSwitch.RevokeTunPermit();
    ASSERT_TRUE(h.killSwitch.Enable(PreviousConfig()));
    EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(PreviousConfig()));
    ExpectNothingDangling(h);
  }
}

}  // namespace
