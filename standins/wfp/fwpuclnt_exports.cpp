// The fifteen Fwpm*0 functions of fwpuclnt.dll that the kill switch imports, each handed to the
// process-wide model under its lock. fwpmu.h declares them, so a signature or calling convention
// that drifted from the platform's would not compile.

#include <cstdio>
#include <string_view>

#include "standins/wfp/fwpuclnt_state.h"

namespace standin_wfp {

Platform& Shared() {
  static Platform* const platform = new Platform;
  return *platform;
}

}  // namespace standin_wfp

namespace {

using standin_wfp::Platform;
using wfp_model::Call;
using wfp_model::WfpModel;

constexpr wchar_t kJournalVariable[] = L"ORVANE_STANDIN_WFP_JOURNAL";

bool JournalWanted() noexcept {
  return GetEnvironmentVariableW(kJournalVariable, nullptr, 0) != 0;
}

void Journal(const char* line) noexcept {
  // Looked up for every line, so a test can start and stop the journal while the process runs.
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(kJournalVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return;
  }
  // Opened for every line: nothing is lost when the process ends abruptly, and several processes
  // may append to one journal.
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  (void)WriteFile(file, line, static_cast<DWORD>(std::string_view(line).size()), &written, nullptr);
  CloseHandle(file);
}

void JournalCall(const Platform& platform, Call call, const char* status) noexcept {
  if (!JournalWanted()) {
    return;
  }
  char line[160];
  std::snprintf(line, sizeof line, "%lu %.*s %s filters=%zu\n", GetCurrentProcessId(),
                static_cast<int>(wfp_model::CallName(call).size()),
                wfp_model::CallName(call).data(), status, platform.model->FilterCount());
  Journal(line);
}

// The model records every call for tests that hold a model of their own; nothing reads this
// one's record, which would otherwise grow with every call the host makes for as long as it runs.
void ForgetCalls(Platform& platform) noexcept {
  platform.model->ClearCalls();
}

template <typename Body>
DWORD Forward(Call call, Body&& body) noexcept {
  try {
    Platform& platform = standin_wfp::Shared();
    const std::lock_guard<std::mutex> hold(platform.lock);
    const DWORD status = body(*platform.model);
    ForgetCalls(platform);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", status);
    JournalCall(platform, call, text);
    return status;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;  // only the first use can fail, creating the model
  }
}

}  // namespace

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
  return Forward(Call::kEngineOpen, [&](WfpModel& model) {
    return model.FwpmEngineOpen0(serverName, authnService, authIdentity, session, engineHandle);
  });
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
  return Forward(Call::kEngineClose,
                 [&](WfpModel& model) { return model.FwpmEngineClose0(engineHandle); });
}

DWORD WINAPI FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider,
                              PSECURITY_DESCRIPTOR sd) {
  return Forward(Call::kProviderAdd, [&](WfpModel& model) {
    return model.FwpmProviderAdd0(engineHandle, provider, sd);
  });
}

DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID* key) {
  return Forward(Call::kProviderDeleteByKey, [&](WfpModel& model) {
    return model.FwpmProviderDeleteByKey0(engineHandle, key);
  });
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR sd) {
  return Forward(Call::kSubLayerAdd, [&](WfpModel& model) {
    return model.FwpmSubLayerAdd0(engineHandle, subLayer, sd);
  });
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
  return Forward(Call::kSubLayerDeleteByKey, [&](WfpModel& model) {
    return model.FwpmSubLayerDeleteByKey0(engineHandle, key);
  });
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
  return Forward(Call::kTransactionBegin,
                 [&](WfpModel& model) { return model.FwpmTransactionBegin0(engineHandle, flags); });
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
  return Forward(Call::kTransactionCommit,
                 [&](WfpModel& model) { return model.FwpmTransactionCommit0(engineHandle); });
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
  return Forward(Call::kTransactionAbort,
                 [&](WfpModel& model) { return model.FwpmTransactionAbort0(engineHandle); });
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
  return Forward(Call::kFilterAdd, [&](WfpModel& model) {
    return model.FwpmFilterAdd0(engineHandle, filter, sd, id);
  });
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
  return Forward(Call::kFilterDeleteById,
                 [&](WfpModel& model) { return model.FwpmFilterDeleteById0(engineHandle, id); });
}

DWORD WINAPI FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                         const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                         HANDLE* enumHandle) {
  return Forward(Call::kFilterCreateEnumHandle, [&](WfpModel& model) {
    return model.FwpmFilterCreateEnumHandle0(engineHandle, enumTemplate, enumHandle);
  });
}

DWORD WINAPI FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                             FWPM_FILTER0*** entries, UINT32* numEntriesReturned) {
  return Forward(Call::kFilterEnum, [&](WfpModel& model) {
    return model.FwpmFilterEnum0(engineHandle, enumHandle, numEntriesRequested, entries,
                                 numEntriesReturned);
  });
}

DWORD WINAPI FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) {
  return Forward(Call::kFilterDestroyEnumHandle, [&](WfpModel& model) {
    return model.FwpmFilterDestroyEnumHandle0(engineHandle, enumHandle);
  });
}

void WINAPI FwpmFreeMemory0(void** p) {
  try {
    Platform& platform = standin_wfp::Shared();
    const std::lock_guard<std::mutex> hold(platform.lock);
    platform.model->FwpmFreeMemory0(p);
    ForgetCalls(platform);
    JournalCall(platform, Call::kFreeMemory, "-");
  } catch (...) {
    // Nothing was handed out if the model could not even be created.
  }
}

}  // extern "C"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_DETACH || !JournalWanted()) {
    return TRUE;
  }
  // What the process leaves behind, for a test that reads the journal after it has gone. A thread
  // killed by the process's end may still hold the lock: then there is nothing safe to read.
  try {
    Platform& platform = standin_wfp::Shared();
    if (!platform.lock.try_lock()) {
      return TRUE;
    }
    const std::lock_guard<std::mutex> hold(platform.lock, std::adopt_lock);
    char line[96];
    std::snprintf(line, sizeof line, "%lu exit filters=%zu sessions=%zu\n", GetCurrentProcessId(),
                  platform.model->FilterCount(), platform.model->OpenSessions().size());
    Journal(line);
  } catch (...) {
  }
  return TRUE;
}
