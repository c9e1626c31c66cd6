// The notice window that warns the operator not to switch the printer off
// or unplug it while the update runs.
#pragma once
#include <cstdint>

#include "platform/notice_window.h"
#include "platform/thread.h"

// What the window shows.
extern const platform::NoticeLook kNoticeLook;

// Thread procedure of the notice window; the argument is not used. Shows the
// window and serves it until it is destroyed. Ends with 0, also when no window
// could be created.
uint32_t NoticeThread(void* argument);

// Starts NoticeThread on thread for a run whose destroy request is still to
// come. false: no thread was started.
bool StartNoticeThread(platform::Thread& thread);

// Asks the notice window to go away and returns at once. A window that
// appears only after this request goes away as soon as it appears.
void DestroyNoticeWindow();

// The end of the run: DestroyNoticeWindow, then up to kNoticeEndMs for the
// notice thread to end, and the thread is let go whether it has or not.
constexpr uint32_t kNoticeEndMs = 2000;
void EndNoticeThread(platform::Thread& thread);
