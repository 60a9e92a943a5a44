// The stand-in engine's engine and view side, through the engine's C interface: what it accepts,
// what it records, its view window and frames, and how it survives misuse.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "embedding/flutter_windows.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/messaging_control.h"
#include "tests/wine/standin_engine_support.h"

namespace {

using standin_test::CallsStartingWith;
using standin_test::CountCalls;
using standin_test::PositionOf;
using standin_test::PumpUntil;

// A properties record as the host fills it, which each test may spoil in one place.
struct Record {
  const char* arguments[2] = {"--first", "second"};
  FlutterDesktopEngineProperties properties{};

  Record() {
    properties.assets_path = L"data\\flutter_assets";
    properties.icu_data_path = L"data\\icudtl.dat";
    properties.aot_library_path = L"data\\app.so";
    properties.dart_entrypoint = "";
    properties.dart_entrypoint_argc = 0;
    properties.dart_entrypoint_argv = nullptr;
  }
};

class StandinEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { StandinEngineReset(); }
  void TearDown() override { StandinEngineReset(); }

  static FlutterDesktopEngineRef CreateEngine() {
    Record record;
    return FlutterDesktopEngineCreate(&record.properties);
  }
};

TEST_F(StandinEngineTest, RefusesRecordsTheEngineInterfaceDoesNotAllow) {
  struct Case {
    const char* reason;
    void (*spoil)(Record&);
  };
  const Case cases[] = {
      {"assets_path is null", [](Record& r) { r.properties.assets_path = nullptr; }},
      {"icu_data_path is empty", [](Record& r) { r.properties.icu_data_path = L""; }},
      {"aot_library_path is null", [](Record& r) { r.properties.aot_library_path = nullptr; }},
      {"dart_entrypoint is null", [](Record& r) { r.properties.dart_entrypoint = nullptr; }},
      {"dart_entrypoint is not UTF-8",
       [](Record& r) { r.properties.dart_entrypoint = "\xC0\x80"; }},
      {"dart_entrypoint_argc is negative",
       [](Record& r) { r.properties.dart_entrypoint_argc = -1; }},
      {"dart_entrypoint_argv is not null for no arguments",
       [](Record& r) { r.properties.dart_entrypoint_argv = r.arguments; }},
      {"dart_entrypoint_argv is null for 2 arguments",
       [](Record& r) { r.properties.dart_entrypoint_argc = 2; }},
      {"argument 1 is null",
       [](Record& r) {
         r.arguments[1] = nullptr;
         r.properties.dart_entrypoint_argc = 2;
         r.properties.dart_entrypoint_argv = r.arguments;
       }},
      {"argument 0 is not UTF-8",
       [](Record& r) {
         r.arguments[0] = "\xED\xA0\x80";  // a surrogate
         r.properties.dart_entrypoint_argc = 2;
         r.properties.dart_entrypoint_argv = r.arguments;
       }},
  };
  for (const Case& c : cases) {
    StandinEngineReset();
    Record record;
    c.spoil(record);
    EXPECT_EQ(FlutterDesktopEngineCreate(&record.properties), nullptr) << c.reason;
    EXPECT_EQ(
        standin_test::EngineCalls(),
        std::vector<std::string>{std::string("FlutterDesktopEngineCreate refused: ") + c.reason});
  }
  EXPECT_EQ(FlutterDesktopEngineCreate(nullptr), nullptr);
}

TEST_F(StandinEngineTest, RecordsWhatCreateReceived) {
  Record record;
  record.properties.dart_entrypoint = "secondaryMain";
  record.arguments[1] = "\xD0\xBF\xD1\x80\xD0\xB8";
  record.properties.dart_entrypoint_argc = 2;
  record.properties.dart_entrypoint_argv = record.arguments;
  const FlutterDesktopEngineRef engine = FlutterDesktopEngineCreate(&record.properties);
  ASSERT_NE(engine, nullptr);

  StandinEngineProperties seen{};
  ASSERT_TRUE(StandinEngineLastProperties(&seen));
  EXPECT_FALSE(seen.dart_entrypoint_null);
  EXPECT_EQ(seen.dart_entrypoint_argc, 2);
  EXPECT_FALSE(seen.dart_entrypoint_argv_null);
  EXPECT_EQ(standin_test::LastPath(kStandinAssetsPath), L"data\\flutter_assets");
  EXPECT_EQ(standin_test::LastPath(kStandinIcuDataPath), L"data\\icudtl.dat");
  EXPECT_EQ(standin_test::LastPath(kStandinAotLibraryPath), L"data\\app.so");
  EXPECT_EQ(standin_test::LastEntrypointText(-1), "secondaryMain");
  EXPECT_EQ(standin_test::LastEntrypointText(0), "--first");
  EXPECT_EQ(standin_test::LastEntrypointText(1), "\xD0\xBF\xD1\x80\xD0\xB8");
  EXPECT_EQ(standin_test::LastEntrypointText(2), std::nullopt);

  // A short buffer gets a truncated, terminated copy and the length needed.
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(StandinEngineLastEntrypointText(-1, small, sizeof small), 13u);
  EXPECT_STREQ(small, "sec");

  EXPECT_TRUE(FlutterDesktopEngineDestroy(engine));
  EXPECT_EQ(CountCalls("engine "), 1u);
}

