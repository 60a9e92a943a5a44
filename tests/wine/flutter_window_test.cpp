// The host window against the stand-in engine and plugins, the real shell and menus of Wine, and
// the filtering platform model: its life, the tray icon and menu, and the once-only VPN core
// shutdown. The shell seams record what Wine cannot show and pass each call on.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <iterator>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/flutter_window.h"
#include "host/platform_seams.h"
#include "host/registered_messages.h"
#include "killswitch/kill_switch.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/messaging_control.h"
#include "standins/wfp/wfp_model.h"
#include "tests/wine/standin_engine_support.h"

namespace {

using standin_test::CallsStartingWith;
using standin_test::CountCalls;
using standin_test::PumpFor;
using standin_test::PumpUntil;

constexpr UINT kTrayIconId = 1001;
const std::wstring kWaitingTip = L"Orvane — Ожидание";
const std::wstring kConnectedTip = L"Orvane — Подключено";
const std::wstring kStopArguments = L" /F /IM sing-box.exe /T";

// Everything the seams and the window tell, in one order.
std::vector<std::string> events;

struct NotifyRecord {
  DWORD message;
  NOTIFYICONDATAW data;
  BOOL result;
  bool contentAttached;  // the engine's view was the window's child at the time
  size_t engineCalls;    // entries of the stand-in engine's log at the time
};
std::vector<NotifyRecord> notifyRecords;
int failingAdds = 0;  // that many next NIM_ADD calls fail without reaching the shell

BOOL WINAPI RecordNotifyIcon(DWORD message, PNOTIFYICONDATAW data) {
  BOOL result = FALSE;
  if (message == NIM_ADD && failingAdds > 0) {
    --failingAdds;
  } else {
    result = Shell_NotifyIconW(message, data);
  }
  notifyRecords.push_back({message, *data, result, GetWindow(data->hWnd, GW_CHILD) != nullptr,
                           standin_test::EngineCalls().size()});
  events.push_back("notify " + std::to_string(message));
  return result;
}

struct ProcessStart {
  std::wstring application;
  std::wstring commandLine;
  bool securityAttributesNull;
  BOOL inheritHandles;
  DWORD flags;
  bool environmentNull;
  std::wstring directory;
  STARTUPINFOW startup;
  size_t filtersOfOurs;  // in the model at the time: the kill switch must be gone already
  HANDLE process;        // what the product was given to close
  HANDLE thread;
};
std::vector<ProcessStart> processStarts;
const wfp_model::WfpModel* liveModel = nullptr;
bool startForReal = false;
bool startThrows = false;      // as building the command line would, out of memory
HANDLE realProcess = nullptr;  // a handle of the test's own to the process started for real

BOOL WINAPI RecordCreateProcess(LPCWSTR application, LPWSTR command_line,
                                LPSECURITY_ATTRIBUTES process_attributes,
                                LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                                DWORD flags, LPVOID environment, LPCWSTR directory,
                                LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  ProcessStart start{application ? application : L"(null)",
                     command_line ? command_line : L"(null)",
                     process_attributes == nullptr && thread_attributes == nullptr,
                     inherit_handles,
                     flags,
                     environment == nullptr,
                     directory ? directory : L"(null)",
                     *startup,
                     liveModel ? liveModel->FiltersOfProvider(KillSwitchProviderKey).size() : 0,
                     nullptr,
                     nullptr};
  events.push_back("process start");
  if (startThrows) {
    processStarts.push_back(start);
    throw std::bad_alloc();
  }
  BOOL started = FALSE;
  if (startForReal) {
    started = CreateProcessW(application, command_line, process_attributes, thread_attributes,
                             inherit_handles, flags, environment, directory, startup, info);
    if (started) {
      DuplicateHandle(GetCurrentProcess(), info->hProcess, GetCurrentProcess(), &realProcess,
                      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
    }
  } else {
    // Handles of this process, so that the test can see that both were closed.
    started = DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                              &info->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS) &&
              DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                              &info->hThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  start.process = info->hProcess;
  start.thread = info->hThread;
  processStarts.push_back(start);
  return started;
}

bool HandleIsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

// Plays the application: a call of an unknown method on "vpn/native".
StandinDeliveryStatus DeliverCall() {
  const uint8_t call[] = {7, 3, 'n', 'o', 'p', 0};
  uint8_t response[64];
  size_t size = 0;
  return StandinMessagingExchange(StandinEngineLatestMessaging(), "vpn/native", call, sizeof call,
                                  response, sizeof response, &size, nullptr);
}

// Plays the application reporting its connection state; the reply's bytes.
std::vector<uint8_t> ReportState(bool connected) {
  const std::string method = "setTrayConnectionState";
  std::vector<uint8_t> call{7, static_cast<uint8_t>(method.size())};
  call.insert(call.end(), method.begin(), method.end());
  call.push_back(connected ? 1 : 2);
  uint8_t response[64];
  size_t size = 0;
  StandinMessagingExchange(StandinEngineLatestMessaging(), "vpn/native", call.data(), call.size(),
                           response, sizeof response, &size, nullptr);
  return std::vector<uint8_t>(response, response + size);
}

HICON StateIcon(WORD resource) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource),
                                       IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

// The window under test, telling when its destruction begins.
class ObservedWindow : public FlutterWindow {
 public:
  using FlutterWindow::FlutterWindow;

