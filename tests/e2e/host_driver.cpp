#include "tests/e2e/host_driver.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "embedding/method_call.h"
#include "embedding/standard_method_codec.h"

namespace e2e {
namespace {

std::atomic<int> hostsStarted{0};

std::wstring Environment(const wchar_t* name) {
  wchar_t value[4096] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length == 0 || length >= 4096 ? std::wstring() : std::wstring(value, length);
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair(text.substr(i, 2));
    char* end = nullptr;
    const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

// The lines of a "lines N" reply; none for any other.
std::vector<std::string> Lines(std::vector<std::string> reply) {
  if (reply.empty() || reply[0].rfind("lines ", 0) != 0) {
    return {};
  }
  reply.erase(reply.begin());
  return reply;
}

// The stand-ins are chosen through the environment, which the product inherits: the control
// pipe, the filtering journal, and Wine loading the stand-in fwpuclnt.dll in its system folder
// instead of its own.
void PrepareEnvironment(const std::wstring& pipe, const std::wstring& journal) {
  SetEnvironmentVariableW(L"ORVANE_STANDIN_CONTROL", pipe.c_str());
  SetEnvironmentVariableW(L"ORVANE_STANDIN_WFP_JOURNAL", journal.c_str());
  std::wstring overrides = Environment(L"WINEDLLOVERRIDES");
  if (overrides.find(L"fwpuclnt") == std::wstring::npos) {
    overrides += overrides.empty() ? L"fwpuclnt=n" : L";fwpuclnt=n";
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides.c_str());
  }
}

// The product's output (the embedding layer's diagnostics, thousands of lines for bad input)
// goes to `log`, not into the test's own.
std::optional<PROCESS_INFORMATION> StartProduct(const std::wstring& log,
                                                const std::wstring& directory = {}) {
  const std::wstring dir = directory.empty() ? BundleDir() : directory;
  const std::wstring exe = BundleDir() + L"\\orvane.exe";
  std::wstring command = L"\"" + exe + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  // With a console here, the host would attach to it and write there instead (as a start from a
  // console should); this program's own output does not go through a console.
  FreeConsole();
  const BOOL created = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, dir.c_str(), &startup, &process);
  if (output != INVALID_HANDLE_VALUE) {
    CloseHandle(output);
  }
  if (!created) {
    return std::nullopt;
  }
  CloseHandle(process.hThread);
  process.hThread = nullptr;
  return process;
}

}  // namespace

std::wstring BundleDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir = path;
  dir.resize(dir.find_last_of(L'\\'));
  return dir + L"\\" + ORVANE_E2E_BUNDLE_FROM_TESTS;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::vector<uint8_t> EncodeCall(const std::string& method,
                                const std::optional<flutter::EncodableValue>& arguments) {
  auto value = arguments ? std::make_unique<flutter::EncodableValue>(*arguments) : nullptr;
  const flutter::MethodCall<flutter::EncodableValue> call(method, std::move(value));
  return flutter::StandardMethodCodec::SharedInstance().EncodeCall(call);
}

std::vector<uint8_t> SuccessReply(const flutter::EncodableValue& value) {
  return flutter::StandardMethodCodec::SharedInstance().EncodeSuccess(&value);
}

std::vector<uint8_t> ErrorReply(const std::string& code, const std::string& message) {
  return flutter::StandardMethodCodec::SharedInstance().EncodeError(code, message, nullptr);
}

Host::Host(bool wait_until_shown, const std::wstring& directory) {
  const int number = ++hostsStarted;
  const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(number);
  pipe_ = L"orvane-e2e-" + tag;
  const std::wstring& pipe = pipe_;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  journal_ = std::wstring(temp) + L"orvane-e2e-wfp-" + tag + L".log";
  log_ = std::wstring(temp) + L"orvane-e2e-output-" + tag + L".log";
  DeleteFileW(journal_.c_str());
  PrepareEnvironment(pipe, journal_);
  const std::optional<PROCESS_INFORMATION> process = StartProduct(log_, directory);
  if (!process) {
    return;
  }
  process_ = *process;
  client_ = standin_control::ControlClient::Connect(pipe, 20000);
  if (!client_ || !wait_until_shown) {
    return;
  }
  const std::vector<std::string> handler = Request("wait-handler vpn/native 20000");
  const bool shown = WaitUntil(
      [&] {
        const std::optional<ViewState> view = View();
        return view && view->frames >= 1 && view->hosted && view->visible;
      },
      20000);
  if (handler != std::vector<std::string>{"ok"} || !shown) {
    client_.reset();
  }
}

Host::~Host() {
  client_.reset();
  if (process_.hProcess != nullptr) {
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hProcess);
  }
  DeleteFileW(journal_.c_str());
  DeleteFileW(log_.c_str());
}

