// Engine sessions: opening, closing, and what closing sweeps. Apart because a session's end
// reaches into every other job: its transaction, its enumerations and, if dynamic, its objects.

#include <cstdint>
#include <utility>

#include "standins/wfp/wfp_model.h"
#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {

using detail::HandleValue;
using detail::kSuccess;
using detail::OptionalText;
using detail::ToHandle;

const Session* WfpModel::FindSession(HANDLE engineHandle) const noexcept {
  const auto it = sessions_.find(HandleValue(engineHandle));
  return it == sessions_.end() ? nullptr : &it->second;
}

std::uint64_t WfpModel::NewHandle() noexcept {
  // Handles are never reused, so a stale one is always recognised as such.
  const std::uint64_t handle = nextHandle_;
  nextHandle_ += 0x10;
  return handle;
}

DWORD WfpModel::EngineOpen(const wchar_t* serverName, UINT32 authnService,
                           SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                           HANDLE* engineHandle) {
  if (engineHandle == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Session opened;
  opened.id = NewHandle();
  opened.serverNameGiven = serverName != nullptr;
  opened.authnService = authnService;
  opened.authIdentityGiven = authIdentity != nullptr;
  if (session != nullptr) {
    opened.recordGiven = true;
    if (session->displayData.name != nullptr) {
      opened.name = session->displayData.name;
    }
    opened.description = OptionalText(session->displayData.description);
    opened.flags = session->flags;
    opened.txnWaitTimeoutInMSec = session->txnWaitTimeoutInMSec;
  }
  const std::uint64_t id = opened.id;
  sessions_.emplace(id, std::move(opened));
  *engineHandle = ToHandle(id);
  return kSuccess;
}

DWORD WfpModel::EngineClose(HANDLE engineHandle) {
  const Session* session = FindSession(engineHandle);
  if (session == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  const std::uint64_t id = session->id;
  const bool dynamic = (session->flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
  if (transaction_ && transaction_->session == id) {
    RollBack();
  }
  std::erase_if(enums_, [&](const auto& entry) { return entry.second.session == id; });
  if (dynamic) {
    RemoveObjectsOf(id);
  }
  sessions_.erase(id);
  return kSuccess;
}

void WfpModel::RemoveObjectsOf(std::uint64_t session) {
  std::erase_if(filters_, [&](const auto& entry) { return entry.second.session == session; });
  std::erase_if(sublayers_, [&](const Sublayer& sublayer) { return sublayer.session == session; });
  std::erase_if(providers_, [&](const Provider& provider) { return provider.session == session; });
}

}  // namespace wfp_model