 protected:
  void OnDestroy() override {
    events.push_back("destroy");
    FlutterWindow::OnDestroy();
  }
};

// ---- The tray menu, driven from inside its modal loop ----------------------------------

struct MenuDrive {
  std::vector<WORD> keys;
  std::vector<std::wstring> items;  // "id text" or "-", as the open menu holds them
  int ticks = 0;
};
MenuDrive* menuDrive = nullptr;

void CALLBACK DriveMenu(HWND window, UINT, UINT_PTR timer, DWORD) {
  const HWND popup = FindWindowW(L"#32768", nullptr);
  if ((popup == nullptr || !IsWindowVisible(popup)) && ++menuDrive->ticks < 100) {
    return;  // not open yet
  }
  KillTimer(window, timer);
  if (popup == nullptr || !IsWindowVisible(popup)) {
    EndMenu();  // never seen open: do not leave the test hanging in the menu's loop
    return;
  }
  const auto menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
    const bool separator = (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_SEPARATOR);
    menuDrive->items.push_back(separator ? L"-"
                                         : std::to_wstring(GetMenuItemID(menu, i)) + L" " + text);
  }
  for (const WORD key : menuDrive->keys) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
  }
}

// Opens the tray menu with the callback `event` and types `keys` into it; returns once the menu
// has closed and its command has run.
MenuDrive UseTrayMenu(HWND window, std::vector<WORD> keys, WORD event = WM_RBUTTONUP) {
  MenuDrive drive{std::move(keys), {}, 0};
  menuDrive = &drive;
  constexpr UINT_PTR kTimer = 77;
  SetTimer(window, kTimer, 30, &DriveMenu);
  const LRESULT result =
      SendMessageW(window, TrayCallbackMessage, 0, MAKELPARAM(event, kTrayIconId));
  KillTimer(window, kTimer);
  menuDrive = nullptr;
  EXPECT_EQ(result, 0);
  return drive;
}

const std::vector<WORD> kDismiss{VK_ESCAPE};
const std::vector<WORD> kChooseShow{VK_DOWN, VK_RETURN};
const std::vector<WORD> kChooseToggle{VK_DOWN, VK_DOWN, VK_RETURN};
const std::vector<WORD> kChooseExit{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN};

// ---- Fixture ---------------------------------------------------------------------------

class FlutterWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinEngineReset();
    events.clear();
    notifyRecords.clear();
    processStarts.clear();
    failingAdds = 0;
    startForReal = false;
    startThrows = false;
    liveModel = &model;
  }
  void TearDown() override {
    if (window != nullptr) {
      window->Destroy();
      window.reset();
    }
    liveModel = nullptr;
    StandinEngineReset();
    // A test that ended the window with quit-on-close leaves no quit behind for the next.
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  // Creates the window and waits for the first frame to show it.
  void CreateShown() {
    window = std::make_unique<ObservedWindow>(project, model);
    ASSERT_TRUE(window->Create(L"Orvane", {10, 10}, {920, 620}));
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(handle()) != FALSE; }));
  }
  HWND handle() { return window->GetHandle(); }

  void EnableKillSwitch() {
    KillSwitchConfig config;
    config.endpoints = {{0x0A000001, 443, 6}};
    ASSERT_TRUE(window->GetKillSwitch().Enable(config));
    ASSERT_FALSE(model.FiltersOfProvider(KillSwitchProviderKey).empty());
  }

  std::vector<DWORD> NotifyMessages() const {
    std::vector<DWORD> messages;
    for (const NotifyRecord& record : notifyRecords) {
      messages.push_back(record.message);
    }
    return messages;
  }

  // Declared before the window, which they must outlive.
  const platform_seams::ScopedBinding<platform_seams::NotifyIconFunction> trayRecorder{
      platform_seams::shellNotifyIcon, &RecordNotifyIcon};
  const platform_seams::ScopedBinding<platform_seams::CreateProcessFunction> processRecorder{
      platform_seams::createProcess, &RecordCreateProcess};
  wfp_model::WfpModel model;
  EngineProject project{L"data"};
  std::unique_ptr<FlutterWindow> window;
};

// ---- Life --------------------------------------------------------------------------------