HWND Host::Window() {
  return FindWindowW(L"FLUTTER_RUNNER_WIN32_WINDOW", L"Orvane");
}

std::vector<std::string> Host::Request(std::string_view line) {
  if (!client_) {
    return {};
  }
  return client_->Request(line).value_or(std::vector<std::string>{});
}

std::optional<std::vector<uint8_t>> Host::Send(const std::vector<uint8_t>& message) {
  const std::vector<std::string> reply = Request("send vpn/native " + Hex(message));
  if (reply.size() != 1 || reply[0].rfind("reply ", 0) != 0) {
    return std::nullopt;
  }
  return FromHex(std::string_view(reply[0]).substr(6));
}

std::optional<std::vector<uint8_t>> Host::Call(
    const std::string& method, const std::optional<flutter::EncodableValue>& arguments) {
  return Send(EncodeCall(method, arguments));
}

std::optional<ViewState> Host::View() {
  const std::vector<std::string> reply = Request("view");
  if (reply.size() != 1 || reply[0].rfind("ok ", 0) != 0) {
    return std::nullopt;
  }
  ViewState state;
  std::istringstream words(reply[0].substr(3));
  for (std::string word; words >> word;) {
    const size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const int value = std::atoi(word.c_str() + equals + 1);
    if (key == "view") {
      state.view = value != 0;
    } else if (key == "width") {
      state.width = value;
    } else if (key == "height") {
      state.height = value;
    } else if (key == "frames") {
      state.frames = value;
    } else if (key == "hosted") {
      state.hosted = value != 0;
    } else if (key == "visible") {
      state.visible = value != 0;
    }
  }
  return state;
}

std::string Host::Classify(std::string_view connection) {
  const std::vector<std::string> reply = Request("wfp-classify " + std::string(connection));
  if (reply.size() != 1) {
    return "(no reply)";
  }
  return reply[0].rfind("ok ", 0) == 0 ? reply[0].substr(3) : reply[0];
}

std::vector<std::string> Host::DescribeFilters() {
  return Lines(Request("wfp-describe"));
}

std::vector<std::string> Host::HostMessages() {
  return Lines(Request("host-messages"));
}

std::vector<std::string> Host::EngineLog() {
  return Lines(Request("engine-log"));
}

std::optional<DWORD> Host::WaitForExit(DWORD timeout_ms) {
  if (process_.hProcess == nullptr ||
      WaitForSingleObject(process_.hProcess, timeout_ms) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

std::string Host::Output() const {
  std::ifstream file{std::filesystem::path(log_), std::ios::binary};
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> Host::Journal() const {
  std::vector<std::string> lines;
  std::ifstream file{std::filesystem::path(journal_)};
  const std::string own = std::to_string(process_.dwProcessId) + " ";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(own, 0) == 0) {
      lines.push_back(line.substr(own.size()));
    }
  }
  return lines;
}

std::optional<DWORD> Host::RunSecondInstance(DWORD timeout_ms) {
  const std::optional<PROCESS_INFORMATION> process = StartProduct(L"NUL");
  if (!process) {
    return std::nullopt;
  }
  std::optional<DWORD> code;
  if (WaitForSingleObject(process->hProcess, timeout_ms) == WAIT_OBJECT_0) {
    DWORD value = 0;
    GetExitCodeProcess(process->hProcess, &value);
    code = value;
  } else {
    TerminateProcess(process->hProcess, 99);
  }
  CloseHandle(process->hProcess);
  return code;
}

std::pair<DWORD, std::string> RunControlProgram(const std::wstring& arguments,
                                                const std::string& input) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE in_read = nullptr;
  HANDLE in_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0) ||
      !CreatePipe(&in_read, &in_write, &inherit, 0)) {
    return {DWORD(-1), ""};
  }
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  const std::wstring exe = BundleDir() + L"\\standin-control.exe";
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = out_write;
  PROCESS_INFORMATION process{};
  const BOOL created = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  CloseHandle(out_write);
  CloseHandle(in_read);
  std::string output;
  DWORD code = DWORD(-1);
  if (created) {
    DWORD written = 0;
    WriteFile(in_write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(in_write);
    in_write = nullptr;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(out_read, buffer, sizeof buffer, &read, nullptr) && read > 0) {
      output.append(buffer, read);
    }
    WaitForSingleObject(process.hProcess, 20000);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (in_write != nullptr) {
    CloseHandle(in_write);
  }
  CloseHandle(out_read);
  // Its standard output is in text mode: every line ends in CR LF.
  std::erase(output, '\r');
  return {code, output};
}

}  // namespace e2e
