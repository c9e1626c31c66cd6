// The notice window. It belongs to NoticeThread; the driver reaches it only
// through noticeWindowHandle, to ask for its destruction at the end.
#include "notice_window.h"

#include <atomic>

const platform::NoticeLook kNoticeLook = {
    "Q7730",
    "Firmware downloder attention",
    150, 150, 600, 100,
    "  Now downloading.",
    "  Do not turn off the printer.Do not unplug the USB cable.",
    30,
    255, 0, 0,
    "Arial Bold Italic",
    24,
};

namespace {

// Atomics rather than a lock: the destroy request must never wait for the
// notice thread, which may be stuck in a window system that does not answer.
std::atomic<platform::NoticeWindowHandle> noticeWindowHandle{nullptr};
std::atomic<bool> destroyRequested{false};

}  // namespace

uint32_t NoticeThread(void* /*argument*/) {
  platform::NoticeWindowHandle window = platform::OpenNoticeWindow(kNoticeLook);
  if (window == nullptr) return 0;
  platform::NoticeWindowHandle none = nullptr;
  if (!noticeWindowHandle.compare_exchange_strong(none, window)) {
    // A window of an earlier run in this process is still up: one is enough.
    platform::CloseNoticeWindow(window);
  } else if (destroyRequested.load()) {
    // The request came while the window was being made. Whoever takes the
    // handle out of noticeWindowHandle closes it, so this happens once.
    platform::CloseNoticeWindow(noticeWindowHandle.exchange(nullptr));
  }
  platform::RunNoticeWindow(window);
  return 0;
}

bool StartNoticeThread(platform::Thread& thread) {
  destroyRequested.store(false);
  return thread.Start(NoticeThread, nullptr);
}

void DestroyNoticeWindow() {
  destroyRequested.store(true);
  platform::CloseNoticeWindow(noticeWindowHandle.exchange(nullptr));
}

// On Linux the end of the process runs the exit handlers and destructors of
// the window system's libraries even while another thread is inside them,
// answering the request or still opening the window, and that can crash the
// ending process. The thread needs a moment for either; a window system that
// does not answer costs at most the limit.
void EndNoticeThread(platform::Thread& thread) {
  DestroyNoticeWindow();
  if (thread.Started() && thread.Wait(kNoticeEndMs) != platform::Thread::WaitResult::Ended) thread.Detach();
}
