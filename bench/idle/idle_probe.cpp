// How often the host wakes while nothing happens, beside the minimal window program in the same
// run and over the same periods: orvane.exe from its bundle with the stand-in engine and its
// stand-in application, shown and then hidden to the notification area.
//   idle_probe ROUNDS SECONDS BUNDLE_DIR MINIMAL_WINDOW_EXE
//
// Per period of SECONDS and per program, read from outside both processes:
// - messages: what the UI thread retrieved (the stand-in engine's `ui-messages` over the control
//   pipe; the minimal program counts its own loop and answers a sent query);
// - wakes: the context switches of all the process's threads, which is every time one of them
//   stopped waiting. Windows does not report them for another process, so under Wine they are read
//   from Linux's /proc through drive Z:, the process found by its name and Wine prefix;
// - CPU: Linux's scheduler ticks (/proc/PID/stat, 10 ms each), and GetProcessTimes, shown but not
//   judged: Wine 8 does not keep it current for another process (0 ms for a host that Linux saw
//   use 10 ticks).
// The queries happen between periods, never inside one. Prints the sums, the per-period counts,
// and "met" or "NOT met" for each phase: the host may use no more than the minimal program.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/visible_window.h"
#include "standins/control/control_client.h"

namespace {

struct Figures {
  unsigned long long messages = 0;
  unsigned long long wakes = 0;
  unsigned long long ticks = 0;
  double cpuMs = 0;
};

Figures operator-(const Figures& a, const Figures& b) {
  return {a.messages - b.messages, a.wakes - b.wakes, a.ticks - b.ticks, a.cpuMs - b.cpuMs};
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) {
    narrow += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return narrow;
}

std::string ReadFileText(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  CloseHandle(file);
  return text;
}

std::vector<std::wstring> Entries(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    if (found.cFileName[0] >= L'0' && found.cFileName[0] <= L'9') {
      names.emplace_back(found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// The Linux process of the Windows program `exe` in this Wine prefix: Wine names it after the
// program, and it inherits the prefix from the wineserver's environment.
std::wstring UnixProcess(const std::wstring& exe) {
  wchar_t prefix[1024] = {};
  GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024);
  const std::string wanted = "WINEPREFIX=" + Narrow(prefix);
  const std::string name = Narrow(exe);
  for (const std::wstring& pid : Entries(L"Z:\\proc")) {
    const std::wstring dir = L"Z:\\proc\\" + pid;
    const std::string command = ReadFileText(dir + L"\\cmdline");
    const std::string first = command.substr(0, command.find('\0'));
    if (first.size() < name.size() ||
        _stricmp(first.c_str() + first.size() - name.size(), name.c_str()) != 0) {
      continue;
    }
    std::string environment = ReadFileText(dir + L"\\environ");
    std::replace(environment.begin(), environment.end(), '\0', '\n');
    if (("\n" + environment).find("\n" + wanted + "\n") != std::string::npos) {
      return dir;
    }
  }
  return {};
}

// Context switches of every thread, and the process's scheduler ticks.
void ReadUnixFigures(const std::wstring& dir, Figures& figures) {
  for (const std::wstring& task : Entries(dir + L"\\task")) {
    std::istringstream status(ReadFileText(dir + L"\\task\\" + task + L"\\status"));
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        figures.wakes += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
      }
    }
  }
  // Fields 14 and 15, after the name in parentheses (which may hold blanks).
  const std::string stat = ReadFileText(dir + L"\\stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number >= 14) {
      figures.ticks += std::strtoull(field.c_str(), nullptr, 10);
    }
  }
}

double CpuMs(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    return 0;
  }
  auto value = [](const FILETIME& time) {
    return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime);
  };
  return (value(kernel) + value(user)) / 10000.0;
}

struct Program {
  std::string name;
  PROCESS_INFORMATION process{};
  std::wstring unixDir;
  std::optional<standin_control::ControlClient> control;  // the host's
  HWND window = nullptr;                                  // the minimal program's

  std::optional<unsigned long long> Messages() {
    if (control) {
      const auto reply = control->Request("ui-messages");
      if (!reply || reply->front().rfind("ok retrieved=", 0) != 0) {
        return std::nullopt;
      }
      return std::strtoull(reply->front().c_str() + 13, nullptr, 10);
    }
    static const UINT query = RegisterWindowMessageW(L"OrvaneIdleRetrievedMessages");
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(window, query, 0, 0, SMTO_NORMAL, 5000, &count)) {
      return std::nullopt;
    }
    return count;
  }
};

