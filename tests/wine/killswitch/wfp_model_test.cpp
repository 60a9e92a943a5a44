#include <gtest/gtest.h>

#include <vector>

#include "killswitch/wfp_compat.h"
#include "standins/wfp/wfp_model.h"

// The model is only worth testing against if it refuses, rolls back and decides like the
// platform; these tests pin the behaviour the kill switch tests rely on.

namespace {

using wfp_model::Call;
using wfp_model::Connection;
using wfp_model::Decision;
using wfp_model::IpVersion;
using wfp_model::Verdict;
using wfp_model::WfpModel;

constexpr GUID kProvider{0x11111111, 0x1111, 0x1111, {1, 1, 1, 1, 1, 1, 1, 1}};
constexpr GUID kSublayerA{0x22222222, 0x2222, 0x2222, {2, 2, 2, 2, 2, 2, 2, 2}};
constexpr GUID kSublayerB{0x33333333, 0x3333, 0x3333, {3, 3, 3, 3, 3, 3, 3, 3}};
constexpr GUID kUnknown{0x44444444, 0x4444, 0x4444, {4, 4, 4, 4, 4, 4, 4, 4}};

wchar_t* Name(const wchar_t* text) {
  return const_cast<wchar_t*>(text);
}

// A model with one open session, a provider and two sublayers, and a filter builder.
class ModelTest : public testing::Test {
 protected:
  void SetUp() override {
    engine = Open(FWPM_SESSION_FLAG_DYNAMIC);
    FWPM_PROVIDER0 provider{};
    provider.providerKey = kProvider;
    provider.displayData.name = Name(L"test provider");
    ASSERT_EQ(model.FwpmProviderAdd0(engine, &provider, nullptr), 0u);
    ASSERT_EQ(AddSublayer(kSublayerA), 0u);
    ASSERT_EQ(AddSublayer(kSublayerB), 0u);
  }

  HANDLE Open(UINT32 flags) {
    FWPM_SESSION0 session{};
    session.flags = flags;
    HANDLE handle = nullptr;
    EXPECT_EQ(model.FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &handle), 0u);
    return handle;
  }

  DWORD AddSublayer(const GUID& key, HANDLE session = nullptr, const GUID* provider = &kProvider) {
    FWPM_SUBLAYER0 sublayer{};
    sublayer.subLayerKey = key;
    sublayer.displayData.name = Name(L"test sublayer");
    sublayer.providerKey = const_cast<GUID*>(provider);
    return model.FwpmSubLayerAdd0(session != nullptr ? session : engine, &sublayer, nullptr);
  }

  // Adds a filter; `conditions` may be empty. Returns the status; the id goes to `id`.
  DWORD AddFilter(const GUID& layer, const GUID& sublayer, UINT32 action, UINT8 weight,
                  std::vector<FWPM_FILTER_CONDITION0> conditions = {}, UINT64* id = nullptr,
                  HANDLE session = nullptr, const GUID* provider = &kProvider) {
    FWPM_FILTER0 filter{};
    filter.displayData.name = Name(L"test filter");
    filter.providerKey = const_cast<GUID*>(provider);
    filter.layerKey = layer;
    filter.subLayerKey = sublayer;
    filter.weight.type = FWP_UINT8;
    filter.weight.uint8 = weight;
    filter.numFilterConditions = static_cast<UINT32>(conditions.size());
    filter.filterCondition = conditions.empty() ? nullptr : conditions.data();
    filter.action.type = action;
    return model.FwpmFilterAdd0(session != nullptr ? session : engine, &filter, nullptr, id);
  }

  static FWPM_FILTER_CONDITION0 Uint(const GUID& field, FWP_MATCH_TYPE match, FWP_DATA_TYPE type,
                                     UINT32 value) {
    FWPM_FILTER_CONDITION0 condition{};
    condition.fieldKey = field;
    condition.matchType = match;
    condition.conditionValue.type = type;
    switch (type) {
      case FWP_UINT8:
        condition.conditionValue.uint8 = static_cast<UINT8>(value);
        break;
      case FWP_UINT16:
        condition.conditionValue.uint16 = static_cast<UINT16>(value);
        break;
      default:
        condition.conditionValue.uint32 = value;
        break;
    }
    return condition;
  }

