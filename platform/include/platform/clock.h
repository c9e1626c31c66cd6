// Millisecond tick count and sleep, with a seam for a virtual clock in tests.
#pragma once
#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; wraps at 2^32, so callers subtract
// two readings modulo 2^32.
uint32_t TickCount();

// Blocks the calling thread for about ms milliseconds.
void SleepMs(uint32_t ms);

// A source of time that TickCount and SleepMs defer to while installed.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t Tick() = 0;
  virtual void Sleep(uint32_t ms) = 0;
};

// Installs a clock (tests: a virtual one); null restores the system clock.
// Install before any thread that reads the clock starts.
void SetClock(Clock* clock);

// The system clock itself, whatever is installed.
uint32_t SystemTickCount();
void SystemSleepMs(uint32_t ms);

}  // namespace platform
