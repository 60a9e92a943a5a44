#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/wine/killswitch/kill_switch_harness.h"

namespace {

using kill_switch_test::ExpectedSet;
using kill_switch_test::Harness;
using kill_switch_test::kTunAlias;
using kill_switch_test::kTunLuid;
using kill_switch_test::Signatures;
using kill_switch_test::TunPermitSignature;
using wfp_model::Call;

KillSwitchConfig MinimalConfig() {
  KillSwitchConfig config;
  config.allowLan = false;
  config.blockIpv6OutsideVpn = false;
  return config;
}

KillSwitchConfig FullConfig() {
  KillSwitchConfig config;
  config.endpoints = {{0x5DB8D822, 443, 6}, {0x0A000001, 51820, 17}};
  config.allowLan = true;
  config.blockIpv6OutsideVpn = true;
  return config;
}

std::vector<std::string> TunPair(UINT64 luid) {
  return {TunPermitSignature("V4", luid), TunPermitSignature("V6", luid)};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

size_t CountCalls(const Harness& h, Call call) {
  const std::vector<Call> calls = h.StatusCalls();
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

// ---- the main filter set --------------------------------------------------------------------

TEST(KillSwitchEnable, MinimalConfigurationInstallsExactlyThreeFilters) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig()));
  EXPECT_EQ(h.Ours().size(), 3u);
}

TEST(KillSwitchEnable, BothFlagsAndTwoEndpointsInstallElevenFiltersInOrder) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  const std::vector<wfp_model::Filter> filters = h.Ours();
  EXPECT_EQ(Signatures(filters), ExpectedSet(FullConfig()));
  ASSERT_EQ(filters.size(), 11u);

  // The members every filter shares.
  for (const wfp_model::Filter& filter : filters) {
    SCOPED_TRACE(kill_switch_test::Signature(filter));
    EXPECT_FALSE(wfp::IsZeroGuid(filter.key)) << "the platform assigns the key";
    EXPECT_FALSE(filter.description.has_value());
    EXPECT_EQ(filter.flags, 0u);
    ASSERT_TRUE(filter.providerKey.has_value());
    EXPECT_TRUE(wfp::SameGuid(*filter.providerKey, KillSwitchProviderKey));
    EXPECT_TRUE(filter.providerData.empty());
    EXPECT_TRUE(wfp::SameGuid(filter.sublayer, KillSwitchSublayerKey));
    EXPECT_EQ(filter.weightType, FWP_UINT8);
    EXPECT_TRUE(wfp::IsZeroGuid(filter.filterType));
    EXPECT_EQ(filter.rawContext, 0u);
    EXPECT_FALSE(filter.securityDescriptorGiven);
  }
}

TEST(KillSwitchEnable, SessionProviderAndSublayerRecords) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));

  const std::vector<wfp_model::Session> sessions = h.model.OpenSessions();
  ASSERT_EQ(sessions.size(), 1u);
  const wfp_model::Session& session = sessions[0];
  EXPECT_TRUE(session.recordGiven);
  EXPECT_EQ(session.name, L"OrvaneVPN Kill Switch Session");
  EXPECT_FALSE(session.description.has_value());
  EXPECT_EQ(session.flags, static_cast<UINT32>(FWPM_SESSION_FLAG_DYNAMIC));
  EXPECT_EQ(session.txnWaitTimeoutInMSec, 0u);
  EXPECT_FALSE(session.serverNameGiven);
  EXPECT_EQ(session.authnService, 0xFFFFFFFFu);
  EXPECT_FALSE(session.authIdentityGiven);

  const std::optional<wfp_model::Provider> provider = h.model.FindProvider(KillSwitchProviderKey);
  ASSERT_TRUE(provider.has_value());
  EXPECT_EQ(provider->name, L"OrvaneVPN");
  EXPECT_EQ(provider->description, L"OrvaneVPN Kill Switch Provider");
  EXPECT_EQ(provider->flags, 0u);
  EXPECT_EQ(provider->providerDataSize, 0u);
  EXPECT_FALSE(provider->serviceNameGiven);
  EXPECT_FALSE(provider->securityDescriptorGiven);

  const std::optional<wfp_model::Sublayer> sublayer = h.model.FindSublayer(KillSwitchSublayerKey);
  ASSERT_TRUE(sublayer.has_value());
  EXPECT_EQ(sublayer->name, L"OrvaneVPN Kill Switch");
  EXPECT_EQ(sublayer->description, L"OrvaneVPN Kill Switch Sublayer");
  EXPECT_EQ(sublayer->flags, 0u);
  ASSERT_TRUE(sublayer->providerKey.has_value());
  EXPECT_TRUE(wfp::SameGuid(*sublayer->providerKey, KillSwitchProviderKey));
  EXPECT_EQ(sublayer->providerDataSize, 0u);
  EXPECT_EQ(sublayer->weight, 0xFFFF);
}

