// The top-level window under Wine: scaling, fixed size, theme, life cycle and class registration.
#include "host/win32_window.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/platform_seams.h"
#include "standins/engine/engine_view_control.h"

namespace {

constexpr wchar_t kClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";
constexpr DWORD kStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT kThrowingMessage = WM_APP + 17;

// ---- Recorder bound in place of DwmSetWindowAttribute --------------------------------------
struct AttributeCall {
  HWND window;
  DWORD attribute;
  DWORD value;
};
std::vector<AttributeCall> attributeCalls;

HRESULT WINAPI RecordAttribute(HWND window, DWORD attribute, LPCVOID value, DWORD value_size) {
  DWORD copy = 0xDEADBEEF;
  if (value_size == sizeof(copy)) {
    copy = *static_cast<const DWORD*>(value);
  }
  attributeCalls.push_back({window, attribute, copy});
  return S_OK;
}

// ---- The user's apps theme in the registry (HKCU of the test prefix) ---------------------
constexpr wchar_t kPersonalizeKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr wchar_t kThemeValue[] = L"AppsUseLightTheme";

void SetTheme(std::optional<DWORD> apps_use_light_theme) {
  if (apps_use_light_theme) {
    const DWORD value = *apps_use_light_theme;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kPersonalizeKey, kThemeValue, REG_DWORD, &value,
                              sizeof(value)),
              ERROR_SUCCESS);
  } else {
    const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kPersonalizeKey, kThemeValue);
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
  }
}

// A window that records what the base class asks of it and can be told to fail.
class ProbeWindow : public Win32Window {
 public:
  std::vector<std::string> events;
  bool createResult = true;
  bool failWmCreate = false;
  // Once, in the next OnDestroy: ask this window for its title, then throw.
  HWND askTitleOnDestroy = nullptr;
  std::wstring titleOnDestroy;
  bool throwOnDestroy = false;

 protected:
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override {
    if (message == WM_CREATE && failWmCreate) {
      return -1;
    }
    if (message == kThrowingMessage) {
      throw std::runtime_error("must not reach the system's message dispatch");
    }
    return Win32Window::HandleMessage(window, message, wparam, lparam);
  }
  bool OnCreate() override {
    events.push_back("create");
    return createResult;
  }
  void OnDestroy() override {
    events.push_back("destroy");
    if (askTitleOnDestroy != nullptr) {
      wchar_t title[32] = {};
      SendMessageW(std::exchange(askTitleOnDestroy, nullptr), WM_GETTEXT, 32,
                   reinterpret_cast<LPARAM>(title));
      titleOnDestroy = title;
    }
    if (std::exchange(throwOnDestroy, false)) {
      throw std::runtime_error("OnDestroy failed");
    }
  }
};

RECT WindowRect(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return rect;
}

bool ClassRegistered() {
  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(GetModuleHandleW(nullptr), kClassName, &info) != 0;
}

bool QuitPosted() {
  MSG message{};
  return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

// A plain child window, parked under a hidden window of its own until it is made content.
class ContentWindow {
 public:
  ContentWindow() {
    parking_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                               nullptr);
    child_ = CreateWindowExW(0, L"STATIC", L"content", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10,
                             parking_, nullptr, nullptr, nullptr);
  }
  ~ContentWindow() {
    if (IsWindow(child_)) {
      DestroyWindow(child_);
    }
    DestroyWindow(parking_);
  }
  HWND get() const { return child_; }

 private:
  HWND parking_ = nullptr;
  HWND child_ = nullptr;
};

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinEngineReset();
    attributeCalls.clear();
  }
  void TearDown() override { StandinEngineReset(); }

 private:
  const platform_seams::ScopedBinding<platform_seams::SetWindowAttributeFunction>
      attributeRecorder_{platform_seams::dwmSetWindowAttribute, &RecordAttribute};
};

// ---- Scaling ----------------------------------------------------------------------------

struct ScaleCase {
  UINT dpi;
  RECT expected;  // left, top, right, bottom
};

class Win32WindowScaleTest : public Win32WindowTest,
                             public ::testing::WithParamInterface<ScaleCase> {};

