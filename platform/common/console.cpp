#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "console_os.h"

namespace platform {

namespace {
std::mutex sinkMutex;
ConsoleSink installedSink = nullptr;
void* installedContext = nullptr;
}  // namespace

void SetConsoleSink(ConsoleSink sink, void* context) {
  std::lock_guard<std::mutex> hold(sinkMutex);
  installedSink = sink;
  installedContext = context;
}

void Print(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  const char* text = small;
  std::vector<char> large;
  if (static_cast<size_t>(length) >= sizeof small) {
    large.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    text = large.data();
  }
  va_end(again);

  // One message at a time, so lines of different threads never tear.
  std::lock_guard<std::mutex> hold(sinkMutex);
  if (installedSink)
    installedSink(text, static_cast<size_t>(length), installedContext);
  else
    WriteConsoleText(text, static_cast<size_t>(length));
}

}  // namespace platform
