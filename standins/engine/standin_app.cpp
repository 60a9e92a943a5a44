// The scripted stand-in application. It plays the application's part through the same
// messaging the control pipe uses (StandinMessagingExchange): each call is encoded with the
// standard method codec, delivered to the host's "vpn/native" handler, and answered before the
// exchange returns, as the host answers every call at once.
#include "standins/engine/standin_app.h"

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "embedding/encodable_value.h"
#include "embedding/method_call.h"
#include "embedding/method_result.h"
#include "embedding/standard_method_codec.h"
#include "standins/engine/messaging_control.h"

namespace standin_engine {
namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

constexpr char kChannel[] = "vpn/native";
// Private to the view's class (view_functions.cpp has WM_USER + 1): the host did something the
// application may have to answer. Posted by the messaging side, never on a clock: a stand-in that
// ticks would hide a host that ticks.
constexpr UINT kHostActivityMessage = WM_USER + 2;
constexpr int kConnectId = 1001;
constexpr int kDisconnectId = 1002;
constexpr size_t kLogLines = 14;

constexpr COLORREF kBackground = RGB(24, 28, 33);
constexpr COLORREF kHeading = RGB(236, 240, 243);
constexpr COLORREF kBody = RGB(170, 180, 190);
constexpr COLORREF kConnected = RGB(46, 204, 113);
constexpr COLORREF kWaiting = RGB(150, 156, 162);

struct App {
  FlutterDesktopView* view = nullptr;
  HWND connectButton = nullptr;
  HWND disconnectButton = nullptr;
  bool started = false;  // the start-up calls were made
  bool connected = false;
  size_t hostMessagesSeen = 0;
  std::deque<std::wstring> log;
};

App* app = nullptr;  // one per process, in the first view
// One activity message in the queue at a time, however busy the host is.
std::atomic<bool> activityPosted{false};

// Any thread the host calls on; `window` is the view's, which may be gone by now.
void OnHostActivity(void* window) {
  if (!activityPosted.exchange(true)) {
    if (!PostMessageW(static_cast<HWND>(window), kHostActivityMessage, 0, 0)) {
      activityPosted = false;
    }
  }
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  wide.resize(static_cast<size_t>(length > 0 ? length : 0));
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  }
  return wide;
}

std::string Show(const EncodableValue& value) {
  if (value.IsNull()) {
    return "null";
  }
  if (const auto* flag = std::get_if<bool>(&value)) {
    return *flag ? "true" : "false";
  }
  if (const auto* number = std::get_if<int32_t>(&value)) {
    return std::to_string(*number);
  }
  if (const auto* text = std::get_if<std::string>(&value)) {
    return "\"" + *text + "\"";
  }
  if (const auto* map = std::get_if<EncodableMap>(&value)) {
    std::string shown = "{";
    for (const auto& [key, item] : *map) {
      shown += (shown.size() > 1 ? ", " : "") + Show(key) + ": " + Show(item);
    }
    return shown + "}";
  }
  if (const auto* list = std::get_if<EncodableList>(&value)) {
    // Appended rather than "[" + ...: g++ 12 at -O3 misreads that as an overlapping copy.
    return std::string("[").append(std::to_string(list->size())).append(" items]");
  }
  return "(value)";
}

// Turns a reply envelope into a line for the log and, for a success, its value.
class ReplyReader : public flutter::MethodResult<EncodableValue> {
 public:
  void Success(const EncodableValue* result) override {
    text = result == nullptr ? "null" : Show(*result);
    value = result == nullptr ? EncodableValue() : *result;
  }
  void Error(const std::string& code, const std::string& message,
             const EncodableValue* /*details*/) override {
    text = "error " + code + ": " + message;
  }
  void NotImplemented() override { text = "not implemented"; }

  std::string text = "no reply";
  std::optional<EncodableValue> value;
};

void Log(const std::wstring& line) {
  app->log.push_back(line);
  while (app->log.size() > kLogLines) {
    app->log.pop_front();
  }
}

StandinMessagingRef Messaging() {
  return app->view->controller->engine->messaging;
}

