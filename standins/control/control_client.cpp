#include "standins/control/control_client.h"

#include <cstdlib>
#include <utility>

namespace standin_control {

std::optional<ControlClient> ControlClient::Connect(std::wstring_view pipe, DWORD timeout_ms) {
  std::wstring name(pipe);
  if (name.rfind(L"\\\\.\\pipe\\", 0) != 0) {
    name = L"\\\\.\\pipe\\" + name;
  }
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      return ControlClient(handle);
    }
    if (GetTickCount64() >= deadline) {
      return std::nullopt;
    }
    // Missing (not created yet) or busy (between two clients): both pass soon.
    Sleep(25);
  }
}

ControlClient::ControlClient(ControlClient&& other) noexcept
    : pipe_(std::exchange(other.pipe_, INVALID_HANDLE_VALUE)),
      pending_(std::move(other.pending_)) {}

ControlClient& ControlClient::operator=(ControlClient&& other) noexcept {
  if (this != &other) {
    if (pipe_ != INVALID_HANDLE_VALUE) {
      CloseHandle(pipe_);
    }
    pipe_ = std::exchange(other.pipe_, INVALID_HANDLE_VALUE);
    pending_ = std::move(other.pending_);
  }
  return *this;
}

ControlClient::~ControlClient() {
  if (pipe_ != INVALID_HANDLE_VALUE) {
    CloseHandle(pipe_);
  }
}

std::optional<std::string> ControlClient::ReadLine() {
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    char buffer[64 * 1024];
    DWORD read = 0;
    if (!ReadFile(pipe_, buffer, sizeof buffer, &read, nullptr) || read == 0) {
      return std::nullopt;
    }
    pending_.append(buffer, read);
  }
}

std::optional<std::vector<std::string>> ControlClient::Request(std::string_view line) {
  if (pipe_ == INVALID_HANDLE_VALUE || line.find('\n') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string text = std::string(line) + "\n";
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!WriteFile(pipe_, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                   nullptr)) {
      return std::nullopt;
    }
    done += written;
  }
  std::optional<std::string> first = ReadLine();
  if (!first) {
    return std::nullopt;
  }
  std::vector<std::string> reply{*first};
  if (first->rfind("lines ", 0) == 0) {
    const unsigned long long count = std::strtoull(first->c_str() + 6, nullptr, 10);
    for (unsigned long long i = 0; i < count; ++i) {
      std::optional<std::string> next = ReadLine();
      if (!next) {
        return std::nullopt;
      }
      reply.push_back(std::move(*next));
    }
  }
  return reply;
}

}  // namespace standin_control