TEST_P(Win32WindowScaleTest, OriginAndSizeAreScaledByTruncation) {
  const ScaleCase& scale = GetParam();
  StandinEngineSetMonitorDpi(scale.dpi);
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));

  const RECT rect = WindowRect(window.GetHandle());
  EXPECT_EQ(rect.left, scale.expected.left);
  EXPECT_EQ(rect.top, scale.expected.top);
  EXPECT_EQ(rect.right, scale.expected.right);
  EXPECT_EQ(rect.bottom, scale.expected.bottom);

  // The client area is what the system's frame leaves of that outer rectangle.
  RECT frame{0, 0, 0, 0};
  ASSERT_TRUE(AdjustWindowRectEx(&frame, kStyle, FALSE, 0));
  const RECT client = window.GetClientArea();
  EXPECT_EQ(client.left, 0);
  EXPECT_EQ(client.top, 0);
  EXPECT_EQ(client.right, (rect.right - rect.left) - (frame.right - frame.left));
  EXPECT_EQ(client.bottom, (rect.bottom - rect.top) - (frame.bottom - frame.top));
}

INSTANTIATE_TEST_SUITE_P(
    Dpi, Win32WindowScaleTest,
    ::testing::Values(ScaleCase{96, {10, 10, 10 + 920, 10 + 620}},
                      ScaleCase{120, {12, 12, 12 + 1150, 12 + 775}},
                      ScaleCase{144, {15, 15, 15 + 1380, 15 + 930}},
                      // 109/96 = 1.1354...: 11.35, 1044.58 and 703.96 all lose their fraction.
                      ScaleCase{109, {11, 11, 11 + 1044, 11 + 703}}),
    [](const ::testing::TestParamInfo<ScaleCase>& param_info) {
      return "Dpi" + std::to_string(param_info.param.dpi);
    });

TEST_F(Win32WindowTest, NegativeOriginIsTruncatedTowardZero) {
  StandinEngineSetMonitorDpi(144);
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {-7, -3}, {920, 620}));
  const RECT rect = WindowRect(window.GetHandle());
  EXPECT_EQ(rect.left, -10);  // -10.5
  EXPECT_EQ(rect.top, -4);    // -4.5
}

// ---- Fixed size -------------------------------------------------------------------------

TEST_F(Win32WindowTest, WindowIsHiddenWithoutSizingBorderOrMaximiseBox) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  const HWND handle = window.GetHandle();

  const auto style = static_cast<DWORD>(GetWindowLongPtrW(handle, GWL_STYLE));
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
            DWORD{WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX});
  EXPECT_EQ(style & WS_THICKFRAME, 0u);
  EXPECT_EQ(style & WS_MAXIMIZEBOX, 0u);
  EXPECT_EQ(style & WS_CHILD, 0u);
  EXPECT_FALSE(IsWindowVisible(handle));
  EXPECT_EQ(GetParent(handle), nullptr);
  EXPECT_EQ(GetMenu(handle), nullptr);

  wchar_t title[32] = {};
  GetWindowTextW(handle, title, 32);
  EXPECT_STREQ(title, L"Orvane");
  wchar_t class_name[64] = {};
  GetClassNameW(handle, class_name, 64);
  EXPECT_STREQ(class_name, kClassName);

  window.Show();
  EXPECT_TRUE(IsWindowVisible(handle));
}