// One call as the application makes it; true when the host answered success with true.
bool Call(const std::string& method, std::unique_ptr<EncodableValue> arguments) {
  const std::string shown_arguments = arguments ? std::string(" ").append(Show(*arguments)) : "";
  const flutter::MethodCall<EncodableValue> call(method, std::move(arguments));
  const auto& codec = flutter::StandardMethodCodec::SharedInstance();
  const std::vector<uint8_t> message = codec.EncodeCall(call);
  std::vector<uint8_t> reply(4096);
  size_t size = 0;
  const StandinDeliveryStatus status =
      StandinMessagingExchange(Messaging(), kChannel, message.data(), message.size(), reply.data(),
                               reply.size(), &size, nullptr);
  ReplyReader reader;
  if (status == kStandinAnswered) {
    if (size == 0) {
      reader.NotImplemented();
    } else if (!codec.DecodeReply(reply.data(), size, &reader)) {
      reader.text = "undecodable reply";
    }
  } else {
    reader.text = status == kStandinPending ? "no reply yet" : "not delivered";
  }
  Log(Widen(method + shown_arguments + "  \xE2\x86\x92  " + reader.text));
  const bool* flag = reader.value ? std::get_if<bool>(&*reader.value) : nullptr;
  return flag != nullptr && *flag;
}

EncodableValue Endpoint(const char* ip, int32_t port, const char* protocol) {
  return EncodableMap{{"ip", ip}, {"port", port}, {"protocol", protocol}};
}

void Connect() {
  auto config = std::make_unique<EncodableValue>(EncodableMap{
      {"endpoints",
       EncodableList{Endpoint("203.0.113.10", 443, "tcp"), Endpoint("198.51.100.7", 51820, "udp")}},
      {"allowLan", true},
      {"blockIpv6OutsideVpn", true}});
  Call("enableKillSwitch", std::move(config));
  // The VPN core would bring its tunnel up here; the permit names it by its default alias.
  Call("permitTunInterface", nullptr);
  Call("setTrayConnectionState", std::make_unique<EncodableValue>(true));
  app->connected = true;
}

void Disconnect() {
  Call("revokeTunPermit", nullptr);
  Call("disableKillSwitch", nullptr);
  Call("setTrayConnectionState", std::make_unique<EncodableValue>(false));
  app->connected = false;
}

// Starts once the host has a handler on the channel; then answers what the host sends.
void OnActivity() {
  activityPosted = false;
  StandinMessagingRef messaging = Messaging();
  if (!app->started) {
    if (!StandinMessagingHasHandler(messaging, kChannel)) {
      return;
    }
    app->started = true;
    Call("cleanupStaleKillSwitch", nullptr);
    Call("setTrayConnectionState", std::make_unique<EncodableValue>(false));
    ScheduleFrame(*app->view);
  }
  const size_t count = StandinMessagingHostMessageCount(messaging);
  bool changed = false;
  for (; app->hostMessagesSeen < count; ++app->hostMessagesSeen) {
    char channel[64] = {};
    uint8_t bytes[256] = {};
    size_t size = 0;
    if (!StandinMessagingGetHostMessage(messaging, app->hostMessagesSeen + 1, channel,
                                        sizeof channel, bytes, sizeof bytes, &size) ||
        std::string(channel) != kChannel) {
      continue;
    }
    const std::unique_ptr<flutter::MethodCall<EncodableValue>> call =
        flutter::StandardMethodCodec::SharedInstance().DecodeCall(bytes, size);
    if (call == nullptr || call->method_name() != "trayToggleVpn") {
      continue;
    }
    Log(L"\x2190  trayToggleVpn from the tray menu");
    app->connected ? Disconnect() : Connect();
    changed = true;
  }
  if (changed) {
    ScheduleFrame(*app->view);
  }
}

HFONT Font(int points, int weight, UINT dpi, const wchar_t* face) {
  return CreateFontW(-MulDiv(points, static_cast<int>(dpi), 72), 0, 0, 0, weight, FALSE, FALSE,
                     FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, face);
}

void Text(HDC dc, HFONT font, COLORREF colour, int x, int y, const std::wstring& text) {
  const HGDIOBJ old = SelectObject(dc, font);
  SetTextColor(dc, colour);
  TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
  SelectObject(dc, old);
}

int Scaled(int value, UINT dpi) {
  return MulDiv(value, static_cast<int>(dpi), 96);
}

