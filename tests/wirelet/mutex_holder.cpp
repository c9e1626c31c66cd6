// Another process that uses a printer: holds its device mutex for a while.
// Usage: wirelet_mutex_holder NAME HOLD_MS READY_FILE
// READY_FILE is created once the mutex is held.
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "platform/thread.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  platform::NamedMutex mutex;
  if (!mutex.Create(argv[1], false, nullptr)) return 3;
  if (mutex.Wait(platform::kInfinite) == platform::NamedMutex::WaitResult::Failed) return 4;
  FILE* ready = std::fopen(argv[3], "w");
  if (ready == nullptr) return 5;
  std::fclose(ready);
  platform::SleepMs(static_cast<uint32_t>(std::atoi(argv[2])));
  mutex.Release();
  return 0;
}