TEST_F(StandinEngineTest, FailureKnobsRefuseEngineAndViewController) {
  StandinEngineFailEngineCreate(true);
  EXPECT_EQ(CreateEngine(), nullptr);
  StandinEngineFailEngineCreate(false);

  StandinEngineFailViewControllerCreate(true);
  const FlutterDesktopEngineRef engine = CreateEngine();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(FlutterDesktopViewControllerCreate(100, 100, engine), nullptr);
  // The refused controller had taken the engine over, and ended it.
  EXPECT_EQ(CountCalls("engine "), 1u);
  EXPECT_FALSE(FlutterDesktopEngineDestroy(engine));
  EXPECT_EQ(CallsStartingWith("misuse: ").size(), 1u);
}

TEST_F(StandinEngineTest, ViewIsARealChildWindowThatDrawsFramesWhileHidden) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(640, 480, engine);
  ASSERT_NE(controller, nullptr);
  const HWND view = FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller));
  ASSERT_TRUE(IsWindow(view));
  EXPECT_NE(GetWindowLongPtrW(view, GWL_STYLE) & WS_CHILD, 0);
  EXPECT_FALSE(IsWindowVisible(view)) << "nobody has shown a parent yet";
  RECT client{};
  GetClientRect(view, &client);
  EXPECT_EQ(client.right, 640);
  EXPECT_EQ(client.bottom, 480);

  // The engine draws its first frame on its own, hidden or not.
  EXPECT_TRUE(PumpUntil([] { return CountCalls("frame 1 ") == 1; }));

  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_FALSE(IsWindow(view));
  EXPECT_EQ(CountCalls("engine "), 1u);
  EXPECT_EQ(CountCalls("FlutterDesktopEngineDestroy"), 0u);
  EXPECT_EQ(CountCalls("misuse: "), 0u);
}

struct CallbackProbe {
  int runs = 0;
  DWORD thread = 0;
  size_t logPosition = 0;
};

void ProbeCallback(void* user_data) {
  auto* probe = static_cast<CallbackProbe*>(user_data);
  ++probe->runs;
  probe->thread = GetCurrentThreadId();
  probe->logPosition = standin_test::EngineCalls().size();
}

TEST_F(StandinEngineTest, NextFrameCallbackRunsOnceOnTheUiThreadAfterAFrame) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(320, 200, engine);
  ASSERT_NE(controller, nullptr);
  ASSERT_TRUE(PumpUntil([] { return CountCalls("frame 1 ") == 1; }));

  CallbackProbe probe;
  FlutterDesktopEngineSetNextFrameCallback(engine, &ProbeCallback, &probe);
  FlutterDesktopViewControllerForceRedraw(controller);
  EXPECT_EQ(probe.runs, 0) << "not before the frame";
  ASSERT_TRUE(PumpUntil([&] { return probe.runs == 1; }));
  EXPECT_EQ(probe.thread, GetCurrentThreadId());
  // Frame 2 was drawn before the callback ran.
  EXPECT_LT(PositionOf("frame 2 "), probe.logPosition);

  FlutterDesktopViewControllerForceRedraw(controller);
  ASSERT_TRUE(PumpUntil([] { return CountCalls("frame 3 ") == 1; }));
  standin_test::PumpFor(50);
  EXPECT_EQ(probe.runs, 1) << "one-shot: a later frame does not run it again";

  FlutterDesktopViewControllerDestroy(controller);
}

TEST_F(StandinEngineTest, TheHostCannotEndAnEngineItHandedOver) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(100, 100, engine);
  ASSERT_NE(controller, nullptr);
  EXPECT_FALSE(FlutterDesktopEngineDestroy(engine));
  EXPECT_EQ(CountCalls("misuse: FlutterDesktopEngineDestroy of engine"), 1u);
  // Still running: registrars are still handed out.
  EXPECT_NE(FlutterDesktopEngineGetPluginRegistrar(engine, "A"), nullptr);
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_EQ(CountCalls("engine "), 1u);
}

TEST_F(StandinEngineTest, ViewSurvivesItsParentGoingFirst) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(100, 100, engine);
  ASSERT_NE(controller, nullptr);
  const HWND view = FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller));
  const HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr,
                                      nullptr, nullptr);
  SetParent(view, parent);
  DestroyWindow(parent);
  EXPECT_FALSE(IsWindow(view));
  EXPECT_EQ(FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller)), nullptr);
  FlutterDesktopViewControllerForceRedraw(controller);
  standin_test::PumpFor(30);
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_EQ(CountCalls("engine "), 1u);
  EXPECT_EQ(CountCalls("misuse: "), 0u);
}

TEST_F(StandinEngineTest, DpiIsTheMonitorsUnlessATestSetsIt) {
  const HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  const UINT own = FlutterDesktopGetDpiForMonitor(monitor);
  EXPECT_GE(own, 96u);
  StandinEngineSetMonitorDpi(144);
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(monitor), 144u);
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(nullptr), 144u);
  StandinEngineSetMonitorDpi(0);
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(monitor), own);
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(nullptr), 96u);
}

