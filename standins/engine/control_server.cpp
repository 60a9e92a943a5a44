// The pipe server of the stand-in engine's control interface.
//
// Each client gets a thread that reads request lines and writes reply lines. The commands touch
// the messaging and the views, which belong to the UI thread, so every one of them is carried out
// there: the client thread sends it to a message-only window made on the UI thread. A sent
// message (unlike a posted one) is also served while the UI thread sits in a modal loop, such as
// the tray menu's TrackPopupMenu, which a driver must be able to watch from outside.
#include "standins/engine/control_server.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "standins/engine/engine_view_control.h"
#include "standins/engine/engine_view_objects.h"
#include "standins/engine/engine_view_records.h"
#include "standins/engine/messaging_control.h"

namespace standin_engine {
namespace {

constexpr wchar_t kEnvironmentVariable[] = L"ORVANE_STANDIN_CONTROL";
constexpr wchar_t kWindowClassName[] = L"OrvaneStandinControl";
constexpr UINT kRunCommandMessage = WM_APP + 0x200;
// A command that the UI thread has not carried out by then is answered "error busy": a driver
// must learn that the host hangs rather than hang with it.
constexpr UINT kUiTimeoutMs = 15000;
// Longest request line: a method call of a few hundred kilobytes in hex.
constexpr size_t kMaxLineBytes = 4 * 1024 * 1024;
// Longest message or response copied out in one go.
constexpr size_t kMaxMessageBytes = 16 * 1024 * 1024;

HWND commandWindow = nullptr;

// Messages the UI thread retrieved, by message: each one is a wake-up for work, which an idle
// host should not have. Written by the hook and read by `ui-messages`, both on the UI thread.
HHOOK retrievedHook = nullptr;
std::map<UINT, uint64_t> retrievedMessages;

// Knobs of engine_view_control.h.
constexpr DWORD kNoMisreport = MAXDWORD;
std::atomic<UINT> uiTimeoutMs{kUiTimeoutMs};
std::atomic<DWORD> misreportNextHandOver{kNoMisreport};

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// ---- Text helpers ------------------------------------------------------------------------

std::string Hex(const uint8_t* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  };
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

// The first word of `rest`, which is left holding what follows it.
std::string_view NextWord(std::string_view& rest) {
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const size_t end = rest.find(' ');
  const std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  return word;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A reply of several lines: "lines N", then the N lines. No line may itself contain a line feed.
std::vector<std::string> Listing(std::vector<std::string> lines) {
  lines.insert(lines.begin(), "lines " + std::to_string(lines.size()));
  return lines;
}

std::vector<std::string> One(std::string line) {
  return {std::move(line)};
}

std::string HandleText(const void* handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  return text;
}

// ---- Commands (UI thread) --------------------------------------------------------------------

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
  // Once the host has made the view its content, the view's root is the host's window.
  const HWND top = GetAncestor(view.window, GA_ROOT);
  line += " view=1 width=" + std::to_string(client.right) +
          " height=" + std::to_string(client.bottom) +
          " frames=" + std::to_string(view.framesDrawn) + " top=" + HandleText(top) +
          " hosted=" + (top != controller->holder ? "1" : "0") +
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

std::vector<std::string> Run(std::string_view line) {
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

// One command on its way to the UI thread.
struct Job {
  std::string line;
  std::vector<std::string> reply;  // written by the UI thread before `done`
  std::atomic<bool> done{false};
};

// Commands handed to the UI thread and not yet taken up, by number; the message carries only the
// number. Whoever takes a command out owns carrying it out: the command window when the message
// reaches it, or the client thread once the hand-over failed, which withdraws it. So a command is
// carried out at most once, and nothing the window may still see is ever freed: the platform's
// word on a failed hand-over (a time-out may even come with last error 0) is not proof that the
// window never got the message.
class HandOvers {
 public:
  uintptr_t Add(std::shared_ptr<Job> job) {
    const std::lock_guard hold(mutex_);
    const uintptr_t number = next_++;
    jobs_.emplace(number, std::move(job));
    return number;
  }

  // Null when it was taken already.
  std::shared_ptr<Job> Take(uintptr_t number) {
    const std::lock_guard hold(mutex_);
    const auto found = jobs_.find(number);
    if (found == jobs_.end()) {
      return nullptr;
    }
    std::shared_ptr<Job> job = std::move(found->second);
    jobs_.erase(found);
    return job;
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 1;
  std::map<uintptr_t, std::shared_ptr<Job>> jobs_;
};

HandOvers& Waiting() {
  // Never destroyed: client threads may still hand over while the process ends.
  static HandOvers* const waiting = new HandOvers;
  return *waiting;
}

LRESULT CALLBACK CommandWindowProc(HWND window, UINT message, WPARAM wparam,
                                   LPARAM lparam) noexcept {
  if (message != kRunCommandMessage) {
    return DefWindowProcW(window, message, wparam, lparam);
  }
  try {
    const std::shared_ptr<Job> job = Waiting().Take(static_cast<uintptr_t>(wparam));
    if (job == nullptr) {
      return 0;  // withdrawn by a client that stopped waiting for it
    }
    try {
      job->reply = Run(job->line);
    } catch (...) {
      job->reply.clear();  // the client reads an empty reply as "error internal"
    }
    job->done.store(true, std::memory_order_release);
  } catch (...) {
  }
  return 1;
}

std::vector<std::string> RunOnUiThread(std::string line) {
  auto job = std::make_shared<Job>();
  job->line = std::move(line);
  const uintptr_t number = Waiting().Add(job);
  DWORD_PTR result = 0;
  const bool sent = SendMessageTimeoutW(commandWindow, kRunCommandMessage, number, 0, SMTO_NORMAL,
                                        uiTimeoutMs, &result) != 0;
  DWORD error = sent ? ERROR_SUCCESS : GetLastError();
  if (const DWORD misreport = misreportNextHandOver.exchange(kNoMisreport);
      misreport != kNoMisreport) {
    error = misreport;
  }
  if (Waiting().Take(number) != nullptr) {
    // Withdrawn before the window took it up: it never runs now.
    return One(error == ERROR_TIMEOUT ? "error busy" : "error engine gone");
  }
  if (!job->done.load(std::memory_order_acquire)) {
    return One("error busy");  // taken up, still running on the UI thread
  }
  if (job->reply.empty()) {
    return One("error internal");
  }
  return job->reply;
}

// ---- Pipe (client threads) ----------------------------------------------------------------

bool WriteAll(HANDLE pipe, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20));
    if (!WriteFile(pipe, text.data() + done, chunk, &written, nullptr)) {
      return false;
    }
    done += written;
  }
  return true;
}

// `wait-handler CHANNEL MS` polls here rather than on the UI thread, which must keep running
// for the host to set the handler at all.
std::vector<std::string> WaitForHandler(std::string_view rest) {
  const std::string channel(NextWord(rest));
  const std::string timeout_text(NextWord(rest));
  const ULONGLONG timeout =
      timeout_text.empty() ? 10000 : std::strtoull(timeout_text.c_str(), nullptr, 10);
  const ULONGLONG deadline = GetTickCount64() + timeout;
  for (;;) {
    const std::vector<std::string> reply = RunOnUiThread("handler " + channel);
    if (reply.size() == 1 && reply.front() == "ok yes") {
      return One("ok");
    }
    if (reply.size() == 1 && reply.front().rfind("error", 0) == 0) {
      return reply;
    }
    if (GetTickCount64() >= deadline) {
      return One("error timeout");
    }
    Sleep(20);
  }
}

void ServeClient(HANDLE raw_pipe) noexcept {
  try {
    const Handle pipe(raw_pipe);
    std::string pending;
    char buffer[64 * 1024];
    for (;;) {
      DWORD read = 0;
      if (!ReadFile(pipe.get(), buffer, sizeof buffer, &read, nullptr) &&
          GetLastError() != ERROR_MORE_DATA) {
        break;
      }
      if (read == 0) {
        continue;
      }
      pending.append(buffer, read);
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
          line.pop_back();
        }
        std::string_view rest = line;
        const std::string_view command = NextWord(rest);
        const std::vector<std::string> reply =
            command == "wait-handler" ? WaitForHandler(rest) : RunOnUiThread(line);
        std::string text;
        for (const std::string& reply_line : reply) {
          text += reply_line;
          text += '\n';
        }
        if (!WriteAll(pipe.get(), text)) {
          return;
        }
      }
      if (pending.size() > kMaxLineBytes) {
        WriteAll(pipe.get(), "error line too long\n");
        return;
      }
    }
    DisconnectNamedPipe(pipe.get());
  } catch (...) {
  }
}

