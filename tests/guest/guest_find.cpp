// q7730-guest-find: loads ./wirelet.dll, runs a discovery pass, waits until
// the file "go" appears (at most 20 s) and runs another pass in the same
// load, so a printer plugged in between is found only through the system's
// hotplug notices. Prints "loaded", "before N" and "after N"; for the last
// pass also each port's usb_get_status code as "status PORT CODE".
// Exit status 0, or 2 when the library cannot be loaded.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

#include "wirelet.h"

namespace {

using FindFirst = int (*)();
using FindNext = int (*)();
using OpenPort = StatusCode(WIRELET_CALL*)(int);
using ClosePort = StatusCode(WIRELET_CALL*)(int);
using GetStatus = int(WIRELET_CALL*)(int, StatusCode*);

int Pass(FindFirst first, FindNext next, int* ports) {
  int count = 0;
  for (int port = first(); port > 0 && count < 16; port = next()) ports[count++] = port;
  return count;
}

}  // namespace

int main() {
  void* library = dlopen("./wirelet.dll", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load ./wirelet.dll: %s\n", dlerror());
    return 2;
  }
  auto first = reinterpret_cast<FindFirst>(dlsym(library, "usb_find_first"));
  auto next = reinterpret_cast<FindNext>(dlsym(library, "usb_find_next"));
  auto open = reinterpret_cast<OpenPort>(dlsym(library, "usb_open_port"));
  auto close = reinterpret_cast<ClosePort>(dlsym(library, "usb_close_port"));
  auto status = reinterpret_cast<GetStatus>(dlsym(library, "usb_get_status"));
  if (!first || !next || !open || !close || !status) return 2;
  std::printf("loaded\n");
  std::fflush(stdout);
  int ports[16];
  std::printf("before %d\n", Pass(first, next, ports));
  std::fflush(stdout);
  for (int i = 0; i < 200 && access("go", F_OK) != 0; ++i) usleep(100000);
  int count = Pass(first, next, ports);
  std::printf("after %d\n", count);
  for (int k = 0; k < count; ++k) {
    StatusCode code = open(ports[k]);
    if (code == 0) status(ports[k], &code);
    std::printf("status %d %d\n", ports[k], code);
    close(ports[k]);
  }
  dlclose(library);
  return 0;
}
