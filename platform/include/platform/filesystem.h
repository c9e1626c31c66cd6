// Current directory and path conventions.
#pragma once
#include <cstddef>

namespace platform {

// The separator between directory and file names: '\\' on Windows, '/' elsewhere.
char PathSeparator();

// Whether c ends a directory name in a path: on Windows '/' as well as '\\',
// since the system accepts both and packages are written either way.
bool IsPathSeparator(char c);

// Writes the current directory (without a trailing separator) and its NUL.
// Returns its length, or 0 when it cannot be read or does not fit size bytes
// (then buffer holds an empty string).
size_t CurrentDirectory(char* buffer, size_t size);

}  // namespace platform