void Listen(std::wstring name) noexcept {
  try {
    for (;;) {
      HANDLE pipe = CreateNamedPipeW(
          name.c_str(), PIPE_ACCESS_DUPLEX,
          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
          PIPE_UNLIMITED_INSTANCES, 64 * 1024, 64 * 1024, 0, nullptr);
      if (pipe == INVALID_HANDLE_VALUE) {
        Records::Get().Append("control: no pipe, error " + std::to_string(GetLastError()));
        return;
      }
      if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        CloseHandle(pipe);
        continue;
      }
      std::thread(ServeClient, pipe).detach();
    }
  } catch (...) {
  }
}

}  // namespace

void StartControlServerIfAsked() {
  static bool started = false;
  if (started) {
    return;
  }
  wchar_t value[200] = {};
  const DWORD length = GetEnvironmentVariableW(kEnvironmentVariable, value, 200);
  if (length == 0 || length >= 200) {
    return;
  }
  started = true;
  std::wstring name = value;
  if (name.rfind(L"\\\\.\\pipe\\", 0) != 0) {
    name = L"\\\\.\\pipe\\" + name;
  }
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = CommandWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kWindowClassName;
  RegisterClassW(&window_class);
  commandWindow = CreateWindowExW(0, kWindowClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
  if (commandWindow == nullptr) {
    Records::Get().Append("control: no command window");
    return;
  }
  // Sent messages (the commands among them) are not retrieved and do not count.
  retrievedHook = SetWindowsHookExW(WH_GETMESSAGE, CountRetrieved, nullptr, GetCurrentThreadId());
  std::string narrow;
  for (const wchar_t c : name) {
    narrow += c < 0x80 ? static_cast<char>(c) : '?';
  }
  Records::Get().Append("control: listening on " + narrow);
  std::thread(Listen, std::move(name)).detach();
}

void ResetControlKnobs() {
  uiTimeoutMs = kUiTimeoutMs;
  misreportNextHandOver = kNoMisreport;
}

}  // namespace standin_engine

extern "C" void StandinEngineSetControlTimeout(UINT timeout_ms) {
  standin_engine::uiTimeoutMs = timeout_ms == 0 ? standin_engine::kUiTimeoutMs : timeout_ms;
}

extern "C" void StandinEngineMisreportNextControlHandOver(DWORD error) {
  standin_engine::misreportNextHandOver = error;
}
