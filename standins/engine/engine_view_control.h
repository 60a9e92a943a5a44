// Test control of the stand-in engine's engine and view side: what the host called, with what,
// and knobs that make the stand-in answer the way a test needs. Exported by the stand-in
// flutter_windows.dll next to the engine's own functions; the real engine has none of these.
//
// All of it is process-wide and meant for the UI thread of a test.
#ifndef ORVANE_STANDINS_ENGINE_ENGINE_VIEW_CONTROL_H_
#define ORVANE_STANDINS_ENGINE_ENGINE_VIEW_CONTROL_H_

#include <stdbool.h>
#include <stddef.h>
#include <windows.h>

#include "embedding/flutter_windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// Forgets every recorded call and restores every knob to its default. Live engines and views
// stay as they are.
void StandinEngineReset(void);

// ---- Recorded calls, in the order they happened -------------------------------------------
// One line per engine or view call the host made, and per event the stand-in produced, e.g.
//   "FlutterDesktopEngineCreate engine 1"
//   "FlutterDesktopEngineCreate refused: dart_entrypoint is null"
//   "FlutterDesktopViewControllerCreate 1150x775 engine 1 controller 1"
//   "FlutterDesktopEngineGetPluginRegistrar engine 1 FileSelectorWindows"
//   "FileSelectorWindowsRegisterWithRegistrar registrar FileSelectorWindows"
//   "frame 1 view 1", "next frame callback engine 1", "engine 1 destroyed"
//   "misuse: FlutterDesktopViewControllerForceRedraw with a null controller"
// The pointer stays valid until the next StandinEngineReset.
size_t StandinEngineCallCount(void);
const char* StandinEngineCall(size_t index);

// What the last FlutterDesktopEngineCreate received (also a refused one), as copies the stand-in
// keeps until the next create or reset. False when no create with a properties record was seen.
typedef struct {
  const wchar_t* assets_path;       // null when the host passed null
  const wchar_t* icu_data_path;     // null when the host passed null
  const wchar_t* aot_library_path;  // null when the host passed null
  const char* dart_entrypoint;      // null when the host passed null
  int dart_entrypoint_argc;
  bool dart_entrypoint_argv_null;
  int gpu_preference;
  int ui_thread_policy;
} StandinEngineProperties;
bool StandinEngineLastProperties(StandinEngineProperties* out);
// Entry-point argument `index` of the last create; null when out of range or the entry was null.
const char* StandinEngineLastArgument(int index);

// How often the host offered `message` through
// FlutterDesktopViewControllerHandleTopLevelWindowProc.
int StandinEngineOfferedMessageCount(UINT message);

// ---- Knobs -------------------------------------------------------------------------------
// While set, FlutterDesktopEngineCreate returns null.
void StandinEngineFailEngineCreate(bool fail);
// While set, FlutterDesktopViewControllerCreate returns null (and, having taken the engine over,
// destroys it, as it does for any refused view controller).
void StandinEngineFailViewControllerCreate(bool fail);
// The DPI that FlutterDesktopGetDpiForMonitor answers for every monitor; 0 (the default) answers
// each monitor's own DPI.
void StandinEngineSetMonitorDpi(UINT dpi);
// Makes the top-level window hook consume `message`, with `result` for the window procedure to
// return. By default it consumes nothing.
void StandinEngineConsumeTopLevelMessage(UINT message, LRESULT result);

// ---- Registration record of the stand-in plugin libraries ---------------------------------
// Called by each stand-in plugin's registration function; appends "<function> registrar <name>"
// to the recorded calls, where <name> is the plugin name the registrar was made for, "(null)"
// or "(unknown)".
void StandinEngineRecordPluginRegistration(const char* function_name,
                                           FlutterDesktopPluginRegistrarRef registrar);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ORVANE_STANDINS_ENGINE_ENGINE_VIEW_CONTROL_H_
