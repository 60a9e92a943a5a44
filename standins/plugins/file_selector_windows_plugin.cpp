// Stand-in for file_selector_windows_plugin.dll: registers nothing on the registrar, only records
// that the host called it, and with which registrar, in the stand-in engine's call record.
#include "embedding/plugin_libraries.h"
#include "standins/engine/engine_view_control.h"

extern "C" void FileSelectorWindowsRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  StandinEngineRecordPluginRegistration("FileSelectorWindowsRegisterWithRegistrar", registrar);
}
