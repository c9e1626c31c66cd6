// notice_exit MS: what the updater does around its notice window, with MS of
// update in between: start the window's thread, end it, end the process.
#include <cstdlib>

#include "notice_window.h"
#include "platform/clock.h"
#include "platform/thread.h"

// What fontconfig loses of its configuration, once per process, is not this
// program's to report under the address sanitizer.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

int main(int argc, char* argv[]) {
  platform::Thread noticeThread;
  StartNoticeThread(noticeThread);
  platform::SleepMs(static_cast<uint32_t>(argc > 1 ? std::atoi(argv[1]) : 0));
  EndNoticeThread(noticeThread);
  return 0;
}
