// The limits of one run and what other processes do to it: the most
// printers a run handles and one more, a second copy of the program, another
// process holding a printer, and the program killed in the middle of an
// image.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "e2e_runner.h"
#include "e2e_support.h"

namespace e2e {
namespace {

// Printers 2, 4, ... of count carry the old board.
std::map<int, std::string> OldBoardsEven(int count) {
  std::map<int, std::string> keys;
  for (int k = 2; k <= count; k += 2) keys[k] = "board = E0100000";
  return keys;
}

class LimitsTest : public ::testing::Test {
 protected:
  void TearDown() override { bench_.VerifyPrinterLogs(); }

  Bench bench_;
  BoardSet newSet_ = MakeSet(10, Waits::kNone);
  BoardSet oldSet_ = MakeSet(20, Waits::kNone);
};

TEST_F(LimitsTest, TenPrintersOfBothBoardsAreUpdatedAndAnEleventhIsNeverOpened) {
  bench_.WritePackage(newSet_, oldSet_);
  bench_.StartSimulator(11, QuickStoreScenario(11, OldBoardsEven(11)));
  RunResult run = bench_.RunUpdater(600);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 10 printer(s)\n"), 2) << run.output;
  EXPECT_EQ(Count(run.output, "failed"), 0) << run.output;
  for (int k = 1; k <= 10; ++k) bench_.ExpectStoredSet(k, k % 2 == 0 ? oldSet_ : newSet_);
  // The eleventh was found by discovery, but no port was ever opened on it.
  EXPECT_EQ(bench_.FramesLog(11), "");
  EXPECT_EQ(Count(ReadFile(bench_.dir() + "/transfers.log"), " 11 open pipe"), 0);
}

TEST_F(LimitsTest, SecondCopyWhileTheFirstRunsIsRefused) {
  bench_.WritePackage(newSet_, oldSet_);
  bench_.StartSimulator(2, QuickStoreScenario(2));
  RunResult second;
  bool started = false;
  RunResult first = bench_.RunUpdater(240, {}, [&](const std::string& output) {
    if (started || Count(output, "Detected 2 printer(s)") == 0) return;
    started = true;
    std::vector<std::string> argv = Runner().command;
    argv.push_back("Q7730.ini");
    second = e2e::Run(argv, bench_.dir(), 60, Runner().environment);
    second.output = Runner().ConsoleText(second.output);
  });
  ASSERT_TRUE(started);
  EXPECT_EQ(second.status, 255) << second.output;
  EXPECT_EQ(Count(second.output, "This application is already started. \n"), 1) << second.output;
  EXPECT_EQ(Count(second.output, "Detected"), 0) << second.output;
  EXPECT_EQ(first.status, 0) << first.output;
  bench_.ExpectStoredSet(1, newSet_);
  bench_.ExpectStoredSet(2, newSet_);
}

TEST_F(LimitsTest, PrinterHeldByAnotherProcessGetsNothingFurther) {
  newSet_.mainWait = 3000;
  bench_.WritePackage(newSet_, oldSet_);
  bench_.StartSimulator(2, QuickStoreScenario(2));
  // During printer 2's MAIN countdown another process takes its device
  // mutex for longer than a command waits: its DSP announcement is busy.
  std::string ready = bench_.dir() + "/holder.ready";
  std::string name = std::string("usb#vid_7a3d&pid_00b4#sim0002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  std::unique_ptr<BackgroundRun> holder;
  RunResult run = bench_.RunUpdater(240, {}, [&](const std::string& output) {
    if (holder || Count(output, "#printer 02  Writing firmware (MAIN).") == 0) return;
    holder = bench_.Start({HOLDER_PATH, name, "5000", ready});
    for (int i = 0; i < 200 && !FileExists(ready); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  ASSERT_TRUE(holder);
  EXPECT_TRUE(FileExists(ready));
  EXPECT_EQ(holder->Finish(30).status, 0);
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_EQ(Count(run.output, "usb_target_update (DSP) = 1500 \n"), 1) << run.output;
  EXPECT_EQ(Count(run.output, "Firmware download failed (1500)... #printer 02"), 1) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  EXPECT_EQ(bench_.Stored(2, kMain), newSet_.main);
  EXPECT_FALSE(bench_.HasStored(2, kDsp));
  // Nothing was sent for DSP: no announcement of target 0 reached it.
  EXPECT_EQ(Count(bench_.FramesLog(2), "out 13 04c0090000"), 0) << bench_.FramesLog(2);
}

TEST_F(LimitsTest, KilledInTheMiddleOfAnImageThenANewRunSucceeds) {
  // A large MAIN image, so the kill comes while it moves.
  newSet_ = MakeSet(10, Waits::kNone, 9000, 8u << 20);
  bench_.WritePackage(newSet_, oldSet_);
  // The printer gives up an image whose data stops for a second.
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "image_timeout_ms = 1000"}}));
  bench_.ExpectRejection(1, "given up");
  std::vector<std::string> argv = Runner().command;
  argv.push_back("Q7730.ini");
  BackgroundRun killed(argv, bench_.dir(), Runner().environment);
  bool sent = false;
  RunResult first = killed.Finish(240, [&](const std::string& output) {
    if (sent || Count(output, "Downloading MAIN file") == 0) return;
    sent = true;
    killed.Kill();
  });
  ASSERT_TRUE(sent) << first.output;
  EXPECT_EQ(first.status, -1) << first.output;
  EXPECT_EQ(Count(first.output, "Firmware download complete... #printer 01") -
                Count(first.output, "USB Firmware download complete... #printer 01"),
            0);
  // The part of MAIN that had arrived is never taken for an image.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(bench_.HasStored(1, kMain));
  EXPECT_NE(bench_.FramesLog(1).find("! image of target 1 given up"), std::string::npos) << bench_.FramesLog(1);

  // Nothing is left held: the next run updates the printer whole.
  RunResult second = bench_.RunUpdater(240);
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(Count(second.output, "failed"), 0) << second.output;
  bench_.ExpectStoredSet(1, newSet_);
}

}  // namespace
}  // namespace e2e
