// The stand-in engine's view side: a view controller that takes the engine over and shows a
// real child window. The window says plainly that it is a stand-in and not the application.
//
// Frames are drawn off screen, whether or not the window is visible (as the real engine renders
// before its window is shown), then presented by WM_PAINT. The next-frame callback runs on the
// UI thread after a frame has been drawn: the host shows its window only then, so tying frames
// to WM_PAINT, which a hidden window never gets, would keep that window hidden for ever.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <string>

#include "embedding/flutter_windows.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/engine_view_objects.h"
#include "standins/engine/engine_view_records.h"
#include "standins/engine/standin_app.h"

namespace standin_engine {
namespace {

constexpr wchar_t kViewClassName[] = L"OrvaneStandinEngineView";
// Private to the view's own class.
constexpr UINT kDrawFrameMessage = WM_USER + 1;
constexpr UINT_PTR kFirstFrameTimer = 0x4646;  // "FF"

// ORVANE_STANDIN_FIRST_FRAME_MS: how long a run wants the first frame held back, as a slow
// engine start would, so that a driver can see the host keep its window hidden meanwhile. 0 when
// unset.
UINT FirstFrameDelayMs() {
  wchar_t value[16] = {};
  const DWORD length = GetEnvironmentVariableW(L"ORVANE_STANDIN_FIRST_FRAME_MS", value, 16);
  if (length == 0 || length >= 16) {
    return 0;
  }
  const long delay = std::wcstol(value, nullptr, 10);
  return delay > 0 && delay <= 60000 ? static_cast<UINT>(delay) : 0;
}

constexpr COLORREF kBackground = RGB(38, 42, 46);
constexpr COLORREF kEdge = RGB(112, 122, 132);
constexpr COLORREF kHeading = RGB(236, 240, 243);
constexpr COLORREF kBody = RGB(190, 198, 205);

HINSTANCE ThisModule() {
  static const int anchor = 0;
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&anchor), &module);
  return module;
}