TEST_F(StandinEngineTest, TopLevelHookConsumesOnlyWhatATestAsksFor) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(100, 100, engine);
  ASSERT_NE(controller, nullptr);
  LRESULT result = 7;
  for (const UINT message : {UINT{WM_SIZE}, UINT{WM_CLOSE}, UINT{WM_DPICHANGED}}) {
    EXPECT_FALSE(FlutterDesktopViewControllerHandleTopLevelWindowProc(controller, nullptr, message,
                                                                      0, 0, &result));
  }
  EXPECT_EQ(result, 7);

  StandinEngineConsumeTopLevelMessage(WM_CLOSE, 42);
  EXPECT_TRUE(FlutterDesktopViewControllerHandleTopLevelWindowProc(controller, nullptr, WM_CLOSE, 0,
                                                                   0, &result));
  EXPECT_EQ(result, 42);
  EXPECT_EQ(StandinEngineOfferedMessageCount(WM_CLOSE), 2);
  EXPECT_EQ(StandinEngineOfferedMessageCount(WM_PAINT), 0);
  FlutterDesktopViewControllerDestroy(controller);
}

TEST_F(StandinEngineTest, EachPluginNameHasOneRegistrar) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const FlutterDesktopPluginRegistrarRef first =
      FlutterDesktopEngineGetPluginRegistrar(engine, "A");
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(FlutterDesktopEngineGetPluginRegistrar(engine, "A"), first);
  EXPECT_NE(FlutterDesktopEngineGetPluginRegistrar(engine, "B"), first);

  StandinEngineRecordPluginRegistration("Register", first);
  StandinEngineRecordPluginRegistration("Register", nullptr);
  int stranger = 0;
  StandinEngineRecordPluginRegistration(
      "Register", reinterpret_cast<FlutterDesktopPluginRegistrarRef>(&stranger));
  EXPECT_EQ(CallsStartingWith("Register "),
            (std::vector<std::string>{"Register registrar A", "Register registrar (null)",
                                      "Register registrar (unknown)"}));
  FlutterDesktopEngineDestroy(engine);
}

TEST_F(StandinEngineTest, EnginesMessengerIsItsMessagingSides) {
  const FlutterDesktopEngineRef engine = CreateEngine();
  const StandinMessagingRef messaging = StandinEngineLatestMessaging();
  ASSERT_NE(messaging, nullptr);
  EXPECT_EQ(FlutterDesktopEngineGetMessenger(engine), StandinMessagingGetMessenger(messaging));
  EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(FlutterDesktopEngineGetMessenger(engine)));

  // A reference the host keeps outlives the engine, and then says the engine has gone.
  const FlutterDesktopMessengerRef kept =
      FlutterDesktopMessengerAddRef(FlutterDesktopEngineGetMessenger(engine));
  FlutterDesktopEngineDestroy(engine);
  EXPECT_EQ(StandinEngineLatestMessaging(), nullptr);
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(kept));
  FlutterDesktopMessengerRelease(kept);
}

TEST_F(StandinEngineTest, HandlesItDidNotGiveOutAreRecordedNotFollowed) {
  int stranger = 0;
  const auto engine = reinterpret_cast<FlutterDesktopEngineRef>(&stranger);
  const auto controller = reinterpret_cast<FlutterDesktopViewControllerRef>(&stranger);
  const auto view = reinterpret_cast<FlutterDesktopViewRef>(&stranger);
  LRESULT result = 0;

  EXPECT_FALSE(FlutterDesktopEngineDestroy(nullptr));
  EXPECT_FALSE(FlutterDesktopEngineDestroy(engine));
  EXPECT_EQ(FlutterDesktopEngineGetMessenger(engine), nullptr);
  EXPECT_EQ(FlutterDesktopEngineGetPluginRegistrar(nullptr, "A"), nullptr);
  FlutterDesktopEngineReloadSystemFonts(engine);
  FlutterDesktopEngineSetNextFrameCallback(nullptr, &ProbeCallback, nullptr);
  EXPECT_EQ(FlutterDesktopViewControllerCreate(1, 1, engine), nullptr);
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_EQ(FlutterDesktopViewControllerGetView(nullptr), nullptr);
  FlutterDesktopViewControllerForceRedraw(controller);
  EXPECT_FALSE(FlutterDesktopViewControllerHandleTopLevelWindowProc(nullptr, nullptr, WM_SIZE, 0, 0,
                                                                    &result));
  EXPECT_EQ(FlutterDesktopViewGetHWND(view), nullptr);
  EXPECT_EQ(CountCalls("misuse: "), 12u);
  EXPECT_EQ(CallsStartingWith("misuse: ")[0],
            "misuse: FlutterDesktopEngineDestroy with a null engine");
  EXPECT_EQ(CallsStartingWith("misuse: ")[1],
            "misuse: FlutterDesktopEngineDestroy with an unknown engine");
}

}  // namespace
