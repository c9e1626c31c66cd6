// Console output. Every Print leaves as one piece, so the lines of several
// threads interleave but are never torn.
#pragma once
#include <cstddef>

namespace platform {

// Makes standard output unbuffered. Call once at start-up.
void ConsoleInit();

// Clears the screen, but only when standard output is a terminal.
void ClearConsole();

#if defined(__GNUC__)
#define PLATFORM_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PLATFORM_PRINTF_FORMAT(fmt, args)
#endif

// printf-style; the formatted text is written in one write.
void Print(const char* format, ...) PLATFORM_PRINTF_FORMAT(1, 2);

// Tests: route everything Print writes to sink instead of standard output
// (null restores standard output). Install before threads print.
using ConsoleSink = void (*)(const char* text, size_t length, void* context);
void SetConsoleSink(ConsoleSink sink, void* context);

}  // namespace platform
