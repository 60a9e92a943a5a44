#include "standins/engine/control_commands.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "standins/engine/control_text.h"
#include "standins/engine/engine_view_objects.h"
#include "standins/engine/engine_view_records.h"
#include "standins/engine/messaging_control.h"

namespace standin_engine {
namespace {

// Messages the UI thread retrieved, by message: each one is a wake-up for work, which an idle
// host should not have. Written by the hook and read by `ui-messages`, both on the UI thread.
HHOOK retrievedHook = nullptr;
std::map<UINT, uint64_t> retrievedMessages;

StandinMessagingRef Messaging() {
  FlutterDesktopEngine* engine = LatestEngine();
  return engine == nullptr ? nullptr : engine->messaging;
}

std::vector<std::string> Send(std::string_view rest) {
  const std::string channel(NextWord(rest));
  const std::string_view hex = NextWord(rest);
  if (channel.empty()) {
    return One("error usage: send CHANNEL [HEX]");
  }
  const std::optional<std::vector<uint8_t>> message = FromHex(hex);
  if (!message) {
    return One("error bad hex");
  }
  StandinMessagingRef messaging = Messaging();
  std::vector<uint8_t> response(4096);
  size_t size = 0;
  uint64_t delivery = 0;
  StandinDeliveryStatus status =
      StandinMessagingExchange(messaging, channel.c_str(), message->data(), message->size(),
                               response.data(), response.size(), &size, &delivery);
  if (status == kStandinBufferTooSmall && size <= kMaxMessageBytes) {
    response.resize(size);
    status =
        StandinMessagingTakeResponse(messaging, delivery, response.data(), response.size(), &size);
  }
  switch (status) {
    case kStandinAnswered:
      return One("reply " + Hex(response.data(), size));
    case kStandinPending:
      return One("pending " + std::to_string(delivery));
    case kStandinBufferTooSmall:
      return One("error response too large");
    case kStandinNotDelivered:
    default:
      return One("error not delivered");
  }
}

std::vector<std::string> HostMessages(std::string_view rest) {
  const std::string_view from_text = NextWord(rest);
  uint64_t from = 1;
  if (!from_text.empty()) {
    from = std::strtoull(std::string(from_text).c_str(), nullptr, 10);
  }
  StandinMessagingRef messaging = Messaging();
  const size_t count = StandinMessagingHostMessageCount(messaging);
  std::vector<std::string> lines;
  for (uint64_t id = from < 1 ? 1 : from; id <= count; ++id) {
    char channel[256] = {};
    size_t size = 0;
    std::vector<uint8_t> bytes;
    StandinMessagingGetHostMessage(messaging, id, channel, sizeof channel, nullptr, 0, &size);
    if (size > kMaxMessageBytes) {
      continue;
    }
    bytes.resize(size);
    if (!StandinMessagingGetHostMessage(messaging, id, channel, sizeof channel, bytes.data(),
                                        bytes.size(), &size)) {
      continue;
    }
    lines.push_back(std::to_string(id) + " " + channel + " " + Hex(bytes.data(), size));
  }
  return Listing(std::move(lines));
}

std::vector<std::string> View() {
  FlutterDesktopEngine* engine = LatestEngine();
  if (engine == nullptr) {
    return One("ok engine=0");
  }
  std::string line = "ok engine=1";
  const FlutterDesktopViewControllerState* controller = engine->owner;
  if (controller == nullptr || controller->view.window == nullptr) {
    return One(line + " view=0");
  }
  const FlutterDesktopView& view = controller->view;
  RECT client{};
  GetClientRect(view.window, &client);
  // Once the host has made the view its content, the view's root is the host's window; before,
  // the view is a child of the message-only window and its own root.
  const HWND top = GetAncestor(view.window, GA_ROOT);
  line += " view=1 width=" + std::to_string(client.right) +
          " height=" + std::to_string(client.bottom) +
          " frames=" + std::to_string(view.framesDrawn) + " top=" + HandleText(top) +
          " hosted=" + (top != view.window ? "1" : "0") +
          " visible=" + (IsWindowVisible(top) ? "1" : "0");
  return One(line);
}

// The filtering model lives in the stand-in fwpuclnt.dll inside this process; its read-out
// functions are reached by name, so this DLL needs no link to it.
std::vector<std::string> Wfp(std::string_view verb, std::string_view rest) {
  const HMODULE module = GetModuleHandleW(L"fwpuclnt.dll");
  if (module == nullptr) {
    return One("error fwpuclnt.dll is not loaded");
  }
  using Describe = size_t (*)(char*, size_t);
  using Classify = size_t (*)(const char*, char*, size_t);
  const bool describe = verb == "wfp-describe";
  const FARPROC function =
      GetProcAddress(module, describe ? "StandinWfpDescribe" : "StandinWfpClassify");
  if (function == nullptr) {
    return One("error fwpuclnt.dll is not the stand-in");
  }
  const std::string connection(rest);
  std::string text(64 * 1024, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const size_t needed = describe ? reinterpret_cast<Describe>(reinterpret_cast<void*>(function))(
                                         text.data(), text.size())
                                   : reinterpret_cast<Classify>(reinterpret_cast<void*>(function))(
                                         connection.c_str(), text.data(), text.size());
    if (needed < text.size()) {
      text.resize(needed);
      break;
    }
    if (attempt == 1 || needed >= kMaxMessageBytes) {
      return One("error read-out too large");
    }
    text.assign(needed + 1, '\0');
  }
  if (describe) {
    return Listing(SplitLines(text));
  }
  const std::vector<std::string> lines = SplitLines(text);
  return One(lines.empty() ? "error empty answer" : "ok " + lines.front());
}

LRESULT CALLBACK CountRetrieved(int code, WPARAM wparam, LPARAM lparam) noexcept {
  // PM_NOREMOVE peeks only look; a message counts once, when it is taken.
  if (code == HC_ACTION && wparam == PM_REMOVE) {
    try {
      ++retrievedMessages[reinterpret_cast<const MSG*>(lparam)->message];
    } catch (...) {
    }
  }
  return CallNextHookEx(retrievedHook, code, wparam, lparam);
}

std::vector<std::string> UiMessages() {
  uint64_t total = 0;
  std::string counts;
  for (const auto& [message, count] : retrievedMessages) {
    total += count;
    char text[40];
    std::snprintf(text, sizeof text, " 0x%04x=%llu", message,
                  static_cast<unsigned long long>(count));
    counts += text;
  }
  return One("ok retrieved=" + std::to_string(total) + counts);
}

}  // namespace

std::vector<std::string> RunCommand(std::string_view line) {
  std::string_view rest = line;
  const std::string_view command = NextWord(rest);
  if (command == "ping") {
    return One("ok");
  }
  if (command == "handler") {
    const std::string channel(NextWord(rest));
    return One(StandinMessagingHasHandler(Messaging(), channel.c_str()) ? "ok yes" : "ok no");
  }
  if (command == "send") {
    return Send(rest);
  }
  if (command == "host-messages") {
    return HostMessages(rest);
  }
  if (command == "view") {
    return View();
  }
  if (command == "stats") {
    StandinMessagingRef messaging = Messaging();
    return One("ok pending=" + std::to_string(StandinMessagingPendingDeliveries(messaging)) +
               " refused=" + std::to_string(StandinMessagingRefusedResponses(messaging)) +
               " dropped=" + std::to_string(StandinMessagingDroppedResponses(messaging)));
  }
  if (command == "call-log") {
    const std::string_view setting = NextWord(rest);
    if (setting != "on" && setting != "off") {
      return One("error usage: call-log on|off");
    }
    if (Messaging() == nullptr) {
      return One("error no engine");
    }
    StandinMessagingSetCallLogging(Messaging(), setting == "on");
    return One("ok");
  }
  if (command == "ui-messages") {
    return UiMessages();
  }
  if (command == "engine-log") {
    return Listing(SplitLines(Records::Get().CallLog()));
  }
  if (command == "wfp-describe" || command == "wfp-classify") {
    return Wfp(command, rest);
  }
  return One("error unknown command");
}

void CountRetrievedMessages() {
  // Sent messages (the commands among them) are not retrieved and do not count.
  retrievedHook = SetWindowsHookExW(WH_GETMESSAGE, CountRetrieved, nullptr, GetCurrentThreadId());
}

}  // namespace standin_engine