// The order is load-bearing: purge before anything, provider and sublayer outside the
// transaction, and every filter of the set inside one.
TEST(KillSwitchEnable, CallOrderAndTransactionBoundaries) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  const std::vector<Call> expected = {Call::kEngineOpen,       Call::kFilterCreateEnumHandle,
                                      Call::kFilterEnum,       Call::kFilterDestroyEnumHandle,
                                      Call::kProviderAdd,      Call::kSubLayerAdd,
                                      Call::kTransactionBegin, Call::kFilterAdd,
                                      Call::kFilterAdd,        Call::kFilterAdd,
                                      Call::kTransactionCommit};
  EXPECT_EQ(h.StatusCalls(), expected);
  for (const wfp_model::CallRecord& record : h.model.Calls()) {
    const bool inside = record.call == Call::kFilterAdd || record.call == Call::kTransactionCommit;
    EXPECT_EQ(record.inTransaction, inside) << wfp_model::CallName(record.call);
  }
  EXPECT_FALSE(h.model.TransactionOpen());
  EXPECT_EQ(h.model.OpenEnumHandles(), 0u);
  EXPECT_EQ(h.model.OutstandingAllocations(), 0u);
}

TEST(KillSwitchEnable, SecondEnableReplacesTheSetAndDropsTheTunnelPermits) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  ASSERT_EQ(h.Ours().size(), 13u);

  h.model.ClearCalls();
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig()));
  // Same session: the provider and sublayer were there already, and that is no failure.
  for (const wfp_model::CallRecord& record : h.model.Calls()) {
    if (record.call == Call::kProviderAdd || record.call == Call::kSubLayerAdd) {
      EXPECT_EQ(record.status, wfp::Status(FWP_E_ALREADY_EXISTS));
    }
  }
  EXPECT_EQ(CountCalls(h, Call::kEngineOpen), 0u);
  EXPECT_EQ(CountCalls(h, Call::kFilterDeleteById), 13u);

  // Both tunnel ids were forgotten: revoking has nothing left to delete.
  h.model.ClearCalls();
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());
  EXPECT_EQ(CountCalls(h, Call::kFilterDeleteById), 0u);
}

TEST(KillSwitchEnable, PurgeWorksThroughSeveralPages) {
  Harness h;
  KillSwitchConfig many = MinimalConfig();
  for (uint32_t i = 0; i < 600; ++i) {
    many.endpoints.push_back(VpnEndpoint{0x0B000000 + i, 443, 6});
  }
  ASSERT_TRUE(h.killSwitch.Enable(many));
  ASSERT_EQ(h.Ours().size(), 603u);

  h.model.ClearCalls();
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig()));
  EXPECT_EQ(CountCalls(h, Call::kFilterEnum), 4u);  // 256 + 256 + 91 + the empty page
  EXPECT_EQ(h.model.OutstandingAllocations(), 0u);
  EXPECT_EQ(h.model.InvalidFrees(), 0u);
}

TEST(KillSwitchEnable, FailureInsideTheTransactionLeavesNoFilter) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  h.model.FailOnUse(Call::kFilterAdd, 5, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.Enable(FullConfig()));
  EXPECT_TRUE(h.Ours().empty());
  EXPECT_FALSE(h.model.TransactionOpen());
  EXPECT_FALSE(h.killSwitch.IsEnabled());
  // Provider and sublayer stay registered until Disable or Close.
  EXPECT_TRUE(h.model.FindProvider(KillSwitchProviderKey).has_value());
  EXPECT_TRUE(h.model.FindSublayer(KillSwitchSublayerKey).has_value());
  // And the next attempt works.
  EXPECT_TRUE(h.killSwitch.Enable(FullConfig()));
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(FullConfig()));
}

