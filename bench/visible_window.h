// The measurements under Wine judge a program started by the first of its windows that is
// visible; the programs that watch for it share this.
#ifndef ORVANE_BENCH_VISIBLE_WINDOW_H_
#define ORVANE_BENCH_VISIBLE_WINDOW_H_

#include <windows.h>

namespace bench {

// A visible top-level window of `process`, or null while it has none.
inline HWND VisibleWindowOf(DWORD process) {
  struct Search {
    DWORD process;
    HWND found;
  } search{process, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* searching = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == searching->process && IsWindowVisible(window)) {
          searching->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace bench

#endif  // ORVANE_BENCH_VISIBLE_WINDOW_H_
