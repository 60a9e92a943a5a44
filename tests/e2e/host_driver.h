// Runs the product orvane.exe from its bundle, unmodified, with the stand-ins, and plays the
// application's side of "vpn/native" over the stand-in engine's control pipe.
#ifndef ORVANE_TESTS_E2E_HOST_DRIVER_H_
#define ORVANE_TESTS_E2E_HOST_DRIVER_H_

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "embedding/encodable_value.h"
#include "standins/control/control_client.h"

namespace e2e {

// The bundle directory (orvane.exe, the stand-in DLLs, data\), found from this test program.
std::wstring BundleDir();

std::string Hex(const std::vector<uint8_t>& bytes);

// The bytes the application sends for a call, and the replies it expects back.
std::vector<uint8_t> EncodeCall(const std::string& method,
                                const std::optional<flutter::EncodableValue>& arguments);
std::vector<uint8_t> SuccessReply(const flutter::EncodableValue& value);
std::vector<uint8_t> ErrorReply(const std::string& code, const std::string& message);

// What the view side reports: `view` of the control pipe.
struct ViewState {
  bool view = false;
  int width = 0;
  int height = 0;
  int frames = 0;
  bool hosted = false;
  bool visible = false;
};

class Host {
 public:
  // Starts orvane.exe with its own control pipe and filtering journal, in `directory` (the
  // bundle's when empty). `wait_until_shown`: return only once "vpn/native" has a handler and the
  // window is shown after a first frame.
  explicit Host(bool wait_until_shown = true, const std::wstring& directory = {});
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  [[nodiscard]] bool started() const { return client_.has_value(); }
  [[nodiscard]] DWORD pid() const { return process_.dwProcessId; }
  [[nodiscard]] const std::wstring& pipe() const { return pipe_; }
  // The window of class "FLUTTER_RUNNER_WIN32_WINDOW" titled "Orvane".
  [[nodiscard]] static HWND Window();

  // One request line; its reply lines (empty when the pipe broke).
  std::vector<std::string> Request(std::string_view line);
  // The host's reply to `message` on "vpn/native"; nothing when it gave none during the delivery.
  std::optional<std::vector<uint8_t>> Send(const std::vector<uint8_t>& message);
  std::optional<std::vector<uint8_t>> Call(
      const std::string& method, const std::optional<flutter::EncodableValue>& arguments = {});
  std::optional<ViewState> View();
  // How the filtering model decides `connection` (StandinWfpClassify's words).
  std::string Classify(std::string_view connection);
  std::vector<std::string> DescribeFilters();
  // "ID CHANNEL HEX" per message the host sent to the application.
  std::vector<std::string> HostMessages();

  // The stand-in engine's call log, one entry per line.
  std::vector<std::string> EngineLog();

  // The exit code once the process has ended within `timeout_ms`.
  std::optional<DWORD> WaitForExit(DWORD timeout_ms);
  // What the product wrote to its standard output and error so far.
  std::string Output() const;
  // The journal lines of this process's stand-in fwpuclnt.dll.
  std::vector<std::string> Journal() const;

  // Another start of the product with the same environment; its exit code.
  static std::optional<DWORD> RunSecondInstance(DWORD timeout_ms);

 private:
  PROCESS_INFORMATION process_{};
  std::wstring pipe_;
  std::wstring journal_;
  std::wstring log_;  // the product's standard output and error
  std::optional<standin_control::ControlClient> client_;
};

// Runs the bundle's standin-control.exe with `arguments`, `input` on its standard input; its exit
// code and standard output, with line feeds for line ends.
std::pair<DWORD, std::string> RunControlProgram(const std::wstring& arguments,
                                                const std::string& input);

// Waits until `done` holds, polling; true if it did within `timeout_ms`.
template <typename Predicate>
bool WaitUntil(Predicate done, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!done()) {
    if (GetTickCount64() >= deadline) {
      return false;
    }
    Sleep(20);
  }
  return true;
}

}  // namespace e2e

#endif  // ORVANE_TESTS_E2E_HOST_DRIVER_H_