TEST_F(FlutterWindowTest, CreationAddsTheWaitingIconAfterTheViewAndShowsAfterTheFirstFrame) {
  window = std::make_unique<ObservedWindow>(project, model);
  ASSERT_TRUE(window->Create(L"Orvane", {10, 10}, {920, 620}));
  EXPECT_FALSE(IsWindowVisible(handle())) << "shown before the engine's first frame";
  EXPECT_EQ(CountCalls("FlutterDesktopViewControllerCreate"), 1u);
  EXPECT_EQ(CountCalls("FlutterDesktopEngineGetPluginRegistrar"), 3u);
  EXPECT_EQ(processStarts.size(), 0u) << "the early OnDestroy of Create is no exit path";

  ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION}));
  const NotifyRecord& add = notifyRecords[0];
  EXPECT_EQ(add.result, TRUE) << "Wine's shell refused the icon";
  EXPECT_EQ(add.data.cbSize, 976u);
  EXPECT_EQ(add.data.hWnd, handle());
  EXPECT_EQ(add.data.uID, kTrayIconId);
  EXPECT_EQ(add.data.uFlags, 7u);
  EXPECT_EQ(add.data.uCallbackMessage, 0x8001u);
  EXPECT_EQ(add.data.hIcon, StateIcon(102));
  EXPECT_NE(add.data.hIcon, nullptr) << "icon group 102 is missing";
  EXPECT_EQ(add.data.szTip, kWaitingTip);
  EXPECT_TRUE(add.contentAttached) << "icon added before the view became the content";
  EXPECT_GE(standin_test::PositionOf("FlutterDesktopEngineSetNextFrameCallback"), add.engineCalls)
      << "the first frame was awaited before the icon was added";
  EXPECT_EQ(notifyRecords[1].data.uVersion, 4u);
  EXPECT_EQ(notifyRecords[1].result, TRUE);

  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(handle()) != FALSE; }));
  EXPECT_GE(CountCalls("next frame callback"), 1u);

  EXPECT_EQ(DeliverCall(), kStandinAnswered) << "calls on \"vpn/native\" reach no handler";
}

WNDPROC viewProcedure = nullptr;
std::vector<StandinDeliveryStatus> deliveriesWhileTheViewGoes;

LRESULT CALLBACK WatchViewDestruction(HWND view, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    deliveriesWhileTheViewGoes.push_back(DeliverCall());
  }
  return CallWindowProcW(viewProcedure, view, message, wparam, lparam);
}

// The engine still runs while it takes its view down, and the window is in its OnDestroy then.
TEST_F(FlutterWindowTest, NoChannelCallReachesTheWindowOnceItIsGoing) {
  CreateShown();
  const HWND view = GetWindow(handle(), GW_CHILD);
  ASSERT_NE(view, nullptr);
  deliveriesWhileTheViewGoes.clear();
  viewProcedure = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(view, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchViewDestruction)));
  window->Destroy();
  EXPECT_EQ(deliveriesWhileTheViewGoes, std::vector<StandinDeliveryStatus>{kStandinNotDelivered});
}

TEST_F(FlutterWindowTest, RefusedViewControllerAddsNoIconAndRegistersNoPlugin) {
  StandinEngineFailViewControllerCreate(true);
  const standin_test::StderrCapture errors;
  window = std::make_unique<ObservedWindow>(project, model);
  EXPECT_FALSE(window->Create(L"Orvane", {10, 10}, {920, 620}));
  EXPECT_TRUE(notifyRecords.empty());
  EXPECT_EQ(CountCalls("FlutterDesktopEngineGetPluginRegistrar"), 0u);
  EXPECT_EQ(CountCalls("FileSelectorWindowsRegisterWithRegistrar"), 0u);
  // Not even a new taskbar brings an icon for a window that hosts nothing.
  SendMessageW(handle(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(notifyRecords.empty());
}

TEST_F(FlutterWindowTest, CloseHidesAndKeepsEverythingRunning) {
  CreateShown();
  EXPECT_EQ(SendMessageW(handle(), WM_CLOSE, 0, 0), 0);
  EXPECT_TRUE(IsWindow(handle()));
  EXPECT_FALSE(IsWindowVisible(handle()));
  EXPECT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION}));
  EXPECT_TRUE(processStarts.empty());
  EXPECT_EQ(CountCalls("FlutterDesktopViewControllerDestroy"), 0u);
}

TEST_F(FlutterWindowTest, CloseAddsTheIconAgainWhenTheFirstAddFailed) {
  failingAdds = 1;
  CreateShown();
  ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD})) << "version set without an icon";
  SendMessageW(handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_ADD, NIM_SETVERSION}));
  EXPECT_EQ(notifyRecords[1].result, TRUE);
}