template <typename Handle>
class GdiObject {
 public:
  explicit GdiObject(Handle handle) : handle_(handle) {}
  ~GdiObject() {
    if (handle_ != nullptr) {
      DeleteObject(handle_);
    }
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  Handle get() const { return handle_; }

 private:
  Handle handle_;
};

HFONT MakeFont(int points, int weight, UINT dpi) {
  return CreateFontW(-MulDiv(points, static_cast<int>(dpi), 72), 0, 0, 0, weight, FALSE, FALSE,
                     FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
}

void FreeFrame(FlutterDesktopView& view) {
  if (view.frameDc != nullptr) {
    SelectObject(view.frameDc, view.frameDcOldBitmap);
    DeleteDC(view.frameDc);
  }
  if (view.frameBitmap != nullptr) {
    DeleteObject(view.frameBitmap);
  }
  view.frameDc = nullptr;
  view.frameBitmap = nullptr;
  view.frameDcOldBitmap = nullptr;
  view.frameSize = SIZE{0, 0};
}

// Draws at the given height from `top`, centred; returns where the next text may start.
int DrawCentred(HDC dc, const std::wstring& text, HFONT font, COLORREF colour, int width, int top,
                int gap) {
  const HGDIOBJ old_font = SelectObject(dc, font);
  SetTextColor(dc, colour);
  RECT box{width / 10, top, width - width / 10, top};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
            DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
  // DT_CALCRECT shrinks the box to the text; centre it again across the width.
  const int height = box.bottom - box.top;
  box.left = width / 10;
  box.right = width - width / 10;
  box.bottom = top + height;
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
            DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old_font);
  return top + height + gap;
}

void PaintPlaceholder(HDC dc, int width, int height, const FlutterDesktopView& view, UINT dpi) {
  const RECT all{0, 0, width, height};
  const GdiObject<HBRUSH> background(CreateSolidBrush(kBackground));
  FillRect(dc, &all, background.get());
  // A visible edge, so that anyone looking can see where the view ends.
  const GdiObject<HBRUSH> edge(CreateSolidBrush(kEdge));
  const int thickness = MulDiv(2, static_cast<int>(dpi), 96);
  const RECT sides[] = {{0, 0, width, thickness},
                        {0, height - thickness, width, height},
                        {0, 0, thickness, height},
                        {width - thickness, 0, width, height}};
  for (const RECT& side : sides) {
    FillRect(dc, &side, edge.get());
  }

  SetBkMode(dc, TRANSPARENT);
  const GdiObject<HFONT> heading(MakeFont(22, FW_SEMIBOLD, dpi));
  const GdiObject<HFONT> body(MakeFont(11, FW_NORMAL, dpi));
  const GdiObject<HFONT> small(MakeFont(9, FW_NORMAL, dpi));
  const int gap = MulDiv(12, static_cast<int>(dpi), 96);

  const FlutterDesktopEngine* engine = view.controller->engine;
  const std::wstring entrypoint =
      engine->entrypoint.empty() ? L"the default entry point" : L"a named entry point";
  int top = height / 3;
  top = DrawCentred(dc, L"Stand-in engine", heading.get(), kHeading, width, top, gap);
  top = DrawCentred(dc,
                    L"This is not the Orvane application. This view is drawn by a stand-in for "
                    L"flutter_windows.dll, which takes the Flutter engine's place so that the "
                    L"host can be built and tested without it.",
                    body.get(), kBody, width, top, gap);
  top = DrawCentred(
      dc, L"The application from \"" + engine->assetsPath + L"\" (" + entrypoint + L") is not run.",
      body.get(), kBody, width, top, gap * 2);
  DrawCentred(dc,
              L"View " + std::to_wstring(width) + L" \u00D7 " + std::to_wstring(height) +
                  L" pixels, frame " + std::to_wstring(view.framesDrawn + 1),
              small.get(), kBody, width, top, gap);
}

// Draws the next frame into the view's off-screen bitmap, sized to the window.
void DrawFrame(FlutterDesktopView& view) {
  RECT client{};
  GetClientRect(view.window, &client);
  const int width = client.right > 1 ? client.right : 1;
  const int height = client.bottom > 1 ? client.bottom : 1;
  if (view.frameDc == nullptr || view.frameSize.cx != width || view.frameSize.cy != height) {
    FreeFrame(view);
    const HDC screen = GetDC(view.window);
    view.frameDc = CreateCompatibleDC(screen);
    view.frameBitmap = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(view.window, screen);
    if (view.frameDc == nullptr || view.frameBitmap == nullptr) {
      FreeFrame(view);
      return;
    }
    view.frameDcOldBitmap = SelectObject(view.frameDc, view.frameBitmap);
    view.frameSize = SIZE{width, height};
  }
  const UINT dpi =
      FlutterDesktopGetDpiForMonitor(MonitorFromWindow(view.window, MONITOR_DEFAULTTONEAREST));
  if (!StandinAppPaint(view, view.frameDc, width, height, dpi)) {
    PaintPlaceholder(view.frameDc, width, height, view, dpi);
  }
}

void OnDrawFrame(FlutterDesktopView& view) {
  view.framePending = false;
  DrawFrame(view);
  InvalidateRect(view.window, nullptr, FALSE);
  ++view.framesDrawn;
  Records::Get().Append("frame " + std::to_string(view.framesDrawn) + " " +
                        Numbered("view", view.id));
  // Last: the callback may end the view controller, and this view with it.
  RunNextFrameCallback(view.controller->engine);
}

void OnPaint(FlutterDesktopView& view, HWND window) {
  PAINTSTRUCT paint{};
  const HDC dc = BeginPaint(window, &paint);
  RECT client{};
  GetClientRect(window, &client);
  if (view.frameDc != nullptr) {
    BitBlt(dc, 0, 0, view.frameSize.cx, view.frameSize.cy, view.frameDc, 0, 0, SRCCOPY);
  }
  // Whatever the last frame does not cover yet (the window grew; the next frame is on its way).
  const GdiObject<HBRUSH> background(CreateSolidBrush(kBackground));
  if (client.right > view.frameSize.cx) {
    const RECT right{view.frameSize.cx, 0, client.right, client.bottom};
    FillRect(dc, &right, background.get());
  }
  if (client.bottom > view.frameSize.cy) {
    const RECT below{0, view.frameSize.cy, client.right, client.bottom};
    FillRect(dc, &below, background.get());
  }
  EndPaint(window, &paint);
}

LRESULT CALLBACK ViewWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
  try {
    if (message == WM_NCCREATE) {
      const auto* create_struct = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create_struct->lpCreateParams));
      return DefWindowProcW(window, message, wparam, lparam);
    }
    auto* view = reinterpret_cast<FlutterDesktopView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (view != nullptr) {
      if (StandinAppHandleMessage(*view, message, wparam)) {
        return 0;
      }
      switch (message) {
        case kDrawFrameMessage:
          OnDrawFrame(*view);
          return 0;
        case WM_TIMER:
          if (wparam != kFirstFrameTimer) {
            break;
          }
          KillTimer(window, kFirstFrameTimer);
          // Still marked pending: no other frame was drawn meanwhile.
          PostMessageW(window, kDrawFrameMessage, 0, 0);
          return 0;
        case WM_SIZE:
        case WM_DPICHANGED_AFTERPARENT:
          ScheduleFrame(*view);
          return 0;
        case WM_ERASEBKGND:
          return 1;  // WM_PAINT covers everything
        case WM_PAINT:
          OnPaint(*view, window);
          return 0;
        case WM_NCDESTROY:
          // The host may destroy its window, and with it this child, before it ends the view
          // controller.
          StandinAppForget(*view);
          FreeFrame(*view);
          view->window = nullptr;
          SetWindowLongPtrW(window, GWLP_USERDATA, 0);
          break;
        default:
          break;
      }
    }
  } catch (...) {
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void RegisterWindowClasses() {
  static const bool registered = [] {
    WNDCLASSW view_class{};
    view_class.lpfnWndProc = ViewWindowProc;
    view_class.hInstance = ThisModule();
    view_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    view_class.lpszClassName = kViewClassName;
    RegisterClassW(&view_class);
    return true;
  }();
  (void)registered;
}

void DestroyController(FlutterDesktopViewControllerState* controller) {
  RemoveLiveController(controller);
  if (controller->view.window != nullptr) {
    DestroyWindow(controller->view.window);
  }
  FreeFrame(controller->view);
  FlutterDesktopEngine* engine = controller->engine;
  delete controller;
  if (engine != nullptr) {
    DestroyEngine(engine);
  }
}

}  // namespace

