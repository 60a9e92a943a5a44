// The application's one top-level window: hosts the engine's view, serves the channel
// "vpn/native", owns the tray icon and the kill switch, hides to the tray on close and stops the
// VPN core once when the application ends.
#ifndef ORVANE_HOST_FLUTTER_WINDOW_H_
#define ORVANE_HOST_FLUTTER_WINDOW_H_

#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "embedding/encodable_value.h"
#include "embedding/engine_project.h"
#include "embedding/flutter_view_controller.h"
#include "embedding/method_call_channel.h"
#include "host/win32_window.h"
#include "killswitch/filtering_platform.h"
#include "killswitch/kill_switch.h"

// The message the shell sends the window for the tray icon's events: the icon is given it, and
// the window's handler answers it. In the application's own range, which no system message uses.
constexpr UINT TrayCallbackMessage = WM_APP + 1;

class FlutterWindow : public Win32Window {
 public:
  // The kill switch is bound to the real filtering platform.
  explicit FlutterWindow(const EngineProject& project);
  // The kill switch is bound to `platform`, which must outlive the window (tests: the model).
  FlutterWindow(const EngineProject& project, FilteringPlatform& platform);
  ~FlutterWindow() override;

  // Shows the window (restored if minimised), on top and in the foreground.
  void RestoreWindow();

  // The tray icon and menu (bridge/tray_icon.cpp).
  void AddTrayIcon();
  void RemoveTrayIcon();
  void UpdateTrayConnectionState(bool connected);
  void ShowTrayMenu();

  // Removes the kill switch and ends the VPN core, at most once per process
  // (bridge/vpn_core_shutdown.cpp). Never throws: every caller is an exit path whose remaining
  // steps must still run.
  void StopVpnCore() noexcept;

  // The kill switch the channel methods drive.
  KillSwitch& GetKillSwitch() { return killSwitch; }

 protected:
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;
  bool OnCreate() override;
  void OnDestroy() override;

 private:
  // The shell came back without our icon: adds it again in the current state, unless the icon
  // was taken away on purpose because the application is ending.
  void RestoreTrayIconAfterShellRestart();

  EngineProject project;
  std::unique_ptr<flutter::FlutterViewController> viewController;
  std::unique_ptr<flutter::MethodCallChannel<flutter::EncodableValue>> nativeChannel;
  NOTIFYICONDATAW trayIconData{};
  bool trayIconAdded = false;
  bool vpnConnected = false;
  bool quitRequested = false;
  bool vpnCoreStopped = false;
  // OnCreate completed for the window there is now: the application ran, and its end stops the
  // core.
  bool hostRunning = false;
  KillSwitch killSwitch;
};

#endif  // ORVANE_HOST_FLUTTER_WINDOW_H_
