#include "standins/engine/engine_view_records.h"

#include <cstdio>
#include <utility>

#include "standins/engine/control_server.h"

namespace standin_engine {

namespace {

// A host started as a process of its own (orvane.exe from the bundle) cannot be reached through
// the control functions, so the knobs it needs at start are read from its environment once.
bool EnvironmentSays(const wchar_t* name) {
  wchar_t value[2] = {};
  return GetEnvironmentVariableW(name, value, 2) == 1 && value[0] == L'1';
}

}  // namespace

Records& Records::Get() {
  static Records* const instance = [] {
    auto* records = new Records();
    records->knobs_.failViewControllerCreate =
        EnvironmentSays(L"ORVANE_STANDIN_FAIL_VIEW_CONTROLLER_CREATE");
    return records;
  }();
  return *instance;
}

void Records::Append(std::string line) {
  const std::lock_guard lock(mutex_);
  calls_.push_back(std::move(line));
}

std::string Records::CallLog() {
  const std::lock_guard lock(mutex_);
  std::string text;
  for (const std::string& line : calls_) {
    text += line;
    text += '\n';
  }
  return text;
}

Knobs Records::CurrentKnobs() {
  const std::lock_guard lock(mutex_);
  return knobs_;
}

void Records::SetFailEngineCreate(bool fail) {
  const std::lock_guard lock(mutex_);
  knobs_.failEngineCreate = fail;
}

void Records::SetFailViewControllerCreate(bool fail) {
  const std::lock_guard lock(mutex_);
  knobs_.failViewControllerCreate = fail;
}

void Records::SetMonitorDpi(UINT dpi) {
  const std::lock_guard lock(mutex_);
  knobs_.monitorDpi = dpi;
}

void Records::ConsumeMessage(UINT message, LRESULT result) {
  const std::lock_guard lock(mutex_);
  knobs_.consumedMessages[message] = result;
}

void Records::RecordProperties(const FlutterDesktopEngineProperties& properties) {
  Properties copy;
  if (properties.assets_path != nullptr) {
    copy.assetsPath = properties.assets_path;
  }
  if (properties.icu_data_path != nullptr) {
    copy.icuDataPath = properties.icu_data_path;
  }
  if (properties.aot_library_path != nullptr) {
    copy.aotLibraryPath = properties.aot_library_path;
  }
  if (properties.dart_entrypoint != nullptr) {
    copy.entrypoint = properties.dart_entrypoint;
  }
  copy.argc = properties.dart_entrypoint_argc;
  copy.argvNull = properties.dart_entrypoint_argv == nullptr;
  if (!copy.argvNull) {
    for (int i = 0; i < copy.argc; ++i) {
      const char* argument = properties.dart_entrypoint_argv[i];
      copy.arguments.push_back(argument == nullptr ? std::nullopt
                                                   : std::optional<std::string>(argument));
    }
  }
  copy.gpuPreference = static_cast<int>(properties.gpu_preference);
  copy.uiThreadPolicy = static_cast<int>(properties.ui_thread_policy);

  const std::lock_guard lock(mutex_);
  properties_ = std::move(copy);
}

bool Records::LastProperties(StandinEngineProperties* out) {
  const std::lock_guard lock(mutex_);
  if (!properties_ || out == nullptr) {
    return false;
  }
  const Properties& p = *properties_;
  out->assets_path_null = !p.assetsPath;
  out->icu_data_path_null = !p.icuDataPath;
  out->aot_library_path_null = !p.aotLibraryPath;
  out->dart_entrypoint_null = !p.entrypoint;
  out->dart_entrypoint_argc = p.argc;
  out->dart_entrypoint_argv_null = p.argvNull;
  out->gpu_preference = p.gpuPreference;
  out->ui_thread_policy = p.uiThreadPolicy;
  return true;
}

std::optional<std::wstring> Records::LastPath(StandinEnginePath which) {
  const std::lock_guard lock(mutex_);
  if (!properties_) {
    return std::nullopt;
  }
  switch (which) {
    case kStandinAssetsPath:
      return properties_->assetsPath;
    case kStandinIcuDataPath:
      return properties_->icuDataPath;
    case kStandinAotLibraryPath:
      return properties_->aotLibraryPath;
  }
  return std::nullopt;
}

std::optional<std::string> Records::LastEntrypointText(int index) {
  const std::lock_guard lock(mutex_);
  if (!properties_) {
    return std::nullopt;
  }
  if (index == -1) {
    return properties_->entrypoint;
  }
  if (index < 0 || static_cast<size_t>(index) >= properties_->arguments.size()) {
    return std::nullopt;
  }
  return properties_->arguments[static_cast<size_t>(index)];
}

std::optional<LRESULT> Records::OfferMessage(UINT message) {
  const std::lock_guard lock(mutex_);
  ++offeredMessages_[message];
  const auto rule = knobs_.consumedMessages.find(message);
  if (rule == knobs_.consumedMessages.end()) {
    return std::nullopt;
  }
  return rule->second;
}

int Records::OfferedMessageCount(UINT message) {
  const std::lock_guard lock(mutex_);
  const auto found = offeredMessages_.find(message);
  return found == offeredMessages_.end() ? 0 : found->second;
}

int Records::NextId() {
  const std::lock_guard lock(mutex_);
  return nextId_++;
}

void Records::Reset() {
  const std::lock_guard lock(mutex_);
  calls_.clear();
  knobs_ = Knobs{};
  properties_.reset();
  offeredMessages_.clear();
}

std::string Numbered(const char* kind, int id) {
  return std::string(kind) + " " + std::to_string(id);
}

void Misuse(const std::string& what) {
  Records::Get().Append("misuse: " + what);
  // Also where a host started as a process of its own can be read after it ended (misuse while
  // it winds down is the kind that matters most).
  std::fprintf(stderr, "stand-in engine misuse: %s\n", what.c_str());
  std::fflush(stderr);
}

std::string Unusable(const void* handle, const char* kind) {
  return handle == nullptr ? std::string("a null ") + kind : std::string("an unknown ") + kind;
}

}  // namespace standin_engine

