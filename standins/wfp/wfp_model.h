#pragma once

// The filtering platform model's class and the records it keeps; what each of its files does is
// said below, before the namespace.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "killswitch/filtering_platform.h"

// An in-memory Windows Filtering Platform, for the machines (and Wine) where the real one is
// missing. It implements the calls of FilteringPlatform with the platform's records and status
// codes, so the kill switch runs its real call sequence against it, and it decides outbound
// connection attempts the way the platform arbitrates filters.
//
// What it models:
// - engine sessions; closing a dynamic one removes every provider, sublayer and filter it added;
// - providers and sublayers (FWP_E_ALREADY_EXISTS for a duplicate key, FWP_E_IN_USE while still
//   referenced, the *_NOT_FOUND codes for a missing one, FWP_E_LIFETIME_MISMATCH when an object
//   outside a dynamic session would reference one inside it);
// - filters, deep-copied on add, with ids assigned here; an add is refused with the platform's
//   status when its provider or sublayer is not registered, or its layer, a condition, the weight
//   or the action is malformed;
// - transactions: begin, commit, and abort rolling back every change since begin. Writes from
//   another session while one is open answer FWP_E_TIMEOUT (the platform would block);
// - filter enumeration over a snapshot taken when the handle is created, paged, with the memory
//   handed out released by FwpmFreeMemory0;
// - ConvertInterfaceAliasToLuid from a table the test sets;
// - fault injection: any status-returning call can be made to fail on its k-th use.
//
// Where it is simpler than the platform: one process, no threads and no access checks; changes
// inside a transaction are visible to every session at once; the enumeration template knows the
// provider key, the layer (zero: every layer) and the action mask, nothing else; the connect
// layers and the six condition fields the kill switch uses are the only ones known.
//
// Where each job is done: wfp_model.cpp takes every platform call, logs it and injects the
// faults; wfp_model_sessions.cpp, _objects.cpp (providers, sublayers, filters and their checks),
// _transactions.cpp, _enumeration.cpp and _aliases.cpp do the calls' work; _classify.cpp decides
// connection attempts; _inspection.cpp answers the inspection members.
//
// The class has no dependency on the test framework, so a stand-in fwpuclnt.dll can export these
// members under the platform's names.
namespace wfp_model {

// The platform calls, in the order FilteringPlatform declares them.
enum class Call : std::uint8_t {
  kEngineOpen,
  kEngineClose,
  kProviderAdd,
  kProviderDeleteByKey,
  kSubLayerAdd,
  kSubLayerDeleteByKey,
  kTransactionBegin,
  kTransactionCommit,
  kTransactionAbort,
  kFilterAdd,
  kFilterDeleteById,
  kFilterCreateEnumHandle,
  kFilterEnum,
  kFilterDestroyEnumHandle,
  kFreeMemory,
  kConvertInterfaceAliasToLuid,
};
// The platform's name of the call ("FwpmFilterAdd0").
std::string_view CallName(Call call) noexcept;

struct CallRecord {
  Call call;
  DWORD status;        // 0 for FwpmFreeMemory0, which has none
  bool inTransaction;  // a transaction of any session was open when the call started
};

enum class IpVersion { kV4, kV6 };

// An outbound connection attempt, as the connect layers see it.
struct Connection {
  IpVersion version = IpVersion::kV4;
  std::uint32_t remoteV4 = 0;  // host byte order
  std::array<std::uint8_t, 16> remoteV6{};
  std::uint16_t remotePort = 0;
  std::uint8_t protocol = 0;
  std::uint16_t localPort = 0;
  std::uint32_t flags = 0;  // FWP_CONDITION_FLAG_*; FWP_CONDITION_FLAG_IS_LOOPBACK for loopback
  std::uint64_t localInterface = 0;  // NET_LUID value of the interface it leaves through
};
std::string Describe(const Connection& connection);

enum class Verdict { kPermit, kBlock };
struct Decision {
  Verdict verdict = Verdict::kPermit;
  UINT64 filterId = 0;  // the filter that decided; 0 when none matched
};

// Deep copies of what was added, as the model keeps them.
struct Condition {
  GUID field{};
  FWP_MATCH_TYPE match = FWP_MATCH_EQUAL;
  FWP_DATA_TYPE type = FWP_EMPTY;
  std::uint64_t value = 0;  // integer values; the address of FWP_V4_ADDR_MASK
  std::uint32_t v4Mask = 0;
  std::array<std::uint8_t, 16> v6{};  // FWP_BYTE_ARRAY16_TYPE and FWP_V6_ADDR_MASK addresses
  std::uint8_t prefixLength = 0;
};

struct Filter {
  UINT64 id = 0;
  GUID key{};
  std::wstring name;
  std::optional<std::wstring> description;
  UINT32 flags = 0;
  std::optional<GUID> providerKey;
  std::vector<std::uint8_t> providerData;
  GUID layer{};
  GUID sublayer{};
  FWP_DATA_TYPE weightType = FWP_EMPTY;
  UINT64 weight = 0;
  std::vector<Condition> conditions;
  FWP_ACTION_TYPE action = 0;
  GUID filterType{};
  UINT64 rawContext = 0;
  bool securityDescriptorGiven = false;
  std::uint64_t session = 0;
};

struct Provider {
  GUID key{};
  std::wstring name;
  std::optional<std::wstring> description;
  UINT32 flags = 0;
  std::size_t providerDataSize = 0;
  bool serviceNameGiven = false;
  bool securityDescriptorGiven = false;
  std::uint64_t session = 0;
};

struct Sublayer {
  GUID key{};
  std::wstring name;
  std::optional<std::wstring> description;
  UINT16 flags = 0;
  std::optional<GUID> providerKey;
  std::size_t providerDataSize = 0;
  UINT16 weight = 0;
  bool securityDescriptorGiven = false;
  std::uint64_t session = 0;
};

struct Session {
  std::uint64_t id = 0;
  bool recordGiven = false;
  std::wstring name;
  std::optional<std::wstring> description;
  UINT32 flags = 0;
  UINT32 txnWaitTimeoutInMSec = 0;
  // The other arguments of FwpmEngineOpen0.
  bool serverNameGiven = false;
  UINT32 authnService = 0;
  bool authIdentityGiven = false;
};

class WfpModel final : public FilteringPlatform {
 public:
  WfpModel();
  ~WfpModel() override;
  WfpModel(const WfpModel&) = delete;
  WfpModel& operator=(const WfpModel&) = delete;

