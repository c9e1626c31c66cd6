#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/console.h"
#include "../common/console_os.h"

namespace platform {

void ConsoleInit() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

void ClearConsole() {
  if (!isatty(STDOUT_FILENO)) return;
  static const char kClear[] = "\033[H\033[2J\033[3J";
  WriteConsoleText(kClear, sizeof kClear - 1);
}

void WriteConsoleText(const char* text, size_t length) {
  std::fflush(stdout);
  while (length > 0) {
    ssize_t n = write(STDOUT_FILENO, text, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace platform
