// The base of the application's top-level window: a fixed-size window of the host's own class,
// scaled for the monitor it opens on, with one child window (the engine's view) filling its
// client area and a title bar in the application's colours.
#ifndef ORVANE_HOST_WIN32_WINDOW_H_
#define ORVANE_HOST_WIN32_WINDOW_H_

#include <windows.h>

#include <cstdint>
#include <string>

class Win32Window {
 public:
  // Logical units (96 DPI); Create scales them for the monitor.
  struct Point {
    constexpr Point(int32_t x_value, int32_t y_value) : x(x_value), y(y_value) {}
    int32_t x;
    int32_t y;
  };
  struct Size {
    constexpr Size(int32_t width_value, int32_t height_value)
        : width(width_value), height(height_value) {}
    int32_t width;
    int32_t height;
  };

  // The class every window of this kind is made of. A second start finds the running instance's
  // window by it, so it never changes between releases.
  static constexpr wchar_t kClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";

  Win32Window();
  virtual ~Win32Window();

  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Creates the window hidden; a window this object made earlier is torn down first. True only
  // when the window exists and OnCreate succeeded.
  [[nodiscard]] bool Create(const std::wstring& title, const Point& origin, const Size& size);

  // Tears the window down if there is one. OnDestroy runs in any case.
  void Destroy();

  // Shows the window. The result is ShowWindow's: true when the window was visible already.
  bool Show();

  // Makes an existing window the child that fills the client area.
  void SetContentWindow(HWND content);

  RECT GetClientArea();
  HWND GetHandle();
  void SetQuitOnClose(bool quit_on_close);

  // The class's window procedure: routes every message to the object's HandleMessage.
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;

  // Applies the user's dark-mode choice and the title-bar colours to `window`.
  static void UpdateTheme(HWND window);

 protected:
  // Runs for every message after WM_NCCREATE. Derived classes pass what they do not handle on to
  // this base version.
  virtual LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // Runs at the end of Create, with the window made; false makes Create fail.
  virtual bool OnCreate();

  // Runs first in every Destroy, also when there is no window yet (Create starts with Destroy).
  virtual void OnDestroy();

 private:
  bool quitOnClose = false;
  HWND windowHandle = nullptr;
  HWND contentWindow = nullptr;
};

// The host window's one size, in logical units. The start-up creates the window at it, and the
// window is pinned to it at every scale, so the user cannot resize it.
inline constexpr Win32Window::Size kWindowLogicalSize{920, 620};

#endif  // ORVANE_HOST_WIN32_WINDOW_H_
