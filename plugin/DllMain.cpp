// The module's entry function on Windows. Elsewhere the loader needs none: static objects
// do all the work.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  // Thread start and end notifications would only cost time: the plug-in keeps no per-thread state.
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
#endif
