// A library for the planting test to put where only a search would find it: under any file name,
// as a library the host must never load from there. Loading it leaves a mark that another process
// can see, the event "Local\OrvanePlantedProbe.NAME" (NAME its own file name), held open until the
// loading process ends.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    const std::wstring file(path, length);
    const std::wstring name =
        L"Local\\OrvanePlantedProbe." + file.substr(file.find_last_of(L'\\') + 1);
    // Never closed: the mark lasts as long as the process that loaded the library.
    CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  }
  return TRUE;
}