  static FWPM_FILTER_CONDITION0 AddressMask(FWP_V4_ADDR_AND_MASK* value) {
    FWPM_FILTER_CONDITION0 condition{};
    condition.fieldKey = wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_V4_ADDR_MASK;
    condition.conditionValue.v4AddrMask = value;
    return condition;
  }

  static Connection V4To(UINT32 address, UINT16 port = 443, UINT8 protocol = 6) {
    Connection connection;
    connection.remoteV4 = address;
    connection.remotePort = port;
    connection.protocol = protocol;
    connection.localPort = 50000;
    return connection;
  }

  WfpModel model;
  HANDLE engine = nullptr;
  const GUID& v4 = wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4;
  const GUID& v6 = wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6;
};

TEST_F(ModelTest, ProvidersAndSublayers) {
  FWPM_PROVIDER0 provider{};
  provider.providerKey = kProvider;
  provider.displayData.name = Name(L"again");
  EXPECT_EQ(model.FwpmProviderAdd0(engine, &provider, nullptr), wfp::Status(FWP_E_ALREADY_EXISTS));
  EXPECT_EQ(AddSublayer(kSublayerA), wfp::Status(FWP_E_ALREADY_EXISTS));
  provider.displayData.name = nullptr;
  provider.providerKey = kUnknown;
  EXPECT_EQ(model.FwpmProviderAdd0(engine, &provider, nullptr),
            wfp::Status(FWP_E_NULL_DISPLAY_NAME));

  FWPM_SUBLAYER0 orphan{};
  orphan.subLayerKey = kUnknown;
  orphan.displayData.name = Name(L"orphan");
  orphan.providerKey = const_cast<GUID*>(&kUnknown);
  EXPECT_EQ(model.FwpmSubLayerAdd0(engine, &orphan, nullptr),
            wfp::Status(FWP_E_PROVIDER_NOT_FOUND));

  EXPECT_EQ(model.FwpmSubLayerDeleteByKey0(engine, &kUnknown),
            wfp::Status(FWP_E_SUBLAYER_NOT_FOUND));
  EXPECT_EQ(model.FwpmProviderDeleteByKey0(engine, &kUnknown),
            wfp::Status(FWP_E_PROVIDER_NOT_FOUND));

  // Referenced objects cannot go.
  UINT64 id = 0;
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, &id), 0u);
  EXPECT_EQ(model.FwpmSubLayerDeleteByKey0(engine, &kSublayerA), wfp::Status(FWP_E_IN_USE));
  EXPECT_EQ(model.FwpmProviderDeleteByKey0(engine, &kProvider), wfp::Status(FWP_E_IN_USE));
  ASSERT_EQ(model.FwpmFilterDeleteById0(engine, id), 0u);
  EXPECT_EQ(model.FwpmFilterDeleteById0(engine, id), wfp::Status(FWP_E_FILTER_NOT_FOUND));
  EXPECT_EQ(model.FwpmSubLayerDeleteByKey0(engine, &kSublayerA), 0u);
  EXPECT_EQ(model.FwpmSubLayerDeleteByKey0(engine, &kSublayerB), 0u);
  EXPECT_EQ(model.FwpmProviderDeleteByKey0(engine, &kProvider), 0u);
}

