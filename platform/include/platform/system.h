// Facts about the operating system.
#pragma once

namespace platform {

// True on the NT family of Windows and on POSIX systems.
bool IsNtPlatform();

}  // namespace platform