std::optional<PROCESS_INFORMATION> Start(const std::wstring& exe) {
  const std::wstring directory = exe.substr(0, exe.find_last_of(L'\\'));
  std::wstring command = L"\"" + exe + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  const BOOL created = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, directory.c_str(), &startup, &process);
  CloseHandle(nul);
  if (!created) {
    return std::nullopt;
  }
  CloseHandle(process.hThread);
  return process;
}

template <typename Predicate>
bool WaitFor(Predicate done, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!done()) {
    if (GetTickCount64() >= deadline) {
      return false;
    }
    Sleep(50);
  }
  return true;
}

bool ViewShown(standin_control::ControlClient& control) {
  const auto reply = control.Request("view");
  return reply && reply->front().find(" hosted=1 visible=1") != std::string::npos &&
         reply->front().find(" frames=0 ") == std::string::npos;
}

// One period of `seconds` with both programs idle: the messages are asked for outside the
// period that the wakes and ticks cover, so the asking does not count.
std::optional<std::vector<Figures>> Period(std::vector<Program*>& programs, int seconds) {
  std::vector<Figures> before(programs.size());
  std::vector<Figures> after(programs.size());
  for (size_t i = 0; i < programs.size(); ++i) {
    const auto messages = programs[i]->Messages();
    if (!messages) {
      return std::nullopt;
    }
    before[i].messages = *messages;
  }
  Sleep(200);  // the answering threads go back to waiting
  for (size_t i = 0; i < programs.size(); ++i) {
    ReadUnixFigures(programs[i]->unixDir, before[i]);
    before[i].cpuMs = CpuMs(programs[i]->process.hProcess);
  }
  Sleep(static_cast<DWORD>(seconds) * 1000);
  for (size_t i = 0; i < programs.size(); ++i) {
    ReadUnixFigures(programs[i]->unixDir, after[i]);
    after[i].cpuMs = CpuMs(programs[i]->process.hProcess);
  }
  for (size_t i = 0; i < programs.size(); ++i) {
    const auto messages = programs[i]->Messages();
    if (!messages) {
      return std::nullopt;
    }
    after[i].messages = *messages;
  }
  std::vector<Figures> delta;
  for (size_t i = 0; i < programs.size(); ++i) {
    delta.push_back(after[i] - before[i]);
  }
  return delta;
}

