// The host's engine, view controller and plugin registration, linked by import against the
// stand-in engine and plugin libraries, and the view hosted in the top-level window.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "embedding/engine_project.h"
#include "embedding/flutter_engine.h"
#include "embedding/flutter_view_controller.h"
#include "embedding/plugin_registration.h"
#include "host/win32_window.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/messaging_control.h"
#include "tests/wine/standin_engine_support.h"

namespace {

using standin_test::CallsStartingWith;
using standin_test::CountCalls;
using standin_test::PumpUntil;
using standin_test::StderrCapture;

constexpr char kNoViewController[] = "Failed to create view controller.\n";
constexpr char kNoEngine[] =
    "Cannot get plugin registrar on an engine that isn't running; call Run first.\n";

class FlutterEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { StandinEngineReset(); }
  void TearDown() override { StandinEngineReset(); }

  EngineProject project{L"data"};
};

// ---- Starting the engine ------------------------------------------------------------------

TEST_F(FlutterEngineTest, EngineGetsTheProjectWithArgumentsAsUtf8InOrder) {
  // As the start-up passes them on from the command line: quoted, empty and non-ASCII ones too.
  const std::vector<std::string> arguments{
      "--connect", "", "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x84\xD0\xB8\xD0\xBB\xD1\x8C", "with space",
      "\xF0\x9F\x94\x92"};
  project.SetEntrypointArguments(arguments);
  flutter::FlutterViewController controller(800, 600, project);
  ASSERT_NE(controller.GetView(), nullptr);

  StandinEngineProperties seen{};
  ASSERT_TRUE(StandinEngineLastProperties(&seen));
  EXPECT_EQ(standin_test::LastPath(kStandinAssetsPath), L"data\\flutter_assets");
  EXPECT_EQ(standin_test::LastPath(kStandinIcuDataPath), L"data\\icudtl.dat");
  EXPECT_EQ(standin_test::LastPath(kStandinAotLibraryPath), L"data\\app.so");
  EXPECT_FALSE(seen.dart_entrypoint_null);
  EXPECT_EQ(standin_test::LastEntrypointText(-1), "");
  ASSERT_EQ(seen.dart_entrypoint_argc, static_cast<int>(arguments.size()));
  EXPECT_FALSE(seen.dart_entrypoint_argv_null);
  for (size_t i = 0; i < arguments.size(); ++i) {
    EXPECT_EQ(standin_test::LastEntrypointText(static_cast<int>(i)), arguments[i]) << i;
  }
  EXPECT_EQ(seen.gpu_preference, 0);
  EXPECT_EQ(seen.ui_thread_policy, 0);

  // The engine was handed to the view controller of the client area's size.
  ASSERT_EQ(CallsStartingWith("FlutterDesktopViewControllerCreate").size(), 1u);
  EXPECT_EQ(CallsStartingWith("FlutterDesktopViewControllerCreate")[0].rfind(
                "FlutterDesktopViewControllerCreate 800x600 engine ", 0),
            0u);
}

TEST_F(FlutterEngineTest, NoArgumentsAreACountOfZeroAndANullArray) {
  flutter::FlutterViewController controller(100, 100, project);
  StandinEngineProperties seen{};
  ASSERT_TRUE(StandinEngineLastProperties(&seen));
  EXPECT_EQ(seen.dart_entrypoint_argc, 0);
  EXPECT_TRUE(seen.dart_entrypoint_argv_null);
  EXPECT_FALSE(seen.dart_entrypoint_null) << "the default entry point is an empty string";
  EXPECT_NE(controller.GetView(), nullptr);
}

TEST_F(FlutterEngineTest, DestroyingTheViewControllerEndsTheEngineExactlyOnce) {
  HWND view = nullptr;
  {
    flutter::FlutterViewController controller(100, 100, project);
    ASSERT_NE(controller.GetView(), nullptr);
    view = controller.GetView()->GetHWND();
    EXPECT_TRUE(IsWindow(view));
  }
  EXPECT_FALSE(IsWindow(view));
  EXPECT_EQ(CountCalls("FlutterDesktopViewControllerDestroy"), 1u);
  EXPECT_EQ(CountCalls("FlutterDesktopEngineDestroy"), 0u);
  EXPECT_EQ(CountCalls("engine "), 1u) << "ended once, by the view controller";
  EXPECT_EQ(CountCalls("misuse: "), 0u);
}

