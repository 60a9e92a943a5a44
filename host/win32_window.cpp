#include "host/win32_window.h"

#include <dwmapi.h>

#include <limits>

#include "embedding/flutter_windows.h"
#include "host/platform_seams.h"

namespace {

// dwmapi.dll is not among the libraries Windows always maps from its system folder (the known
// DLLs): imported, it would be looked for beside orvane.exe first, and the host runs elevated. So
// it is bound on first use, from the system folder only. Without it the title bar keeps the
// system's colours, as it does where the attributes are unknown.
HRESULT WINAPI SystemDwmSetWindowAttribute(HWND window, DWORD attribute, LPCVOID value,
                                           DWORD value_size) noexcept {
  static const auto bound = []() noexcept -> decltype(&DwmSetWindowAttribute) {
    const HMODULE library = LoadLibraryExW(L"dwmapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Through void(*)() because a direct cast between unrelated function types draws a warning.
    return library == nullptr
               ? nullptr
               : reinterpret_cast<decltype(&DwmSetWindowAttribute)>(reinterpret_cast<void (*)()>(
                     GetProcAddress(library, "DwmSetWindowAttribute")));
  }();
  return bound == nullptr ? HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)
                          : bound(window, attribute, value, value_size);
}

}  // namespace

platform_seams::Seam<platform_seams::SetWindowAttributeFunction>
    platform_seams::dwmSetWindowAttribute{&SystemDwmSetWindowAttribute};

namespace {

constexpr WORD kAppIconResource = 101;

// Caption, system menu and minimise box: no sizing border and no maximise box, so the user
// cannot change the window's size; WS_VISIBLE is left out so the window starts hidden.
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static_assert(kWindowStyle == 0xCA0000);

constexpr double kBaseDpi = 96.0;

// Not every SDK's headers name these attributes yet.
constexpr DWORD kDwmUseImmersiveDarkMode = 20;
constexpr DWORD kDwmBorderColor = 34;
constexpr DWORD kDwmCaptionColor = 35;
constexpr DWORD kDwmTextColor = 36;
constexpr COLORREF kCaptionColor = RGB(23, 76, 55);
constexpr COLORREF kTextColor = RGB(236, 253, 245);
constexpr COLORREF kBorderColor = RGB(16, 54, 39);
static_assert(kCaptionColor == 0x00374C17 && kTextColor == 0x00F5FDEC &&
              kBorderColor == 0x00273610);

constexpr wchar_t kPersonalizeKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr wchar_t kAppsUseLightThemeValue[] = L"AppsUseLightTheme";

// The number of live Win32Window objects. The class stays registered while it is not zero.
int activeWindowCount = 0;

// Remembers whether the window class is registered. Created on first use and never freed, so it
// is still there for windows torn down during static destruction.
class WindowClassRegistrar {
 public:
  static WindowClassRegistrar& Get() {
    static WindowClassRegistrar* const instance = new WindowClassRegistrar();
    return *instance;
  }

  const wchar_t* GetWindowClass() {
    if (!classRegistered) {
      WNDCLASSW window_class{};
      window_class.style = CS_HREDRAW | CS_VREDRAW;
      window_class.lpfnWndProc = Win32Window::WndProc;
      window_class.cbClsExtra = 0;
      window_class.cbWndExtra = 0;
      window_class.hInstance = GetModuleHandleW(nullptr);
      window_class.hIcon = LoadIconW(window_class.hInstance, MAKEINTRESOURCEW(kAppIconResource));
      window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      window_class.hbrBackground = nullptr;
      window_class.lpszMenuName = nullptr;
      window_class.lpszClassName = Win32Window::kClassName;
      // A failure shows up as CreateWindowExW failing, which Create reports.
      RegisterClassW(&window_class);
      classRegistered = true;
    }
    return Win32Window::kClassName;
  }

  void UnregisterWindowClass() {
    UnregisterClassW(Win32Window::kClassName, nullptr);
    classRegistered = false;
  }

