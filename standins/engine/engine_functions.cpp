// The stand-in engine's engine functions: creation checks the properties record the way the
// host must fill it and records it; registrars, font reloads and the next-frame callback are
// recorded; the engine ends exactly once, through its view controller when one took it over.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "embedding/flutter_windows.h"
#include "standins/engine/control_server.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/engine_view_objects.h"
#include "standins/engine/engine_view_records.h"

namespace standin_engine {
namespace {

std::mutex liveMutex;
// The engine created last, while it lives.
FlutterDesktopEngineRef latestEngine = nullptr;
std::set<FlutterDesktopEngineRef>& LiveEngines() {
  static auto* const engines = new std::set<FlutterDesktopEngineRef>();
  return *engines;
}
std::set<FlutterDesktopViewControllerRef>& LiveControllers() {
  static auto* const controllers = new std::set<FlutterDesktopViewControllerRef>();
  return *controllers;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
      minimum = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) {
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::optional<std::string> CheckPath(const wchar_t* path, const char* name) {
  if (path == nullptr) {
    return std::string(name) + " is null";
  }
  if (*path == L'\0') {
    return std::string(name) + " is empty";
  }
  return std::nullopt;
}

// What is wrong with the record by the engine's interface, if anything.
std::optional<std::string> CheckProperties(const FlutterDesktopEngineProperties& properties) {
  if (auto problem = CheckPath(properties.assets_path, "assets_path")) {
    return problem;
  }
  if (auto problem = CheckPath(properties.icu_data_path, "icu_data_path")) {
    return problem;
  }
  if (auto problem = CheckPath(properties.aot_library_path, "aot_library_path")) {
    return problem;
  }
  // The default entry function is asked for with an empty string, never with null.
  if (properties.dart_entrypoint == nullptr) {
    return "dart_entrypoint is null";
  }
  if (!IsUtf8(properties.dart_entrypoint)) {
    return "dart_entrypoint is not UTF-8";
  }
  const int argc = properties.dart_entrypoint_argc;
  if (argc < 0) {
    return "dart_entrypoint_argc is negative";
  }
  if (argc == 0 && properties.dart_entrypoint_argv != nullptr) {
    return "dart_entrypoint_argv is not null for no arguments";
  }
  if (argc > 0 && properties.dart_entrypoint_argv == nullptr) {
    return "dart_entrypoint_argv is null for " + std::to_string(argc) + " arguments";
  }
  for (int i = 0; i < argc; ++i) {
    const char* argument = properties.dart_entrypoint_argv[i];
    if (argument == nullptr) {
      return "argument " + std::to_string(i) + " is null";
    }
    if (!IsUtf8(argument)) {
      return "argument " + std::to_string(i) + " is not UTF-8";
    }
  }
  return std::nullopt;
}

// ORVANE_STANDIN_LOAD_LIBRARIES: names, separated by ';', that a new engine loads by bare name,
// as the real engine loads its own libraries; each is logged as "LoadLibrary NAME found" or
// "LoadLibrary NAME missing" and let go again. Names are ASCII.
void LoadLibrariesIfAsked() {
  wchar_t names[512] = {};
  const DWORD length = GetEnvironmentVariableW(L"ORVANE_STANDIN_LOAD_LIBRARIES", names, 512);
  std::wstring_view rest(names, length < 512 ? length : 0);
  while (!rest.empty()) {
    const std::wstring name(rest.substr(0, rest.find(L';')));
    rest.remove_prefix(std::min(rest.size(), name.size() + 1));
    if (name.empty()) {
      continue;
    }
    const HMODULE module = LoadLibraryW(name.c_str());
    Records::Get().Append("LoadLibrary " + std::string(name.begin(), name.end()) +
                          (module != nullptr ? " found" : " missing"));
    if (module != nullptr) {
      FreeLibrary(module);
    }
  }
}

}  // namespace

bool IsLiveEngine(FlutterDesktopEngineRef engine) {
  const std::lock_guard lock(liveMutex);
  return engine != nullptr && LiveEngines().count(engine) != 0;
}

bool IsLiveController(FlutterDesktopViewControllerRef controller) {
  const std::lock_guard lock(liveMutex);
  return controller != nullptr && LiveControllers().count(controller) != 0;
}

bool IsLiveView(FlutterDesktopViewRef view) {
  const std::lock_guard lock(liveMutex);
  for (FlutterDesktopViewControllerRef controller : LiveControllers()) {
    if (&controller->view == view) {
      return view != nullptr;
    }
  }
  return false;
}

void AddLiveController(FlutterDesktopViewControllerRef controller) {
  const std::lock_guard lock(liveMutex);
  LiveControllers().insert(controller);
}

void RemoveLiveController(FlutterDesktopViewControllerRef controller) {
  const std::lock_guard lock(liveMutex);
  LiveControllers().erase(controller);
}

FlutterDesktopEngine* LatestEngine() {
  const std::lock_guard lock(liveMutex);
  return latestEngine;
}

void DestroyEngine(FlutterDesktopEngine* engine) {
  {
    const std::lock_guard lock(liveMutex);
    LiveEngines().erase(engine);
    if (latestEngine == engine) {
      latestEngine = nullptr;
    }
  }
  const int id = engine->id;
  // The messenger becomes unavailable; references the host still holds keep it allocated.
  StandinMessagingDestroy(engine->messaging);
  delete engine;
  Records::Get().Append(Numbered("engine", id) + " destroyed");
}

void RunNextFrameCallback(FlutterDesktopEngine* engine) {
  const VoidCallback callback = engine->nextFrameCallback;
  void* const user_data = engine->nextFrameUserData;
  if (callback == nullptr) {
    return;
  }
  // Disarmed before the call: the callback runs once, and may arm the next one itself.
  engine->nextFrameCallback = nullptr;
  engine->nextFrameUserData = nullptr;
  Records::Get().Append("next frame callback " + Numbered("engine", engine->id));
  callback(user_data);
}

}  // namespace standin_engine

using standin_engine::IsLiveEngine;
using standin_engine::Misuse;
using standin_engine::Numbered;
using standin_engine::Records;
using standin_engine::Unusable;

extern "C" FlutterDesktopEngineRef FlutterDesktopEngineCreate(
    const FlutterDesktopEngineProperties* engine_properties) {
  try {
    Records& records = Records::Get();
    if (engine_properties == nullptr) {
      records.Append("FlutterDesktopEngineCreate refused: no properties");
      return nullptr;
    }
    records.RecordProperties(*engine_properties);
    if (const auto problem = standin_engine::CheckProperties(*engine_properties)) {
      records.Append("FlutterDesktopEngineCreate refused: " + *problem);
      return nullptr;
    }
    if (records.CurrentKnobs().failEngineCreate) {
      records.Append("FlutterDesktopEngineCreate refused: told to fail");
      return nullptr;
    }
    auto engine = std::make_unique<FlutterDesktopEngine>();
    engine->messaging = StandinMessagingCreate();
    if (engine->messaging == nullptr) {
      records.Append("FlutterDesktopEngineCreate refused: no messenger");
      return nullptr;
    }
    engine->id = records.NextId();
    engine->assetsPath = engine_properties->assets_path;
    engine->entrypoint = engine_properties->dart_entrypoint;
    {
      const std::lock_guard lock(standin_engine::liveMutex);
      standin_engine::LiveEngines().insert(engine.get());
      standin_engine::latestEngine = engine.get();
    }
    records.Append("FlutterDesktopEngineCreate " + Numbered("engine", engine->id));
    standin_engine::LoadLibrariesIfAsked();
    // Engines are created on the UI thread, which is where the control commands must run.
    standin_engine::StartControlServerIfAsked();
    return engine.release();
  } catch (...) {
    return nullptr;
  }
}

extern "C" bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine) {
  try {
    if (!IsLiveEngine(engine)) {
      Misuse("FlutterDesktopEngineDestroy with " + Unusable(engine, "engine"));
      return false;
    }
    Records::Get().Append("FlutterDesktopEngineDestroy " + Numbered("engine", engine->id));
    if (engine->owner != nullptr) {
      // The view controller owns it now; ending it here would end it twice.
      Misuse("FlutterDesktopEngineDestroy of " + Numbered("engine", engine->id) + ", which " +
             Numbered("view controller", engine->owner->id) + " owns");
      return false;
    }
    standin_engine::DestroyEngine(engine);
    return true;
  } catch (...) {
    return false;
  }
}

