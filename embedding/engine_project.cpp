#include "embedding/engine_project.h"

#include <utility>

EngineProject::EngineProject(const std::wstring& directory)
    : assetsPath(directory + L"\\flutter_assets"),
      icuDataPath(directory + L"\\icudtl.dat"),
      aotLibraryPath(directory + L"\\app.so") {}

void EngineProject::SetEntrypointArguments(std::vector<std::string> arguments) {
  entrypointArguments = std::move(arguments);
}
