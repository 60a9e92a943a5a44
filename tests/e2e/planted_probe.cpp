// A library for the planting test to put where only a search by bare name would find it. Loading
// it does nothing: the test reads from the loader's answer whether it was found.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