TEST_F(ModelTest, MalformedFiltersAreRefusedWithThePlatformsStatus) {
  FWP_V4_ADDR_AND_MASK holes{0x0A000000, 0xFF00FF00};
  UINT64* nullValue = nullptr;
  FWPM_FILTER_CONDITION0 nullUint64{};
  nullUint64.fieldKey = wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE;
  nullUint64.conditionValue.type = FWP_UINT64;
  nullUint64.conditionValue.uint64 = nullValue;
  FWP_V4_ADDR_AND_MASK fine{0x0A000000, 0xFF000000};

  struct Case {
    const char* what;
    DWORD status;
    GUID layer;
    GUID sublayer;
    UINT32 action;
    UINT8 weight;
    std::vector<FWPM_FILTER_CONDITION0> conditions;
  };
  const Case cases[] = {
      {"unknown layer",
       wfp::Status(FWP_E_LAYER_NOT_FOUND),
       kUnknown,
       kSublayerA,
       FWP_ACTION_BLOCK,
       1,
       {}},
      {"unknown sublayer",
       wfp::Status(FWP_E_SUBLAYER_NOT_FOUND),
       v4,
       kUnknown,
       FWP_ACTION_BLOCK,
       1,
       {}},
      {"weight above 15",
       wfp::Status(FWP_E_INVALID_WEIGHT),
       v4,
       kSublayerA,
       FWP_ACTION_BLOCK,
       16,
       {}},
      {"callout action",
       wfp::Status(FWP_E_CALLOUT_NOT_FOUND),
       v4,
       kSublayerA,
       FWP_ACTION_CALLOUT_TERMINATING,
       1,
       {}},
      {"no action", wfp::Status(FWP_E_INVALID_ACTION_TYPE), v4, kSublayerA, 0, 1, {}},
      {"field the layer lacks",
       wfp::Status(FWP_E_CONDITION_NOT_FOUND),
       v4,
       kSublayerA,
       FWP_ACTION_PERMIT,
       1,
       {Uint(kUnknown, FWP_MATCH_EQUAL, FWP_UINT32, 1)}},
      {"port as 32 bits",
       wfp::Status(FWP_E_TYPE_MISMATCH),
       v4,
       kSublayerA,
       FWP_ACTION_PERMIT,
       1,
       {Uint(wfp::FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, FWP_UINT32, 443)}},
      {"IPv4 mask on the IPv6 layer",
       wfp::Status(FWP_E_TYPE_MISMATCH),
       v6,
       kSublayerA,
       FWP_ACTION_PERMIT,
       1,
       {AddressMask(&fine)}},
      {"flags match on an address",
       wfp::Status(FWP_E_MATCH_TYPE_MISMATCH),
       v4,
       kSublayerA,
       FWP_ACTION_PERMIT,
       1,
       {[&] {
         FWPM_FILTER_CONDITION0 c = AddressMask(&fine);
         c.matchType = FWP_MATCH_FLAGS_ALL_SET;
         return c;
       }()}},
      {"mask with holes",
       wfp::Status(FWP_E_INVALID_NET_MASK),
       v4,
       kSublayerA,
       FWP_ACTION_PERMIT,
       1,
       {AddressMask(&holes)}},
      {"missing 64-bit value",
       wfp::Status(FWP_E_NULL_POINTER),
       v4,
       kSublayerA,
       FWP_ACTION_PERMIT,
       1,
       {nullUint64}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AddFilter(c.layer, c.sublayer, c.action, c.weight, c.conditions), c.status) << c.what;
  }
  EXPECT_TRUE(model.Filters().empty());

  // An unregistered provider is refused too.
  FWPM_FILTER0 filter{};
  filter.displayData.name = Name(L"x");
  filter.providerKey = const_cast<GUID*>(&kUnknown);
  filter.layerKey = v4;
  filter.subLayerKey = kSublayerA;
  filter.action.type = FWP_ACTION_BLOCK;
  EXPECT_EQ(model.FwpmFilterAdd0(engine, &filter, nullptr, nullptr),
            wfp::Status(FWP_E_PROVIDER_NOT_FOUND));
  filter.providerKey = const_cast<GUID*>(&kProvider);
  filter.displayData.name = nullptr;
  EXPECT_EQ(model.FwpmFilterAdd0(engine, &filter, nullptr, nullptr),
            wfp::Status(FWP_E_NULL_DISPLAY_NAME));
  EXPECT_TRUE(model.Filters().empty());
}

