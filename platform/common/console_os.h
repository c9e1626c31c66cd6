// What each OS provides to the common console code.
#pragma once
#include <cstddef>

namespace platform {

// Writes text to standard output in one piece as far as the OS allows.
void WriteConsoleText(const char* text, size_t length);

}  // namespace platform