 private:
  WindowClassRegistrar() = default;
  bool classRegistered = false;
};

// A logical value at the monitor's scale, the fraction dropped (toward zero, also for
// coordinates left of or above the primary monitor). Clamped first: converting a double that
// does not fit into an int is undefined.
int Scale(int32_t value, double scale) {
  const double scaled = value * scale;
  if (scaled >= static_cast<double>(std::numeric_limits<int>::max())) {
    return std::numeric_limits<int>::max();
  }
  if (scaled <= static_cast<double>(std::numeric_limits<int>::min())) {
    return std::numeric_limits<int>::min();
  }
  return static_cast<int>(scaled);
}

double ScaleForMonitor(HMONITOR monitor) {
  return FlutterDesktopGetDpiForMonitor(monitor) / kBaseDpi;
}

// Posts the quit message when it goes out of scope, if asked to: on the normal path and when an
// exception unwinds through it alike.
class QuitMessageOnExit {
 public:
  explicit QuitMessageOnExit(bool post) : post_(post) {}
  ~QuitMessageOnExit() {
    if (post_) {
      PostQuitMessage(0);
    }
  }
  QuitMessageOnExit(const QuitMessageOnExit&) = delete;
  QuitMessageOnExit& operator=(const QuitMessageOnExit&) = delete;