TEST_F(FlutterWindowTest, EngineSeesMessagesFirstExceptRestoreWindow) {
  CreateShown();
  StandinEngineConsumeTopLevelMessage(WM_CLOSE, 7);
  EXPECT_EQ(SendMessageW(handle(), WM_CLOSE, 0, 0), 7);
  EXPECT_TRUE(IsWindowVisible(handle())) << "a message the engine took was handled again";

  SendMessageW(handle(), WM_FONTCHANGE, 0, 0);
  EXPECT_EQ(CountCalls("FlutterDesktopEngineReloadSystemFonts"), 1u);

  ShowWindow(handle(), SW_HIDE);
  SendMessageW(handle(), RestoreWindowMessage(), 0, 0);
  EXPECT_TRUE(IsWindowVisible(handle()));
  EXPECT_EQ(StandinEngineOfferedMessageCount(RestoreWindowMessage()), 0);
}

UINT WINAPI RegisterNothing(LPCWSTR) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

// With the registrations failed, both ids are 0, which is WM_NULL: hang probes send it, and it
// must neither bring the window back nor count as a new taskbar.
TEST_F(FlutterWindowTest, WithoutRegisteredMessagesWmNullIsOnlyWmNull) {
  const platform_seams::ScopedBinding failing(platform_seams::registerWindowMessage,
                                              &RegisterNothing);
  CreateShown();
  ASSERT_EQ(RestoreWindowMessage(), 0u);
  ShowWindow(handle(), SW_HIDE);
  notifyRecords.clear();
  EXPECT_EQ(SendMessageW(handle(), WM_NULL, 0, 0), 0);
  EXPECT_FALSE(IsWindowVisible(handle()));
  EXPECT_TRUE(notifyRecords.empty()) << "the icon was taken away and added again";
}

// A second start posts RestoreWindowMessage; a click on the icon sends these events.
TEST_F(FlutterWindowTest, RestoreMessageAndIconClicksBringTheWindowBack) {
  CreateShown();
  const UINT restore = RestoreWindowMessage();
  EXPECT_EQ(restore, RegisterWindowMessageW(L"Orvane.RestoreWindow"));
  struct Case {
    UINT message;
    WORD event;
  };
  for (const Case c :
       {Case{restore, 0}, Case{TrayCallbackMessage, WM_LBUTTONUP},
        Case{TrayCallbackMessage, WM_LBUTTONDBLCLK}, Case{TrayCallbackMessage, NIN_SELECT},
        Case{TrayCallbackMessage, NIN_KEYSELECT}}) {
    for (const bool minimised : {false, true}) {
      SCOPED_TRACE(testing::Message() << "event " << c.event << (minimised ? " minimised" : ""));
      ShowWindow(handle(), minimised ? SW_MINIMIZE : SW_HIDE);
      // Wine hands the foreground on through the X server, later: let that settle first, and
      // read the foreground right after the handler ran, before the pump can deliver a late
      // focus change from the hide (which, under load, would take it back to the desktop).
      PumpUntil([&] { return GetForegroundWindow() != handle(); }, 1000);
      SendMessageW(handle(), c.message, 0,
                   c.message == restore ? 0 : MAKELPARAM(c.event, kTrayIconId));
      const HWND foreground = GetForegroundWindow();
      EXPECT_TRUE(IsWindowVisible(handle()));
      EXPECT_FALSE(IsIconic(handle()));
      char foreground_class[64] = "";
      GetClassNameA(foreground, foreground_class, sizeof foreground_class);
      EXPECT_EQ(foreground, handle()) << "the foreground is a window of class " << foreground_class;
    }
  }
  // Any other event goes to the default handling: the window stays hidden.
  ShowWindow(handle(), SW_HIDE);
  SendMessageW(handle(), TrayCallbackMessage, 0, MAKELPARAM(WM_MOUSEMOVE, kTrayIconId));
  EXPECT_FALSE(IsWindowVisible(handle()));
}

// ---- Connection state --------------------------------------------------------------------

