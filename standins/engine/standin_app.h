// A scripted stand-in for the Orvane application, drawn in the stand-in engine's view so that a
// person can watch the whole host work: Connect and Disconnect buttons that make the channel
// calls the real application makes, the tray menu's toggle answered the same way, and a short log
// of every call and reply. Off unless the environment variable ORVANE_STANDIN_APP is "1".
// Internal to the stand-in flutter_windows.dll; UI thread only.
#ifndef ORVANE_STANDINS_ENGINE_STANDIN_APP_H_
#define ORVANE_STANDINS_ENGINE_STANDIN_APP_H_

#include <windows.h>

#include "standins/engine/engine_view_objects.h"

namespace standin_engine {

// Starts the application in `view` when the run asks for it (once per process).
void StartStandinAppIfAsked(FlutterDesktopView& view);

// The view's window procedure offers its messages here first; true when the application took it.
bool StandinAppHandleMessage(FlutterDesktopView& view, UINT message, WPARAM wparam);

// Draws the application into a frame of the view; false when it does not run in this view (the
// placeholder is drawn then).
bool StandinAppPaint(const FlutterDesktopView& view, HDC dc, int width, int height, UINT dpi);

// The view goes away.
void StandinAppForget(const FlutterDesktopView& view);

}  // namespace standin_engine

#endif  // ORVANE_STANDINS_ENGINE_STANDIN_APP_H_
