// The notice window over Xlib and Xft. Both are loaded when the first window
// is opened, so a machine without them runs exactly as one without a display.
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "notice_layout.h"
#include "platform/notice_window.h"
#include "platform/shared_library.h"

namespace platform {
namespace {

// Every entry point used, bound by name; decltype keeps the types of the
// headers without linking against the libraries.
#define NOTICE_X_ENTRIES(E)                                                                       \
  E(XOpenDisplay) E(XCloseDisplay) E(XSetErrorHandler) E(XSetIOErrorHandler)                      \
  E(XSetIOErrorExitHandler) E(XCreateSimpleWindow) E(XDestroyWindow) E(XStoreName) E(XInternAtom) \
  E(XChangeProperty) E(XSetWMProtocols) E(XAllocSizeHints) E(XSetWMNormalHints) E(XSetClassHint) \
  E(XSelectInput) E(XMapWindow) E(XFlush) E(XPending) E(XNextEvent) E(XFree) E(XftDrawCreate)     \
  E(XftDrawDestroy) E(XftColorAllocValue) E(XftColorFree) E(XftFontOpen) E(XftFontClose)          \
  E(XftDrawString8) E(XftTextExtents8) E(XftDefaultSubstitute) E(XftDefaultSet) E(FcPatternCreate)   \
  E(FcPatternAddInteger) E(FcPatternDestroy)

struct XEntries {
#define NOTICE_X_DECLARE(name) decltype(&::name) name = nullptr;
  NOTICE_X_ENTRIES(NOTICE_X_DECLARE)
#undef NOTICE_X_DECLARE
};

// Xlib's defaults end the process on any error. A protocol error here costs
// at most a paint; a lost display costs the window, never the update.
int IgnoreProtocolError(Display*, XErrorEvent*) { return 0; }
int IgnoreLostDisplay(Display*) { return 0; }

// Held around every use of Xlib and Xft: Xft keeps process-wide lists per
// display without a lock of its own, so the windows of several threads (tests
// open more than one) take turns.
std::mutex xLock;

template <typename Entry>
bool Bind(Entry& entry, LibraryHandle library, const char* name) {
  entry = reinterpret_cast<Entry>(FindSymbol(library, name));
  return entry != nullptr;
}

// Loaded once and kept for the life of the process. null: not available,
// including a libX11 too old to let a lost display be survived.
const XEntries* LoadEntries() {
  static const XEntries* const entries = []() -> const XEntries* {
    static XEntries loaded;
    LibraryHandle x11 = LoadSharedLibrary("libX11.so.6");
    LibraryHandle xft = x11 != nullptr ? LoadSharedLibrary("libXft.so.2") : nullptr;
    bool complete = xft != nullptr;
    // libXft's handle finds libX11's and fontconfig's names as well: it
    // depends on them.
#define NOTICE_X_BIND(name) complete = complete && Bind(loaded.name, xft, #name);
    NOTICE_X_ENTRIES(NOTICE_X_BIND)
#undef NOTICE_X_BIND
    if (!complete) {
      UnloadSharedLibrary(xft);
      UnloadSharedLibrary(x11);
      return nullptr;
    }
    loaded.XSetErrorHandler(IgnoreProtocolError);
    loaded.XSetIOErrorHandler(IgnoreLostDisplay);
    return &loaded;
  }();
  return entries;
}

}  // namespace

// Shared by the window's thread and the one that closes it; whoever drops the
// last reference frees it, so a close after the window is gone still finds
// its wake pipe open.
struct NoticeWindow {
  const XEntries* x = nullptr;
  const NoticeLook* look = nullptr;
  Display* display = nullptr;
  Window window = 0;
  Atom deleteWindow = 0;
  int width = 0;                 // client width, for the wrap
  bool displayLost = false;      // set inside Xlib calls on the window's thread
  int wake[2] = {-1, -1};        // a byte in it asks the window to close
  std::atomic<int> references{2};

  void Drop() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    for (int fd : wake) {
      if (fd >= 0) close(fd);
    }
    delete this;
  }
};

