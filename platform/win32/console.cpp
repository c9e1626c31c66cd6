#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "../common/console_os.h"

namespace platform {

void ConsoleInit() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

// Only a real console has a mode; redirected to a pipe or a file, CLS would
// write a form feed into the output instead of clearing anything.
void ClearConsole() {
  DWORD mode = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return;
  std::fflush(stdout);
  (void)std::system("CLS");
}

// Through the runtime so that line ends become CRLF as any console program's
// output; Print already serialises the callers.
void WriteConsoleText(const char* text, size_t length) {
  if (length == 0) return;
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

}  // namespace platform
