#include <windows.h>

#include "platform/clock.h"

namespace platform {

// GetTickCount wraps at 2^32 ms (about 49.7 days), as the callers expect.
uint32_t SystemTickCount() { return GetTickCount(); }

void SystemSleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace platform
