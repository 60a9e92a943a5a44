// Where plugins get the engine's registrar for their name.
#ifndef ORVANE_EMBEDDING_PLUGIN_REGISTRY_H_
#define ORVANE_EMBEDDING_PLUGIN_REGISTRY_H_

#include <string>

#include "embedding/flutter_windows.h"

namespace flutter {

class PluginRegistry {
 public:
  virtual ~PluginRegistry() = default;

  // The engine's registrar for the plugin named `plugin_name` (UTF-8), or null.
  virtual FlutterDesktopPluginRegistrarRef GetPluginRegistrar(const std::string& plugin_name) = 0;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_PLUGIN_REGISTRY_H_