TEST_F(Win32WindowTest, TrackingSizesAreEqualAndFollowTheMonitorScale) {
  StandinEngineSetMonitorDpi(120);
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));

  MINMAXINFO limits{};
  limits.ptMaxSize = POINT{1111, 2222};
  limits.ptMaxPosition = POINT{-3, -4};
  SendMessageW(window.GetHandle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  EXPECT_EQ(limits.ptMinTrackSize.x, 1150);
  EXPECT_EQ(limits.ptMinTrackSize.y, 775);
  EXPECT_EQ(limits.ptMaxTrackSize.x, 1150);
  EXPECT_EQ(limits.ptMaxTrackSize.y, 775);
  // The maximised placement stays as the system filled it.
  EXPECT_EQ(limits.ptMaxSize.x, 1111);
  EXPECT_EQ(limits.ptMaxSize.y, 2222);
  EXPECT_EQ(limits.ptMaxPosition.x, -3);
  EXPECT_EQ(limits.ptMaxPosition.y, -4);

  // After a move to a monitor of another scale the pinned size follows it.
  StandinEngineSetMonitorDpi(109);
  limits = MINMAXINFO{};
  SendMessageW(window.GetHandle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  EXPECT_EQ(limits.ptMinTrackSize.x, 1044);
  EXPECT_EQ(limits.ptMinTrackSize.y, 703);
  EXPECT_EQ(limits.ptMaxTrackSize.x, 1044);
  EXPECT_EQ(limits.ptMaxTrackSize.y, 703);
}

TEST_F(Win32WindowTest, ResizingIsHeldToTheFixedSize) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  const HWND handle = window.GetHandle();

  MoveWindow(handle, 20, 30, 1500, 1000, TRUE);
  RECT rect = WindowRect(handle);
  EXPECT_EQ(rect.left, 20);
  EXPECT_EQ(rect.right - rect.left, 920);
  EXPECT_EQ(rect.bottom - rect.top, 620);

  MoveWindow(handle, 20, 30, 300, 200, TRUE);
  rect = WindowRect(handle);
  EXPECT_EQ(rect.right - rect.left, 920);
  EXPECT_EQ(rect.bottom - rect.top, 620);
}

TEST_F(Win32WindowTest, DpiChangeMovesToTheSuggestedRectangleAndContentFollows) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  ContentWindow content;
  window.SetContentWindow(content.get());

  // The window now sits on a monitor of 144 DPI (Wine never sends this message itself).
  StandinEngineSetMonitorDpi(144);
  RECT suggested{40, 50, 40 + 1380, 50 + 930};
  EXPECT_EQ(SendMessageW(window.GetHandle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                         reinterpret_cast<LPARAM>(&suggested)),
            0);
  const RECT rect = WindowRect(window.GetHandle());
  EXPECT_EQ(rect.left, 40);
  EXPECT_EQ(rect.top, 50);
  EXPECT_EQ(rect.right, 40 + 1380);
  EXPECT_EQ(rect.bottom, 50 + 930);

  // WM_SIZE kept the content filling the new client area.
  const RECT client = window.GetClientArea();
  RECT child{};
  GetClientRect(content.get(), &child);
  EXPECT_EQ(child.right, client.right);
  EXPECT_EQ(child.bottom, client.bottom);
}

TEST_F(Win32WindowTest, ContentWindowBecomesTheFillingChild) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  ContentWindow content;
  window.SetContentWindow(content.get());

  EXPECT_EQ(GetParent(content.get()), window.GetHandle());
  RECT child{};
  GetWindowRect(content.get(), &child);
  MapWindowPoints(HWND_DESKTOP, window.GetHandle(), reinterpret_cast<POINT*>(&child), 2);
  const RECT client = window.GetClientArea();
  EXPECT_EQ(child.left, 0);
  EXPECT_EQ(child.top, 0);
  EXPECT_EQ(child.right, client.right);
  EXPECT_EQ(child.bottom, client.bottom);

  // Activation hands the keyboard focus to the content.
  window.Show();
  SetFocus(nullptr);
  SendMessageW(window.GetHandle(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(GetFocus(), content.get());
}

// ---- Theme ------------------------------------------------------------------------------

class Win32WindowThemeTest : public Win32WindowTest {
 protected:
  void SetUp() override {
    Win32WindowTest::SetUp();
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, kPersonalizeKey, kThemeValue, RRF_RT_REG_DWORD, nullptr,
                     &value, &size) == ERROR_SUCCESS) {
      saved_ = value;
    }
  }
  void TearDown() override {
    SetTheme(saved_);
    Win32WindowTest::TearDown();
  }

  // The calls UpdateTheme makes for `window`, in order.
  static std::vector<AttributeCall> CallsFor(HWND window) {
    std::vector<AttributeCall> calls;
    for (const AttributeCall& call : attributeCalls) {
      if (call.window == window) {
        calls.push_back(call);
      }
    }
    return calls;
  }

  static void ExpectColours(const std::vector<AttributeCall>& calls, size_t first) {
    ASSERT_EQ(calls.size(), first + 3);
    EXPECT_EQ(calls[first].attribute, 35u);  // caption
    EXPECT_EQ(calls[first].value, 0x00374C17u);
    EXPECT_EQ(calls[first + 1].attribute, 36u);  // caption text
    EXPECT_EQ(calls[first + 1].value, 0x00F5FDECu);
    EXPECT_EQ(calls[first + 2].attribute, 34u);  // border
    EXPECT_EQ(calls[first + 2].value, 0x00273610u);
  }

 private:
  std::optional<DWORD> saved_;
};

