// The engine: owns the engine library's handle until a view controller takes it over, and the
// messenger the host's channels run on.
#ifndef ORVANE_EMBEDDING_FLUTTER_ENGINE_H_
#define ORVANE_EMBEDDING_FLUTTER_ENGINE_H_

#include <functional>
#include <memory>
#include <string>

#include "embedding/binary_messenger.h"
#include "embedding/binary_messenger_impl.h"
#include "embedding/engine_project.h"
#include "embedding/flutter_windows.h"
#include "embedding/plugin_registry.h"

namespace flutter {

class FlutterViewController;

class FlutterEngine : public PluginRegistry {
 public:
  // Asks the engine library for an engine for `project`. When the library refuses, the object
  // has no engine and no messenger; it never passes a null engine to the library.
  explicit FlutterEngine(const EngineProject& project);
  // Destroys the engine handle if this object still owns it.
  ~FlutterEngine() override;

  FlutterEngine(const FlutterEngine&) = delete;
  FlutterEngine& operator=(const FlutterEngine&) = delete;

  FlutterDesktopPluginRegistrarRef GetPluginRegistrar(const std::string& plugin_name) override;

  void ReloadSystemFonts();

  // Runs `callback` once, on the UI thread, after the engine's next frame; replaces a callback
  // set earlier that has not run yet.
  void SetNextFrameCallback(std::function<void()> callback);

  // Gives up ownership of the handle, which stays usable here (registrars, fonts, next frame,
  // messenger) while its new owner keeps the engine alive.
  FlutterDesktopEngineRef ReleaseEngine();

  // The engine's messenger, owned by this object; null without an engine.
  BinaryMessenger* GetMessenger();

 private:
  friend class FlutterViewController;

  // The engine library's next-frame callback; `user_data` is this object.
  static void OnNextFrame(void* user_data) noexcept;

  // The view controller that took the handle over was refused, and the library ended the
  // engine with it: forget the handle and the messenger on it, so nothing uses them again.
  void ForgetEndedEngine();

  bool HasEngine() const { return engine != nullptr; }

  FlutterDesktopEngineRef engine = nullptr;
  std::unique_ptr<BinaryMessengerImpl> messenger;
  bool ownsEngine = true;
  std::function<void()> nextFrameCallback;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_FLUTTER_ENGINE_H_
