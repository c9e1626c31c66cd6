// usb_exit_helper LIBRARY SIM_PROGRAM: a program that ends without unloading
// the library while its watcher is busy. Opens ports 1 and 2 (printer 2
// never answers a status request), asks port 2 for its status on a thread
// (which holds the library for its 10 s limit), pulls printer 1 so the
// watcher takes the notice and waits for the library, and returns from
// main. Exit status 0 when the program ended normally.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "wirelet.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 3;
  auto first = reinterpret_cast<int (*)()>(dlsym(library, "usb_find_first"));
  auto next = reinterpret_cast<int (*)()>(dlsym(library, "usb_find_next"));
  auto open = reinterpret_cast<StatusCode(WIRELET_CALL*)(int)>(dlsym(library, "usb_open_port"));
  auto status = reinterpret_cast<int(WIRELET_CALL*)(int, StatusCode*)>(dlsym(library, "usb_get_status"));
  if (first() != 1 || next() != 2 || open(1) != 0 || open(2) != 0) return 4;
  std::thread([status] {
    StatusCode code = 0;
    status(2, &code);
  }).detach();
  usleep(300000);
  std::string unplug = std::string(argv[2]) + " --dir . --unplug 1";
  if (std::system(unplug.c_str()) != 0) return 5;
  usleep(1000000);  // the watcher has the notice and waits for the library
  std::printf("ending\n");
  return 0;
}