extern "C" FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(
    FlutterDesktopEngineRef engine) {
  try {
    if (!IsLiveEngine(engine)) {
      Misuse("FlutterDesktopEngineGetMessenger with " + Unusable(engine, "engine"));
      return nullptr;
    }
    return StandinMessagingGetMessenger(engine->messaging);
  } catch (...) {
    return nullptr;
  }
}

extern "C" FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(
    FlutterDesktopEngineRef engine, const char* plugin_name) {
  try {
    if (!IsLiveEngine(engine)) {
      Misuse("FlutterDesktopEngineGetPluginRegistrar with " + Unusable(engine, "engine"));
      return nullptr;
    }
    if (plugin_name == nullptr) {
      Misuse("FlutterDesktopEngineGetPluginRegistrar with a null plugin name");
      return nullptr;
    }
    Records::Get().Append("FlutterDesktopEngineGetPluginRegistrar " +
                          Numbered("engine", engine->id) + " " + plugin_name);
    auto& registrar = engine->registrars[plugin_name];
    if (!registrar) {
      registrar = std::make_unique<FlutterDesktopPluginRegistrar>();
      registrar->engine = engine;
      registrar->pluginName = plugin_name;
    }
    return registrar.get();
  } catch (...) {
    return nullptr;
  }
}

