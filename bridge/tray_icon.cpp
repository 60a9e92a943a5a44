// The notification-area icon and its menu: members of FlutterWindow, kept here with the other
// services the window offers the application.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <memory>

#include "host/flutter_window.h"
#include "host/platform_seams.h"

platform_seams::Seam<platform_seams::NotifyIconFunction> platform_seams::shellNotifyIcon{
    &Shell_NotifyIconW};

namespace {

constexpr UINT kTrayIconId = 1001;
constexpr WORD kWaitingIconResource = 102;
constexpr WORD kConnectedIconResource = 103;

// Message, icon and tip: what the record carries between calls.
constexpr UINT kTrayIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
static_assert(kTrayIconFlags == 7);

constexpr wchar_t kWaitingTip[] = L"Orvane \u2014 \u041e\u0436\u0438\u0434\u0430\u043d\u0438\u0435";
constexpr wchar_t kConnectedTip[] =
    L"Orvane \u2014 \u041f\u043e\u0434\u043a\u043b\u044e\u0447\u0435\u043d\u043e";
constexpr wchar_t kBalloonTitle[] = L"OrvaneVPN";
constexpr wchar_t kConnectedBalloon[] =
    L"VPN \u043f\u043e\u0434\u043a\u043b\u044e\u0447\u0435\u043d";
constexpr wchar_t kDisconnectedBalloon[] = L"VPN \u043e\u0442\u043a\u043b\u044e\u0447\u0435\u043d";

constexpr UINT kShowCommand = 40001;
constexpr UINT kExitCommand = 40002;
constexpr UINT kToggleCommand = 40003;
constexpr wchar_t kShowText[] = L"\u041f\u043e\u043a\u0430\u0437\u0430\u0442\u044c Orvane";
constexpr wchar_t kConnectText[] =
    L"\u041f\u043e\u0434\u043a\u043b\u044e\u0447\u0438\u0442\u044c VPN";
constexpr wchar_t kDisconnectText[] = L"\u041e\u0442\u043a\u043b\u044e\u0447\u0438\u0442\u044c VPN";
constexpr wchar_t kExitText[] = L"\u0412\u044b\u0445\u043e\u0434";

static_assert(sizeof(NOTIFYICONDATAW) == 976 || sizeof(void*) != 8,
              "the full record, with guidItem and hBalloonIcon");

// Shared icons: the system keeps them for the process's life, so they are never destroyed.
HICON LoadStateIcon(bool connected) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr),
                 MAKEINTRESOURCEW(connected ? kConnectedIconResource : kWaitingIconResource),
                 IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

const wchar_t* StateTip(bool connected) {
  return connected ? kConnectedTip : kWaitingTip;
}

// A bounded copy that always ends in NUL, cutting what does not fit.
template <size_t N>
void CopyText(wchar_t (&target)[N], const wchar_t* text) {
  wcsncpy_s(target, N, text, _TRUNCATE);
}

class PopupMenu {
 public:
  PopupMenu() : menu_(CreatePopupMenu()) {}
  ~PopupMenu() {
    if (menu_ != nullptr) {
      DestroyMenu(menu_);
    }
  }
  PopupMenu(const PopupMenu&) = delete;
  PopupMenu& operator=(const PopupMenu&) = delete;
  HMENU get() const { return menu_; }

 private:
  HMENU menu_;
};

}  // namespace

void FlutterWindow::AddTrayIcon() {
  if (trayIconAdded) {
    return;
  }
  trayIconData.cbSize = sizeof(trayIconData);
  trayIconData.hWnd = GetHandle();
  trayIconData.uID = kTrayIconId;
  trayIconData.uFlags = kTrayIconFlags;
  trayIconData.uCallbackMessage = TrayCallbackMessage;
  trayIconData.hIcon = LoadStateIcon(vpnConnected);
  CopyText(trayIconData.szTip, StateTip(vpnConnected));
  trayIconAdded = platform_seams::shellNotifyIcon(NIM_ADD, &trayIconData) == TRUE;
  if (trayIconAdded) {
    // The callback events FlutterWindow handles are those of version 4.
    trayIconData.uVersion = NOTIFYICON_VERSION_4;
    platform_seams::shellNotifyIcon(NIM_SETVERSION, &trayIconData);
  }
}

