// The baseline of the start-up timing and of the idle measurement (bench/idle): the least a Win32
// program does to show a window of the host's size, and nothing else.
#include <windows.h>

namespace {

// The messages the loop has retrieved: the idle measurement asks with a sent message, which is
// not retrieved and does not count itself.
LRESULT retrieved = 0;
UINT retrievedQuery = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
  if (message == retrievedQuery && retrievedQuery != 0) {
    return retrieved;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  retrievedQuery = RegisterWindowMessageW(L"OrvaneIdleRetrievedMessages");
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &WindowProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = L"OrvaneTimingBaseline";
  if (RegisterClassW(&window_class) == 0) {
    return 1;
  }
  const HWND window =
      CreateWindowExW(0, window_class.lpszClassName, L"Baseline", WS_CAPTION | WS_SYSMENU, 10, 10,
                      920, 620, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    return 1;
  }
  ShowWindow(window, show_command);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    ++retrieved;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
