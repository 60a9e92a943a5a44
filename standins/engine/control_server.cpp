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
#include <string>
#include <thread>
#include <vector>

#include "standins/engine/control_commands.h"
#include "standins/engine/control_text.h"
#include "standins/engine/engine_view_control.h"
#include "standins/engine/engine_view_records.h"

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

HWND commandWindow = nullptr;

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
      job->reply = RunCommand(job->line);
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
  CountRetrievedMessages();
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