void FlutterWindow::RemoveTrayIcon() {
  if (!trayIconAdded) {
    return;
  }
  platform_seams::shellNotifyIcon(NIM_DELETE, &trayIconData);
  trayIconAdded = false;
}

void FlutterWindow::RestoreTrayIconAfterShellRestart() {
  // Only a window that hosts the application shows an icon (a refused engine leaves none), and an
  // icon removed by an exit path (which stopped the core first) stays removed. A failed add
  // before any of that is retried here: the shell may simply not have been running yet.
  if (nativeChannel == nullptr || (!trayIconAdded && vpnCoreStopped)) {
    return;
  }
  // The new shell normally knows no icon of ours, and this delete fails harmlessly; but where the
  // announcement came while the icon was still shown, the add below would otherwise fail as a
  // duplicate and leave the icon marked absent.
  RemoveTrayIcon();
  AddTrayIcon();
}

void FlutterWindow::UpdateTrayConnectionState(bool connected) {
  const bool previous = vpnConnected;
  vpnConnected = connected;

  if (!trayIconAdded) {
    // An exit path stopped the core and took the icon away on purpose: a report that comes after
    // it (the application does not know the host is ending) must not bring the icon back, nor a
    // balloon with it. The state is kept all the same.
    if (vpnCoreStopped) {
      return;
    }
    AddTrayIcon();
  } else {
    // Refreshed even without a change: the application may repeat its state after the shell
    // lost track of the icon's picture.
    trayIconData.hIcon = LoadStateIcon(connected);
    trayIconData.uFlags = NIF_ICON | NIF_TIP;
    CopyText(trayIconData.szTip, StateTip(connected));
    platform_seams::shellNotifyIcon(NIM_MODIFY, &trayIconData);
    trayIconData.uFlags = kTrayIconFlags;
  }

  // Presence is read after the add above, so an icon that just appeared gets its balloon.
  if (!trayIconAdded || previous == connected) {
    return;
  }
  trayIconData.uFlags = NIF_INFO;
  trayIconData.dwInfoFlags = NIIF_INFO;
  CopyText(trayIconData.szInfoTitle, kBalloonTitle);
  CopyText(trayIconData.szInfo, connected ? kConnectedBalloon : kDisconnectedBalloon);
  platform_seams::shellNotifyIcon(NIM_MODIFY, &trayIconData);
  trayIconData.uFlags = kTrayIconFlags;
}

void FlutterWindow::ShowTrayMenu() {
  const PopupMenu menu;
  if (menu.get() == nullptr) {
    return;
  }
  AppendMenuW(menu.get(), MF_STRING, kShowCommand, kShowText);
  AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu.get(), MF_STRING, kToggleCommand, vpnConnected ? kDisconnectText : kConnectText);
  AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu.get(), MF_STRING, kExitCommand, kExitText);

  POINT cursor{};
  GetCursorPos(&cursor);
  const HWND window = GetHandle();
  // Without being the foreground window the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(window);
  const UINT command = static_cast<UINT>(TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON,
                                                        cursor.x, cursor.y, 0, window, nullptr));

  switch (command) {
    case kShowCommand:
      RestoreWindow();
      break;
    case kToggleCommand:
      // The application decides what a toggle means; the host sends no state and awaits nothing.
      if (nativeChannel != nullptr) {
        nativeChannel->Invoke("trayToggleVpn", nullptr);
      }
      break;
    case kExitCommand:
      quitRequested = true;
      StopVpnCore();
      RemoveTrayIcon();
      PostMessageW(window, WM_CLOSE, 0, 0);
      break;
    default:
      break;  // dismissed
  }
}