TEST_F(FlutterWindowTest, StateReportsRefreshTheIconAndChangesShowABalloon) {
  CreateShown();
  // For a look at the notification area: ORVANE_HOLD_TRAY_MS keeps each state that long.
  const char* hold = std::getenv("ORVANE_HOLD_TRAY_MS");
  const DWORD hold_ms = hold != nullptr ? static_cast<DWORD>(std::strtoul(hold, nullptr, 10)) : 0;
  PumpFor(hold_ms);
  struct Step {
    bool connected;
    const wchar_t* balloon;  // null: none
  };
  const Step steps[] = {{true, L"VPN подключен"}, {true, nullptr},
                        {false, L"VPN отключен"}, {false, nullptr},
                        {true, L"VPN подключен"}, {true, nullptr}};
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "connected " << step.connected);
    notifyRecords.clear();
    window->UpdateTrayConnectionState(step.connected);
    ASSERT_EQ(notifyRecords.size(), step.balloon ? 2u : 1u);
    const NOTIFYICONDATAW& refresh = notifyRecords[0].data;
    EXPECT_EQ(notifyRecords[0].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(refresh.uFlags, 6u);
    EXPECT_EQ(refresh.hIcon, StateIcon(step.connected ? 103 : 102));
    EXPECT_EQ(refresh.szTip, step.connected ? kConnectedTip : kWaitingTip);
    EXPECT_EQ(notifyRecords[0].result, TRUE);
    if (step.balloon != nullptr) {
      const NOTIFYICONDATAW& balloon = notifyRecords[1].data;
      EXPECT_EQ(notifyRecords[1].message, static_cast<DWORD>(NIM_MODIFY));
      EXPECT_EQ(balloon.uFlags, static_cast<UINT>(NIF_INFO));
      EXPECT_EQ(balloon.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
      EXPECT_EQ(std::wstring(balloon.szInfoTitle), L"OrvaneVPN");
      EXPECT_EQ(std::wstring(balloon.szInfo), step.balloon);
      EXPECT_EQ(notifyRecords[1].result, TRUE);
    }
    PumpFor(hold_ms);
  }
  EXPECT_NE(StateIcon(102), StateIcon(103));
  // The record is kept at message, icon and tip between calls.
  window->RemoveTrayIcon();
  EXPECT_EQ(notifyRecords.back().message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(notifyRecords.back().data.uFlags, 7u);
}

TEST_F(FlutterWindowTest, StateReportWithoutAnIconAddsItAndOnlyThenShowsTheBalloon) {
  failingAdds = 2;
  CreateShown();
  notifyRecords.clear();
  window->UpdateTrayConnectionState(true);  // the add fails again: no balloon without an icon
  EXPECT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD}));

  notifyRecords.clear();
  window->UpdateTrayConnectionState(false);
  ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION, NIM_MODIFY}));
  EXPECT_EQ(notifyRecords[0].data.hIcon, StateIcon(102));
  EXPECT_EQ(notifyRecords[0].data.uFlags, 7u);
  EXPECT_EQ(std::wstring(notifyRecords[2].data.szInfo), L"VPN отключен");
}

TEST_F(FlutterWindowTest, NewTaskbarGetsTheIconAgainInTheCurrentState) {
  const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  failingAdds = 1;  // the shell was not there yet at start-up
  CreateShown();
  failingAdds = 1;  // nor is it now
  window->UpdateTrayConnectionState(true);
  ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_ADD}));

  notifyRecords.clear();
  SendMessageW(handle(), taskbarCreated, 0, 0);
  ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION}));
  EXPECT_EQ(notifyRecords[0].data.hIcon, StateIcon(103));
  EXPECT_EQ(notifyRecords[0].data.szTip, kConnectedTip);
  EXPECT_EQ(notifyRecords[0].data.uFlags, 7u);
  EXPECT_EQ(notifyRecords[0].result, TRUE);

  // Announced while the icon is still shown: taken away first, or the add would be a duplicate.
  notifyRecords.clear();
  SendMessageW(handle(), taskbarCreated, 0, 0);
  ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_DELETE, NIM_ADD, NIM_SETVERSION}));
  EXPECT_EQ(notifyRecords[1].result, TRUE);

  // Once an exit path took the icon away, it stays away.
  SendMessageW(handle(), WM_ENDSESSION, TRUE, 0);
  notifyRecords.clear();
  SendMessageW(handle(), taskbarCreated, 0, 0);
  EXPECT_TRUE(notifyRecords.empty());
}

// The application does not know that the host is ending: a report after an exit path took the
// icon away is answered, and brings back neither the icon nor a balloon.
TEST_F(FlutterWindowTest, StateReportAfterAnExitPathAddsNoIcon) {
  for (const bool menu : {true, false}) {
    SCOPED_TRACE(menu ? "the menu's exit" : "the session's end");
    CreateShown();
    if (menu) {
      UseTrayMenu(handle(), kChooseExit);  // its close request waits in the queue meanwhile
    } else {
      SendMessageW(handle(), WM_ENDSESSION, TRUE, 0);
    }
    ASSERT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION, NIM_DELETE}));
    notifyRecords.clear();
    EXPECT_EQ(ReportState(true), (std::vector<uint8_t>{0, 1}));
    EXPECT_TRUE(notifyRecords.empty());
  }
}

// ---- The menu ----------------------------------------------------------------------------

