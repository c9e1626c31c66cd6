// A private virtual X display (Xvfb) and what a test reads off it: where a
// window is, a screenshot, and the rows of a window that hold red text.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct xcb_connection_t;

namespace notice_test {

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

// What a window shows of itself: its title (either kind of name), where its
// inside is on the screen, and whether it is viewable.
struct WindowFacts {
  std::string title;
  Rect where;
  bool viewable = false;
};

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // rows top down, 3 bytes a pixel
  // Pure text red: strong red and hardly any green or blue (the edges that
  // anti-aliasing blends with the white background do not count).
  bool IsRed(int x, int y) const;
};

// A run of rows that hold red, [top, bottom), relative to the window.
struct Band {
  int top, bottom;
};

// The runs of red rows inside area, separated by rows without red, top down.
std::vector<Band> RedBands(const Image& image, const Rect& area);
// Red pixels inside area.
int RedPixels(const Image& image, const Rect& area);

// How long a window may take to appear, be painted or go.
constexpr int kWaitMs = 20000;

// The red bands of a notice window, checked as test expectations: the first
// line's band in the top 30 rows, the second text's 30 rows below it (both
// open with a capital of the same font), and at least atLeastLines bands for
// the second text. Returns the second text's bands.
size_t ExpectNoticeBands(const std::vector<Band>& bands, size_t atLeastLines);

class VirtualDisplay {
 public:
  VirtualDisplay();   // a new Xvfb on a display number nobody uses; throws when none starts
  // A display that someone else serves (":N"); Stop does nothing to it.
  explicit VirtualDisplay(const std::string& existing);
  ~VirtualDisplay();  // Stop()
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  const std::string& Name() const { return name_; }  // ":N"
  std::string Environment() const { return "DISPLAY=" + name_; }

  // Where the viewable window of this title is; false when there is none.
  bool FindWindow(const std::string& title, Rect* where) const;
  // Waits up to timeoutMs for the window to be viewable.
  bool WaitForWindow(const std::string& title, int timeoutMs, Rect* where) const;
  // Every window, for the message of a failed test.
  std::string WindowTree() const;
  Image Capture() const;
  // Captures until the area holds at least `bands` red bands (or holds no red
  // at all for bands 0); the last capture when timeoutMs runs out.
  Image WaitForBands(const Rect& area, size_t bands, int timeoutMs) const;

  // Ends the server: kill true is SIGKILL (the display vanishes without a
  // word), false a normal end. Idempotent.
  void Stop(bool kill = false);

 private:
  // The one connection every look at the screen goes through, opened on
  // first use. A client per look (xwininfo, import) made Xvfb drop or stall
  // the connections of the window under test now and then, under load,
  // when one of them came or went at the same moment. null: none to be had.
  xcb_connection_t* Connection() const;
  void Disconnect() const;
  // Every window there is, depth first, with its depth below the root.
  std::vector<std::pair<int, WindowFacts>> Windows() const;

  pid_t server_ = -1;
  std::string name_;
  mutable std::mutex lock_;  // over connection_
  mutable xcb_connection_t* connection_ = nullptr;
};

}  // namespace notice_test
