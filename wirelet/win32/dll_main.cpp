// The library's entry point: its load and unload steps.
#include <windows.h>

#include "library_state.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    wirelet::ProcessAttach(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    // Under the loader lock no thread can finish ending, so a watcher that
    // its port's close did not stop is only asked to stop, not waited for.
    wirelet::ProcessDetach(0);
  }
  return TRUE;
}