void PlaceButtons(UINT dpi) {
  const int x = Scaled(32, dpi);
  const int y = Scaled(124, dpi);
  const int width = Scaled(130, dpi);
  const int height = Scaled(34, dpi);
  MoveWindow(app->connectButton, x, y, width, height, TRUE);
  MoveWindow(app->disconnectButton, x + width + Scaled(16, dpi), y, width, height, TRUE);
}

}  // namespace

void StartStandinAppIfAsked(FlutterDesktopView& view) {
  wchar_t value[8] = {};
  if (app != nullptr || GetEnvironmentVariableW(L"ORVANE_STANDIN_APP", value, 8) != 1 ||
      value[0] != L'1') {
    return;
  }
  app = new App;
  app->view = &view;
  // The buttons are children of the view; its frames must not paint over them.
  SetWindowLongPtrW(view.window, GWL_STYLE,
                    GetWindowLongPtrW(view.window, GWL_STYLE) | WS_CLIPCHILDREN);
  const HINSTANCE module =
      reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(view.window, GWLP_HINSTANCE));
  app->connectButton = CreateWindowExW(
      0, L"BUTTON", L"Connect", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 0, 0, view.window,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kConnectId)), module, nullptr);
  app->disconnectButton = CreateWindowExW(
      0, L"BUTTON", L"Disconnect", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 0, 0, view.window,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDisconnectId)), module, nullptr);
  Log(L"Stand-in application: waiting for the host's \"vpn/native\" handler");
  StandinMessagingSetHostActivityCallback(Messaging(), OnHostActivity, view.window);
  // The host may have set its handler already.
  OnHostActivity(view.window);
}

bool StandinAppHandleMessage(FlutterDesktopView& view, UINT message, WPARAM wparam) {
  if (app == nullptr || app->view != &view) {
    return false;
  }
  if (message == kHostActivityMessage) {
    OnActivity();
    return true;
  }
  if (message == WM_COMMAND && app->started) {
    const int id = LOWORD(wparam);
    if (id == kConnectId) {
      Connect();
    } else if (id == kDisconnectId) {
      Disconnect();
    } else {
      return false;
    }
    ScheduleFrame(view);
    return true;
  }
  return false;
}

bool StandinAppPaint(const FlutterDesktopView& view, HDC dc, int width, int height, UINT dpi) {
  if (app == nullptr || app->view != &view) {
    return false;
  }
  PlaceButtons(dpi);
  const RECT all{0, 0, width, height};
  const HBRUSH background = CreateSolidBrush(kBackground);
  FillRect(dc, &all, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);
  const HFONT heading = Font(18, FW_SEMIBOLD, dpi, L"Segoe UI");
  const HFONT body = Font(10, FW_NORMAL, dpi, L"Segoe UI");
  const HFONT mono = Font(9, FW_NORMAL, dpi, L"Consolas");
  const int x = Scaled(32, dpi);
  Text(dc, heading, kHeading, x, Scaled(24, dpi), L"Orvane \x2014 stand-in application");
  Text(dc, body, kBody, x, Scaled(62, dpi),
       L"Scripted by the stand-in engine, not the real application: it makes the real "
       L"application's calls on \"vpn/native\".");
  const std::wstring state = !app->started    ? L"Starting\x2026"
                             : app->connected ? L"\x25CF  Connected (kill switch on)"
                                              : L"\x25CB  Disconnected";
  Text(dc, heading, app->connected ? kConnected : kWaiting, x, Scaled(84, dpi), state);
  int y = Scaled(178, dpi);
  Text(dc, body, kHeading, x, y, L"Calls and replies");
  y += Scaled(24, dpi);
  for (const std::wstring& line : app->log) {
    Text(dc, mono, kBody, x, y, line);
    y += Scaled(18, dpi);
  }
  DeleteObject(heading);
  DeleteObject(body);
  DeleteObject(mono);
  return true;
}

void StandinAppForget(const FlutterDesktopView& view) {
  if (app != nullptr && app->view == &view) {
    StandinMessagingSetHostActivityCallback(Messaging(), nullptr, nullptr);
    delete app;
    app = nullptr;
  }
}

}  // namespace standin_engine
