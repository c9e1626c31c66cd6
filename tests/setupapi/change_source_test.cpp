// The device-change source of the setupapi bus: its hidden window, and
// WM_DEVICECHANGE notices sent to it the way the system broadcasts them.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/usb_bus.h"

namespace {

namespace usb = platform::usb;

BOOL CALLBACK TakeFirst(HWND window, LPARAM found) {
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

// The source opened on this thread, and the window it made.
class ChangeSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_ = GetModuleHandleA(nullptr);
    source_ = usb::OpenChangeSource(instance_);
    ASSERT_NE(source_, nullptr) << "no window could be created";
    EnumThreadWindows(GetCurrentThreadId(), &TakeFirst, reinterpret_cast<LPARAM>(&window_));
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { usb::CloseChangeSource(source_); }

  // Sends from another thread, as the system's broadcast does: the message
  // reaches the window only while this thread pumps. Returns the number of
  // notices taken meanwhile.
  int SendFromAnotherThread(WPARAM kind, int times = 1) {
    std::atomic<bool> done{false};
    std::thread sender([&] {
      for (int i = 0; i < times; ++i) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(window_, WM_DEVICECHANGE, kind, 0, SMTO_NORMAL, 5000, &answer);
      }
      done = true;
    });
    int taken = 0;
    for (int pass = 0; pass < 5000 && !done; ++pass) {
      if (usb::TakeChange(source_)) ++taken;
      Sleep(1);
    }
    sender.join();
    return taken;
  }

  int TakeAll() {
    int taken = 0;
    while (taken < 100 && usb::TakeChange(source_)) ++taken;
    return taken;
  }

  HINSTANCE instance_ = nullptr;
  usb::ChangeSource* source_ = nullptr;
  HWND window_ = nullptr;
};

TEST_F(ChangeSourceTest, HiddenTopLevelStaticWindowOwnedByTheInstance) {
  char className[32] = {};
  GetClassNameA(window_, className, sizeof className);
  EXPECT_STREQ(className, "Static");
  EXPECT_FALSE(IsWindowVisible(window_));
  EXPECT_EQ(GetAncestor(window_, GA_PARENT), GetDesktopWindow());
  EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window_, GWLP_HINSTANCE)), instance_);
  EXPECT_FALSE(usb::TakeChange(source_));
}

TEST_F(ChangeSourceTest, SentNoticeIsTakenOnce) {
  int taken = SendFromAnotherThread(DBT_DEVNODES_CHANGED);
  EXPECT_EQ(taken + TakeAll(), 1);
  EXPECT_FALSE(usb::TakeChange(source_));
}

TEST_F(ChangeSourceTest, OtherDeviceChangeKindsAreNoNotice) {
  EXPECT_EQ(SendFromAnotherThread(DBT_DEVICEARRIVAL) + TakeAll(), 0);
  EXPECT_EQ(SendFromAnotherThread(DBT_DEVICEREMOVECOMPLETE) + TakeAll(), 0);
  // Other messages still reach the class procedure.
  char text[16] = "x";
  EXPECT_EQ(SendMessageA(window_, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)), 0);
  EXPECT_STREQ(text, "");
}

TEST_F(ChangeSourceTest, BurstIsTakenOneNoticePerCall) {
  // Sent on this thread, the procedure runs at once; nothing is lost.
  for (int i = 0; i < 3; ++i) SendMessageA(window_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_TRUE(usb::TakeChange(source_));
  EXPECT_TRUE(usb::TakeChange(source_));
  EXPECT_TRUE(usb::TakeChange(source_));
  EXPECT_FALSE(usb::TakeChange(source_));
  EXPECT_EQ(SendFromAnotherThread(DBT_DEVNODES_CHANGED, 3) + TakeAll(), 3);
}

TEST_F(ChangeSourceTest, PostedNoticeCountsToo) {
  ASSERT_TRUE(PostMessageA(window_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
  ASSERT_TRUE(PostMessageA(window_, WM_DEVICECHANGE, DBT_CONFIGCHANGED, 0));
  EXPECT_EQ(TakeAll(), 1);
}

TEST(ChangeSource, NullSourceNeverReports) {
  EXPECT_FALSE(usb::TakeChange(nullptr));
  usb::CloseChangeSource(nullptr);
}

}  // namespace
