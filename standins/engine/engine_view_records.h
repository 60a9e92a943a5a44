// What the stand-in engine's engine and view side remembers for tests, and the knobs tests set.
// Internal to the stand-in flutter_windows.dll.
#ifndef ORVANE_STANDINS_ENGINE_ENGINE_VIEW_RECORDS_H_
#define ORVANE_STANDINS_ENGINE_ENGINE_VIEW_RECORDS_H_

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "embedding/flutter_windows.h"
#include "standins/engine/engine_view_control.h"

namespace standin_engine {

struct Knobs {
  bool failEngineCreate = false;
  bool failViewControllerCreate = false;
  UINT monitorDpi = 0;  // 0: each monitor's own
  std::map<UINT, LRESULT> consumedMessages;
};

// Process-wide, created on first use and never freed (the DLL may be called during process
// exit). Guarded by one lock; nothing is called out of it while the lock is held.
class Records {
 public:
  static Records& Get();

  void Append(std::string line);
  // Every line, each followed by a line feed.
  std::string CallLog();

  Knobs CurrentKnobs();
  void SetFailEngineCreate(bool fail);
  void SetFailViewControllerCreate(bool fail);
  void SetMonitorDpi(UINT dpi);
  void ConsumeMessage(UINT message, LRESULT result);

  void RecordProperties(const FlutterDesktopEngineProperties& properties);
  bool LastProperties(StandinEngineProperties* out);
  std::optional<std::wstring> LastPath(StandinEnginePath which);
  // The entry point for index -1, else the entry-point argument `index`.
  std::optional<std::string> LastEntrypointText(int index);

  // Counts the offer and answers what a test asked the hook to return, if anything.
  std::optional<LRESULT> OfferMessage(UINT message);
  int OfferedMessageCount(UINT message);

  // Numbers engines, controllers and views in the recorded lines; never reset.
  int NextId();

  void Reset();

 private:
  struct Properties {
    std::optional<std::wstring> assetsPath;
    std::optional<std::wstring> icuDataPath;
    std::optional<std::wstring> aotLibraryPath;
    std::optional<std::string> entrypoint;
    int argc = 0;
    bool argvNull = true;
    std::vector<std::optional<std::string>> arguments;
    int gpuPreference = 0;
    int uiThreadPolicy = 0;
  };

  Records() = default;

  std::mutex mutex_;
  std::vector<std::string> calls_;
  Knobs knobs_;
  std::optional<Properties> properties_;
  std::map<UINT, int> offeredMessages_;
  int nextId_ = 1;
};

// "engine 3" and the like, for the recorded lines.
std::string Numbered(const char* kind, int id);

// Records "misuse: <what>": a call the host should not have made, answered harmlessly.
void Misuse(const std::string& what);

// "a null engine" or "an unknown engine", for misuse lines.
std::string Unusable(const void* handle, const char* kind);

// Copies `text` and a NUL into `buffer`, truncated to fit; returns the length `text` needs.
template <typename Char>
size_t CopyText(const std::basic_string<Char>& text, Char* buffer, size_t capacity) noexcept {
  if (buffer != nullptr && capacity > 0) {
    const size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    text.copy(buffer, count);
    buffer[count] = Char{};
  }
  return text.size();
}

}  // namespace standin_engine

#endif  // ORVANE_STANDINS_ENGINE_ENGINE_VIEW_RECORDS_H_
