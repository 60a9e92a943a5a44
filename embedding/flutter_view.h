// The engine's view: the child window the engine renders into. Owned by the view controller's
// handle; this object only names it.
#ifndef ORVANE_EMBEDDING_FLUTTER_VIEW_H_
#define ORVANE_EMBEDDING_FLUTTER_VIEW_H_

#include <windows.h>

#include "embedding/flutter_windows.h"

namespace flutter {

class FlutterView {
 public:
  explicit FlutterView(FlutterDesktopViewRef view_handle) : view(view_handle) {}
  virtual ~FlutterView() = default;

  FlutterView(const FlutterView&) = delete;
  FlutterView& operator=(const FlutterView&) = delete;

  // The engine's child window.
  HWND GetHWND() { return view == nullptr ? nullptr : FlutterDesktopViewGetHWND(view); }

 private:
  FlutterDesktopViewRef view;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_FLUTTER_VIEW_H_