TEST_F(FlutterEngineTest, AnEngineNeverHandedOverIsEndedByItsOwner) {
  { flutter::FlutterEngine engine(project); }
  EXPECT_EQ(CountCalls("FlutterDesktopEngineDestroy"), 1u);
  EXPECT_EQ(CountCalls("engine "), 1u);
  EXPECT_EQ(CountCalls("misuse: "), 0u);
}

TEST_F(FlutterEngineTest, RefusedViewControllerLeavesNoViewAndNoEngineToMisuse) {
  StandinEngineFailViewControllerCreate(true);
  StderrCapture errors;
  flutter::FlutterViewController controller(100, 100, project);
  EXPECT_EQ(controller.GetView(), nullptr);
  EXPECT_EQ(errors.text(), kNoViewController);

  // The library ended the engine it had taken over: nothing may reach that handle again.
  ASSERT_NE(controller.GetEngine(), nullptr);
  EXPECT_EQ(controller.GetEngine()->GetMessenger(), nullptr);
  EXPECT_EQ(controller.GetEngine()->GetPluginRegistrar("FileSelectorWindows"), nullptr);
  EXPECT_EQ(errors.text(), std::string(kNoViewController) + kNoEngine);
  controller.ForceRedraw();
  controller.GetEngine()->ReloadSystemFonts();
  controller.GetEngine()->SetNextFrameCallback([] {});
  EXPECT_EQ(controller.HandleTopLevelWindowProc(nullptr, WM_CLOSE, 0, 0), std::nullopt);
  EXPECT_EQ(CountCalls("misuse: "), 0u) << "a refused handle reached the engine";
  EXPECT_EQ(CountCalls("engine "), 1u);
  EXPECT_EQ(CountCalls("FlutterDesktopEngineDestroy"), 0u);
}

TEST_F(FlutterEngineTest, RefusedEngineIsNeverHandedToAViewController) {
  StandinEngineFailEngineCreate(true);
  StderrCapture errors;
  flutter::FlutterViewController controller(100, 100, project);
  EXPECT_EQ(controller.GetView(), nullptr);
  EXPECT_EQ(controller.GetEngine()->GetMessenger(), nullptr);
  EXPECT_EQ(errors.text(), kNoViewController);
  EXPECT_EQ(CountCalls("FlutterDesktopViewControllerCreate"), 0u);
  EXPECT_EQ(CountCalls("misuse: "), 0u);
}

// ---- Next frame ----------------------------------------------------------------------------

TEST_F(FlutterEngineTest, NextFrameActionRunsOnceAfterTheNextFrame) {
  flutter::FlutterViewController controller(100, 100, project);
  ASSERT_TRUE(PumpUntil([] { return CountCalls("frame 1 ") == 1; }));

  int runs = 0;
  controller.GetEngine()->SetNextFrameCallback([&runs] { ++runs; });
  EXPECT_EQ(runs, 0);
  controller.ForceRedraw();
  ASSERT_TRUE(PumpUntil([&] { return runs == 1; }));

  controller.ForceRedraw();
  ASSERT_TRUE(PumpUntil([] { return CountCalls("frame 3 ") == 1; }));
  standin_test::PumpFor(50);
  EXPECT_EQ(runs, 1);
}

TEST_F(FlutterEngineTest, NextFrameActionMayArmTheNextOne) {
  flutter::FlutterViewController controller(100, 100, project);
  flutter::FlutterEngine* engine = controller.GetEngine();
  std::vector<std::string> ran;
  // The running action replaces itself; its captures must survive until it returns.
  const std::string first_name = "first, with a name long enough to live on the heap";
  engine->SetNextFrameCallback([engine, &ran, first_name] {
    engine->SetNextFrameCallback([&ran] { ran.push_back("second"); });
    ran.push_back(first_name);
  });
  controller.ForceRedraw();
  ASSERT_TRUE(PumpUntil([&] { return ran.size() == 1; }));
  controller.ForceRedraw();
  ASSERT_TRUE(PumpUntil([&] { return ran.size() == 2; }));
  EXPECT_EQ(ran, (std::vector<std::string>{first_name, "second"}));
}