// The control functions are called by tests in the same process; nothing may escape them.

extern "C" void StandinEngineReset(void) {
  try {
    standin_engine::Records::Get().Reset();
    standin_engine::ResetControlKnobs();
  } catch (...) {
  }
}

extern "C" size_t StandinEngineCallLog(char* text, size_t capacity) {
  try {
    return standin_engine::CopyText(standin_engine::Records::Get().CallLog(), text, capacity);
  } catch (...) {
    return standin_engine::CopyText(std::string(), text, capacity);
  }
}

extern "C" bool StandinEngineLastProperties(StandinEngineProperties* out) {
  try {
    return standin_engine::Records::Get().LastProperties(out);
  } catch (...) {
    return false;
  }
}

extern "C" size_t StandinEngineLastPath(StandinEnginePath which, wchar_t* text, size_t capacity) {
  try {
    if (const auto path = standin_engine::Records::Get().LastPath(which)) {
      return standin_engine::CopyText(*path, text, capacity);
    }
  } catch (...) {
  }
  standin_engine::CopyText(std::wstring(), text, capacity);
  return STANDIN_ENGINE_NO_TEXT;
}

extern "C" size_t StandinEngineLastEntrypointText(int index, char* text, size_t capacity) {
  try {
    if (const auto found = standin_engine::Records::Get().LastEntrypointText(index)) {
      return standin_engine::CopyText(*found, text, capacity);
    }
  } catch (...) {
  }
  standin_engine::CopyText(std::string(), text, capacity);
  return STANDIN_ENGINE_NO_TEXT;
}

extern "C" int StandinEngineOfferedMessageCount(UINT message) {
  try {
    return standin_engine::Records::Get().OfferedMessageCount(message);
  } catch (...) {
    return 0;
  }
}

extern "C" void StandinEngineFailEngineCreate(bool fail) {
  try {
    standin_engine::Records::Get().SetFailEngineCreate(fail);
  } catch (...) {
  }
}

extern "C" void StandinEngineFailViewControllerCreate(bool fail) {
  try {
    standin_engine::Records::Get().SetFailViewControllerCreate(fail);
  } catch (...) {
  }
}

extern "C" void StandinEngineSetMonitorDpi(UINT dpi) {
  try {
    standin_engine::Records::Get().SetMonitorDpi(dpi);
  } catch (...) {
  }
}

extern "C" void StandinEngineConsumeTopLevelMessage(UINT message, LRESULT result) {
  try {
    standin_engine::Records::Get().ConsumeMessage(message, result);
  } catch (...) {
  }
}