extern "C" void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine) {
  try {
    if (!IsLiveEngine(engine)) {
      Misuse("FlutterDesktopEngineReloadSystemFonts with " + Unusable(engine, "engine"));
      return;
    }
    Records::Get().Append("FlutterDesktopEngineReloadSystemFonts " +
                          Numbered("engine", engine->id));
  } catch (...) {
  }
}

extern "C" void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine,
                                                         VoidCallback callback, void* user_data) {
  try {
    if (!IsLiveEngine(engine)) {
      Misuse("FlutterDesktopEngineSetNextFrameCallback with " + Unusable(engine, "engine"));
      return;
    }
    Records::Get().Append("FlutterDesktopEngineSetNextFrameCallback " +
                          Numbered("engine", engine->id));
    // A later call replaces an earlier one that has not run yet.
    engine->nextFrameCallback = callback;
    engine->nextFrameUserData = user_data;
  } catch (...) {
  }
}

extern "C" void StandinEngineRecordPluginRegistration(const char* function_name,
                                                      FlutterDesktopPluginRegistrarRef registrar) {
  try {
    std::string name = "(unknown)";
    if (registrar == nullptr) {
      name = "(null)";
    } else {
      const std::lock_guard lock(standin_engine::liveMutex);
      for (FlutterDesktopEngineRef engine : standin_engine::LiveEngines()) {
        for (const auto& [plugin, candidate] : engine->registrars) {
          if (candidate.get() == registrar) {
            name = plugin;
          }
        }
      }
    }
    Records::Get().Append(std::string(function_name != nullptr ? function_name : "(null)") +
                          " registrar " + name);
  } catch (...) {
  }
}

extern "C" StandinMessagingRef StandinEngineLatestMessaging(void) {
  try {
    const std::lock_guard lock(standin_engine::liveMutex);
    return standin_engine::latestEngine == nullptr ? nullptr
                                                   : standin_engine::latestEngine->messaging;
  } catch (...) {
    return nullptr;
  }
}