void ScheduleFrame(FlutterDesktopView& view) {
  if (view.window == nullptr || view.framePending) {
    return;
  }
  view.framePending = PostMessageW(view.window, kDrawFrameMessage, 0, 0) != 0;
}

}  // namespace standin_engine

using standin_engine::Numbered;
using standin_engine::Records;

extern "C" FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(
    int width, int height, FlutterDesktopEngineRef engine) {
  try {
    Records& records = Records::Get();
    if (!standin_engine::IsLiveEngine(engine)) {
      standin_engine::Misuse("FlutterDesktopViewControllerCreate with " +
                             standin_engine::Unusable(engine, "engine"));
      return nullptr;
    }
    if (engine->owner != nullptr) {
      standin_engine::Misuse("FlutterDesktopViewControllerCreate with " +
                             Numbered("engine", engine->id) + ", which " +
                             Numbered("view controller", engine->owner->id) + " owns");
      return nullptr;
    }
    const std::string call = "FlutterDesktopViewControllerCreate " + std::to_string(width) + "x" +
                             std::to_string(height) + " " + Numbered("engine", engine->id);

    // From here on the controller owns the engine, also when it is refused: then the engine
    // ends here, and the host must not use its handle again.
    auto controller = std::make_unique<FlutterDesktopViewControllerState>();
    controller->engine = engine;
    engine->owner = controller.get();
    auto refuse = [&](const char* reason) -> FlutterDesktopViewControllerRef {
      records.Append(call + " refused: " + reason);
      standin_engine::DestroyController(controller.release());
      return nullptr;
    };
    if (records.CurrentKnobs().failViewControllerCreate) {
      return refuse("told to fail");
    }
    if (width < 0 || height < 0) {
      return refuse("negative size");
    }

    standin_engine::RegisterWindowClasses();
    const HINSTANCE module = standin_engine::ThisModule();
    controller->view.controller = controller.get();
    controller->view.id = records.NextId();
    // A child of the message-only window until the host gives it a parent of its own: no
    // top-level window of the engine's (which Wine would back with an X window) ever exists.
    controller->view.window =
        CreateWindowExW(0, standin_engine::kViewClassName, L"Stand-in engine view",
                        WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, width, height, HWND_MESSAGE,
                        nullptr, module, &controller->view);
    if (controller->view.window == nullptr) {
      return refuse("no view window");
    }
    controller->id = records.NextId();
    standin_engine::AddLiveController(controller.get());
    standin_engine::StartStandinAppIfAsked(controller->view);
    records.Append(call + " " + Numbered("view controller", controller->id) + " " +
                   Numbered("view", controller->view.id));
    // The engine draws its first frame on its own once it runs; frames asked for before it are
    // that frame.
    if (const UINT delay = standin_engine::FirstFrameDelayMs();
        delay > 0 &&
        SetTimer(controller->view.window, standin_engine::kFirstFrameTimer, delay, nullptr) != 0) {
      controller->view.framePending = true;
    } else {
      standin_engine::ScheduleFrame(controller->view);
    }
    return controller.release();
  } catch (...) {
    return nullptr;
  }
}