TEST_F(ModelTest, FiltersAreDeepCopiedAndGetFreshIds) {
  wchar_t name[] = L"mutable name";
  UINT64 luid = 0x1234;
  FWPM_FILTER_CONDITION0 condition{};
  condition.fieldKey = wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE;
  condition.conditionValue.type = FWP_UINT64;
  condition.conditionValue.uint64 = &luid;
  FWPM_FILTER0 filter{};
  filter.displayData.name = name;
  filter.providerKey = const_cast<GUID*>(&kProvider);
  filter.layerKey = v4;
  filter.subLayerKey = kSublayerA;
  filter.numFilterConditions = 1;
  filter.filterCondition = &condition;
  filter.action.type = FWP_ACTION_PERMIT;
  UINT64 first = 0;
  UINT64 second = 0;
  ASSERT_EQ(model.FwpmFilterAdd0(engine, &filter, nullptr, &first), 0u);
  name[0] = L'X';
  luid = 0x9999;
  ASSERT_EQ(model.FwpmFilterAdd0(engine, &filter, nullptr, &second), 0u);
  EXPECT_NE(first, 0u);
  EXPECT_GT(second, first);

  const wfp_model::Filter* stored = model.FindFilter(first);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->name, L"mutable name");
  ASSERT_EQ(stored->conditions.size(), 1u);
  EXPECT_EQ(stored->conditions[0].value, 0x1234u);
  EXPECT_FALSE(wfp::IsZeroGuid(stored->key));
  EXPECT_FALSE(wfp::SameGuid(stored->key, model.FindFilter(second)->key));
}

TEST_F(ModelTest, AbortRollsBackEveryChangeSinceBegin) {
  UINT64 kept = 0;
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, &kept), 0u);

  ASSERT_EQ(model.FwpmTransactionBegin0(engine, 0), 0u);
  EXPECT_EQ(model.FwpmTransactionBegin0(engine, 0), wfp::Status(FWP_E_TXN_IN_PROGRESS));
  const GUID extra{0x55555555, 0x5555, 0x5555, {5, 5, 5, 5, 5, 5, 5, 5}};
  ASSERT_EQ(AddSublayer(extra), 0u);
  ASSERT_EQ(AddFilter(v4, extra, FWP_ACTION_PERMIT, 10), 0u);
  ASSERT_EQ(model.FwpmFilterDeleteById0(engine, kept), 0u);
  ASSERT_EQ(model.FwpmSubLayerDeleteByKey0(engine, &kSublayerB), 0u);

  // Another session cannot write meanwhile: the platform would make it wait.
  HANDLE other = Open(0);
  EXPECT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, nullptr, other),
            wfp::Status(FWP_E_TIMEOUT));
  EXPECT_EQ(model.FwpmTransactionAbort0(other), wfp::Status(FWP_E_NO_TXN_IN_PROGRESS));

  ASSERT_EQ(model.FwpmTransactionAbort0(engine), 0u);
  EXPECT_FALSE(model.TransactionOpen());
  const std::vector<wfp_model::Filter> filters = model.Filters();
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].id, kept);
  EXPECT_FALSE(model.FindSublayer(extra).has_value());
  EXPECT_TRUE(model.FindSublayer(kSublayerB).has_value());
  EXPECT_EQ(model.FwpmTransactionCommit0(engine), wfp::Status(FWP_E_NO_TXN_IN_PROGRESS));

  // Commit keeps.
  ASSERT_EQ(model.FwpmTransactionBegin0(engine, 0), 0u);
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_PERMIT, 10), 0u);
  ASSERT_EQ(model.FwpmTransactionCommit0(engine), 0u);
  EXPECT_EQ(model.Filters().size(), 2u);

  // A read-only transaction refuses writes.
  ASSERT_EQ(model.FwpmTransactionBegin0(engine, FWPM_TXN_READ_ONLY), 0u);
  EXPECT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_PERMIT, 10), wfp::Status(FWP_E_INCOMPATIBLE_TXN));
  ASSERT_EQ(model.FwpmTransactionCommit0(engine), 0u);
  EXPECT_EQ(model.FwpmEngineClose0(other), 0u);
}

