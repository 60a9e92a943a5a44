#include "embedding/plugin_registration.h"

#include "embedding/plugin_libraries.h"

namespace {

struct Plugin {
  const char* registrarName;
  void (*registerWithRegistrar)(FlutterDesktopPluginRegistrarRef registrar);
};

// In this order.
constexpr Plugin kPlugins[] = {
    {"FileSelectorWindows", &FileSelectorWindowsRegisterWithRegistrar},
    {"FlutterSecureStorageWindowsPlugin", &FlutterSecureStorageWindowsPluginRegisterWithRegistrar},
    {"UrlLauncherWindows", &UrlLauncherWindowsRegisterWithRegistrar},
};

}  // namespace

void RegisterGeneratedPlugins(flutter::PluginRegistry* registry) {
  if (registry == nullptr) {
    return;
  }
  for (const Plugin& plugin : kPlugins) {
    plugin.registerWithRegistrar(registry->GetPluginRegistrar(plugin.registrarName));
  }
}