TEST_F(FlutterWindowTest, MenuListsItsCommandsWithTheToggleOfTheCurrentState) {
  CreateShown();
  for (const bool connected : {false, true}) {
    window->UpdateTrayConnectionState(connected);
    for (const WORD event : {WM_RBUTTONUP, WM_CONTEXTMENU}) {
      SCOPED_TRACE(testing::Message() << "event " << event << " connected " << connected);
      const MenuDrive drive = UseTrayMenu(handle(), kDismiss, event);
      EXPECT_EQ(drive.items, (std::vector<std::wstring>{
                                 L"40001 Показать Orvane", L"-",
                                 connected ? L"40003 Отключить VPN" : L"40003 Подключить VPN", L"-",
                                 L"40002 Выход"}));
    }
  }
  // Dismissed each time: nothing was sent, stopped or closed.
  EXPECT_EQ(StandinMessagingHostMessageCount(StandinEngineLatestMessaging()), 0u);
  EXPECT_TRUE(processStarts.empty());
  EXPECT_TRUE(IsWindowVisible(handle()));
}

// Minimised rather than hidden: for a hidden owner window Wine keeps the foreground elsewhere and
// the menu is over before it is ever seen open; Windows shows it.
TEST_F(FlutterWindowTest, MenuShowBringsTheMinimisedWindowBack) {
  CreateShown();
  ShowWindow(handle(), SW_MINIMIZE);
  UseTrayMenu(handle(), kChooseShow);
  EXPECT_TRUE(IsWindowVisible(handle()));
  EXPECT_FALSE(IsIconic(handle()));
}

TEST_F(FlutterWindowTest, MenuToggleSendsTrayToggleVpnWithNullArgumentsAndNoReply) {
  CreateShown();
  const StandinMessagingRef messaging = StandinEngineLatestMessaging();
  UseTrayMenu(handle(), kChooseToggle);
  ASSERT_EQ(StandinMessagingHostMessageCount(messaging), 1u);
  char channel[32] = {};
  uint8_t bytes[64] = {};
  size_t size = 0;
  ASSERT_TRUE(StandinMessagingGetHostMessage(messaging, 1, channel, sizeof channel, bytes,
                                             sizeof bytes, &size));
  EXPECT_STREQ(channel, "vpn/native");
  // The method name as a string value, then the null value.
  const std::string method = "trayToggleVpn";
  std::vector<uint8_t> expected{7, static_cast<uint8_t>(method.size())};
  expected.insert(expected.end(), method.begin(), method.end());
  expected.push_back(0);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + size), expected);
  EXPECT_FALSE(StandinMessagingAnswerHostMessage(messaging, 1, nullptr, 0))
      << "sent expecting a reply";
  EXPECT_TRUE(processStarts.empty());
}

TEST_F(FlutterWindowTest, MenuExitRemovesKillSwitchBeforeTheCoreThenIconThenWindowAndQuitsOnce) {
  CreateShown();
  window->SetQuitOnClose(true);
  EnableKillSwitch();
  events.clear();
  UseTrayMenu(handle(), kChooseExit);

  int quits = 0;
  PumpUntil([&] {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      quits += message.message == WM_QUIT;
      DispatchMessageW(&message);
    }
    return !IsWindow(handle());
  });
  PumpFor(100);
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    quits += message.message == WM_QUIT;
  }
  EXPECT_EQ(events, (std::vector<std::string>{"process start",
                                              "notify " + std::to_string(NIM_DELETE), "destroy"}));
  ASSERT_EQ(processStarts.size(), 1u);
  EXPECT_EQ(processStarts[0].filtersOfOurs, 0u) << "the core was ended before the kill switch";
  EXPECT_FALSE(IsWindow(handle()));
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(CountCalls("FlutterDesktopViewControllerDestroy"), 1u);
}

// ---- The window object going first -------------------------------------------------------

// Fails once the engine runs, as a plugin's registration or an exhausted heap would.
class ThrowingWindow : public FlutterWindow {
 public:
  using FlutterWindow::FlutterWindow;

 protected:
  bool OnCreate() override {
    if (FlutterWindow::OnCreate()) {
      throw std::runtime_error("failed after the engine started");
    }
    return false;
  }
};

