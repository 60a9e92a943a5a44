#include "host/flutter_window.h"

#include <optional>
#include <utility>

#include "bridge/native_channel_handler.h"
#include "embedding/plugin_registration.h"
#include "embedding/standard_method_codec.h"
#include "host/registered_messages.h"

namespace {

constexpr char kNativeChannelName[] = "vpn/native";

// Whether `message` is the registered message `id`. An id of 0 is a registration that failed,
// not WM_NULL: nothing matches it.
bool IsRegisteredMessage(UINT message, UINT id) {
  return id != 0 && message == id;
}

// Lets `id` through to the window from less privileged processes; nothing for an id of 0, which
// would let every WM_NULL through instead.
void AllowFromLowerRights(HWND window, UINT id) {
  if (id != 0) {
    ChangeWindowMessageFilterEx(window, id, MSGFLT_ALLOW, nullptr);
  }
}

}  // namespace

FlutterWindow::FlutterWindow(const EngineProject& engine_project) : project(engine_project) {}

FlutterWindow::FlutterWindow(const EngineProject& engine_project, FilteringPlatform& platform)
    : project(engine_project), killSwitch(platform) {}

FlutterWindow::~FlutterWindow() {
  // The window may still exist here: the loop ended on a quit that no WM_DESTROY of ours posted,
  // or Create threw after the engine started, or the engine refused to start. Destroyed now,
  // while every member is in place, OnDestroy runs its order in full (core stopped if this host
  // ran, icon removed, channel and engine released). Left to the members' destructors, the
  // engine would take its view down with this object half gone, and the messages that sends
  // would reach a controller inside its own destructor.
  if (GetHandle() != nullptr) {
    // Outside any window procedure's catch-all, in a destructor that must not throw: whatever
    // failed is given up, and the members still go.
    try {
      Destroy();
    } catch (...) {
    }
  }
}

bool FlutterWindow::OnCreate() {
  if (!Win32Window::OnCreate()) {
    return false;
  }

  const RECT frame = GetClientArea();
  // The new controller is in place before an earlier one goes.
  auto controller = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, project);
  std::swap(viewController, controller);
  controller.reset();
  if (viewController->GetEngine() == nullptr || viewController->GetView() == nullptr) {
    return false;
  }

  flutter::FlutterEngine* engine = viewController->GetEngine();
  RegisterGeneratedPlugins(engine);

  nativeChannel = std::make_unique<flutter::MethodCallChannel<flutter::EncodableValue>>(
      engine->GetMessenger(), kNativeChannelName, &flutter::StandardMethodCodec::SharedInstance());
  nativeChannel->SetCallHandler(
      [this](const flutter::MethodCall<flutter::EncodableValue>& call,
             std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result) {
        NativeChannelHandler(call, std::move(result), this);
      });

  SetContentWindow(viewController->GetView()->GetHWND());

  // The host runs elevated, and the system drops messages from less privileged processes to its
  // windows: without this, neither a second start without administrator rights (which asks this
  // instance to show itself) nor the shell's announcement of a new taskbar would ever arrive.
  AllowFromLowerRights(GetHandle(), RestoreWindowMessage());
  AllowFromLowerRights(GetHandle(), TaskbarCreatedMessage());

  // Added after the view is the content and before the first frame is awaited, so the icon is
  // there by the time the window first shows.
  AddTrayIcon();

  // Created hidden; shown once the application has drawn something, so no empty frame flashes.
  engine->SetNextFrameCallback([this]() { Show(); });
  viewController->ForceRedraw();
  hostRunning = true;
  return true;
}

void FlutterWindow::OnDestroy() {
  // Only the end of a host that ran is an exit path. Create runs Destroy before any window
  // exists, and a start the engine refused still has its window and a view controller without
  // an engine: neither ever ran the application, so no core or kill switch of theirs exists
  // (a sing-box.exe running then is somebody else's), and the once-only shutdown stays due.
  if (std::exchange(hostRunning, false)) {
    StopVpnCore();
  }
  RemoveTrayIcon();
  // Unregistered while the engine still runs, so no call can reach the handler, which holds
  // `this`, once the window it serves is gone.
  if (nativeChannel != nullptr) {
    nativeChannel->SetCallHandler(nullptr);
  }
  nativeChannel = nullptr;
  // Destroying the controller ends the engine with it.
  viewController = nullptr;
  Win32Window::OnDestroy();
}

LRESULT FlutterWindow::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // Never offered to the engine: it is ours alone.
  if (IsRegisteredMessage(message, RestoreWindowMessage())) {
    RestoreWindow();
    return 0;
  }

  // Broadcast by the shell after explorer restarted or crashed: the notification area then holds
  // none of the icons added before.
  if (IsRegisteredMessage(message, TaskbarCreatedMessage())) {
    RestoreTrayIconAfterShellRestart();
    // Not consumed: the engine and the default handling may want to know too.
  }

  if (viewController != nullptr) {
    const std::optional<LRESULT> result =
        viewController->HandleTopLevelWindowProc(window, message, wparam, lparam);
    if (result.has_value()) {
      return *result;
    }
  }

  switch (message) {
    case WM_CLOSE:
      if (quitRequested) {
        break;  // the default handling destroys the window
      }
      // Closing only hides: the VPN and its kill switch keep running behind the tray icon.
      AddTrayIcon();
      ShowWindow(window, SW_HIDE);
      return 0;

    case WM_QUERYENDSESSION:
      StopVpnCore();
      quitRequested = true;
      return TRUE;

    case WM_ENDSESSION:
      if (wparam != 0) {
        StopVpnCore();
        RemoveTrayIcon();
      }
      return 0;

    case WM_FONTCHANGE:
      if (viewController != nullptr && viewController->GetEngine() != nullptr) {
        viewController->GetEngine()->ReloadSystemFonts();
      }
      break;

    case TrayCallbackMessage:
      switch (LOWORD(lparam)) {
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
          ShowTrayMenu();
          return 0;
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
        case NIN_SELECT:
        case NIN_KEYSELECT:
          RestoreWindow();
          return 0;
        default:
          break;
      }
      break;

    default:
      break;
  }
  return Win32Window::HandleMessage(window, message, wparam, lparam);
}

void FlutterWindow::RestoreWindow() {
  const HWND window = GetHandle();
  ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
  BringWindowToTop(window);
  SetForegroundWindow(window);
}
