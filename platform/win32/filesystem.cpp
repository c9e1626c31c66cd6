#include <windows.h>

#include "platform/filesystem.h"

namespace platform {

char PathSeparator() { return '\\'; }

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

size_t CurrentDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  DWORD limit = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  // Returns the length without the NUL when it fits, otherwise the size it
  // would need (NUL included), or 0 on failure.
  DWORD length = GetCurrentDirectoryA(limit, buffer);
  if (length == 0 || length >= limit) {
    buffer[0] = '\0';
    return 0;
  }
  // A drive root comes as "C:\"; callers append the separator themselves.
  if (length > 0 && (buffer[length - 1] == '\\' || buffer[length - 1] == '/')) {
    --length;
    buffer[length] = '\0';
  }
  return length;
}

}  // namespace platform