TEST(KillSwitchEnable, FailedCommitLeavesNoFilterAndNoOpenTransaction) {
  Harness h;
  h.model.FailOnUse(Call::kTransactionCommit, 1, wfp::Status(FWP_E_TIMEOUT));
  EXPECT_FALSE(h.killSwitch.Enable(FullConfig()));
  EXPECT_TRUE(h.Ours().empty());
  EXPECT_FALSE(h.model.TransactionOpen());
}

TEST(KillSwitchEnable, FailuresBeforeTheTransactionReturnFalse) {
  for (Call call : {Call::kProviderAdd, Call::kSubLayerAdd, Call::kTransactionBegin}) {
    Harness h;
    ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
    h.model.FailOnUse(call, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(h.killSwitch.Enable(FullConfig())) << wfp_model::CallName(call);
    EXPECT_TRUE(h.Ours().empty()) << wfp_model::CallName(call);
    EXPECT_FALSE(h.model.TransactionOpen());
  }
}

// A purge that breaks off must not leave permits of the previous configuration next to the new
// set (here: the LAN permits, which the new configuration turns off).
TEST(KillSwitchEnable, UnfinishedPurgeIsRepeatedBeforeTheNewSetGoesIn) {
  for (Call call : {Call::kFilterCreateEnumHandle, Call::kFilterEnum, Call::kFilterDeleteById}) {
    Harness h;
    ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
    h.model.FailOnUse(call, 1, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(h.killSwitch.Enable(MinimalConfig())) << wfp_model::CallName(call);
    EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig())) << wfp_model::CallName(call);
  }
}

TEST(KillSwitchEnable, PurgeThatCannotFinishReportsOffWithoutAddingTheNewSet) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  h.model.FailOnUse(Call::kFilterEnum, 1, ERROR_ACCESS_DENIED);
  h.model.FailOnUse(Call::kFilterEnum, 2, ERROR_ACCESS_DENIED);
  h.model.ClearCalls();
  EXPECT_FALSE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_EQ(CountCalls(h, Call::kTransactionBegin), 0u);
  EXPECT_EQ(CountCalls(h, Call::kFilterAdd), 0u);
}

// ---- IsEnabled, Disable, CleanupStale, Close ------------------------------------------------

TEST(KillSwitchState, IsEnabledFollowsTheFiltersOfTheProvider) {
  Harness h;
  EXPECT_FALSE(h.killSwitch.IsEnabled());  // before any Enable
  ASSERT_EQ(h.model.OpenSessions().size(), 1u) << "IsEnabled keeps its session open";

  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_TRUE(h.killSwitch.IsEnabled());
  EXPECT_EQ(h.model.OpenEnumHandles(), 0u);
  EXPECT_EQ(h.model.OutstandingAllocations(), 0u);

  EXPECT_TRUE(h.killSwitch.Disable());
  EXPECT_FALSE(h.killSwitch.IsEnabled());

  h.model.FailOnUse(Call::kFilterAdd, 2, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_FALSE(h.killSwitch.IsEnabled());
}

TEST(KillSwitchState, ATunnelPermitAloneCountsAsEnabled) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  // Someone else removes the main set, leaving only the tunnel pair.
  HANDLE other = nullptr;
  ASSERT_EQ(h.model.FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &other), 0u);
  for (const wfp_model::Filter& filter : h.Ours()) {
    if (filter.name != records::kTunPermitName) {
      ASSERT_EQ(h.model.FwpmFilterDeleteById0(other, filter.id), 0u);
    }
  }
  ASSERT_EQ(h.Ours().size(), 2u);
  EXPECT_TRUE(h.killSwitch.IsEnabled());
  EXPECT_EQ(h.model.FwpmEngineClose0(other), 0u);
}

TEST(KillSwitchState, DisableAndCleanupStaleWithNothingInstalled) {
  for (bool cleanup : {false, true}) {
    Harness h;
    EXPECT_TRUE(cleanup ? h.killSwitch.CleanupStale() : h.killSwitch.Disable());
    EXPECT_TRUE(h.model.OpenSessions().empty()) << "the session is closed again";
    EXPECT_TRUE(h.model.Filters().empty());
  }
}

