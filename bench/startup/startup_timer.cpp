// Times each program's start to its first visible top-level window: started with CreateProcessW,
// polled every millisecond, ended once the window shows. The programs take turns, so that both
// see the same machine; medians are printed because the machine is shared. One uncounted round
// comes first.
//   startup_timer ROUNDS PROGRAM...
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/visible_window.h"

namespace {

// Milliseconds to the first visible window, or a negative number when none showed in 30 s.
double TimeOneStart(const std::wstring& program) {
  const std::wstring directory = program.substr(0, program.find_last_of(L'\\'));
  std::wstring command_line = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &process)) {
    return -1;
  }
  double elapsed = -1;
  for (;;) {
    const HWND shown = bench::VisibleWindowOf(process.dwProcessId);
    QueryPerformanceCounter(&now);
    const double ms = 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    if (shown != nullptr) {
      elapsed = ms;
      break;
    }
    if (ms > 30000 || WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
      break;
    }
  }
  // Only a measurement: the program is ended without its own shutdown.
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return elapsed;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr, L"usage: startup_timer ROUNDS PROGRAM...\n");
    return 2;
  }
  const int rounds = std::max(1, _wtoi(argv[1]));
  const int programs = argc - 2;
  std::vector<std::vector<double>> times(static_cast<size_t>(programs));
  // Round 0 is not counted: the first starts in a fresh Wine session also start its desktop
  // process and services, which would be charged to whichever program came first.
  for (int round = -1; round < rounds; ++round) {
    for (int p = 0; p < programs; ++p) {
      const double ms = TimeOneStart(argv[p + 2]);
      if (ms < 0) {
        std::fwprintf(stderr, L"%ls showed no window\n", argv[p + 2]);
        return 1;
      }
      if (round >= 0) {
        times[static_cast<size_t>(p)].push_back(ms);
      }
    }
  }
  const double baseline = Median(times.back());
  std::wprintf(L"%-40ls %8ls %8ls %8ls %8ls\n", L"program (start to first visible window)",
               L"median", L"min", L"max", L"ratio");
  for (int p = 0; p < programs; ++p) {
    const std::vector<double>& t = times[static_cast<size_t>(p)];
    const wchar_t* name = std::wcsrchr(argv[p + 2], L'\\');
    std::wprintf(L"%-40ls %6.1fms %6.1fms %6.1fms %7.2fx\n",
                 name != nullptr ? name + 1 : argv[p + 2], Median(t),
                 *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()),
                 Median(t) / baseline);
  }
  std::wprintf(L"%d rounds; the ratio is to the median of the last program\n", rounds);
  return 0;
}
