// The stand-in engine's control pipe, with this test as the host: a driver's request lines and the
// replies they must get, carried out on the thread that owns the engine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "embedding/flutter_windows.h"
#include "standins/control/control_client.h"
#include "standins/engine/engine_view_control.h"
#include "tests/wine/standin_engine_support.h"

namespace {

constexpr wchar_t kPipe[] = L"orvane-control-pipe-test";

// The length of the messenger's call log when the log was switched off.
size_t callLogWhenOff = 0;

size_t CallLogLength() {
  return StandinMessagingCallLog(StandinEngineLatestMessaging(), nullptr, 0);
}

// What reached the "echo" handler, in order.
std::vector<std::vector<uint8_t>> echoed;

// The host's side: answers "echo" with the message reversed, never answers "silent".
void OnMessage(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
               void* /*user_data*/) {
  if (std::string(message->channel) != "echo") {
    return;
  }
  std::vector<uint8_t> reply(message->message, message->message + message->message_size);
  echoed.push_back(reply);
  std::reverse(reply.begin(), reply.end());
  FlutterDesktopMessengerSendResponse(messenger, message->response_handle, reply.data(),
                                      reply.size());
}

TEST(ControlPipe, CarriesOutADriversRequestsOnTheEngineThread) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"ORVANE_STANDIN_CONTROL", kPipe));
  FlutterDesktopEngineProperties properties{};
  properties.assets_path = L"data\\flutter_assets";
  properties.icu_data_path = L"data\\icudtl.dat";
  properties.aot_library_path = L"data\\app.so";
  properties.dart_entrypoint = "";
  FlutterDesktopEngineRef engine = FlutterDesktopEngineCreate(&properties);
  ASSERT_NE(engine, nullptr);
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  FlutterDesktopViewControllerRef controller = FlutterDesktopViewControllerCreate(320, 200, engine);
  ASSERT_NE(controller, nullptr);
  const DWORD engine_thread = GetCurrentThreadId();

  struct Step {
    const char* request;
    const char* reply;  // the first reply line
    void (*before)(FlutterDesktopMessengerRef);
    DWORD stall_ms = 0;  // how long the engine thread then stops serving its messages
  };
  static const Step steps[] = {
      {"ping", "ok", nullptr},
      {"handler echo", "ok no", nullptr},
      {"send echo 0102", "error not delivered", nullptr},
      {"handler echo", "ok yes",
       [](FlutterDesktopMessengerRef m) {
         FlutterDesktopMessengerSetCallback(m, "echo", OnMessage, nullptr);
         FlutterDesktopMessengerSetCallback(m, "silent", OnMessage, nullptr);
       }},
      {"wait-handler echo 1000", "ok", nullptr},
      {"wait-handler other 100", "error timeout", nullptr},
      {"send echo 0102ab", "reply ab0201", nullptr},
      {"send echo", "reply ", nullptr},
      {"send echo 0A0b", "reply 0b0a", nullptr},
      {"send echo 123", "error bad hex", nullptr},
      {"send echo zz", "error bad hex", nullptr},
      {"send", "error usage: send CHANNEL [HEX]", nullptr},
      {"send silent 01", "pending ", nullptr},
      {"stats", "ok pending=1 refused=0 dropped=0", nullptr},
      {"host-messages", "lines 0", nullptr},
      {"host-messages", "lines 2",
       [](FlutterDesktopMessengerRef m) {
         const uint8_t bytes[] = {7, 0xff};
         FlutterDesktopMessengerSend(m, "vpn/native", bytes, 2);
         FlutterDesktopMessengerSend(m, "other", nullptr, 0);
       }},
      {"host-messages 2", "lines 1", nullptr},
      {"view", "ok engine=1 view=1 width=320 height=200 frames=", nullptr},
      {"wfp-describe", "error fwpuclnt.dll is not loaded", nullptr},
      {"frobnicate", "error unknown command", nullptr},
      // A hand-over reported as failed after the window carried the command out: the command
      // ran once, and its reply is the answer.
      {"send echo 0a01", "reply 010a",
       [](FlutterDesktopMessengerRef) { StandinEngineMisreportNextControlHandOver(0); }},
      {"send echo 0a02", "reply 020a",
       [](FlutterDesktopMessengerRef) {
         StandinEngineMisreportNextControlHandOver(ERROR_INVALID_WINDOW_HANDLE);
       }},
      {"send echo 0a03", "reply 030a",
       [](FlutterDesktopMessengerRef) {
         StandinEngineMisreportNextControlHandOver(ERROR_ACCESS_DENIED);
       }},
      {"send echo 0a04", "reply 040a",
       [](FlutterDesktopMessengerRef) {
         StandinEngineMisreportNextControlHandOver(ERROR_TIMEOUT);
       }},
      // Not taken up in time: answered busy, and never carried out afterwards.
      {"send echo 0a05", "error busy",
       [](FlutterDesktopMessengerRef) { StandinEngineSetControlTimeout(200); }, 800},
      {"send echo 0a06", "reply 060a",
       [](FlutterDesktopMessengerRef) { StandinEngineSetControlTimeout(0); }},
      {"call-log", "error usage: call-log on|off", nullptr},
      {"call-log off", "ok", nullptr},
      {"send echo 0a07", "reply 070a",
       [](FlutterDesktopMessengerRef) { callLogWhenOff = CallLogLength(); }},
      {"call-log on", "ok",
       [](FlutterDesktopMessengerRef) { EXPECT_EQ(CallLogLength(), callLogWhenOff); }},
      // This thread's own message loop retrieves them.
      {"ui-messages", "ok retrieved=", nullptr},
  };

  std::atomic<size_t> next{0};
  std::atomic<bool> ready{false};
  std::atomic<bool> done{false};
  std::vector<std::vector<std::string>> replies(std::size(steps));
  std::thread driver([&] {
    auto client = standin_control::ControlClient::Connect(kPipe, 5000);
    for (size_t i = 0; client && i < std::size(steps); ++i) {
      next = i;
      ready = true;
      while (ready) {
        Sleep(1);  // the engine thread runs the step's set-up first
      }
      replies[i] = client->Request(steps[i].request).value_or(std::vector<std::string>{});
    }
    done = true;
  });
  while (!done) {
    if (ready) {
      const Step& step = steps[next];
      if (step.before != nullptr) {
        step.before(messenger);
      }
      ready = false;
      Sleep(step.stall_ms);
    }
    standin_test::PumpFor(5);
  }
  driver.join();
  EXPECT_EQ(GetCurrentThreadId(), engine_thread);

  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(steps[i].request);
    ASSERT_FALSE(replies[i].empty());
    EXPECT_EQ(replies[i][0].substr(0, std::string(steps[i].reply).size()), steps[i].reply);
  }
  // The listing's lines: id, channel and the bytes in hex; an empty message keeps its place.
  EXPECT_EQ(replies[15], (std::vector<std::string>{"lines 2", "1 vpn/native 07ff", "2 other "}));
  EXPECT_EQ(replies[16], (std::vector<std::string>{"lines 1", "2 other "}));
  EXPECT_NE(replies[17][0].find("hosted=0 visible=0"), std::string::npos);
  EXPECT_NE(replies.back()[0], "ok retrieved=0");
  for (uint8_t tail = 1; tail <= 6; ++tail) {
    const std::vector<uint8_t> sent{0x0a, tail};
    EXPECT_EQ(std::count(echoed.begin(), echoed.end(), sent), tail == 5 ? 0 : 1)
        << "times 0a0" << int{tail} << " reached the handler";
  }

  FlutterDesktopViewControllerDestroy(controller);
  // With the engine gone the pipe stays, and says so instead of touching freed state.
  auto late = standin_control::ControlClient::Connect(kPipe, 5000);
  ASSERT_TRUE(late);
  std::vector<std::string> reply;
  std::atomic<bool> answered{false};
  std::thread after([&] {
    reply = late->Request("send echo 01").value_or(reply);
    answered = true;
  });
  standin_test::PumpUntil([&] { return answered.load(); });
  after.join();
  EXPECT_EQ(reply, std::vector<std::string>{"error not delivered"});
}

}  // namespace