// ---- Plugins ----------------------------------------------------------------------------

TEST_F(FlutterEngineTest, PluginsAreRegisteredInOrderWithTheirOwnRegistrars) {
  flutter::FlutterViewController controller(100, 100, project);
  RegisterGeneratedPlugins(controller.GetEngine());

  std::vector<std::string> registration;
  for (const std::string& line : standin_test::EngineCalls()) {
    if (line.rfind("FlutterDesktopEngineGetPluginRegistrar", 0) == 0) {
      registration.push_back(line.substr(line.rfind(' ') + 1));
    } else if (line.find("RegisterWithRegistrar") != std::string::npos) {
      registration.push_back(line);
    }
  }
  EXPECT_EQ(registration,
            (std::vector<std::string>{
                "FileSelectorWindows",
                "FileSelectorWindowsRegisterWithRegistrar registrar FileSelectorWindows",
                "FlutterSecureStorageWindowsPlugin",
                "FlutterSecureStorageWindowsPluginRegisterWithRegistrar registrar "
                "FlutterSecureStorageWindowsPlugin",
                "UrlLauncherWindows",
                "UrlLauncherWindowsRegisterWithRegistrar registrar UrlLauncherWindows"}));
}

TEST_F(FlutterEngineTest, PluginsGetANullRegistrarWithoutAnEngine) {
  StandinEngineFailEngineCreate(true);
  flutter::FlutterViewController controller(100, 100, project);
  StderrCapture errors;
  RegisterGeneratedPlugins(controller.GetEngine());
  EXPECT_EQ(CallsStartingWith("FileSelectorWindowsRegisterWithRegistrar"),
            std::vector<std::string>{"FileSelectorWindowsRegisterWithRegistrar registrar (null)"});
  EXPECT_EQ(CountCalls("UrlLauncherWindowsRegisterWithRegistrar registrar (null)"), 1u);
  EXPECT_EQ(errors.text(), std::string(kNoEngine) + kNoEngine + kNoEngine);
}

TEST_F(FlutterEngineTest, PluginLibrariesAreImportedByTheirNames) {
  for (const wchar_t* library :
       {L"flutter_windows.dll", L"file_selector_windows_plugin.dll",
        L"flutter_secure_storage_windows_plugin.dll", L"url_launcher_windows_plugin.dll"}) {
    EXPECT_NE(GetModuleHandleW(library), nullptr) << "not loaded at start-up";
  }
}

// ---- Messages, fonts ----------------------------------------------------------------------

TEST_F(FlutterEngineTest, TopLevelMessagesAreOfferedAndOnlyConsumedWhenTheEngineSaysSo) {
  flutter::FlutterViewController controller(100, 100, project);
  EXPECT_EQ(controller.HandleTopLevelWindowProc(nullptr, WM_FONTCHANGE, 0, 0), std::nullopt);
  StandinEngineConsumeTopLevelMessage(WM_FONTCHANGE, -5);
  EXPECT_EQ(controller.HandleTopLevelWindowProc(nullptr, WM_FONTCHANGE, 0, 0), LRESULT{-5});
  EXPECT_EQ(StandinEngineOfferedMessageCount(WM_FONTCHANGE), 2);

  controller.GetEngine()->ReloadSystemFonts();
  EXPECT_EQ(CountCalls("FlutterDesktopEngineReloadSystemFonts"), 1u);
}

TEST_F(FlutterEngineTest, ChannelsRunOnTheEnginesMessenger) {
  flutter::FlutterViewController controller(100, 100, project);
  flutter::BinaryMessenger* messenger = controller.GetEngine()->GetMessenger();
  ASSERT_NE(messenger, nullptr);
  messenger->SetMessageHandler("vpn/native",
                               [](const uint8_t* message, size_t size, flutter::BinaryReply reply) {
                                 std::vector<uint8_t> answer(message, message + size);
                                 answer.push_back(9);
                                 reply(answer.data(), answer.size());
                               });

  const uint8_t message[] = {1, 2};
  uint8_t response[8] = {};
  size_t size = 0;
  EXPECT_EQ(StandinMessagingExchange(StandinEngineLatestMessaging(), "vpn/native", message,
                                     sizeof message, response, sizeof response, &size, nullptr),
            kStandinAnswered);
  EXPECT_EQ(std::vector<uint8_t>(response, response + size), (std::vector<uint8_t>{1, 2, 9}));
}