TEST_F(ModelTest, ClosingASessionEndsItsTransactionAndDynamicObjects) {
  HANDLE lasting = Open(0);
  const GUID lastingSublayer{0x66666666, 0x6666, 0x6666, {6, 6, 6, 6, 6, 6, 6, 6}};
  // What outlives its session cannot lean on what goes with one.
  EXPECT_EQ(AddSublayer(lastingSublayer, lasting), wfp::Status(FWP_E_LIFETIME_MISMATCH));
  EXPECT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, nullptr, lasting, nullptr),
            wfp::Status(FWP_E_LIFETIME_MISMATCH));
  ASSERT_EQ(AddSublayer(lastingSublayer, lasting, nullptr), 0u);
  ASSERT_EQ(AddFilter(v4, lastingSublayer, FWP_ACTION_BLOCK, 1, {}, nullptr, lasting, nullptr), 0u);
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);
  ASSERT_EQ(model.FwpmTransactionBegin0(engine, 0), 0u);
  ASSERT_EQ(AddFilter(v4, kSublayerB, FWP_ACTION_BLOCK, 1), 0u);

  ASSERT_EQ(model.FwpmEngineClose0(engine), 0u);
  EXPECT_FALSE(model.TransactionOpen());
  EXPECT_FALSE(model.FindProvider(kProvider).has_value());  // the dynamic session's objects went
  EXPECT_FALSE(model.FindSublayer(kSublayerA).has_value());
  ASSERT_EQ(model.Filters().size(), 1u);  // the other session's stays
  EXPECT_TRUE(wfp::SameGuid(model.Filters()[0].sublayer, lastingSublayer));
  EXPECT_EQ(model.FwpmEngineClose0(engine), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_EQ(model.FwpmEngineClose0(lasting), 0u);
  EXPECT_EQ(model.Filters().size(), 1u) << "a non-dynamic session's objects outlive it";
}

TEST_F(ModelTest, EnumerationPagesThroughASnapshot) {
  std::vector<UINT64> ids(5);
  for (UINT64& id : ids) {
    ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, &id), 0u);
  }
  FWPM_FILTER_ENUM_TEMPLATE0 all{};
  all.providerKey = const_cast<GUID*>(&kProvider);
  all.actionMask = 0xFFFFFFFF;
  HANDLE enumHandle = nullptr;
  ASSERT_EQ(model.FwpmFilterCreateEnumHandle0(engine, &all, &enumHandle), 0u);
  // Changes after the snapshot are not seen.
  ASSERT_EQ(model.FwpmFilterDeleteById0(engine, ids[1]), 0u);
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);

  std::vector<UINT64> seen;
  for (;;) {
    FWPM_FILTER0** entries = nullptr;
    UINT32 count = 0;
    ASSERT_EQ(model.FwpmFilterEnum0(engine, enumHandle, 2, &entries, &count), 0u);
    if (count == 0) {
      EXPECT_EQ(entries, nullptr);
      break;
    }
    EXPECT_LE(count, 2u);
    for (UINT32 i = 0; i < count; ++i) {
      seen.push_back(entries[i]->filterId);
      EXPECT_EQ(std::wstring(entries[i]->displayData.name), L"test filter");
      EXPECT_TRUE(wfp::SameGuid(*entries[i]->providerKey, kProvider));
    }
    void* block = entries;
    model.FwpmFreeMemory0(&block);
    EXPECT_EQ(block, nullptr);
  }
  EXPECT_EQ(seen, ids);
  EXPECT_EQ(model.OutstandingAllocations(), 0u);

  // Handles belong to their session and die once.
  HANDLE other = Open(0);
  FWPM_FILTER0** entries = nullptr;
  UINT32 count = 0;
  EXPECT_EQ(model.FwpmFilterEnum0(other, enumHandle, 1, &entries, &count),
            wfp::Status(FWP_E_INVALID_ENUMERATOR));
  EXPECT_EQ(model.FwpmFilterDestroyEnumHandle0(engine, enumHandle), 0u);
  EXPECT_EQ(model.FwpmFilterDestroyEnumHandle0(engine, enumHandle),
            wfp::Status(FWP_E_INVALID_ENUMERATOR));
  EXPECT_EQ(model.FwpmEngineClose0(other), 0u);

  // Memory the model never handed out is not freed silently.
  int unrelated = 0;
  void* bogus = &unrelated;
  model.FwpmFreeMemory0(&bogus);
  EXPECT_EQ(model.InvalidFrees(), 1u);
}

