#pragma once

#include "killswitch/filtering_platform.h"

// Owners of what the filtering platform hands out: the engine session, a filter enumeration
// handle and the array one enumeration call returns. Each gives its resource back through the
// same FilteringPlatform that produced it.

// The engine session. Closing a dynamic session makes the platform delete everything added
// through it, which is what makes the kill switch vanish with the process.
class EngineSession {
 public:
  explicit EngineSession(FilteringPlatform& platform) noexcept : platform_(&platform) {}
  ~EngineSession() { Reset(); }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  // Closes the current session, if any, and takes ownership of `handle`. The result of closing is
  // not reported: the handle is given up either way.
  void Reset(HANDLE handle = nullptr) noexcept {
    if (handle_ != nullptr) {
      (void)platform_->FwpmEngineClose0(handle_);
    }
    handle_ = handle;
  }

 private:
  FilteringPlatform* platform_;
  HANDLE handle_ = nullptr;
};

// A filter enumeration handle, destroyed when the scope ends.
class FilterEnumHandle {
 public:
  FilterEnumHandle(FilteringPlatform& platform, HANDLE engineHandle) noexcept
      : platform_(&platform), engineHandle_(engineHandle) {}
  ~FilterEnumHandle() {
    if (enumHandle_ != nullptr) {
      (void)platform_->FwpmFilterDestroyEnumHandle0(engineHandle_, enumHandle_);
    }
  }
  FilterEnumHandle(const FilterEnumHandle&) = delete;
  FilterEnumHandle& operator=(const FilterEnumHandle&) = delete;

  [[nodiscard]] DWORD Create(const FWPM_FILTER_ENUM_TEMPLATE0& enumTemplate) noexcept {
    return platform_->FwpmFilterCreateEnumHandle0(engineHandle_, &enumTemplate, &enumHandle_);
  }
  HANDLE get() const noexcept { return enumHandle_; }

 private:
  FilteringPlatform* platform_;
  HANDLE engineHandle_;
  HANDLE enumHandle_ = nullptr;
};

// The array of filters one FwpmFilterEnum0 call returns, released with FwpmFreeMemory0.
class FilterEntries {
 public:
  explicit FilterEntries(FilteringPlatform& platform) noexcept : platform_(&platform) {}
  ~FilterEntries() {
    if (entries_ != nullptr) {
      void* block = entries_;
      platform_->FwpmFreeMemory0(&block);
    }
  }
  FilterEntries(const FilterEntries&) = delete;
  FilterEntries& operator=(const FilterEntries&) = delete;

  FWPM_FILTER0*** Receive() noexcept { return &entries_; }
  FWPM_FILTER0* const* get() const noexcept { return entries_; }

 private:
  FilteringPlatform* platform_;
  FWPM_FILTER0** entries_ = nullptr;
};
