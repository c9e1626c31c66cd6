// The library's entry point: its load and unload steps.
#include <windows.h>

#include "library_state.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    wirelet::ProcessAttach(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded by FreeLibrary, under the loader lock: no thread can finish
    // ending, so a watcher its port's close did not stop is waited for until
    // it is done with the library, then cut off. At process exit (reserved
    // set) every other thread is gone already and nothing needs undoing.
    wirelet::ProcessDetach(wirelet::WatcherEnd::kTerminateWhenFinished);
  }
  return TRUE;
}
