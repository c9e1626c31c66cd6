#include <windows.h>

#include "platform/system.h"

namespace platform {

bool IsNtPlatform() {
  OSVERSIONINFOA info{};
  // The size of the plain OSVERSIONINFOA record.
  info.dwOSVersionInfoSize = 148;
  BOOL answered = GetVersionExA(&info);
  return answered == 1 && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace platform