TEST(KillSwitchState, DisableRemovesFiltersSublayerProviderAndSession) {
  for (bool cleanup : {false, true}) {
    Harness h;
    ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
    ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
    h.model.ClearCalls();
    EXPECT_TRUE(cleanup ? h.killSwitch.CleanupStale() : h.killSwitch.Disable());
    EXPECT_TRUE(h.Ours().empty());
    EXPECT_FALSE(h.model.FindSublayer(KillSwitchSublayerKey).has_value());
    EXPECT_FALSE(h.model.FindProvider(KillSwitchProviderKey).has_value());
    EXPECT_TRUE(h.model.OpenSessions().empty());
    // Deleted by us, in this order, before the session closed.
    const std::vector<Call> calls = h.StatusCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3], Call::kSubLayerDeleteByKey);
    EXPECT_EQ(calls[calls.size() - 2], Call::kProviderDeleteByKey);
    EXPECT_EQ(calls[calls.size() - 1], Call::kEngineClose);
    for (const wfp_model::CallRecord& record : h.model.Calls()) {
      EXPECT_EQ(record.status, 0u) << wfp_model::CallName(record.call);
    }
  }
}

// What another session of the host registered (it still runs, or its objects outlived it) goes
// too; our own session is closed afterwards.
TEST(KillSwitchState, CleanupStaleRemovesObjectsOfAnotherSession) {
  wfp_model::WfpModel model;
  model.SetInterfaceAlias(kTunAlias, kTunLuid);
  KillSwitch earlier(model);
  ASSERT_TRUE(earlier.Enable(FullConfig()));
  ASSERT_TRUE(earlier.PermitTunInterface(kTunAlias));
  {
    KillSwitch cleaner(model);
    EXPECT_TRUE(cleaner.CleanupStale());
  }
  EXPECT_TRUE(model.FiltersOfProvider(KillSwitchProviderKey).empty());
  EXPECT_FALSE(model.FindSublayer(KillSwitchSublayerKey).has_value());
  EXPECT_FALSE(model.FindProvider(KillSwitchProviderKey).has_value());
  EXPECT_EQ(model.OpenSessions().size(), 1u);  // only the earlier one's
}

TEST(KillSwitchState, CloseAndDestructionLetTheDynamicSessionSweepEverything) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  h.killSwitch.Close();
  EXPECT_TRUE(h.model.Filters().empty());
  EXPECT_FALSE(h.model.FindProvider(KillSwitchProviderKey).has_value());
  EXPECT_TRUE(h.model.OpenSessions().empty());

  // The tunnel ids died with the session: a later permit tries no deletion in the new one (and
  // fails, since the new session has registered no provider yet).
  h.model.ClearCalls();
  EXPECT_FALSE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_EQ(CountCalls(h, Call::kFilterDeleteById), 0u);

  wfp_model::WfpModel model;
  {
    KillSwitch scoped(model);
    ASSERT_TRUE(scoped.Enable(MinimalConfig()));
  }
  EXPECT_TRUE(model.Filters().empty());
  EXPECT_TRUE(model.OpenSessions().empty());
}

TEST(KillSwitchState, NoSessionMeansFalseEverywhereButRevoke) {
  Harness h;
  h.model.FailOnUse(Call::kEngineOpen, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.Enable(FullConfig()));
  h.model.FailOnUse(Call::kEngineOpen, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.Disable());
  h.model.FailOnUse(Call::kEngineOpen, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.CleanupStale());
  h.model.FailOnUse(Call::kEngineOpen, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.IsEnabled());
  h.model.FailOnUse(Call::kEngineOpen, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());
  EXPECT_TRUE(h.model.OpenSessions().empty());
  EXPECT_EQ(h.StatusCalls(), std::vector<Call>(5, Call::kEngineOpen));
}

// ---- tunnel permit --------------------------------------------------------------------------

TEST(KillSwitchTunnel, PermitAfterEnableAddsAPairForTheInterface) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));  // IPv6 not blocked: the pair still has both
  h.model.ClearCalls();
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_EQ(Signatures(h.Ours()), Concat(ExpectedSet(MinimalConfig()), TunPair(kTunLuid)));
  for (const wfp_model::CallRecord& record : h.model.Calls()) {
    EXPECT_FALSE(record.inTransaction) << "tunnel permits are added outside any transaction";
  }
}

