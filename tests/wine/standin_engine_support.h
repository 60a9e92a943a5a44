// Helpers for tests that run the host's engine code against the stand-in flutter_windows.dll.
#ifndef ORVANE_TESTS_WINE_STANDIN_ENGINE_SUPPORT_H_
#define ORVANE_TESTS_WINE_STANDIN_ENGINE_SUPPORT_H_

#include <windows.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "standins/engine/engine_view_control.h"

namespace standin_test {

// The stand-in's engine and view call log, one entry per line.
inline std::vector<std::string> EngineCalls() {
  const size_t size = StandinEngineCallLog(nullptr, 0);
  std::string text(size + 1, '\0');
  StandinEngineCallLog(text.data(), text.size());
  text.resize(size);
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The lines that start with `prefix`, in order.
inline std::vector<std::string> CallsStartingWith(std::string_view prefix) {
  std::vector<std::string> found;
  for (const std::string& line : EngineCalls()) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(line);
    }
  }
  return found;
}

inline size_t CountCalls(std::string_view prefix) {
  return CallsStartingWith(prefix).size();
}

// Where `prefix` first starts a line, or npos.
inline size_t PositionOf(std::string_view prefix) {
  const std::vector<std::string> lines = EngineCalls();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].compare(0, prefix.size(), prefix) == 0) {
      return i;
    }
  }
  return std::string::npos;
}

inline std::optional<std::string> LastEntrypointText(int index) {
  const size_t size = StandinEngineLastEntrypointText(index, nullptr, 0);
  if (size == STANDIN_ENGINE_NO_TEXT) {
    return std::nullopt;
  }
  std::string text(size + 1, '\0');
  StandinEngineLastEntrypointText(index, text.data(), text.size());
  text.resize(size);
  return text;
}

inline std::optional<std::wstring> LastPath(StandinEnginePath which) {
  const size_t size = StandinEngineLastPath(which, nullptr, 0);
  if (size == STANDIN_ENGINE_NO_TEXT) {
    return std::nullopt;
  }
  std::wstring text(size + 1, L'\0');
  StandinEngineLastPath(which, text.data(), text.size());
  text.resize(size);
  return text;
}

// Dispatches this thread's messages until `done` holds or `timeout_ms` passed; true if it held.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms = 5000) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!done()) {
    if (GetTickCount64() > deadline) {
      return false;
    }
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!done()) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  }
  return true;
}

// Dispatches whatever is queued now, and what that queues in turn, for `duration_ms`.
inline void PumpFor(DWORD duration_ms) {
  PumpUntil([] { return false; }, duration_ms);
}

// Collects what the embedding layer writes to the standard error stream meanwhile.
class StderrCapture {
 public:
  StderrCapture() : previous_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~StderrCapture() { std::cerr.rdbuf(previous_); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* previous_;
};

}  // namespace standin_test

#endif  // ORVANE_TESTS_WINE_STANDIN_ENGINE_SUPPORT_H_
