// The abort that bounds a transfer: fired from another thread, or by itself
// at a time where the system lets a bus see that.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/usb_bus.h"
#ifndef _WIN32
#include <poll.h>
#endif

namespace {

using platform::usb::TransferAbort;
using Clock = std::chrono::steady_clock;

#ifndef _WIN32
// Whether the wait object is ready within waitMs.
bool Ready(const TransferAbort& abort, int waitMs) {
  pollfd fd{static_cast<int>(abort.WaitObject()), POLLIN, 0};
  return poll(&fd, 1, waitMs) == 1;
}

TEST(TransferAbort, FiresByItselfAtItsTimeAndStaysFiredUntilReset) {
  TransferAbort abort;
  ASSERT_TRUE(abort.Ready());
  auto start = Clock::now();
  ASSERT_TRUE(abort.FireAfter(100));
  EXPECT_FALSE(abort.Aborted());
  EXPECT_FALSE(Ready(abort, 0));
  ASSERT_TRUE(Ready(abort, 5000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_TRUE(abort.Expired());
  EXPECT_TRUE(abort.Aborted());
  // A new time does not take the fire back; only Reset does.
  EXPECT_TRUE(abort.FireAfter(10000));
  EXPECT_TRUE(Ready(abort, 0));
  EXPECT_TRUE(abort.Aborted());
  abort.Reset();
  EXPECT_FALSE(abort.Aborted());
  EXPECT_FALSE(abort.Expired());
  EXPECT_FALSE(Ready(abort, 0));
}

TEST(TransferAbort, ALaterTimeReplacesAnEarlierOneAndResetDisarms) {
  TransferAbort abort;
  ASSERT_TRUE(abort.FireAfter(50));
  ASSERT_TRUE(abort.FireAfter(10000));
  EXPECT_FALSE(Ready(abort, 300));
  EXPECT_FALSE(abort.Aborted());
  abort.Reset();
  ASSERT_TRUE(abort.FireAfter(50));
  abort.Reset();
  EXPECT_FALSE(Ready(abort, 300));
  EXPECT_FALSE(abort.Aborted());
}

TEST(TransferAbort, AnAbortIsNotAnExpiryAndOutlivesANewTime) {
  TransferAbort abort;
  ASSERT_TRUE(abort.FireAfter(10000));
  std::thread other([&abort] { abort.Abort(); });
  other.join();
  EXPECT_TRUE(Ready(abort, 5000));
  EXPECT_TRUE(abort.Aborted());
  EXPECT_FALSE(abort.Expired());
  EXPECT_TRUE(abort.FireAfter(10000));
  EXPECT_TRUE(Ready(abort, 0));
  abort.Reset();
  EXPECT_FALSE(Ready(abort, 0));
  EXPECT_FALSE(abort.Aborted());
}
#else
TEST(TransferAbort, WindowsNeedsAThreadToBoundATransfer) {
  TransferAbort abort;
  ASSERT_TRUE(abort.Ready());
  EXPECT_FALSE(abort.FireAfter(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(abort.Expired());
  EXPECT_FALSE(abort.Aborted());
}
#endif

}  // namespace