TEST_F(ModelTest, EnumerationTemplateSelectsByProviderLayerAndAction) {
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);
  ASSERT_EQ(AddFilter(v6, kSublayerA, FWP_ACTION_PERMIT, 1), 0u);
  FWPM_FILTER0 foreign{};
  foreign.displayData.name = Name(L"no provider");
  foreign.layerKey = v4;
  foreign.action.type = FWP_ACTION_BLOCK;
  ASSERT_EQ(model.FwpmFilterAdd0(engine, &foreign, nullptr, nullptr), 0u);

  auto count = [&](const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate) {
    HANDLE enumHandle = nullptr;
    EXPECT_EQ(model.FwpmFilterCreateEnumHandle0(engine, enumTemplate, &enumHandle), 0u);
    FWPM_FILTER0** entries = nullptr;
    UINT32 n = 0;
    EXPECT_EQ(model.FwpmFilterEnum0(engine, enumHandle, 100, &entries, &n), 0u);
    void* block = entries;
    model.FwpmFreeMemory0(&block);
    EXPECT_EQ(model.FwpmFilterDestroyEnumHandle0(engine, enumHandle), 0u);
    return n;
  };
  FWPM_FILTER_ENUM_TEMPLATE0 t{};
  EXPECT_EQ(count(nullptr), 3u);
  t.providerKey = const_cast<GUID*>(&kProvider);
  t.actionMask = 0xFFFFFFFF;
  EXPECT_EQ(count(&t), 2u);
  t.layerKey = v6;
  EXPECT_EQ(count(&t), 1u);
  t.layerKey = GUID{};
  t.actionMask = 0x1;  // the bit of FWP_ACTION_BLOCK that FWP_ACTION_PERMIT lacks
  EXPECT_EQ(count(&t), 1u);
  t.actionMask = 0;  // shares no bit with any action
  EXPECT_EQ(count(&t), 0u);
}

TEST_F(ModelTest, FaultsHitTheChosenUseWithoutEffect) {
  model.FailOnUse(Call::kFilterAdd, 2, ERROR_ACCESS_DENIED);
  UINT64 id = 0;
  EXPECT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, &id), 0u);
  id = 0;
  EXPECT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1, {}, &id),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(id, 0u) << "a failed call writes nothing";
  EXPECT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);
  EXPECT_EQ(model.Filters().size(), 2u);

  // Counting any call; FwpmFreeMemory0 cannot fail and does not count.
  model.ClearCalls();
  model.FailOnCallNumber(2, wfp::Status(FWP_E_TIMEOUT));
  void* nothing = nullptr;
  model.FwpmFreeMemory0(&nothing);
  EXPECT_EQ(model.FwpmTransactionBegin0(engine, 0), 0u);
  EXPECT_EQ(model.FwpmTransactionCommit0(engine), wfp::Status(FWP_E_TIMEOUT));
  EXPECT_TRUE(model.TransactionOpen());
  EXPECT_EQ(model.FwpmTransactionCommit0(engine), 0u);
  ASSERT_EQ(model.Calls().size(), 4u);
  EXPECT_EQ(model.Calls()[2].status, wfp::Status(FWP_E_TIMEOUT));
  EXPECT_TRUE(model.Calls()[2].inTransaction);
}