// ---- The view in the top-level window -------------------------------------------------------

// The part of the host window that concerns the engine: a view controller for the client area,
// the view as content, shown after the first frame.
class HostWindow : public Win32Window {
 public:
  flutter::FlutterViewController* controller() { return controller_.get(); }

 protected:
  bool OnCreate() override {
    const RECT frame = GetClientArea();
    controller_ = std::make_unique<flutter::FlutterViewController>(
        frame.right - frame.left, frame.bottom - frame.top, EngineProject(L"data"));
    if (controller_->GetView() == nullptr) {
      return false;
    }
    SetContentWindow(controller_->GetView()->GetHWND());
    controller_->GetEngine()->SetNextFrameCallback([this] { Show(); });
    controller_->ForceRedraw();
    return true;
  }
  void OnDestroy() override { controller_.reset(); }

 private:
  std::unique_ptr<flutter::FlutterViewController> controller_;
};

// Reads the screen: what is actually shown there.
COLORREF ScreenPixel(int x, int y) {
  const HDC screen = GetDC(nullptr);
  const COLORREF pixel = GetPixel(screen, x, y);
  ReleaseDC(nullptr, screen);
  return pixel;
}

TEST_F(FlutterEngineTest, WindowShowsTheViewFillingItsClientAreaAfterTheFirstFrame) {
  HostWindow window;
  ASSERT_TRUE(window.Create(L"Orvane", {40, 40}, {920, 620}));
  EXPECT_FALSE(IsWindowVisible(window.GetHandle())) << "shown before the first frame";
  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(window.GetHandle()) != FALSE; }));
  EXPECT_EQ(CountCalls("next frame callback"), 1u);

  const HWND view = window.controller()->GetView()->GetHWND();
  EXPECT_EQ(GetParent(view), window.GetHandle());
  const RECT client = window.GetClientArea();
  RECT placed{};
  GetWindowRect(view, &placed);
  MapWindowPoints(HWND_DESKTOP, window.GetHandle(), reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, 0);
  EXPECT_EQ(placed.top, 0);
  EXPECT_EQ(placed.right, client.right);
  EXPECT_EQ(placed.bottom, client.bottom);

  // On the screen: the view's edge at the client area's corners, its background just inside.
  standin_test::PumpFor(200);
  POINT origin{0, 0};
  ClientToScreen(window.GetHandle(), &origin);
  const COLORREF edge = RGB(112, 122, 132);
  const COLORREF background = RGB(38, 42, 46);
  EXPECT_EQ(ScreenPixel(origin.x, origin.y), edge);
  EXPECT_EQ(ScreenPixel(origin.x + client.right - 1, origin.y + client.bottom - 1), edge);
  EXPECT_EQ(ScreenPixel(origin.x + 8, origin.y + 8), background);
  EXPECT_EQ(ScreenPixel(origin.x + client.right - 9, origin.y + client.bottom - 9), background);

  // For a look at it: ORVANE_HOLD_WINDOW_MS keeps it on the screen that long.
  if (const char* hold = std::getenv("ORVANE_HOLD_WINDOW_MS")) {
    standin_test::PumpFor(static_cast<DWORD>(std::strtoul(hold, nullptr, 10)));
  }
}

TEST_F(FlutterEngineTest, RefusedViewControllerFailsTheWindowsCreate) {
  StandinEngineFailViewControllerCreate(true);
  StderrCapture errors;
  HostWindow window;
  EXPECT_FALSE(window.Create(L"Orvane", {40, 40}, {920, 620}));
  EXPECT_EQ(errors.text(), kNoViewController);
  EXPECT_FALSE(IsWindowVisible(window.GetHandle()));
}

}  // namespace
