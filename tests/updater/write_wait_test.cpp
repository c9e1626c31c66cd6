// Status classification, the single status check, the polling wait and the
// plain countdown, on a virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_library.h"
#include "support/test_support.h"
#include "write_wait.h"

using testing_support::ConsoleCapture;
using testing_support::FakeLibrary;
using testing_support::VirtualClock;

namespace {

TEST(ClassifyStatusTest, BoundariesOfEachClass) {
  struct Case {
    StatusCode code;
    int expected;
  };
  const Case cases[] = {
      {0, 1},     {1, -1},    {1000, -1}, {1001, -1}, {2100, -1}, {2101, 0},  {2104, 0},  {2107, 0},
      {2108, -1}, {2212, -1}, {2304, -1}, {2305, 1},  {2306, 1},  {2307, 1},  {2308, -1}, {2309, 1},
      {2310, -1}, {2499, -1}, {2500, 1},  {2501, -1}, {2504, -1}, {2600, -1}, {65535, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, ClassifyStatus(c.code)) << c.code;
}

class WriteWaitTest : public ::testing::Test {
 protected:
  // Lines of a countdown, as printed.
  static std::string Lines(const char* label, int port, const std::vector<int>& seconds) {
    std::string text;
    char line[128];
    for (int s : seconds) {
      std::snprintf(line, sizeof line, "#printer %.2d  Writing firmware (%s Remaining %d  sec. \r", port, label, s);
      text += line;
    }
    return text;
  }
  VirtualClock clock{5000};
  ConsoleCapture console;
  FakeLibrary fake;
};

TEST_F(WriteWaitTest, CheckPrinterStatusLeavesTheCodeAndPauses) {
  fake.printers[2].statuses = {2103};
  StatusCode status = 77;
  EXPECT_EQ(0, CheckPrinterStatus(2, status));
  EXPECT_EQ(2103, status);
  EXPECT_EQ(5300u, clock.Now());
  fake.printers[2].statuses = {2600};
  EXPECT_EQ(-1, CheckPrinterStatus(2, status));
  EXPECT_EQ(2600, status);
  EXPECT_EQ((std::vector<std::string>{"status 2", "status 2"}), fake.Texts());
  EXPECT_EQ("", console.Text());
}

TEST_F(WriteWaitTest, CountDownShowsWholeSecondsDownToZero) {
  StatusCode status = 2600;
  CountDown(kWriteUsb, 3, 3000, status);
  EXPECT_EQ(Lines("USB).  ", 3, {3, 2, 2, 1, 1, 0}) + "\n\n", console.Text());
  EXPECT_EQ(0, status);
  EXPECT_EQ(8000u, clock.Now());
  EXPECT_TRUE(fake.Calls().empty());  // the printer is never asked
}

TEST_F(WriteWaitTest, CountDownLineOfEachKind) {
  StatusCode status = 0;
  CountDown(kWriteMain, 1, 0, status);
  CountDown(kWriteDsp, 1, 0, status);
  CountDown(kWriteTable, 10, 0, status);
  EXPECT_EQ(Lines("MAIN). ", 1, {0}) + "\n\n" + Lines("DSP).  ", 1, {0}) + "\n\n" + Lines("TABLE).", 10, {0}) +
                "\n\n",
            console.Text());
}

TEST_F(WriteWaitTest, KindWithoutALineCountsDownSilently) {
  StatusCode status = 9;
  for (uint8_t kind : {0, 5, 255}) CountDown(kind, 1, 600, status);
  EXPECT_EQ("\n\n\n\n\n\n", console.Text());
  EXPECT_EQ(0, status);
  EXPECT_EQ(6500u, clock.Now());  // one 500 ms pause each, as with a line
}

TEST_F(WriteWaitTest, ShortCountDownsShowOneZeroLine) {
  StatusCode status = 5;
  CountDown(kWriteMain, 1, 0, status);
  EXPECT_EQ(5500u, clock.Now());
  CountDown(kWriteMain, 1, 999, status);
  EXPECT_EQ(6000u, clock.Now());
  CountDown(kWriteMain, 1, 1000, status);
  EXPECT_EQ(Lines("MAIN). ", 1, {0}) + "\n\n" + Lines("MAIN). ", 1, {0}) + "\n\n" + Lines("MAIN). ", 1, {1, 0}) +
                "\n\n",
            console.Text());
  EXPECT_EQ(0, status);
}

TEST_F(WriteWaitTest, CountDownAcrossTheTickCountWrap) {
  VirtualClock nearWrap(0xFFFFFFFFu - 1200);
  StatusCode status = 0;
  CountDown(kWriteDsp, 4, 3000, status);
  EXPECT_EQ(Lines("DSP).  ", 4, {3, 2, 2, 1, 1, 0}) + "\n\n", console.Text());
}

TEST_F(WriteWaitTest, ReadyAtFirstPollEndsWithoutCountdown) {
  fake.printers[1].statuses = {2309};
  StatusCode status = 0;
  EXPECT_EQ(1, WaitWriteComplete(kWriteMain, 1, 70000, status));
  EXPECT_EQ(2309, status);
  EXPECT_EQ("\n\n", console.Text());
  std::vector<testing_support::FakeCall> calls = fake.Calls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(7000u, calls[0].time);  // 2000 ms before the first poll
  EXPECT_EQ(7300u, clock.Now());
}

TEST_F(WriteWaitTest, BusyUntilTimeRunsOutIsNotAFailure) {
  fake.printers[1].statuses = {2105};
  StatusCode status = 0;
  EXPECT_EQ(0, WaitWriteComplete(kWriteTable, 1, 2000, status));
  EXPECT_EQ(2105, status);
  EXPECT_EQ(Lines("TABLE).", 1, {1, 0}) + "\n\n", console.Text());
  EXPECT_EQ(2u, fake.Calls().size());
}

TEST_F(WriteWaitTest, PollsUntilReadyWithCountdownBetween) {
  fake.printers[1].statuses = {2101, 2107, 2101, 0};
  StatusCode status = 0;
  EXPECT_EQ(1, WaitWriteComplete(kWriteMain, 1, 70000, status));
  EXPECT_EQ(0, status);
  // Each round: the poll's 300 ms, then a line, then 500 ms.
  EXPECT_EQ(Lines("MAIN). ", 1, {69, 68, 68}) + "\n\n", console.Text());
  std::vector<testing_support::FakeCall> calls = fake.Calls();
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ(7000u, calls[0].time);
  EXPECT_EQ(7800u, calls[1].time);
  EXPECT_EQ(8600u, calls[2].time);
  EXPECT_EQ(9400u, calls[3].time);
}

TEST_F(WriteWaitTest, FailedPollEndsTheWaitAtOnce) {
  fake.printers[1].statuses = {2102, 2100};
  StatusCode status = 0;
  EXPECT_EQ(-1, WaitWriteComplete(kWriteDsp, 1, 55000, status));
  EXPECT_EQ(2100, status);
  EXPECT_EQ(Lines("DSP).  ", 1, {54}) + "\n\n", console.Text());
}

TEST_F(WriteWaitTest, ZeroWaitPollsOnceWithoutALine) {
  fake.printers[1].statuses = {2104};
  StatusCode status = 0;
  EXPECT_EQ(0, WaitWriteComplete(kWriteMain, 1, 0, status));
  EXPECT_EQ(2104, status);
  EXPECT_EQ("\n\n", console.Text());
  EXPECT_EQ(1u, fake.Calls().size());
}

TEST_F(WriteWaitTest, PollingWaitHasNoUsbLine) {
  fake.printers[1].statuses = {2104};
  StatusCode status = 0;
  EXPECT_EQ(0, WaitWriteComplete(kWriteUsb, 1, 1500, status));
  EXPECT_EQ("\n\n", console.Text());
}

}  // namespace
