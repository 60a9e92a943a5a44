#include "embedding/flutter_engine.h"

#include <utility>
#include <vector>

#include "embedding/diagnostics.h"

namespace flutter {

FlutterEngine::FlutterEngine(const EngineProject& project) {
  // The argument array and the strings it points to need to live only during the create call.
  std::vector<const char*> arguments;
  arguments.reserve(project.entrypointArguments.size());
  for (const std::string& argument : project.entrypointArguments) {
    arguments.push_back(argument.c_str());
  }

  FlutterDesktopEngineProperties properties{};
  properties.assets_path = project.assetsPath.c_str();
  properties.icu_data_path = project.icuDataPath.c_str();
  properties.aot_library_path = project.aotLibraryPath.c_str();
  // The default entry function is asked for with an empty string, never with null.
  properties.dart_entrypoint = project.entrypoint.c_str();
  properties.dart_entrypoint_argc = static_cast<int>(arguments.size());
  properties.dart_entrypoint_argv = arguments.empty() ? nullptr : arguments.data();
  properties.gpu_preference = static_cast<FlutterDesktopGpuPreference>(project.gpuPreference);
  properties.ui_thread_policy = static_cast<FlutterDesktopUIThreadPolicy>(project.uiThreadPolicy);

  engine = FlutterDesktopEngineCreate(&properties);
  if (engine != nullptr) {
    messenger = std::make_unique<BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine));
  }
}

FlutterEngine::~FlutterEngine() {
  if (engine != nullptr && ownsEngine) {
    FlutterDesktopEngineDestroy(engine);
  }
  engine = nullptr;
  // The members go next, in reverse order: nextFrameCallback, then messenger.
}

FlutterDesktopPluginRegistrarRef FlutterEngine::GetPluginRegistrar(const std::string& plugin_name) {
  if (engine == nullptr) {
    WriteDiagnosticLine(
        "Cannot get plugin registrar on an engine that isn't running; call Run first.");
    return nullptr;
  }
  return FlutterDesktopEngineGetPluginRegistrar(engine, plugin_name.c_str());
}

void FlutterEngine::ReloadSystemFonts() {
  if (engine != nullptr) {
    FlutterDesktopEngineReloadSystemFonts(engine);
  }
}

void FlutterEngine::SetNextFrameCallback(std::function<void()> callback) {
  nextFrameCallback = std::move(callback);
  if (engine != nullptr) {
    FlutterDesktopEngineSetNextFrameCallback(engine, &FlutterEngine::OnNextFrame, this);
  }
}

FlutterDesktopEngineRef FlutterEngine::ReleaseEngine() {
  ownsEngine = false;
  return engine;
}

BinaryMessenger* FlutterEngine::GetMessenger() {
  return messenger.get();
}

void FlutterEngine::OnNextFrame(void* user_data) noexcept {
  auto* self = static_cast<FlutterEngine*>(user_data);
  try {
    // Moved out before it runs: the callable may arm the next frame with a new callable, which
    // must neither destroy the one still running nor be cleared when it returns.
    std::function<void()> callback = std::move(self->nextFrameCallback);
    self->nextFrameCallback = nullptr;
    if (callback) {
      callback();
    }
  } catch (...) {
    // Nothing may unwind into the engine library.
  }
}

void FlutterEngine::ForgetEndedEngine() {
  engine = nullptr;
  messenger.reset();
  nextFrameCallback = nullptr;
}

}  // namespace flutter