namespace {

// Called by Xlib after the I/O error handler; returning keeps the process.
void OnDisplayLost(Display*, void* user) { static_cast<NoticeWindow*>(user)->displayLost = true; }

void ChangeProperty(NoticeWindow& notice, const char* name, const char* type, int format,
                    const void* data, int count) {
  const XEntries& x = *notice.x;
  x.XChangeProperty(notice.display, notice.window, x.XInternAtom(notice.display, name, False),
                    x.XInternAtom(notice.display, type, False), format, PropModeReplace,
                    static_cast<const unsigned char*>(data), count);
}

// Title, class, fixed size and place, and no way to close it: the window
// manager's close request is taken (so it does not kill the connection) and
// then ignored; Motif hints ask for a title and border only.
void DescribeWindow(NoticeWindow& notice) {
  const XEntries& x = *notice.x;
  const NoticeLook& look = *notice.look;
  x.XStoreName(notice.display, notice.window, look.title);
  ChangeProperty(notice, "_NET_WM_NAME", "UTF8_STRING", 8, look.title,
                 static_cast<int>(std::strlen(look.title)));

  XClassHint classHint;
  classHint.res_name = const_cast<char*>(look.className);
  classHint.res_class = const_cast<char*>(look.className);
  x.XSetClassHint(notice.display, notice.window, &classHint);

  if (XSizeHints* size = x.XAllocSizeHints()) {
    size->flags = USPosition | USSize | PMinSize | PMaxSize;
    size->x = look.x;
    size->y = look.y;
    size->width = size->min_width = size->max_width = look.width;
    size->height = size->min_height = size->max_height = look.height;
    x.XSetWMNormalHints(notice.display, notice.window, size);
    x.XFree(size);
  }

  notice.deleteWindow = x.XInternAtom(notice.display, "WM_DELETE_WINDOW", False);
  x.XSetWMProtocols(notice.display, notice.window, &notice.deleteWindow, 1);

  constexpr long kFunctionsAndDecorations = 1 | 2, kMoveOnly = 4, kBorderAndTitle = 2 | 8;
  const long motifHints[5] = {kFunctionsAndDecorations, kMoveOnly, kBorderAndTitle, 0, 0};
  ChangeProperty(notice, "_MOTIF_WM_HINTS", "_MOTIF_WM_HINTS", 32, motifHints, 5);
}

// A fresh font for each paint; the caller closes it. null: no font at all.
XftFont* CreateNoticeFont(const NoticeWindow& notice) {
  char family[128];
  FontRequest request = SplitFaceName(notice.look->fontFace, family, sizeof family);
  return notice.x->XftFontOpen(notice.display, DefaultScreen(notice.display),
                               XFT_FAMILY, XftTypeString, family,
                               XFT_PIXEL_SIZE, XftTypeDouble, static_cast<double>(notice.look->fontHeight),
                               XFT_WEIGHT, XftTypeInteger, request.bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR,
                               XFT_SLANT, XftTypeInteger, request.italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN,
                               static_cast<char*>(nullptr));
}

struct Measure {
  const XEntries* x;
  Display* display;
  XftFont* font;
};

int MeasureWidth(const char* text, size_t length, void* context) {
  auto* measure = static_cast<Measure*>(context);
  XGlyphInfo extents;
  measure->x->XftTextExtents8(measure->display, measure->font, reinterpret_cast<const FcChar8*>(text),
                              static_cast<int>(length), &extents);
  return extents.xOff;
}

// The first line at the top, the second text wrapped below it; the server has
// already cleared the exposed part to the white background.
void PaintNotice(NoticeWindow& notice) {
  const XEntries& x = *notice.x;
  const NoticeLook& look = *notice.look;
  Display* display = notice.display;
  const int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  Colormap colormap = DefaultColormap(display, screen);

  XftDraw* draw = x.XftDrawCreate(display, notice.window, visual, colormap);
  if (draw == nullptr) return;
  // 8 bits a channel to 16: 0xFF becomes 0xFFFF.
  const XRenderColor wanted = {static_cast<unsigned short>(look.red * 257),
                               static_cast<unsigned short>(look.green * 257),
                               static_cast<unsigned short>(look.blue * 257), 0xFFFF};
  XftColor colour;
  if (x.XftColorAllocValue(display, visual, colormap, &wanted, &colour)) {
    if (XftFont* font = CreateNoticeFont(notice)) {
      x.XftDrawString8(draw, &colour, font, 0, font->ascent, reinterpret_cast<const FcChar8*>(look.firstLine),
                       static_cast<int>(std::strlen(look.firstLine)));
      Measure measure{&x, display, font};
      int baseline = look.secondTextTop + font->ascent;
      for (const TextLine& line : WrapWords(look.secondText, notice.width, MeasureWidth, &measure)) {
        x.XftDrawString8(draw, &colour, font, 0, baseline,
                         reinterpret_cast<const FcChar8*>(look.secondText + line.begin),
                         static_cast<int>(line.length));
        baseline += font->height;
      }
      x.XftFontClose(display, font);
    }
    x.XftColorFree(display, visual, colormap, &colour);
  }
  x.XftDrawDestroy(draw);
}

// false: the window is gone and the loop ends.
bool NoticeWindowProc(NoticeWindow& notice, const XEvent& event) {
  switch (event.type) {
    case Expose:
      // The last of a series repaints the whole window once.
      if (event.xexpose.count == 0) PaintNotice(notice);
      return true;
    case ConfigureNotify:
      notice.width = event.xconfigure.width;
      return true;
    case DestroyNotify:
      return event.xdestroywindow.window != notice.window;
    default:
      // Among them the window manager's close request, which is ignored.
      return true;
  }
}

// Xft keeps closed fonts for reuse and frees the last of them only while the
// display is being closed. That leaves the display behind in libXrender's
// own list, and the next display of this process that happens to get the
// same address then sends its requests under stale extension codes: it
// hangs for a reply, is refused, or Xlib aborts the process. A font closed
// with the display still whole leaves nothing behind. The other defaults
// stay as Xft would have taken them.
void FreeClosedFontsAtOnce(const XEntries& x, Display* display) {
  FcPattern* defaults = x.FcPatternCreate();
  if (defaults == nullptr) return;
  x.XftDefaultSubstitute(display, DefaultScreen(display), defaults);
  if (!x.FcPatternAddInteger(defaults, XFT_MAX_UNREF_FONTS, 0) || !x.XftDefaultSet(display, defaults))
    x.FcPatternDestroy(defaults);
}

void Discard(NoticeWindow* notice) {
  if (notice->display != nullptr) notice->x->XCloseDisplay(notice->display);
  notice->references.store(1);
  notice->Drop();
}

}  // namespace