TEST_F(ModelTest, InterfaceAliasesResolveFromTheTable) {
  model.SetInterfaceAlias(L"OrvaneTun", 42);
  NET_LUID luid{};
  ASSERT_EQ(model.ConvertInterfaceAliasToLuid(L"OrvaneTun", &luid), 0u);
  EXPECT_EQ(luid.Value, 42u);
  luid.Value = 7;
  EXPECT_EQ(model.ConvertInterfaceAliasToLuid(L"orvanetun2", &luid),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(luid.Value, 7u);
}

// ---- classification ---------------------------------------------------------------------------

TEST_F(ModelTest, NoMatchingFilterPermits) {
  const Decision decision = model.Classify(V4To(0x08080808));
  EXPECT_EQ(decision.verdict, Verdict::kPermit);
  EXPECT_EQ(decision.filterId, 0u);
  ASSERT_EQ(AddFilter(v6, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);
  EXPECT_EQ(model.Classify(V4To(0x08080808)).verdict, Verdict::kPermit) << "other layer";
}

TEST_F(ModelTest, WithinASublayerTheHighestWeightDecides) {
  UINT64 block = 0;
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 5, {}, &block), 0u);
  UINT64 low = 0;
  FWP_V4_ADDR_AND_MASK ten{0x0A000000, 0xFF000000};
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_PERMIT, 4, {AddressMask(&ten)}, &low), 0u);
  EXPECT_EQ(model.Classify(V4To(0x0A010203)).filterId, block) << "the lighter permit loses";

  UINT64 high = 0;
  FWP_V4_ADDR_AND_MASK host{0x0A010203, 0xFFFFFFFF};
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_PERMIT, 6, {AddressMask(&host)}, &high), 0u);
  Decision decision = model.Classify(V4To(0x0A010203));
  EXPECT_EQ(decision.verdict, Verdict::kPermit);
  EXPECT_EQ(decision.filterId, high);
  decision = model.Classify(V4To(0x0A010204));
  EXPECT_EQ(decision.verdict, Verdict::kBlock);
  EXPECT_EQ(decision.filterId, block);
}

TEST_F(ModelTest, ABlockInAnySublayerWinsOverPermits) {
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_PERMIT, 15), 0u);
  EXPECT_EQ(model.Classify(V4To(1)).verdict, Verdict::kPermit);
  UINT64 block = 0;
  ASSERT_EQ(AddFilter(v4, kSublayerB, FWP_ACTION_BLOCK, 0, {}, &block), 0u);
  const Decision decision = model.Classify(V4To(1));
  EXPECT_EQ(decision.verdict, Verdict::kBlock);
  EXPECT_EQ(decision.filterId, block);
}

TEST_F(ModelTest, ConditionsOnDifferentFieldsMustAllHold) {
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);
  ASSERT_EQ(AddFilter(v4, kSublayerA, FWP_ACTION_PERMIT, 10,
                      {Uint(wfp::FWPM_CONDITION_IP_PROTOCOL, FWP_MATCH_EQUAL, FWP_UINT8, 17),
                       Uint(wfp::FWPM_CONDITION_IP_LOCAL_PORT, FWP_MATCH_EQUAL, FWP_UINT16, 68),
                       // Two conditions on one field are alternatives.
                       Uint(wfp::FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, FWP_UINT16, 67),
                       Uint(wfp::FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, FWP_UINT16, 547)}),
            0u);
  Connection dhcp = V4To(0xFFFFFFFF, 67, 17);
  dhcp.localPort = 68;
  EXPECT_EQ(model.Classify(dhcp).verdict, Verdict::kPermit);
  dhcp.remotePort = 547;
  EXPECT_EQ(model.Classify(dhcp).verdict, Verdict::kPermit);
  dhcp.remotePort = 68;
  EXPECT_EQ(model.Classify(dhcp).verdict, Verdict::kBlock);
  dhcp.remotePort = 67;
  dhcp.protocol = 6;
  EXPECT_EQ(model.Classify(dhcp).verdict, Verdict::kBlock);
  dhcp.protocol = 17;
  dhcp.localPort = 69;
  EXPECT_EQ(model.Classify(dhcp).verdict, Verdict::kBlock);
}

TEST_F(ModelTest, FlagsAllSetNeedsEveryFlag) {
  ASSERT_EQ(AddFilter(v6, kSublayerA, FWP_ACTION_BLOCK, 1), 0u);
  ASSERT_EQ(AddFilter(v6, kSublayerA, FWP_ACTION_PERMIT, 10,
                      {Uint(wfp::FWPM_CONDITION_FLAGS, FWP_MATCH_FLAGS_ALL_SET, FWP_UINT32, 0x3)}),
            0u);
  Connection c;
  c.version = IpVersion::kV6;
  c.flags = 0x1;
  EXPECT_EQ(model.Classify(c).verdict, Verdict::kBlock);
  c.flags = 0x3;
  EXPECT_EQ(model.Classify(c).verdict, Verdict::kPermit);
  c.flags = 0x7;
  EXPECT_EQ(model.Classify(c).verdict, Verdict::kPermit) << "other flags do not matter";
}

}  // namespace
