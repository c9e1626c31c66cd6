#include "platform/system.h"

namespace platform {

// The version check exists to tell NT from the old Windows family; every
// POSIX system counts as NT.
bool IsNtPlatform() { return true; }

}  // namespace platform