  // FilteringPlatform
  DWORD FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                        SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                        HANDLE* engineHandle) noexcept override;
  DWORD FwpmEngineClose0(HANDLE engineHandle) noexcept override;
  DWORD FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                         PSECURITY_DESCRIPTOR sd) noexcept override;
  DWORD FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept override;
  DWORD FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                         PSECURITY_DESCRIPTOR sd) noexcept override;
  DWORD FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) noexcept override;
  DWORD FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) noexcept override;
  DWORD FwpmTransactionCommit0(HANDLE engineHandle) noexcept override;
  DWORD FwpmTransactionAbort0(HANDLE engineHandle) noexcept override;
  DWORD FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR sd,
                       UINT64* id) noexcept override;
  DWORD FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) noexcept override;
  DWORD FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                    const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                    HANDLE* enumHandle) noexcept override;
  DWORD FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                        FWPM_FILTER0*** entries, UINT32* numEntriesReturned) noexcept override;
  DWORD FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) noexcept override;
  void FwpmFreeMemory0(void** p) noexcept override;
  DWORD ConvertInterfaceAliasToLuid(const WCHAR* interfaceAlias,
                                    NET_LUID* interfaceLuid) noexcept override;

  // Test controls.
  void SetInterfaceAlias(std::wstring alias, UINT64 luid);
  // Makes the k-th use (1-based, counted from now) of `call` fail with `status`, without effect.
  void FailOnUse(Call call, std::uint32_t k, DWORD status);
  // Makes the k-th status-returning call of any kind (counted from now) fail with `status`.
  // FwpmFreeMemory0 returns nothing, so it cannot fail and is not counted.
  void FailOnCallNumber(std::uint32_t k, DWORD status);
  void ClearFaults() noexcept;
  const std::vector<CallRecord>& Calls() const noexcept { return calls_; }
  void ClearCalls() noexcept { calls_.clear(); }

  // Inspection.
  std::vector<Filter> Filters() const;  // in id order, which is the order of adding
  std::vector<Filter> FiltersOfProvider(const GUID& providerKey) const;
  const Filter* FindFilter(UINT64 id) const noexcept;
  std::size_t FilterCount() const noexcept { return filters_.size(); }
  const std::vector<Provider>& Providers() const noexcept { return providers_; }
  const std::vector<Sublayer>& Sublayers() const noexcept { return sublayers_; }
  std::optional<Provider> FindProvider(const GUID& key) const;
  std::optional<Sublayer> FindSublayer(const GUID& key) const;
  std::vector<Session> OpenSessions() const;
  bool TransactionOpen() const noexcept { return transaction_.has_value(); }
  std::size_t OpenEnumHandles() const noexcept { return enums_.size(); }
  std::size_t OutstandingAllocations() const noexcept { return allocations_.size(); }
  std::size_t InvalidFrees() const noexcept { return invalidFrees_; }

  // How the platform decides this attempt with the filters in place now: in each sublayer the
  // matching filter of the highest weight decides; a block in any sublayer wins over permits;
  // with no matching filter anywhere the attempt is permitted.
  Decision Classify(const Connection& connection) const noexcept;

 private:
  struct FilterAdded {
    UINT64 id;
  };
  struct FilterDeleted {
    Filter filter;
  };
  struct ProviderAdded {
    GUID key;
  };
  struct ProviderDeleted {
    Provider provider;
  };
  struct SublayerAdded {
    GUID key;
  };
  struct SublayerDeleted {
    Sublayer sublayer;
  };
  using Undo = std::variant<FilterAdded, FilterDeleted, ProviderAdded, ProviderDeleted,
                            SublayerAdded, SublayerDeleted>;
  struct Transaction {
    std::uint64_t session = 0;
    bool readOnly = false;
    std::vector<Undo> undo;
  };
  struct EnumState {
    std::uint64_t session = 0;
    std::vector<Filter> snapshot;
    std::size_t next = 0;
  };
  struct Fault {
    std::optional<Call> call;  // empty: any call
    std::uint32_t remaining;
    DWORD status;
  };
  struct EnumBlock;

  // wfp_model.cpp
  template <typename Body>
  DWORD Run(Call call, Body&& body) noexcept;
  std::optional<DWORD> TakeFault(Call call) noexcept;

  // wfp_model_sessions.cpp
  const Session* FindSession(HANDLE engineHandle) const noexcept;
  std::uint64_t NewHandle() noexcept;
  DWORD EngineOpen(const wchar_t* serverName, UINT32 authnService,
                   SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                   HANDLE* engineHandle);
  DWORD EngineClose(HANDLE engineHandle);
  void RemoveObjectsOf(std::uint64_t session);

  // wfp_model_objects.cpp
  DWORD StartWrite(HANDLE engineHandle, const void* argument,
                   const Session*& session) const noexcept;
  template <typename Added, typename Record, typename Object, typename Complete>
  DWORD AddByKey(HANDLE engineHandle, const Record* record, PSECURITY_DESCRIPTOR sd,
                 std::vector<Object>& objects, Complete complete);
  template <typename Deleted, typename Object, typename InUse>
  DWORD DeleteByKey(HANDLE engineHandle, const GUID* key, std::vector<Object>& objects,
                    DWORD notFound, InUse inUse);
  DWORD ProviderAdd(HANDLE engineHandle, const FWPM_PROVIDER0* provider, PSECURITY_DESCRIPTOR sd);
  DWORD ProviderDelete(HANDLE engineHandle, const GUID* key);
  DWORD SublayerAdd(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer, PSECURITY_DESCRIPTOR sd);
  DWORD SublayerDelete(HANDLE engineHandle, const GUID* key);
  DWORD FilterAdd(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR sd,
                  UINT64* id);
  DWORD FilterDelete(HANDLE engineHandle, UINT64 id);
  GUID NewKey() noexcept;

  // wfp_model_transactions.cpp
  DWORD TransactionBegin(HANDLE engineHandle, UINT32 flags);
  DWORD TransactionEnd(HANDLE engineHandle, bool commit);
  DWORD CheckWrite(std::uint64_t session) const noexcept;
  void Remember(Undo undo);
  void RollBack();

  // wfp_model_enumeration.cpp
  DWORD CreateEnum(HANDLE engineHandle, const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                   HANDLE* enumHandle);
  DWORD Enumerate(HANDLE engineHandle, HANDLE enumHandle, UINT32 requested, FWPM_FILTER0*** entries,
                  UINT32* returned);
  DWORD DestroyEnum(HANDLE engineHandle, HANDLE enumHandle);
  void ReleaseBlock(void** p) noexcept;

  // wfp_model_aliases.cpp
  DWORD AliasToLuid(const WCHAR* alias, NET_LUID* luid) const;

  std::map<std::uint64_t, Session> sessions_;
  std::vector<Provider> providers_;
  std::vector<Sublayer> sublayers_;
  std::map<UINT64, Filter> filters_;
  std::optional<Transaction> transaction_;
  std::map<std::uint64_t, EnumState> enums_;
  std::map<void*, std::unique_ptr<EnumBlock>> allocations_;
  std::size_t invalidFrees_ = 0;
  std::vector<std::pair<std::wstring, UINT64>> aliases_;
  std::vector<Fault> faults_;
  std::vector<CallRecord> calls_;
  std::uint64_t nextHandle_ = 0x1000;
  UINT64 nextFilterId_ = 70001;
  std::uint32_t nextKey_ = 1;
};

}  // namespace wfp_model