// Measures one phase; true when the host used no more than the minimal program.
bool Phase(const char* name, std::vector<Program*>& programs, int rounds, int seconds) {
  std::vector<Figures> sums(programs.size());
  std::vector<std::string> perPeriod(programs.size());
  for (int round = 0; round < rounds; ++round) {
    const auto delta = Period(programs, seconds);
    if (!delta) {
      std::printf("%s: a program stopped answering\n", name);
      return false;
    }
    for (size_t i = 0; i < programs.size(); ++i) {
      const Figures& d = (*delta)[i];
      sums[i].messages += d.messages;
      sums[i].wakes += d.wakes;
      sums[i].ticks += d.ticks;
      sums[i].cpuMs += d.cpuMs;
      perPeriod[i] += " " + std::to_string(d.messages) + "/" + std::to_string(d.wakes) + "/" +
                      std::to_string(d.ticks);
    }
  }
  std::printf("%s, %d periods of %d s:\n", name, rounds, seconds);
  std::printf("  %-16s %9s %7s %6s %8s   per period (messages/wakes/ticks)\n", "program",
              "messages", "wakes", "ticks", "cpu ms");
  for (size_t i = 0; i < programs.size(); ++i) {
    std::printf("  %-16s %9llu %7llu %6llu %8.0f  %s\n", programs[i]->name.c_str(),
                sums[i].messages, sums[i].wakes, sums[i].ticks, sums[i].cpuMs,
                perPeriod[i].c_str());
  }
  const Figures& host = sums[0];
  const Figures& minimal = sums[1];
  auto ratio = [](unsigned long long a, unsigned long long b) {
    char text[48];
    if (b == 0) {
      std::snprintf(text, sizeof text, "%llu against 0", a);
    } else {
      std::snprintf(text, sizeof text, "%.2f", static_cast<double>(a) / static_cast<double>(b));
    }
    return std::string(text);
  };
  const bool met = host.messages <= minimal.messages && host.wakes <= minimal.wakes &&
                   host.ticks <= minimal.ticks;
  std::printf("  host / minimal: messages %s, wakes %s, ticks %s: %s\n",
              ratio(host.messages, minimal.messages).c_str(),
              ratio(host.wakes, minimal.wakes).c_str(), ratio(host.ticks, minimal.ticks).c_str(),
              met ? "met" : "NOT met");
  return met;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fwprintf(stderr, L"usage: idle_probe ROUNDS SECONDS BUNDLE_DIR MINIMAL_WINDOW_EXE\n");
    return 2;
  }
  const int rounds = std::max(1, _wtoi(argv[1]));
  const int seconds = std::max(1, _wtoi(argv[2]));
  const std::wstring bundle = argv[3];
  const std::wstring pipe = L"orvane-idle-" + std::to_wstring(GetCurrentProcessId());

  // The host's environment: its control pipe, the stand-in application, the stand-in fwpuclnt.dll.
  SetEnvironmentVariableW(L"ORVANE_STANDIN_CONTROL", pipe.c_str());
  SetEnvironmentVariableW(L"ORVANE_STANDIN_APP", L"1");
  wchar_t overrides[1024] = {};
  GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 1024);
  const std::wstring with_fwpuclnt =
      overrides[0] == L'\0' ? L"fwpuclnt=n" : std::wstring(overrides) + L";fwpuclnt=n";
  SetEnvironmentVariableW(L"WINEDLLOVERRIDES", with_fwpuclnt.c_str());
  // Otherwise the host would attach to this program's console and write there.
  FreeConsole();

  Program host;
  host.name = "orvane.exe";
  Program minimal;
  minimal.name = "minimal_window";
  int status = 1;
  do {
    const auto minimal_process = Start(argv[4]);
    if (!minimal_process) {
      std::printf("minimal window program did not start\n");
      break;
    }
    minimal.process = *minimal_process;
    if (!WaitFor(
            [&] {
              minimal.window = bench::VisibleWindowOf(minimal.process.dwProcessId);
              return minimal.window != nullptr;
            },
            30000)) {
      std::printf("minimal window program showed no window\n");
      break;
    }
    const auto host_process = Start(bundle + L"\\orvane.exe");
    if (!host_process) {
      std::printf("orvane.exe did not start\n");
      break;
    }
    host.process = *host_process;
    host.control = standin_control::ControlClient::Connect(pipe, 30000);
    if (!host.control ||
        host.control->Request("wait-handler vpn/native 30000") != std::vector<std::string>{"ok"} ||
        !WaitFor([&] { return ViewShown(*host.control); }, 30000)) {
      std::printf("orvane.exe did not show its view\n");
      break;
    }
    host.unixDir = UnixProcess(L"orvane.exe");
    minimal.unixDir = UnixProcess(L"minimal_window.exe");
    if (host.unixDir.empty() || minimal.unixDir.empty()) {
      std::printf("the Linux processes were not found in /proc\n");
      break;
    }
    Sleep(2000);  // the stand-in application's start-up calls, the first frames
    std::vector<Program*> programs{&host, &minimal};
    const bool shown = Phase("shown", programs, rounds, seconds);
    const HWND window = FindWindowW(L"FLUTTER_RUNNER_WIN32_WINDOW", L"Orvane");
    PostMessageW(window, WM_CLOSE, 0, 0);  // hides it to the notification area
    if (!WaitFor([&] { return !IsWindowVisible(window); }, 10000)) {
      std::printf("orvane.exe did not hide its window\n");
      break;
    }
    Sleep(1000);
    const bool hidden = Phase("hidden", programs, rounds, seconds);
    const auto log = host.control->Request("ui-messages");
    std::printf("orvane.exe's UI thread retrieved over the whole run: %s\n",
                log ? log->front().c_str() : "(no answer)");
    std::printf("idle: %s\n", shown && hidden ? "met" : "NOT met");
    status = shown && hidden ? 0 : 1;
  } while (false);

  host.control.reset();
  // Only a measurement: both programs end without their own shutdown.
  for (Program* program : {&host, &minimal}) {
    if (program->process.hProcess != nullptr) {
      TerminateProcess(program->process.hProcess, 0);
      WaitForSingleObject(program->process.hProcess, 10000);
      CloseHandle(program->process.hProcess);
    }
  }
  return status;
}