// An exception out of Create, or a loop that ended on somebody else's quit: the object goes while
// its window is still there, and the window must end the way a closed one does, before any member
// of the object goes. That end runs outside the window procedure's catch-all, in a destructor that
// must not throw: a failure to start taskkill may leave only the core running.
TEST_F(FlutterWindowTest, ObjectGoingBeforeItsWindowEndsTheWindowInFull) {
  const struct {
    const char* name;
    bool createThrows;
    bool taskkillThrows;
  } cases[] = {{"Create threw", true, false},
               {"the object went first", false, false},
               {"taskkill threw", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandinEngineReset();
    notifyRecords.clear();
    processStarts.clear();
    startThrows = c.taskkillThrows;
    if (c.createThrows) {
      window = std::make_unique<ThrowingWindow>(project, model);
      EXPECT_THROW((void)window->Create(L"Orvane", {10, 10}, {920, 620}), std::runtime_error);
    } else {
      window = std::make_unique<FlutterWindow>(project, model);
      ASSERT_TRUE(window->Create(L"Orvane", {10, 10}, {920, 620}));
    }
    EnableKillSwitch();
    const HWND doomed = handle();
    ASSERT_TRUE(IsWindow(doomed));
    window.reset();
    EXPECT_FALSE(IsWindow(doomed));
    ASSERT_EQ(processStarts.size(), 1u);
    EXPECT_EQ(processStarts[0].filtersOfOurs, 0u) << "the core was ended before the kill switch";
    EXPECT_EQ(NotifyMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION, NIM_DELETE}));
    EXPECT_EQ(CountCalls("FlutterDesktopViewControllerDestroy"), 1u);
    EXPECT_EQ(CallsStartingWith("misuse: "), std::vector<std::string>{});
  }
}

// ---- The once-only shutdown ----------------------------------------------------------------

// The menu's exit command, WM_QUERYENDSESSION, WM_ENDSESSION with and without a session that
// ends, a close request, and the window's destruction (of the object's window, or of nothing once
// the window is gone: nothing reaches a window after it). In the order of kTriggerWords.
enum class Trigger { kExit, kQuery, kEnd, kCancel, kClose, kDestroy };
constexpr std::string_view kTriggerWords[] = {"Exit", "Query", "End", "Cancel", "Close", "Destroy"};

// Every order of the log-off query, the session's end and its cancellation, with the menu's exit
// command at any place or not at all (after it, only the close and the destruction come), each
// followed by a close request and the window's destruction. A row names each trigger in order
// with what holds right after it: the process starts so far, and whether the window is left or
// gone.
//
// What the rows say: the core is stopped once, on the first of exit, query, a session that ends
// and the destruction of a window still there; a cancelled session's end changes nothing. The exit
// ends the window at once (its own close request comes after it asked for the end); after a query
// the next close request ends the window; any other close request only hides it.
constexpr const char* kLatchRows[] = {
    "Close 0 left, Destroy 1 gone",
    "Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Query 1 left, End 1 left, Cancel 1 left, Close 1 gone, Destroy 1 gone",
    "Query 1 left, Cancel 1 left, End 1 left, Close 1 gone, Destroy 1 gone",
    "End 1 left, Query 1 left, Cancel 1 left, Close 1 gone, Destroy 1 gone",
    "End 1 left, Cancel 1 left, Query 1 left, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, Query 1 left, End 1 left, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, End 1 left, Query 1 left, Close 1 gone, Destroy 1 gone",
    "Query 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Query 1 left, End 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Query 1 left, End 1 left, Cancel 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Query 1 left, Cancel 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Query 1 left, Cancel 1 left, End 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "End 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "End 1 left, Query 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "End 1 left, Query 1 left, Cancel 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "End 1 left, Cancel 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "End 1 left, Cancel 1 left, Query 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, Query 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, Query 1 left, End 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, End 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
    "Cancel 0 left, End 1 left, Query 1 left, Exit 1 gone, Close 1 gone, Destroy 1 gone",
};

struct LatchCase {
  std::string row;
  std::string name;  // the triggers before the final close and destruction
  std::vector<Trigger> triggers;
  // After each trigger: the number of process starts, and whether the window still exists.
  std::vector<size_t> starts;
  std::vector<bool> windowLeft;
  bool wellFormed = true;
};

void PrintTo(const LatchCase& c, std::ostream* out) {
  *out << c.name;
}

LatchCase FromRow(const char* row) {
  LatchCase c{row, "", {}, {}, {}, true};
  std::istringstream words(c.row);
  std::string trigger;
  size_t starts = 0;
  std::string window;
  std::vector<std::string> names;
  while (words >> trigger >> starts >> window) {
    const auto* word = std::find(std::begin(kTriggerWords), std::end(kTriggerWords), trigger);
    if (window.ends_with(',')) {
      window.pop_back();
    }
    c.wellFormed =
        c.wellFormed && word != std::end(kTriggerWords) && (window == "left" || window == "gone");
    c.triggers.push_back(static_cast<Trigger>(word - std::begin(kTriggerWords)));
    c.starts.push_back(starts);
    c.windowLeft.push_back(window == "left");
    names.push_back(trigger);
  }
  c.wellFormed = c.wellFormed && words.eof() && c.triggers.size() >= 2;
  for (size_t i = 0; i + 2 < names.size(); ++i) {
    c.name += names[i];
  }
  if (c.name.empty()) {
    c.name = "CloseThenDestroy";
  }
  return c;
}