TEST(KillSwitchTunnel, SecondPermitReplacesThePairWithNewIds) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  std::vector<UINT64> first;
  for (const wfp_model::Filter& f : h.Ours()) {
    if (f.name == records::kTunPermitName)
      first.push_back(f.id);
  }
  h.model.SetInterfaceAlias(kTunAlias, kTunLuid + 7);  // the interface came back with a new LUID
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_EQ(Signatures(h.Ours()), Concat(ExpectedSet(FullConfig()), TunPair(kTunLuid + 7)));
  for (UINT64 id : first) {
    EXPECT_EQ(h.model.FindFilter(id), nullptr);
  }
}

TEST(KillSwitchTunnel, PermitWithoutProviderAndSublayerFails) {
  Harness h;
  EXPECT_FALSE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_TRUE(h.model.Filters().empty());
  EXPECT_EQ(h.model.Calls().back().status, wfp::Status(FWP_E_PROVIDER_NOT_FOUND));
}

TEST(KillSwitchTunnel, AnAliasThatNamesNoInterfaceLeavesNoPermit) {
  const std::wstring unknown[] = {L"NoSuchTun", L"", std::wstring(L"OrvaneTun\0x", 11)};
  for (const std::wstring& alias : unknown) {
    Harness h;
    ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
    ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
    EXPECT_FALSE(h.killSwitch.PermitTunInterface(alias)) << alias.size();
    EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig())) << "the earlier pair is gone";
  }
}

TEST(KillSwitchTunnel, FailedIpv6AddKeepsTheIpv4PermitForALaterRevoke) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  h.model.FailOnUse(Call::kFilterAdd, 2, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_EQ(Signatures(h.Ours()),
            Concat(ExpectedSet(MinimalConfig()), {TunPermitSignature("V4", kTunLuid)}));
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig()));
}

TEST(KillSwitchTunnel, RevokeWithoutSessionOrPermitsDoesNothing) {
  Harness h;
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());
  EXPECT_TRUE(h.model.Calls().empty()) << "no session is opened for a revoke";

  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  h.model.ClearCalls();
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());
  EXPECT_TRUE(h.model.Calls().empty());
}

TEST(KillSwitchTunnel, RevokeDeletesThePair) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(FullConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(FullConfig()));
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit());  // nothing left to do
}

// After a failed IPv4 deletion the IPv6 permit stays, untracked, until the next purge.
TEST(KillSwitchTunnel, FailedIpv4DeletionKeepsTheIpv6PermitUntilThePurge) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  h.model.FailOnUse(Call::kFilterDeleteById, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(h.killSwitch.RevokeTunPermit());
  EXPECT_EQ(Signatures(h.Ours()), Concat(ExpectedSet(MinimalConfig()), TunPair(kTunLuid)));
  h.model.ClearCalls();
  EXPECT_TRUE(h.killSwitch.RevokeTunPermit()) << "both ids were forgotten";
  EXPECT_EQ(CountCalls(h, Call::kFilterDeleteById), 0u);
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  EXPECT_EQ(Signatures(h.Ours()), ExpectedSet(MinimalConfig()));
}

