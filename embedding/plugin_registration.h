// Registers the plugins the application uses with the engine.
#ifndef ORVANE_EMBEDDING_PLUGIN_REGISTRATION_H_
#define ORVANE_EMBEDDING_PLUGIN_REGISTRATION_H_

#include "embedding/plugin_registry.h"

// Calls each plugin library's registration function once, in a fixed order, with the registry's
// registrar for that plugin (null passed on unchanged).
void RegisterGeneratedPlugins(flutter::PluginRegistry* registry);

#endif  // ORVANE_EMBEDDING_PLUGIN_REGISTRATION_H_
