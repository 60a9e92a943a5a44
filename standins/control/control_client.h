// One connection to the stand-in engine's control pipe (standins/engine/control_server.cpp;
// the protocol is in the README). Requests are single lines; a reply is one line, or
// "lines N" followed by N lines.
#ifndef ORVANE_STANDINS_CONTROL_CONTROL_CLIENT_H_
#define ORVANE_STANDINS_CONTROL_CONTROL_CLIENT_H_

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin_control {

class ControlClient {
 public:
  // Connects to `pipe` ("name" or "\\.\pipe\name"), trying until `timeout_ms` has passed: the
  // host may not have started its engine yet.
  static std::optional<ControlClient> Connect(std::wstring_view pipe, DWORD timeout_ms);

  ControlClient(ControlClient&& other) noexcept;
  ControlClient& operator=(ControlClient&& other) noexcept;
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;
  ~ControlClient();

  // Sends `line` and reads its reply: the first line, then the listed lines of a "lines N"
  // reply. Nothing when the pipe broke (the host ended, or the line contained a line feed).
  [[nodiscard]] std::optional<std::vector<std::string>> Request(std::string_view line);

 private:
  explicit ControlClient(HANDLE pipe) : pipe_(pipe) {}
  [[nodiscard]] std::optional<std::string> ReadLine();

  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::string pending_;
};

}  // namespace standin_control

#endif  // ORVANE_STANDINS_CONTROL_CONTROL_CLIENT_H_
