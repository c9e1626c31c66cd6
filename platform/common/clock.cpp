#include "platform/clock.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<Clock*> installedClock{nullptr};
}  // namespace

void SetClock(Clock* clock) { installedClock.store(clock); }

uint32_t TickCount() {
  Clock* clock = installedClock.load();
  return clock ? clock->Tick() : SystemTickCount();
}

void SleepMs(uint32_t ms) {
  Clock* clock = installedClock.load();
  if (clock)
    clock->Sleep(ms);
  else
    SystemSleepMs(ms);
}

}  // namespace platform
