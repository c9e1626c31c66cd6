#include <unistd.h>

#include "platform/filesystem.h"

namespace platform {

char PathSeparator() { return '/'; }

bool IsPathSeparator(char c) { return c == '/'; }

size_t CurrentDirectory(char* buffer, size_t size) {
  if (size == 0) return 0;
  if (getcwd(buffer, size) == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  size_t length = 0;
  while (buffer[length] != '\0') ++length;
  return length;
}

}  // namespace platform
