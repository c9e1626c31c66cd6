// The notice window: a small window of fixed red text that warns the operator
// while the update runs, or nothing where no window system is available.
#pragma once
#include <cstdint>

namespace platform {

// Everything the window shows. The look and its strings must stay valid until
// RunNoticeWindow has returned.
struct NoticeLook {
  const char* className;     // the window class; on X11 the WM_CLASS hint
  const char* title;
  int x, y, width, height;   // screen position and size
  const char* firstLine;     // drawn at the top left of the client area
  const char* secondText;    // wrapped at blanks within the client width
  int secondTextTop;         // where the second text starts, from the client top
  uint8_t red, green, blue;  // colour of both texts
  const char* fontFace;      // a face name as Windows knows it, "Arial Bold Italic"
  int fontHeight;            // pixels
};

struct NoticeWindow;
using NoticeWindowHandle = NoticeWindow*;

// Creates and shows the window; it belongs to the calling thread, which must
// run it. null: no window system, or it refused the window; nothing is
// printed either way.
NoticeWindowHandle OpenNoticeWindow(const NoticeLook& look);

// Serves the window (painting it whenever it is exposed) on the thread that
// opened it. Returns once the window is gone: closed through
// CloseNoticeWindow, destroyed by the window system, or its display lost.
// null: returns at once.
void RunNoticeWindow(NoticeWindowHandle window);

// Asks the window to close, from any thread, before, during or after
// RunNoticeWindow; never waits for the window's thread. Call it at most once
// for each handle; the handle is not used again afterwards. null: nothing.
void CloseNoticeWindow(NoticeWindowHandle window);

}  // namespace platform
