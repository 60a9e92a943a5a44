// Owns one kernel handle (a mutex, a process) and closes it on every way out.
#ifndef ORVANE_HOST_UNIQUE_HANDLE_H_
#define ORVANE_HOST_UNIQUE_HANDLE_H_

#include <windows.h>

class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { Close(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const noexcept { return handle_; }

  // Closes early, where the order of release matters.
  void Close() noexcept {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
      handle_ = nullptr;
    }
  }

 private:
  HANDLE handle_;
};

#endif  // ORVANE_HOST_UNIQUE_HANDLE_H_
