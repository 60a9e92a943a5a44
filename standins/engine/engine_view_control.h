// C control interface of the stand-in engine's engine and view side, exported from the stand-in
// flutter_windows.dll next to the engine's own functions and the messaging side's control
// (messaging_control.h). As there, only C types cross and the caller owns every buffer.
//
// All of it is process-wide and meant for the UI thread of a test.
#ifndef ORVANE_STANDINS_ENGINE_ENGINE_VIEW_CONTROL_H_
#define ORVANE_STANDINS_ENGINE_ENGINE_VIEW_CONTROL_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "embedding/flutter_windows.h"
#include "standins/engine/messaging_control.h"

#ifdef __cplusplus
extern "C" {
#endif

// What the text functions below return when there is no text: no record, or the host passed
// null where the text would be.
#define STANDIN_ENGINE_NO_TEXT SIZE_MAX

// Forgets every recorded call and restores every knob to its default. Live engines and views
// stay as they are.
void StandinEngineReset(void);

// ---- What the host did ---------------------------------------------------------------------

// The engine and view calls the host made, and the events the stand-in produced, one per line in
// order, NUL-terminated and truncated to fit. Returns the length the whole text needs. Lines:
//   "FlutterDesktopEngineCreate engine 1"
//   "FlutterDesktopEngineCreate refused: dart_entrypoint is null"
//   "FlutterDesktopViewControllerCreate 1150x775 engine 1 view controller 3 view 2"
//   "FlutterDesktopEngineGetPluginRegistrar engine 1 FileSelectorWindows"
//   "FileSelectorWindowsRegisterWithRegistrar registrar FileSelectorWindows"
//   "frame 1 view 2", "next frame callback engine 1", "engine 1 destroyed"
//   "misuse: FlutterDesktopViewControllerForceRedraw with a null view controller"
// Messenger calls are in the messaging side's own log (StandinMessagingCallLog).
size_t StandinEngineCallLog(char* text, size_t capacity);

// The scalar part of what the last FlutterDesktopEngineCreate received (a refused one too).
typedef struct {
  bool assets_path_null;
  bool icu_data_path_null;
  bool aot_library_path_null;
  bool dart_entrypoint_null;
  int dart_entrypoint_argc;
  bool dart_entrypoint_argv_null;
  int gpu_preference;
  int ui_thread_policy;
} StandinEngineProperties;
// False when no create with a properties record was seen.
bool StandinEngineLastProperties(StandinEngineProperties* out);

typedef enum {
  kStandinAssetsPath = 0,
  kStandinIcuDataPath = 1,
  kStandinAotLibraryPath = 2,
} StandinEnginePath;
// A path of the last create, NUL-terminated and truncated to fit; returns the length it needs.
size_t StandinEngineLastPath(StandinEnginePath which, wchar_t* text, size_t capacity);
// The entry point of the last create (`index` -1) or its entry-point argument `index`, as the
// UTF-8 bytes received, NUL-terminated and truncated to fit; returns the length it needs.
size_t StandinEngineLastEntrypointText(int index, char* text, size_t capacity);

// How often the host offered `message` through
// FlutterDesktopViewControllerHandleTopLevelWindowProc.
int StandinEngineOfferedMessageCount(UINT message);

// The messaging side of the engine created last, while it lives (null otherwise): lets a test
// play the application on the messenger the host got from FlutterDesktopEngineGetMessenger.
StandinMessagingRef StandinEngineLatestMessaging(void);

// ---- Knobs -------------------------------------------------------------------------------

// While set, FlutterDesktopEngineCreate returns null.
void StandinEngineFailEngineCreate(bool fail);
// While set, FlutterDesktopViewControllerCreate returns null; having taken the engine over, it
// ends that engine, as it does for any refused view controller. A process whose environment has
// ORVANE_STANDIN_FAIL_VIEW_CONTROLLER_CREATE=1 starts with it set (StandinEngineReset clears it).
void StandinEngineFailViewControllerCreate(bool fail);
// The DPI that FlutterDesktopGetDpiForMonitor answers for every monitor; 0 (the default) answers
// each monitor's own DPI.
void StandinEngineSetMonitorDpi(UINT dpi);
// Makes the top-level window hook consume `message`, with `result` for the window procedure to
// return. By default it consumes nothing.
void StandinEngineConsumeTopLevelMessage(UINT message, LRESULT result);

// The control pipe's hand-over of a command to the UI thread (control_server.cpp): how long a
// client thread waits for the UI thread, 0 for the default of 15 s.
void StandinEngineSetControlTimeout(UINT timeout_ms);
// The next hand-over that returns is reported as failed with last error `error`, whatever it
// really did: Windows may report a failure (a time-out with last error 0) for a message its
// window serves all the same.
void StandinEngineMisreportNextControlHandOver(DWORD error);

// ---- Registration record of the stand-in plugin libraries ---------------------------------

// Called by each stand-in plugin's registration function; adds "<function> registrar <name>" to
// the call log, <name> being the plugin name the registrar was made for, "(null)" or "(unknown)".
void StandinEngineRecordPluginRegistration(const char* function_name,
                                           FlutterDesktopPluginRegistrarRef registrar);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ORVANE_STANDINS_ENGINE_ENGINE_VIEW_CONTROL_H_
