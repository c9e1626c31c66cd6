// The notice window itself, in this process, on a private Xvfb display and
// read back from screenshots.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "notice_window.h"
#include "platform/notice_window.h"
#include "platform/thread.h"
#include "x_display.h"

// fontconfig loses a little of what it reads from its configuration, once
// per process; leaks of this code or of Xft are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// When a display is lost, libX11 unlocks it once in its I/O error path and
// once more in the call that met the error: its own way, harmless here.
extern "C" const char* __tsan_default_suppressions() { return "mutex:libX11.so\n"; }

// Every X extension set up on a display of this process passes through
// here: this program exports the name, which libXrender's and Xlib's own
// calls then find before libX11's.
namespace notice_test {
std::atomic<int> renderSetups{0};
}  // namespace notice_test
extern "C" void* XInitExtension(void* display, const char* name) {
  using Real = void* (*)(void*, const char*);
  static const Real real =
      reinterpret_cast<Real>(dlsym(dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD), "XInitExtension"));
  if (std::strcmp(name, "RENDER") == 0) notice_test::renderSetups.fetch_add(1);
  return real(display, name);
}

namespace notice_test {
namespace {

// One notice window, opened and served on a thread of its own.
class ServedWindow {
 public:
  explicit ServedWindow(const platform::NoticeLook& look) : look_(look) {
    if (!thread_.Start(Serve, this)) return;
    for (int i = 0; i < kWaitMs / 10 && !opened_.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~ServedWindow() {
    Close();
    Ended();
  }
  platform::NoticeWindowHandle Handle() const { return handle_.load(); }
  void Close() {
    platform::CloseNoticeWindow(handle_.exchange(nullptr));
  }
  // The window's thread has ended (RunNoticeWindow returned) within the limit.
  bool Ended() {
    return !thread_.Started() || thread_.Wait(kWaitMs) == platform::Thread::WaitResult::Ended;
  }

 private:
  static uint32_t Serve(void* raw) {
    auto* self = static_cast<ServedWindow*>(raw);
    platform::NoticeWindowHandle window = platform::OpenNoticeWindow(self->look_);
    self->handle_.store(window);
    self->opened_.store(true);
    platform::RunNoticeWindow(window);
    return 0;
  }

  platform::NoticeLook look_;
  std::atomic<platform::NoticeWindowHandle> handle_{nullptr};
  std::atomic<bool> opened_{false};
  platform::Thread thread_;
};

class NoticeWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("DISPLAY", display_.Name().c_str(), 1); }
  void TearDown() override { unsetenv("DISPLAY"); }

  // The look as shown, but elsewhere and under another title.
  static platform::NoticeLook Variant(const char* title, int x, int y, int width, int height) {
    platform::NoticeLook look = kNoticeLook;
    look.title = title;
    look.x = x;
    look.y = y;
    look.width = width;
    look.height = height;
    return look;
  }

  VirtualDisplay display_;
};

TEST_F(NoticeWindowTest, ShowsTheTextsInRedAndWrapsTheSecondWithinTheWidth) {
  // Both at once: also two windows of two threads on one display.
  const platform::NoticeLook narrowLook = Variant("narrow notice", 150, 300, 220, 300);
  ServedWindow notice(kNoticeLook);
  ServedWindow narrow(narrowLook);
  ASSERT_NE(notice.Handle(), nullptr);
  ASSERT_NE(narrow.Handle(), nullptr);

  Rect where, narrowWhere;
  ASSERT_TRUE(display_.WaitForWindow("Firmware downloder attention", kWaitMs, &where));
  EXPECT_EQ(where.x, 150);
  EXPECT_EQ(where.y, 150);
  EXPECT_EQ(where.width, 600);
  EXPECT_EQ(where.height, 100);
  ASSERT_TRUE(display_.WaitForWindow("narrow notice", kWaitMs, &narrowWhere));

  display_.WaitForBands(where, 3, kWaitMs);
  Image image = display_.WaitForBands(narrowWhere, 4, kWaitMs);
  size_t wideLines = ExpectNoticeBands(RedBands(image, where), 2);
  size_t narrowLines = ExpectNoticeBands(RedBands(image, narrowWhere), 3);
  EXPECT_GT(narrowLines, wideLines);
  // Nothing is drawn outside either window.
  EXPECT_EQ(RedPixels(image, {0, 0, image.width, 150}), 0);
  EXPECT_EQ(RedPixels(image, {750, 0, image.width - 750, image.height}), 0);
}

TEST_F(NoticeWindowTest, CloseRequestFromAnotherThreadEndsTheWindowsThread) {
  ServedWindow notice(kNoticeLook);
  ASSERT_NE(notice.Handle(), nullptr);
  Rect where;
  ASSERT_TRUE(display_.WaitForWindow("Firmware downloder attention", kWaitMs, &where));

  auto before = std::chrono::steady_clock::now();
  notice.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1)) << "the request waited";
  EXPECT_TRUE(notice.Ended());
  EXPECT_FALSE(display_.FindWindow("Firmware downloder attention", &where));
}

TEST_F(NoticeWindowTest, CloseBeforeTheLoopEndsItAtTheStart) {
  platform::NoticeWindowHandle window = platform::OpenNoticeWindow(kNoticeLook);
  ASSERT_NE(window, nullptr);
  platform::CloseNoticeWindow(window);
  platform::RunNoticeWindow(window);  // returns: the request was waiting
  Rect where;
  EXPECT_FALSE(display_.FindWindow("Firmware downloder attention", &where));
  platform::RunNoticeWindow(nullptr);
  platform::CloseNoticeWindow(nullptr);
}

