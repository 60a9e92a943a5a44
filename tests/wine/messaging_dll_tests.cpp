// The host's messenger linked by import against the stand-in flutter_windows.dll, as the host
// executable links it: the engine's functions resolve by name from the DLL, and only C types
// cross between the two modules (each has its own C++ runtime).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "embedding/binary_messenger_impl.h"
#include "standins/engine/messaging_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

class StandinDll : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(control_, nullptr); }
  void TearDown() override { StandinMessagingDestroy(control_); }

  StandinMessagingRef control_ = StandinMessagingCreate();
};

TEST_F(StandinDll, TheEngineFunctionsComeFromTheDllBesideTheProgram) {
  HMODULE dll = GetModuleHandleW(L"flutter_windows.dll");
  ASSERT_NE(dll, nullptr);
  for (const char* name : {"FlutterDesktopMessengerSend", "FlutterDesktopMessengerSendWithReply",
                           "FlutterDesktopMessengerSendResponse",
                           "FlutterDesktopMessengerSetCallback", "FlutterDesktopMessengerAddRef",
                           "FlutterDesktopMessengerRelease", "FlutterDesktopMessengerIsAvailable",
                           "FlutterDesktopMessengerLock", "FlutterDesktopMessengerUnlock"}) {
    EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
  }
}

TEST_F(StandinDll, AMessageRoundTripsThroughTheHostsMessenger) {
  flutter::BinaryMessengerImpl messenger(StandinMessagingGetMessenger(control_));
  messenger.SetMessageHandler("vpn/native",
                              [](const uint8_t* message, size_t size, flutter::BinaryReply reply) {
                                Bytes answer(message, message + size);
                                answer.push_back(0xFF);
                                reply(answer.data(), answer.size());
                              });
  const Bytes message{1, 2, 3};
  uint8_t response[16] = {};
  size_t size = 0;
  EXPECT_EQ(StandinMessagingExchange(control_, "vpn/native", message.data(), message.size(),
                                     response, sizeof response, &size, nullptr),
            kStandinAnswered);
  EXPECT_EQ(Bytes(response, response + size), (Bytes{1, 2, 3, 0xFF}));
  EXPECT_EQ(StandinMessagingRefusedResponses(control_), 0u);

  char log[512] = {};
  (void)StandinMessagingCallLog(control_, log, sizeof log);
  EXPECT_EQ(std::string(log),
            "SetCallback vpn/native\nAddRef\nLock\nIsAvailable\nSendResponse\nUnlock\nRelease\n");
}

TEST_F(StandinDll, TheHostsOutgoingMessageIsSeenAndAnswered) {
  flutter::BinaryMessengerImpl messenger(StandinMessagingGetMessenger(control_));
  Bytes received;
  const uint8_t call[] = {7, 8};
  messenger.Send("vpn/native", call, sizeof call,
                 [&](const uint8_t* reply, size_t size) { received.assign(reply, reply + size); });
  ASSERT_EQ(StandinMessagingHostMessageCount(control_), 1u);
  char channel[32] = {};
  uint8_t bytes[8] = {};
  size_t size = 0;
  ASSERT_TRUE(StandinMessagingGetHostMessage(control_, 1, channel, sizeof channel, bytes,
                                             sizeof bytes, &size));
  EXPECT_EQ(std::string(channel), "vpn/native");
  EXPECT_EQ(Bytes(bytes, bytes + size), (Bytes{7, 8}));
  const uint8_t reply[] = {0, 1};
  EXPECT_TRUE(StandinMessagingAnswerHostMessage(control_, 1, reply, sizeof reply));
  EXPECT_EQ(received, (Bytes{0, 1}));
}

}  // namespace
