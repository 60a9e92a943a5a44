// The description of the application bundle that the engine is started with.
#ifndef ORVANE_EMBEDDING_ENGINE_PROJECT_H_
#define ORVANE_EMBEDDING_ENGINE_PROJECT_H_

#include <cstdint>
#include <string>
#include <vector>

// A plain value: copied by whoever starts the engine.
struct EngineProject {
  // `directory` is the bundle directory, relative or absolute; the paths below are that
  // directory, one backslash and the name, handed to the engine unchanged.
  explicit EngineProject(const std::wstring& directory);

  // Replaces the entry-point arguments (UTF-8, in order).
  void SetEntrypointArguments(std::vector<std::string> arguments);

  std::wstring assetsPath;
  std::wstring icuDataPath;
  std::wstring aotLibraryPath;
  std::string entrypoint;  // UTF-8; empty for the application's default entry function
  std::vector<std::string> entrypointArguments;
  int32_t gpuPreference = 0;
  int32_t uiThreadPolicy = 0;
};

#endif  // ORVANE_EMBEDDING_ENGINE_PROJECT_H_