TEST(KillSwitchTunnel, PermitKeepsTheOldIpv6PermitWhenTheIpv4DeletionFails) {
  Harness h;
  ASSERT_TRUE(h.killSwitch.Enable(MinimalConfig()));
  ASSERT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  h.model.SetInterfaceAlias(kTunAlias, kTunLuid + 1);
  h.model.FailOnUse(Call::kFilterDeleteById, 1, ERROR_ACCESS_DENIED);
  h.model.ClearCalls();
  EXPECT_TRUE(h.killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_EQ(CountCalls(h, Call::kFilterDeleteById), 1u) << "no IPv6 deletion was tried";
  EXPECT_EQ(Signatures(h.Ours()),
            Concat(Concat(ExpectedSet(MinimalConfig()), TunPair(kTunLuid)), TunPair(kTunLuid + 1)));
}

// ---- the real platform binding ----------------------------------------------------------------

// Under Wine fwpuclnt.dll exists but its engine cannot be opened; the product must answer false
// without ever reaching the functions that are mere stubs there.
TEST(KillSwitchSystemBinding, WithoutAFilteringEngineEverythingAnswersFalse) {
  KillSwitch killSwitch;
  HANDLE engine = nullptr;
  const FWPM_SESSION0 session = records::SessionRecord();
  if (SystemFilteringPlatform().FwpmEngineOpen0(nullptr, static_cast<UINT32>(RPC_C_AUTHN_DEFAULT),
                                                nullptr, &session, &engine) == 0) {
    (void)SystemFilteringPlatform().FwpmEngineClose0(engine);
    GTEST_SKIP() << "a real filtering engine is running here";
  }
  EXPECT_FALSE(killSwitch.Enable(FullConfig()));
  EXPECT_FALSE(killSwitch.IsEnabled());
  EXPECT_FALSE(killSwitch.PermitTunInterface(kTunAlias));
  EXPECT_TRUE(killSwitch.RevokeTunPermit());
  EXPECT_FALSE(killSwitch.Disable());
  EXPECT_FALSE(killSwitch.CleanupStale());
}

// Where the libraries cannot be loaded (the ctest entry KillSwitchSystemBinding.WithoutItsLibraries
// disables both), every call fails with ERROR_MOD_NOT_FOUND instead of reaching a null pointer;
// the test above then proves the kill switch's answers.
TEST(KillSwitchSystemBinding, WithoutItsLibrariesEveryCallFailsWithoutCallingAnything) {
  for (const wchar_t* name : {L"fwpuclnt.dll", L"iphlpapi.dll"}) {
    if (const HMODULE library = LoadLibraryW(name); library != nullptr) {
      FreeLibrary(library);
      GTEST_SKIP() << "the platform's libraries load here: run with "
                      "WINEDLLOVERRIDES=fwpuclnt,iphlpapi=";
    }
  }
  FilteringPlatform& p = SystemFilteringPlatform();
  HANDLE h = nullptr;
  UINT64 id = 0;
  UINT32 count = 0;
  FWPM_FILTER0** entries = nullptr;
  NET_LUID luid{};
  const FWPM_SESSION0 session = records::SessionRecord();
  const std::function<DWORD()> calls[] = {
      [&] { return p.FwpmEngineOpen0(nullptr, RPC_C_AUTHN_DEFAULT, nullptr, &session, &h); },
      [&] { return p.FwpmEngineClose0(h); },
      [&] { return p.FwpmProviderAdd0(h, nullptr, nullptr); },
      [&] { return p.FwpmProviderDeleteByKey0(h, &KillSwitchProviderKey); },
      [&] { return p.FwpmSubLayerAdd0(h, nullptr, nullptr); },
      [&] { return p.FwpmSubLayerDeleteByKey0(h, &KillSwitchSublayerKey); },
      [&] { return p.FwpmTransactionBegin0(h, 0); },
      [&] { return p.FwpmTransactionCommit0(h); },
      [&] { return p.FwpmTransactionAbort0(h); },
      [&] { return p.FwpmFilterAdd0(h, nullptr, nullptr, &id); },
      [&] { return p.FwpmFilterDeleteById0(h, 1); },
      [&] { return p.FwpmFilterCreateEnumHandle0(h, nullptr, &h); },
      [&] { return p.FwpmFilterEnum0(h, h, 1, &entries, &count); },
      [&] { return p.FwpmFilterDestroyEnumHandle0(h, h); },
      [&] { return p.ConvertInterfaceAliasToLuid(kTunAlias.c_str(), &luid); },
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    EXPECT_EQ(calls[i](), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << "call " << i;
  }
  void* block = &luid;
  p.FwpmFreeMemory0(&block);
  EXPECT_EQ(block, &luid);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(luid.Value, 0u);
}

TEST(KillSwitchSystemBinding, AliasConversionReachesIpHelper) {
  NET_LUID luid{};
  luid.Value = 0;
  EXPECT_NE(SystemFilteringPlatform().ConvertInterfaceAliasToLuid(L"NoSuchOrvaneInterface", &luid),
            0u);
  EXPECT_EQ(luid.Value, 0u);
}

}  // namespace