TEST_F(NoticeWindowTest, UncoveredWindowIsPaintedAgain) {
  ServedWindow notice(kNoticeLook);
  Rect where;
  ASSERT_TRUE(display_.WaitForWindow("Firmware downloder attention", kWaitMs, &where));
  ASSERT_GE(RedBands(display_.WaitForBands(where, 3, kWaitMs), where).size(), 3u);

  // A white window over it with nothing to say hides all of its text.
  platform::NoticeLook coverLook = Variant("cover", 100, 100, 700, 200);
  coverLook.red = coverLook.green = coverLook.blue = 255;
  {
    ServedWindow cover(coverLook);
    ASSERT_NE(cover.Handle(), nullptr);
    EXPECT_EQ(RedBands(display_.WaitForBands(where, 0, kWaitMs), where).size(), 0u);
  }
  // Exposed again: painted again, with a fresh font.
  ExpectNoticeBands(RedBands(display_.WaitForBands(where, 3, kWaitMs), where), 2);
}

// Each display of the thread is likely to take the address of the one
// before, and Xft and libXrender key what they know of a display by it:
// nothing of the last display may be left there for the next to find. What
// was left (the rendering extension set up again while the display closed)
// made a later window hang for a reply or end the process, by chance.
TEST_F(NoticeWindowTest, WindowsOneAfterAnotherOnOneThreadAreEachPainted) {
  constexpr int kRounds = 4;
  struct Windows {
    std::atomic<platform::NoticeWindowHandle> current{nullptr};
    static uint32_t Serve(void* raw) {
      auto* self = static_cast<Windows*>(raw);
      for (int round = 0; round < kRounds; ++round) {
        platform::NoticeWindowHandle window = platform::OpenNoticeWindow(kNoticeLook);
        if (window == nullptr) return 1;
        self->current.store(window);
        platform::RunNoticeWindow(window);
      }
      return 0;
    }
  } windows;
  platform::Thread thread;
  const int setupsBefore = renderSetups.load();
  ASSERT_TRUE(thread.Start(Windows::Serve, &windows));
  for (int round = 0; round < kRounds; ++round) {
    // This round's window, opened after the last one was destroyed.
    platform::NoticeWindowHandle window = nullptr;
    for (int i = 0; i < kWaitMs / 10 && window == nullptr; ++i) {
      window = windows.current.exchange(nullptr);
      if (window == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(window, nullptr) << "round " << round;
    Rect where;
    EXPECT_TRUE(display_.WaitForWindow("Firmware downloder attention", kWaitMs, &where)) << "round " << round;
    ExpectNoticeBands(RedBands(display_.WaitForBands(where, 3, kWaitMs), where), 2);
    platform::CloseNoticeWindow(window);
  }
  ASSERT_EQ(thread.Wait(kWaitMs), platform::Thread::WaitResult::Ended);
  EXPECT_EQ(thread.ExitCode(), 0u);
  EXPECT_EQ(renderSetups.load() - setupsBefore, kRounds) << "each display sets it up once, when it opens";
}

TEST_F(NoticeWindowTest, LostDisplayEndsTheWindowButNotTheProcess) {
  ServedWindow notice(kNoticeLook);
  Rect where;
  ASSERT_TRUE(display_.WaitForWindow("Firmware downloder attention", kWaitMs, &where));
  // Xlib's own handling would end this process here.
  display_.Stop(true);
  EXPECT_TRUE(notice.Ended());
  // The close request after the window is gone touches nothing freed.
  notice.Close();
}

// The end of the process runs the X libraries' exit handlers and destructors;
// the window's thread must be out of them by then, also when the end comes
// while the window is still being opened. The thread sanitizer sees it fail
// nearly every time; without it a crash is rarer.
TEST_F(NoticeWindowTest, ProgramThatEndsRightAfterItsWindowEndsCleanly) {
  for (int updateMs : {0, 0, 0, 20, 20, 50, 100, 300}) {
    e2e::RunResult run = e2e::Run({NOTICE_EXIT_PATH, std::to_string(updateMs)}, "/", 60, {display_.Environment()});
    EXPECT_EQ(run.status, 0) << "after " << updateMs << " ms: " << run.output;
    EXPECT_EQ(run.output, "");
  }
}

TEST_F(NoticeWindowTest, NoDisplayMeansNoWindowAndNoMessage) {
  // What Xlib might print goes to standard error.
  char path[] = "/tmp/q7730-stderr.XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  fflush(stderr);
  int saved = dup(2);
  dup2(file, 2);

  unsetenv("DISPLAY");
  platform::NoticeWindowHandle unset = platform::OpenNoticeWindow(kNoticeLook);
  std::string name = display_.Name();
  display_.Stop();
  setenv("DISPLAY", name.c_str(), 1);
  platform::NoticeWindowHandle gone = platform::OpenNoticeWindow(kNoticeLook);

  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(file);
  std::string said = e2e::ReadFile(path);
  unlink(path);
  EXPECT_EQ(unset, nullptr);
  EXPECT_EQ(gone, nullptr);
  EXPECT_EQ(said, "");
}

// The updater's own request, which may come before its window exists.
TEST_F(NoticeWindowTest, DestroyRequestOfTheDriverEndsTheWindowWheneverItComes) {
  for (bool windowFirst : {false, true}) {
    platform::Thread thread;
    ASSERT_TRUE(StartNoticeThread(thread));
    if (windowFirst) {
      Rect where;
      EXPECT_TRUE(display_.WaitForWindow("Firmware downloder attention", kWaitMs, &where))
          << display_.WindowTree();
    }
    DestroyNoticeWindow();
    EXPECT_EQ(thread.Wait(kWaitMs), platform::Thread::WaitResult::Ended) << "window first: " << windowFirst;
    Rect where;
    EXPECT_FALSE(display_.FindWindow("Firmware downloder attention", &where));
  }
}

}  // namespace
}  // namespace notice_test