TEST_F(Win32WindowThemeTest, DarkAppsThemeTurnsDarkModeOnThenSetsTheColours) {
  SetTheme(0);
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  const auto calls = CallsFor(window.GetHandle());
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].attribute, 20u);
  EXPECT_EQ(calls[0].value, 1u);
  ExpectColours(calls, 1);
}

TEST_F(Win32WindowThemeTest, AnyNonZeroValueTurnsDarkModeOff) {
  for (const DWORD light : {DWORD{1}, DWORD{7}}) {
    SetTheme(light);
    attributeCalls.clear();
    ProbeWindow window;
    ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
    const auto calls = CallsFor(window.GetHandle());
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].attribute, 20u) << light;
    EXPECT_EQ(calls[0].value, 0u) << light;
    ExpectColours(calls, 1);
  }
}

TEST_F(Win32WindowThemeTest, WithoutAReadableValueOnlyTheColoursAreSet) {
  SetTheme(std::nullopt);
  {
    ProbeWindow window;
    ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
    ExpectColours(CallsFor(window.GetHandle()), 0);
  }

  // A value of another type is no answer either.
  const wchar_t text[] = L"0";
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_CURRENT_USER, kPersonalizeKey, kThemeValue, REG_SZ, text, sizeof(text)),
      ERROR_SUCCESS);
  attributeCalls.clear();
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  ExpectColours(CallsFor(window.GetHandle()), 0);
}

TEST_F(Win32WindowThemeTest, ColourisationChangeReadsTheThemeAgain) {
  SetTheme(1);
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));

  SetTheme(0);
  attributeCalls.clear();
  EXPECT_EQ(SendMessageW(window.GetHandle(), WM_DWMCOLORIZATIONCOLORCHANGED, 0, 0), 0);
  const auto calls = CallsFor(window.GetHandle());
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].attribute, 20u);
  EXPECT_EQ(calls[0].value, 1u);
  ExpectColours(calls, 1);
}

// ---- Life cycle -------------------------------------------------------------------------

TEST_F(Win32WindowTest, DestroyWithoutAWindowOnlyRunsOnDestroy) {
  ProbeWindow other;
  ASSERT_TRUE(other.Create(L"Other", {10, 10}, {920, 620}));

  ProbeWindow window;
  window.Destroy();
  EXPECT_EQ(window.events, (std::vector<std::string>{"destroy"}));
  EXPECT_EQ(window.GetHandle(), nullptr);
  // Nothing else was torn down: the other object's window and the class are still there.
  EXPECT_TRUE(IsWindow(other.GetHandle()));
  EXPECT_TRUE(ClassRegistered());
}

TEST_F(Win32WindowTest, SecondCreateTearsTheFirstWindowDown) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  const HWND first = window.GetHandle();
  window.events.clear();

  ASSERT_TRUE(window.Create(L"Orvane", {20, 20}, {920, 620}));
  const HWND second = window.GetHandle();
  EXPECT_FALSE(IsWindow(first));
  EXPECT_TRUE(IsWindow(second));
  EXPECT_NE(first, second);
  ASSERT_FALSE(window.events.empty());
  EXPECT_EQ(window.events.front(), "destroy");
  EXPECT_EQ(window.events.back(), "create");
}