extern "C" void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  try {
    if (!standin_engine::IsLiveController(controller)) {
      standin_engine::Misuse("FlutterDesktopViewControllerDestroy with " +
                             standin_engine::Unusable(controller, "view controller"));
      return;
    }
    Records::Get().Append("FlutterDesktopViewControllerDestroy " +
                          Numbered("view controller", controller->id));
    standin_engine::DestroyController(controller);
  } catch (...) {
  }
}

extern "C" FlutterDesktopViewRef FlutterDesktopViewControllerGetView(
    FlutterDesktopViewControllerRef controller) {
  try {
    if (!standin_engine::IsLiveController(controller)) {
      standin_engine::Misuse("FlutterDesktopViewControllerGetView with " +
                             standin_engine::Unusable(controller, "view controller"));
      return nullptr;
    }
    return &controller->view;
  } catch (...) {
    return nullptr;
  }
}

extern "C" void FlutterDesktopViewControllerForceRedraw(
    FlutterDesktopViewControllerRef controller) {
  try {
    if (!standin_engine::IsLiveController(controller)) {
      standin_engine::Misuse("FlutterDesktopViewControllerForceRedraw with " +
                             standin_engine::Unusable(controller, "view controller"));
      return;
    }
    Records::Get().Append("FlutterDesktopViewControllerForceRedraw " +
                          Numbered("view controller", controller->id));
    standin_engine::ScheduleFrame(controller->view);
  } catch (...) {
  }
}

extern "C" bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND hwnd, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result) {
  (void)hwnd;
  (void)wparam;
  (void)lparam;
  try {
    if (!standin_engine::IsLiveController(controller)) {
      standin_engine::Misuse("FlutterDesktopViewControllerHandleTopLevelWindowProc with " +
                             standin_engine::Unusable(controller, "view controller"));
      return false;
    }
    const auto consumed = Records::Get().OfferMessage(message);
    if (!consumed) {
      return false;
    }
    if (result != nullptr) {
      *result = *consumed;
    }
    return true;
  } catch (...) {
    return false;
  }
}

extern "C" HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) {
  try {
    if (!standin_engine::IsLiveView(view)) {
      standin_engine::Misuse("FlutterDesktopViewGetHWND with " +
                             standin_engine::Unusable(view, "view"));
      return nullptr;
    }
    return view->window;
  } catch (...) {
    return nullptr;
  }
}
