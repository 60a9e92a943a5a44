// The engine's C interface for the engine, its view and process-wide services, as
// flutter_windows.dll exports it. Only the functions the host uses are declared.
#ifndef ORVANE_EMBEDDING_FLUTTER_WINDOWS_H_
#define ORVANE_EMBEDDING_FLUTTER_WINDOWS_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "embedding/flutter_messenger.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FlutterDesktopEngine* FlutterDesktopEngineRef;
typedef struct FlutterDesktopViewControllerState* FlutterDesktopViewControllerRef;
typedef struct FlutterDesktopView* FlutterDesktopViewRef;
typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;

typedef void (*VoidCallback)(void* user_data);

// 32-bit enumerations; the host only ever passes 0, the engine's default.
typedef enum { kFlutterDesktopGpuNoPreference = 0 } FlutterDesktopGpuPreference;
typedef enum { kFlutterDesktopUIThreadDefaultPolicy = 0 } FlutterDesktopUIThreadPolicy;

typedef struct {
  const wchar_t* assets_path;
  const wchar_t* icu_data_path;
  const wchar_t* aot_library_path;
  const char* dart_entrypoint;  // UTF-8; empty (never null) for the default entry function
  int dart_entrypoint_argc;
  const char** dart_entrypoint_argv;  // null when argc is 0
  FlutterDesktopGpuPreference gpu_preference;
  FlutterDesktopUIThreadPolicy ui_thread_policy;
} FlutterDesktopEngineProperties;

// Null on failure.
FlutterDesktopEngineRef FlutterDesktopEngineCreate(const FlutterDesktopEngineProperties* engine_properties);
bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine);
FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine);
FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef engine,
                                                                        const char* plugin_name);
void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine);
// The callback runs once, on the UI thread, after the engine's next frame.
void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine, VoidCallback callback,
                                              void* user_data);

// Takes over the engine. Null on failure.
FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int width, int height,
                                                                   FlutterDesktopEngineRef engine);
void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller);
FlutterDesktopViewRef FlutterDesktopViewControllerGetView(FlutterDesktopViewControllerRef controller);
void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller);
// True when the engine consumed the message; *result is then what the window procedure returns.
bool FlutterDesktopViewControllerHandleTopLevelWindowProc(FlutterDesktopViewControllerRef controller,
                                                          HWND hwnd, UINT message, WPARAM wparam,
                                                          LPARAM lparam, LRESULT* result);
HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);

UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor);
void FlutterDesktopResyncOutputStreams(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
static_assert(sizeof(wchar_t) == 2, "the engine's paths are UTF-16");
static_assert(sizeof(int) == 4 && sizeof(UINT) == 4);
static_assert(sizeof(FlutterDesktopGpuPreference) == 4 && sizeof(FlutterDesktopUIThreadPolicy) == 4);
static_assert(offsetof(FlutterDesktopEngineProperties, assets_path) == 0);
static_assert(offsetof(FlutterDesktopEngineProperties, icu_data_path) == 8);
static_assert(offsetof(FlutterDesktopEngineProperties, aot_library_path) == 16);
static_assert(offsetof(FlutterDesktopEngineProperties, dart_entrypoint) == 24);
static_assert(offsetof(FlutterDesktopEngineProperties, dart_entrypoint_argc) == 32);
static_assert(offsetof(FlutterDesktopEngineProperties, dart_entrypoint_argv) == 40);
static_assert(offsetof(FlutterDesktopEngineProperties, gpu_preference) == 48);
static_assert(offsetof(FlutterDesktopEngineProperties, ui_thread_policy) == 52);
static_assert(sizeof(FlutterDesktopEngineProperties) == 56);
#endif

#endif  // ORVANE_EMBEDDING_FLUTTER_WINDOWS_H_