TEST_F(Win32WindowTest, ClosingPostsQuitOnlyWhenAsked) {
  {
    ProbeWindow window;
    ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
    const HWND handle = window.GetHandle();
    window.events.clear();
    SendMessageW(handle, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_EQ(window.GetHandle(), nullptr);
    // Destroyed by the system: OnDestroy ran once, and no second DestroyWindow was needed.
    EXPECT_EQ(window.events, (std::vector<std::string>{"destroy"}));
    EXPECT_FALSE(QuitPosted());
  }
  ProbeWindow window;
  window.SetQuitOnClose(true);
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  SendMessageW(window.GetHandle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(window.GetHandle(), nullptr);
  MSG message{};
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 0u);
}

TEST_F(Win32WindowTest, TeardownBySystemQuitsEvenWhenOnDestroyThrowsAndStillServesTheWindow) {
  ProbeWindow window;
  window.SetQuitOnClose(true);
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  const HWND handle = window.GetHandle();
  window.askTitleOnDestroy = handle;
  window.throwOnDestroy = true;
  SendMessageW(handle, WM_CLOSE, 0, 0);

  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(window.GetHandle(), nullptr);
  // Without the quit message the loop would wait for ever with no window left.
  EXPECT_TRUE(QuitPosted());
  // Messages the window gets while it goes are handled for that window, not for no window.
  EXPECT_EQ(window.titleOnDestroy, L"Orvane");
}

TEST_F(Win32WindowTest, ContentDestroyedOnItsOwnIsNoLongerTouched) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  ContentWindow content;
  window.SetContentWindow(content.get());
  DestroyWindow(content.get());

  // A size change or activation would otherwise move or focus a handle that names nothing (or,
  // later, some other window); the failing call is what leaves this error behind.
  for (const UINT message : {UINT{WM_SIZE}, UINT{WM_ACTIVATE}}) {
    SCOPED_TRACE(message);
    SetLastError(ERROR_SUCCESS);
    SendMessageW(window.GetHandle(), message, message == WM_ACTIVATE ? WA_ACTIVE : 0, 0);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  }
}

TEST_F(Win32WindowTest, FailedOnCreateLeavesTheHiddenWindow) {
  ProbeWindow window;
  window.createResult = false;
  EXPECT_FALSE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  EXPECT_TRUE(IsWindow(window.GetHandle()));
  EXPECT_FALSE(IsWindowVisible(window.GetHandle()));
}

TEST_F(Win32WindowTest, FailedCreationLeavesNoStaleHandle) {
  ProbeWindow window;
  window.failWmCreate = true;
  EXPECT_FALSE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  EXPECT_EQ(window.GetHandle(), nullptr);
  EXPECT_EQ(window.events, (std::vector<std::string>{"destroy"}))
      << "OnCreate must not run without a window";
}

TEST_F(Win32WindowTest, ExceptionFromAHandlerGetsTheDefaultHandling) {
  ProbeWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
  EXPECT_EQ(SendMessageW(window.GetHandle(), kThrowingMessage, 0, 0), 0);
  EXPECT_TRUE(IsWindow(window.GetHandle()));
}

TEST_F(Win32WindowTest, DestructorEndsTheWindow) {
  HWND handle = nullptr;
  {
    ProbeWindow window;
    ASSERT_TRUE(window.Create(L"Orvane", {10, 10}, {920, 620}));
    handle = window.GetHandle();
  }
  EXPECT_FALSE(IsWindow(handle));
}

TEST_F(Win32WindowTest, ClassIsRegisteredWhileAnyWindowObjectLives) {
  auto first = std::make_unique<ProbeWindow>();
  ASSERT_TRUE(first->Create(L"Orvane", {10, 10}, {920, 620}));

  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), kClassName, &info));
  EXPECT_EQ(info.style, UINT{CS_HREDRAW | CS_VREDRAW});
  EXPECT_EQ(info.lpfnWndProc, &Win32Window::WndProc);
  EXPECT_EQ(info.cbClsExtra, 0);
  EXPECT_EQ(info.cbWndExtra, 0);
  EXPECT_NE(info.hIcon, nullptr) << "icon resource 101 is missing";
  EXPECT_EQ(info.hCursor, LoadCursorW(nullptr, IDC_ARROW));
  EXPECT_EQ(info.hbrBackground, nullptr);
  EXPECT_EQ(info.lpszMenuName, nullptr);

  auto second = std::make_unique<ProbeWindow>();
  ASSERT_TRUE(second->Create(L"Orvane", {20, 20}, {920, 620}));
  first.reset();
  EXPECT_TRUE(ClassRegistered()) << "another window object still lives";
  EXPECT_TRUE(IsWindow(second->GetHandle()));
  second.reset();
  EXPECT_FALSE(ClassRegistered());

  // Registered again by the next Create.
  ProbeWindow third;
  ASSERT_TRUE(third.Create(L"Orvane", {10, 10}, {920, 620}));
  EXPECT_TRUE(ClassRegistered());
}

}  // namespace
