#include "embedding/flutter_view_controller.h"

#include "embedding/diagnostics.h"

namespace flutter {

FlutterViewController::FlutterViewController(int width, int height, const EngineProject& project)
    : engine(std::make_shared<FlutterEngine>(project)) {
  if (engine->HasEngine()) {
    // From here on the controller handle owns the engine and the library runs it.
    controller = FlutterDesktopViewControllerCreate(width, height, engine->ReleaseEngine());
    if (controller == nullptr) {
      // Refused after taking the engine over: the library has ended it, so the handle and the
      // messenger on it must not be used again (a registrar lookup now gets the diagnostic).
      engine->ForgetEndedEngine();
    }
  }
  if (controller == nullptr) {
    WriteDiagnosticLine("Failed to create view controller.");
    return;
  }
  view = std::make_unique<FlutterView>(FlutterDesktopViewControllerGetView(controller));
}

FlutterViewController::~FlutterViewController() {
  // Ends the view and the engine it took over; the engine object below then finds it does not
  // own the handle and does not end it a second time.
  if (controller != nullptr) {
    FlutterDesktopViewControllerDestroy(controller);
  }
  view.reset();
  engine.reset();
}

void FlutterViewController::ForceRedraw() {
  if (controller != nullptr) {
    FlutterDesktopViewControllerForceRedraw(controller);
  }
}

std::optional<LRESULT> FlutterViewController::HandleTopLevelWindowProc(HWND window, UINT message,
                                                                       WPARAM wparam,
                                                                       LPARAM lparam) {
  // A refused controller has no handle to offer messages to; the caller handles them itself.
  if (controller == nullptr) {
    return std::nullopt;
  }
  LRESULT result = 0;
  if (FlutterDesktopViewControllerHandleTopLevelWindowProc(controller, window, message, wparam,
                                                           lparam, &result)) {
    return result;
  }
  return std::nullopt;
}

}  // namespace flutter
