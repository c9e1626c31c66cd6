// For tests under wine only, never in a shipped file: a wirelet.dll that is
// the real Setup API wirelet.dll (wirelet_setupapi.dll beside it) with its
// pipe opens routed to per-printer names (pipe_routing.h), so that the real
// Q7730upgrade.exe can update several simulated printers at once. Its 13
// exports are the real library's own, forwarded by name; loading and
// unloading it loads and unloads the real one.
#include <windows.h>

#include <string>

#include "pipe_routing.h"

namespace {

HMODULE gReal = nullptr;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(self, path, sizeof path);
    if (n == 0 || n >= sizeof path) return FALSE;
    std::string real(path, n);
    real = real.substr(0, real.find_last_of("\\/") + 1) + "wirelet_setupapi.dll";
    gReal = LoadLibraryA(real.c_str());
    if (gReal == nullptr || !RoutePipeOpens(gReal)) return FALSE;
  } else if (reason == DLL_PROCESS_DETACH && gReal != nullptr) {
    FreeLibrary(gReal);
    gReal = nullptr;
  }
  return TRUE;
}
