// The registration functions of the three plugin libraries the application uses.
#ifndef ORVANE_EMBEDDING_PLUGIN_LIBRARIES_H_
#define ORVANE_EMBEDDING_PLUGIN_LIBRARIES_H_

#include "embedding/flutter_windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// file_selector_windows_plugin.dll
void FileSelectorWindowsRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
// flutter_secure_storage_windows_plugin.dll
void FlutterSecureStorageWindowsPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
// url_launcher_windows_plugin.dll
void UrlLauncherWindowsRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ORVANE_EMBEDDING_PLUGIN_LIBRARIES_H_