NoticeWindowHandle OpenNoticeWindow(const NoticeLook& look) {
  std::lock_guard<std::mutex> hold(xLock);
  const XEntries* x = LoadEntries();
  if (x == nullptr) return nullptr;
  auto* notice = new (std::nothrow) NoticeWindow;
  if (notice == nullptr) return nullptr;
  notice->x = x;
  notice->look = &look;
  notice->width = look.width;
  if (pipe2(notice->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    notice->wake[0] = notice->wake[1] = -1;
    Discard(notice);
    return nullptr;
  }
  // No display named, or none there: no window, and Xlib says nothing.
  notice->display = x->XOpenDisplay(nullptr);
  if (notice->display == nullptr) {
    Discard(notice);
    return nullptr;
  }
  // Before anything else goes over the connection.
  x->XSetIOErrorExitHandler(notice->display, OnDisplayLost, notice);
  FreeClosedFontsAtOnce(*x, notice->display);

  Display* display = notice->display;
  const int screen = DefaultScreen(display);
  notice->window = x->XCreateSimpleWindow(display, RootWindow(display, screen), look.x, look.y,
                                          static_cast<unsigned>(look.width), static_cast<unsigned>(look.height), 0,
                                          BlackPixel(display, screen), WhitePixel(display, screen));
  DescribeWindow(*notice);
  x->XSelectInput(display, notice->window, ExposureMask | StructureNotifyMask);
  x->XMapWindow(display, notice->window);
  x->XFlush(display);
  if (notice->displayLost) {
    Discard(notice);
    return nullptr;
  }
  return notice;
}

void RunNoticeWindow(NoticeWindowHandle notice) {
  if (notice == nullptr) return;
  const XEntries& x = *notice->x;
  Display* display = notice->display;
  bool open = true;
  while (open && !notice->displayLost) {
    {
      std::lock_guard<std::mutex> hold(xLock);
      while (open && !notice->displayLost && x.XPending(display) > 0) {
        XEvent event;
        x.XNextEvent(display, &event);
        open = NoticeWindowProc(*notice, event);
      }
    }
    if (!open || notice->displayLost) break;

    pollfd wait[2] = {{ConnectionNumber(display), POLLIN, 0}, {notice->wake[0], POLLIN, 0}};
    if (poll(wait, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (wait[1].revents != 0) {
      open = false;
    } else if ((wait[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (wait[0].revents & POLLIN) == 0) {
      // Nothing more will come over this connection.
      notice->displayLost = true;
    }
  }
  {
    std::lock_guard<std::mutex> hold(xLock);
    if (!open && !notice->displayLost) x.XDestroyWindow(display, notice->window);
    // Also after a lost display: it frees what the connection held.
    x.XCloseDisplay(display);
    notice->display = nullptr;
  }
  notice->Drop();
}

void CloseNoticeWindow(NoticeWindowHandle notice) {
  if (notice == nullptr) return;
  // Non-blocking: when the pipe is full, a request is already waiting.
  ssize_t written = write(notice->wake[1], "", 1);
  (void)written;
  notice->Drop();
}

}  // namespace platform
