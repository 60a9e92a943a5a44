// The root of the engine's objects: creating it starts the engine and its view, destroying it
// ends both.
#ifndef ORVANE_EMBEDDING_FLUTTER_VIEW_CONTROLLER_H_
#define ORVANE_EMBEDDING_FLUTTER_VIEW_CONTROLLER_H_

#include <windows.h>

#include <memory>
#include <optional>

#include "embedding/engine_project.h"
#include "embedding/flutter_engine.h"
#include "embedding/flutter_view.h"
#include "embedding/flutter_windows.h"

namespace flutter {

class FlutterViewController {
 public:
  // `width` and `height` are the view's size in physical pixels. When the engine library refuses
  // the engine or the view controller, the object has no view (GetView is null) and its engine
  // no messenger.
  FlutterViewController(int width, int height, const EngineProject& project);
  virtual ~FlutterViewController();

  FlutterViewController(const FlutterViewController&) = delete;
  FlutterViewController& operator=(const FlutterViewController&) = delete;

  // Not owned by the caller.
  FlutterEngine* GetEngine() { return engine.get(); }
  // Null when the engine refused the view controller.
  FlutterView* GetView() { return view.get(); }

  void ForceRedraw();

  // Offers a top-level window message to the engine: the result to return from the window
  // procedure when the engine consumed it, nothing otherwise.
  std::optional<LRESULT> HandleTopLevelWindowProc(HWND window, UINT message, WPARAM wparam,
                                                  LPARAM lparam);

 private:
  FlutterDesktopViewControllerRef controller = nullptr;
  std::shared_ptr<FlutterEngine> engine;
  std::unique_ptr<FlutterView> view;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_FLUTTER_VIEW_CONTROLLER_H_
