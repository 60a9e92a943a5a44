// Transactions: begin, commit, abort, the undo log that abort replays, and the rule that keeps
// other writers out meanwhile. Apart because every change to an object must go through it.

#include <utility>
#include <variant>
#include <vector>

#include "standins/wfp/wfp_model.h"
#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {
namespace {

using detail::kSuccess;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

DWORD WfpModel::TransactionBegin(HANDLE engineHandle, UINT32 flags) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if ((flags & ~static_cast<UINT32>(FWPM_TXN_READ_ONLY)) != 0) {
    return wfp::Status(FWP_E_INVALID_FLAGS);
  }
  if (transaction_) {
    return transaction_->session == session->id ? wfp::Status(FWP_E_TXN_IN_PROGRESS)
                                                : wfp::Status(FWP_E_TIMEOUT);
  }
  transaction_ = Transaction{session->id, (flags & FWPM_TXN_READ_ONLY) != 0, {}};
  return kSuccess;
}

DWORD WfpModel::TransactionEnd(HANDLE engineHandle, bool commit) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (!transaction_ || transaction_->session != session->id) {
    return wfp::Status(FWP_E_NO_TXN_IN_PROGRESS);
  }
  if (commit) {
    transaction_.reset();
  } else {
    RollBack();
  }
  return kSuccess;
}

DWORD WfpModel::CheckWrite(std::uint64_t session) const noexcept {
  if (!transaction_) {
    return kSuccess;
  }
  if (transaction_->session != session) {
    return wfp::Status(FWP_E_TIMEOUT);  // the platform would wait for the other writer
  }
  if (transaction_->readOnly) {
    return wfp::Status(FWP_E_INCOMPATIBLE_TXN);
  }
  return kSuccess;
}

void WfpModel::Remember(Undo undo) {
  if (transaction_) {
    transaction_->undo.push_back(std::move(undo));
  }
}

void WfpModel::RollBack() {
  std::vector<Undo> undo = std::move(transaction_->undo);
  transaction_.reset();
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    std::visit(Overloaded{
                   [&](FilterAdded& step) { filters_.erase(step.id); },
                   [&](FilterDeleted& step) {
                     const UINT64 id = step.filter.id;
                     filters_.emplace(id, std::move(step.filter));
                   },
                   [&](ProviderAdded& step) {
                     std::erase_if(providers_, [&](const Provider& provider) {
                       return wfp::SameGuid(provider.key, step.key);
                     });
                   },
                   [&](ProviderDeleted& step) { providers_.push_back(std::move(step.provider)); },
                   [&](SublayerAdded& step) {
                     std::erase_if(sublayers_, [&](const Sublayer& sublayer) {
                       return wfp::SameGuid(sublayer.key, step.key);
                     });
                   },
                   [&](SublayerDeleted& step) { sublayers_.push_back(std::move(step.sublayer)); },
               },
               *it);
  }
}

}  // namespace wfp_model