std::vector<LatchCase> EveryTriggerOrder() {
  std::vector<LatchCase> cases;
  for (const char* row : kLatchRows) {
    cases.push_back(FromRow(row));
  }
  return cases;
}

class FlutterWindowLatchTest : public FlutterWindowTest,
                               public ::testing::WithParamInterface<LatchCase> {};

TEST_P(FlutterWindowLatchTest, CoreIsStoppedOnceOnTheFirstExitPath) {
  const LatchCase& c = GetParam();
  ASSERT_TRUE(c.wellFormed) << "a row of kLatchRows is misspelt: " << c.row;
  CreateShown();
  EnableKillSwitch();
  for (size_t i = 0; i < c.triggers.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "trigger " << i);
    if (!IsWindow(handle())) {
      window->Destroy();  // nothing reaches a window that is gone; only the object is left
    } else {
      switch (c.triggers[i]) {
        case Trigger::kExit:
          UseTrayMenu(handle(), kChooseExit);
          PumpUntil([&] { return !IsWindow(handle()); }, 3000);
          break;
        case Trigger::kQuery:
          EXPECT_EQ(SendMessageW(handle(), WM_QUERYENDSESSION, 0, 0), 1);
          break;
        case Trigger::kEnd:
          EXPECT_EQ(SendMessageW(handle(), WM_ENDSESSION, TRUE, 0), 0);
          break;
        case Trigger::kCancel:
          EXPECT_EQ(SendMessageW(handle(), WM_ENDSESSION, FALSE, 0), 0);
          break;
        case Trigger::kClose:
          SendMessageW(handle(), WM_CLOSE, 0, 0);
          break;
        case Trigger::kDestroy:
          window->Destroy();
          break;
      }
    }
    EXPECT_EQ(processStarts.size(), c.starts[i]);
    EXPECT_EQ(IsWindow(handle()) != FALSE, c.windowLeft[i]);
    if (i > 0 && c.starts[i - 1] == 1) {
      EXPECT_TRUE(model.Calls().empty()) << "the kill switch was disabled again";
    }
    model.ClearCalls();
  }
  ASSERT_EQ(processStarts.size(), 1u);
  EXPECT_EQ(processStarts[0].filtersOfOurs, 0u) << "the core was ended before the kill switch";
  EXPECT_TRUE(model.FiltersOfProvider(KillSwitchProviderKey).empty());
}

INSTANTIATE_TEST_SUITE_P(Orders, FlutterWindowLatchTest, ::testing::ValuesIn(EveryTriggerOrder()),
                         [](const ::testing::TestParamInfo<LatchCase>& test) {
                           return test.param.name;
                         });

// taskkill itself, by its full path: no interpreter, which would first run the AutoRun commands
// any unelevated program of the user can plant in the registry.
TEST_F(FlutterWindowTest, ShutdownStartsTheSystemsOwnTaskkillHiddenAndClosesItsHandles) {
  CreateShown();
  SendMessageW(handle(), WM_ENDSESSION, TRUE, 0);
  ASSERT_EQ(processStarts.size(), 1u);
  const ProcessStart& start = processStarts[0];
  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring taskkill = std::wstring(system) + L"\\taskkill.exe";
  EXPECT_EQ(start.application, taskkill);
  EXPECT_EQ(start.commandLine, L"\"" + taskkill + L"\"" + kStopArguments);
  EXPECT_TRUE(start.securityAttributesNull);
  EXPECT_EQ(start.inheritHandles, FALSE);
  EXPECT_EQ(start.flags, static_cast<DWORD>(CREATE_NO_WINDOW));
  EXPECT_TRUE(start.environmentNull);
  EXPECT_EQ(start.directory, system);
  STARTUPINFOW expected{};
  expected.cb = 104;
  expected.dwFlags = STARTF_USESHOWWINDOW;
  expected.wShowWindow = SW_HIDE;
  EXPECT_EQ(std::memcmp(&start.startup, &expected, sizeof expected), 0)
      << "fields other than cb, dwFlags and wShowWindow are set";
  EXPECT_FALSE(HandleIsOpen(start.thread));
  EXPECT_FALSE(HandleIsOpen(start.process));
  EXPECT_EQ(NotifyMessages().back(), static_cast<DWORD>(NIM_DELETE));
}

TEST_F(FlutterWindowTest, ShutdownCommandRunsAndEndsWithNothingToKill) {
  CreateShown();
  startForReal = true;
  SendMessageW(handle(), WM_QUERYENDSESSION, 0, 0);
  ASSERT_EQ(processStarts.size(), 1u);
  ASSERT_NE(realProcess, nullptr) << "the interpreter did not start";
  EXPECT_EQ(WaitForSingleObject(realProcess, 20000), WAIT_OBJECT_0);
  CloseHandle(realProcess);
  realProcess = nullptr;
}

}  // namespace