 private:
  bool post_;
};

class LibraryHandle {
 public:
  explicit LibraryHandle(HMODULE module) : module_(module) {}
  ~LibraryHandle() {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

// Lets the system scale the caption and frame with the monitor's DPI, on the systems that have
// the call (Windows 10 1607 and later); elsewhere there is nothing to do.
void EnableNonClientDpiScalingWherePossible(HWND window) {
  const LibraryHandle user32(LoadLibraryA("User32.dll"));
  if (user32.get() == nullptr) {
    return;
  }
  using EnableNonClientDpiScalingFunction = BOOL(WINAPI*)(HWND);
  const FARPROC address = GetProcAddress(user32.get(), "EnableNonClientDpiScaling");
  if (address == nullptr) {
    return;
  }
  // Through void(*)() because a direct cast between unrelated function types draws a warning.
  const auto enable =
      reinterpret_cast<EnableNonClientDpiScalingFunction>(reinterpret_cast<void (*)()>(address));
  enable(window);
}

void SetAttribute(HWND window, DWORD attribute, const DWORD& value) {
  // No result is examined: a system without the attribute just keeps its own look.
  platform_seams::dwmSetWindowAttribute(window, attribute, &value, sizeof(value));
}

}  // namespace

Win32Window::Win32Window() {
  ++activeWindowCount;
}

Win32Window::~Win32Window() {
  // Counted down first, so that the Destroy below unregisters the class when this was the last
  // window object. The derived part is already gone: only the base OnDestroy runs here.
  --activeWindowCount;
  Destroy();
}

bool Win32Window::Create(const std::wstring& title, const Point& origin, const Size& size) {
  Destroy();

  const wchar_t* window_class = WindowClassRegistrar::Get().GetWindowClass();

  const POINT target{origin.x, origin.y};
  const double scale = ScaleForMonitor(MonitorFromPoint(target, MONITOR_DEFAULTTONEAREST));

  // The window procedure stores the handle in windowHandle during creation (WM_NCCREATE).
  const HWND window =
      CreateWindowExW(0, window_class, title.c_str(), kWindowStyle, Scale(origin.x, scale),
                      Scale(origin.y, scale), Scale(size.width, scale), Scale(size.height, scale),
                      nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (window == nullptr) {
    // Creation can fail after WM_NCCREATE stored the handle of a window that no longer exists.
    windowHandle = nullptr;
    return false;
  }

  UpdateTheme(window);
  return OnCreate();
}

void Win32Window::Destroy() {
  OnDestroy();

  if (windowHandle != nullptr) {
    DestroyWindow(windowHandle);
    windowHandle = nullptr;
    contentWindow = nullptr;  // a child, destroyed with its parent
  }
  if (activeWindowCount == 0) {
    WindowClassRegistrar::Get().UnregisterWindowClass();
  }
}

bool Win32Window::Show() {
  return ShowWindow(windowHandle, SW_SHOWNORMAL) != 0;
}

void Win32Window::SetContentWindow(HWND content) {
  contentWindow = content;
  SetParent(content, windowHandle);
  RECT frame{};
  GetClientRect(windowHandle, &frame);
  MoveWindow(content, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
             TRUE);
  SetFocus(contentWindow);
}

RECT Win32Window::GetClientArea() {
  RECT frame{};
  GetClientRect(windowHandle, &frame);
  return frame;
}

HWND Win32Window::GetHandle() {
  return windowHandle;
}

void Win32Window::SetQuitOnClose(bool quit_on_close) {
  quitOnClose = quit_on_close;
}

LRESULT CALLBACK Win32Window::WndProc(HWND window, UINT message, WPARAM wparam,
                                      LPARAM lparam) noexcept {
  try {
    if (message == WM_NCCREATE) {
      const auto* create_struct = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      auto* self = static_cast<Win32Window*>(create_struct->lpCreateParams);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      EnableNonClientDpiScalingWherePossible(window);
      // A window of this class made by anyone but Create has no object behind it.
      if (self != nullptr) {
        self->windowHandle = window;
      }
      return DefWindowProcW(window, message, wparam, lparam);
    }

    // Messages that arrive before WM_NCCREATE (WM_GETMINMAXINFO among them) find no object.
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr) {
      return self->HandleMessage(window, message, wparam, lparam);
    }
  } catch (...) {
    // Nothing may unwind into the system's message dispatch: the message gets the default
    // handling instead.
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT Win32Window::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY: {
      // Cleared before Destroy so that Destroy does not destroy the window a second time; the
      // content is a child and goes with this window.
      windowHandle = nullptr;
      contentWindow = nullptr;
      // Whatever OnDestroy does: were the quit message lost, the message loop, and with it the
      // process, would run on without a window.
      const QuitMessageOnExit quit(quitOnClose);
      Destroy();
      return 0;
    }

    case WM_PARENTNOTIFY:
      // The content can be destroyed before this window is (the engine's view goes with the
      // view controller); its handle must not be used afterwards, nor meet a later window's.
      if (LOWORD(wparam) == WM_DESTROY && reinterpret_cast<HWND>(lparam) == contentWindow) {
        contentWindow = nullptr;
      }
      return DefWindowProcW(window, message, wparam, lparam);

    case WM_SIZE: {
      const RECT frame = GetClientArea();
      if (contentWindow != nullptr) {
        MoveWindow(contentWindow, frame.left, frame.top, frame.right - frame.left,
                   frame.bottom - frame.top, TRUE);
      }
      return 0;
    }

    case WM_ACTIVATE:
      if (contentWindow != nullptr) {
        SetFocus(contentWindow);
      }
      return 0;

    case WM_GETMINMAXINFO: {
      // Minimum and maximum tracking sizes are equal, so the window cannot be resized; they
      // follow the scale of the monitor the window is on now.
      const double scale = ScaleForMonitor(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
      const POINT pinned{Scale(kWindowLogicalSize.width, scale),
                         Scale(kWindowLogicalSize.height, scale)};
      auto* limits = reinterpret_cast<MINMAXINFO*>(lparam);
      limits->ptMinTrackSize = pinned;
      limits->ptMaxTrackSize = pinned;
      return 0;
    }

    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }

    case WM_DWMCOLORIZATIONCOLORCHANGED:
      UpdateTheme(window);
      return 0;

    default:
      // The procedure's own argument: windowHandle is already null from WM_DESTROY on, and the
      // system still needs WM_NCDESTROY and whatever OnDestroy sends to reach this window.
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

bool Win32Window::OnCreate() {
  return true;
}

void Win32Window::OnDestroy() {}

void Win32Window::UpdateTheme(HWND window) {
  DWORD apps_use_light_theme = 0;
  DWORD value_size = sizeof(apps_use_light_theme);
  const LSTATUS status =
      RegGetValueW(HKEY_CURRENT_USER, kPersonalizeKey, kAppsUseLightThemeValue, RRF_RT_REG_DWORD,
                   nullptr, &apps_use_light_theme, &value_size);
  // Without the value the user never chose a theme: the title bar keeps the system's mode.
  if (status == ERROR_SUCCESS) {
    const DWORD dark_mode = apps_use_light_theme == 0 ? TRUE : FALSE;
    SetAttribute(window, kDwmUseImmersiveDarkMode, dark_mode);
  }
  SetAttribute(window, kDwmCaptionColor, kCaptionColor);
  SetAttribute(window, kDwmTextColor, kTextColor);
  SetAttribute(window, kDwmBorderColor, kBorderColor);
}
