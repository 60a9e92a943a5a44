// The engine's process-wide services: the monitor's DPI and the output streams.
#include <windows.h>
#include <shellscalingapi.h>

#include "embedding/flutter_windows.h"
#include "standins/engine/engine_view_records.h"

namespace {
constexpr UINT kDefaultDpi = 96;
}

extern "C" UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor) {
  try {
    const UINT forced = standin_engine::Records::Get().CurrentKnobs().monitorDpi;
    if (forced != 0) {
      return forced;
    }
    UINT dpi_x = 0;
    UINT dpi_y = 0;
    if (monitor != nullptr &&
        SUCCEEDED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpi_x, &dpi_y)) && dpi_x != 0) {
      return dpi_x;
    }
  } catch (...) {
  }
  // What a monitor without its own setting has.
  return kDefaultDpi;
}

extern "C" void FlutterDesktopResyncOutputStreams(void) {
  try {
    // The stand-in writes nothing to the standard streams, so there is nothing to re-attach.
    standin_engine::Records::Get().Append("FlutterDesktopResyncOutputStreams");
  } catch (...) {
  }
}
