// The stand-in engine's engine, registrar, view controller and view objects behind the opaque
// handles of the engine's C interface. Internal to the stand-in flutter_windows.dll.
#ifndef ORVANE_STANDINS_ENGINE_ENGINE_VIEW_OBJECTS_H_
#define ORVANE_STANDINS_ENGINE_ENGINE_VIEW_OBJECTS_H_

#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "embedding/flutter_windows.h"
#include "standins/engine/messaging_control.h"

struct FlutterDesktopPluginRegistrar {
  FlutterDesktopEngine* engine = nullptr;
  std::string pluginName;
};

struct FlutterDesktopEngine {
  int id = 0;
  // The messaging side: the messenger the host gets, and what a test plays the application on.
  StandinMessagingRef messaging = nullptr;
  std::wstring assetsPath;
  std::string entrypoint;  // shown on the placeholder view
  // One registrar per plugin name, kept for the engine's life so that a name always maps to the
  // same handle.
  std::map<std::string, std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars;
  // Armed by FlutterDesktopEngineSetNextFrameCallback, disarmed when it runs.
  VoidCallback nextFrameCallback = nullptr;
  void* nextFrameUserData = nullptr;
  // Set once a view controller took the engine over; only that controller may end it then.
  FlutterDesktopViewControllerState* owner = nullptr;
};

struct FlutterDesktopView {
  int id = 0;
  HWND window = nullptr;  // the engine's child window; null once it was destroyed
  FlutterDesktopViewControllerState* controller = nullptr;
  // The last frame, drawn off screen whether or not the window is visible, and painted from.
  HDC frameDc = nullptr;
  HBITMAP frameBitmap = nullptr;
  HGDIOBJ frameDcOldBitmap = nullptr;
  SIZE frameSize{0, 0};
  bool framePending = false;
  int framesDrawn = 0;
};

struct FlutterDesktopViewControllerState {
  int id = 0;
  FlutterDesktopEngine* engine = nullptr;  // owned
  FlutterDesktopView view;
};

namespace standin_engine {

// Handles the stand-in gave out and has not ended. A handle that is not live is a misuse by the
// host, recorded instead of followed.
bool IsLiveEngine(FlutterDesktopEngineRef engine);
bool IsLiveController(FlutterDesktopViewControllerRef controller);
bool IsLiveView(FlutterDesktopViewRef view);

// The engine created last, while it lives; null otherwise. For the UI thread, which alone
// creates and ends engines.
FlutterDesktopEngine* LatestEngine();

// Asks for the view's next frame, drawn off screen on the UI thread; one at a time.
void ScheduleFrame(FlutterDesktopView& view);

// Ends an engine, whichever path ends it, and records "engine N destroyed".
void DestroyEngine(FlutterDesktopEngine* engine);

// Runs the engine's armed next-frame callback once, disarming it first so that the callback
// may arm it again.
void RunNextFrameCallback(FlutterDesktopEngine* engine);

// Registers a live view controller or forgets it.
void AddLiveController(FlutterDesktopViewControllerRef controller);
void RemoveLiveController(FlutterDesktopViewControllerRef controller);

}  // namespace standin_engine

#endif  // ORVANE_STANDINS_ENGINE_ENGINE_VIEW_OBJECTS_H_
