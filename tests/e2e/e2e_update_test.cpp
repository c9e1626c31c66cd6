// Whole updates: the real Q7730upgrade and sim-bus wirelet.dll against
// q7730-sim, checking exit status, console lines and the bytes each
// simulated printer stored.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

// The exit status of each run is 0 only when every printer it worked on was
// updated in full (255: -1 as the shell sees it).
class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override { bench_.WritePackage(newSet_, oldSet_); }
  void TearDown() override { bench_.VerifyPrinterLogs(); }

  Bench bench_;
  BoardSet newSet_ = MakeSet(10);
  BoardSet oldSet_ = MakeSet(20, Waits::kShort, 8500);
};

TEST_F(UpdateTest, OnePrinterStoresEveryImageByteForByte) {
  bench_.StartSimulator(1, QuickStoreScenario(1));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 1 printer(s)\n"), 2) << run.output;
  EXPECT_NE(run.output.find("Downloading USB file... [usb_new.bin]\n"), std::string::npos);
  EXPECT_NE(run.output.find("Sent         9000 byte(s) \r\n"), std::string::npos) << run.output;
  EXPECT_EQ(Count(run.output, "USB Firmware download complete... #printer 01"), 1) << run.output;
  EXPECT_EQ(Count(run.output, "Firmware download complete... #printer 01"), 2) << run.output;
  EXPECT_EQ(Count(run.output, "failed"), 0) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
}

TEST_F(UpdateTest, ThreePrintersOfBothBoardsEachGetTheirSet) {
  bench_.StartSimulator(3, QuickStoreScenario(3, {{2, "board = E0100000"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 3 printer(s)\n"), 2) << run.output;
  for (const char* port : {"01", "02", "03"}) {
    EXPECT_EQ(Count(run.output, std::string("USB Firmware download complete... #printer ") + port), 1)
        << run.output;
    EXPECT_EQ(Count(run.output, std::string("Firmware download complete... #printer ") + port), 2)
        << run.output;
  }
  bench_.ExpectStoredSet(1, newSet_);
  bench_.ExpectStoredSet(2, oldSet_);
  bench_.ExpectStoredSet(3, newSet_);
}

TEST_F(UpdateTest, UnknownProgramVersionStopsBeforeAnyImage) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "program = E0000000"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("#printer 01 Printer Program Version Error...              \n\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("USB Firmware download failed (0)... #printer 01"), std::string::npos)
      << run.output;
  // A single failed printer ends the run before the engine phase.
  EXPECT_EQ(Count(run.output, "Detected 1 printer(s)"), 1) << run.output;
  bench_.ExpectNothingStored(1, {kUsb, kMain, kDsp, kTable});
}

TEST_F(UpdateTest, PrinterOfAnotherMakeIsIgnored) {
  bench_.StartSimulator(2, QuickStoreScenario(2, {{1, "vendor = 04b8"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 1 printer(s)\n"), 2) << run.output;
  bench_.ExpectNothingStored(1, {kUsb, kMain, kDsp, kTable});
  EXPECT_EQ(bench_.FramesLog(1).find("out "), std::string::npos) << "the other make was talked to";
  bench_.ExpectStoredSet(2, newSet_);
}

TEST_F(UpdateTest, SilentPrinterTimesOutWhileTheOthersFinish) {
  // Phase 1 never asks for status; phase 2 opens with a status check.
  bench_.StartSimulator(2, QuickStoreScenario(2, {{2, "fault_status = noreply"}}));
  bench_.ExpectAbandonedHandles();
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("Check status NG (2600)... #printer 02"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2600)... #printer 02"), std::string::npos)
      << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  EXPECT_EQ(bench_.Stored(2, kUsb), TrailerFirst(newSet_.usb));
  bench_.ExpectNothingStored(2, {kMain, kDsp, kTable});
}

TEST_F(UpdateTest, ErrorReplyToAnAnnouncementFailsThatPrinter) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "fault_announce1 = error 3"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("usb_target_update (MAIN) = 2103 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2103)... #printer 01"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("Downloading MAIN file"), std::string::npos) << run.output;
  bench_.ExpectNothingStored(1, {kMain, kDsp, kTable});
}

TEST_F(UpdateTest, UnplugDuringTheControllerImageIsAFailure) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "unplug_after_bytes = 5000"}}));
  bench_.ExpectRejection(1, "unplugged");
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("usb_write_data (USB) = 2600 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("USB Firmware download failed (2600)... #printer 01"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("complete"), std::string::npos) << run.output;
  bench_.ExpectNothingStored(1, {kUsb, kMain, kDsp, kTable});
}

TEST_F(UpdateTest, UnplugDuringTheMainImageIsAFailure) {
  std::string unplug = "unplug_after_bytes = " + std::to_string(newSet_.usb.size() + 7000);
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, unplug}}));
  bench_.ExpectRejection(1, "unplugged");
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("usb_write_data (MAIN) = 2600 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2600)... #printer 01"), std::string::npos)
      << run.output;
  EXPECT_EQ(Count(run.output, "Firmware download complete"), 1) << run.output;  // the USB line only
  bench_.ExpectNothingStored(1, {kMain, kDsp, kTable});
}

TEST_F(UpdateTest, PrinterThatStopsTakingAnImageFailsAfterTheLimit) {
  // The other printer must not be held up for ever by the stalled one.
  std::string stall = "stall_after_bytes = " + std::to_string(newSet_.usb.size() + 7000);
  bench_.StartSimulator(2, QuickStoreScenario(2, {{1, stall}}));
  bench_.ExpectRejection(1, "not acknowledged (stalled)");
  bench_.ExpectAbandonedHandles();
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("usb_write_data (MAIN) = 2600 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2600)... #printer 01"), std::string::npos)
      << run.output;
  bench_.ExpectNothingStored(1, {kMain, kDsp, kTable});
  bench_.ExpectStoredSet(2, newSet_);
}

TEST_F(UpdateTest, PrinterBusyAtTheStartOfTheEnginePhase) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "fault_status = state 3 @1"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("Check status NG (2103)... #printer 01"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2103)... #printer 01"), std::string::npos)
      << run.output;
  bench_.ExpectNothingStored(1, {kMain, kDsp, kTable});
}

TEST_F(UpdateTest, Status2306LengthensTheTableWaitOfThatPrinterOnly) {
  // The second status request is the one before MAIN.
  bench_.StartSimulator(2, QuickStoreScenario(2, {{1, "fault_status = state 0x11 6 3 @2"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("#printer 01  Writing firmware (TABLE). Remaining 10  sec. \r"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("#printer 02  Writing firmware (TABLE). Remaining 10  sec. \r"),
            std::string::npos)
      << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  bench_.ExpectStoredSet(2, newSet_);
}

TEST_F(UpdateTest, PollingWaitsFollowAPreMainStatusOf2305) {
  // MAIN takes 4 s to store and may take 6: the first poll (after 2.3 s) finds
  // the printer busy, a later one ready, with room either way on a slow machine.
  newSet_.mainWait = 6000;
  bench_.WritePackage(newSet_, oldSet_);
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "fault_status = state 0x11 6 5 @2\nstore_ms_1 = 4000"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  // The printer still stores MAIN at the first poll, so that wait counts down.
  EXPECT_NE(run.output.find("#printer 01  Writing firmware (MAIN)."), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Firmware download complete... #printer 01"), std::string::npos) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  // Polling waits ask for status after each image.
  EXPECT_GE(Count(bench_.FramesLog(1), "out 4 01000000"), 5) << bench_.FramesLog(1);
}

TEST_F(UpdateTest, FailedClosingCommandFailsThePrinterAndSkipsTheSecond) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "fault_close1 = error a"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2200)... #printer 01"), std::string::npos)
      << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  std::string frames = bench_.FramesLog(1);
  EXPECT_NE(frames.find("out 8 ffc0040003f13d00"), std::string::npos) << frames;
  EXPECT_EQ(frames.find("ffc0060005ffaa55cc33"), std::string::npos) << frames;
}

TEST_F(UpdateTest, FailedSecondClosingCommandFailsThePrinter) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "fault_close2 = noreply"}}));
  bench_.ExpectAbandonedHandles();
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("Firmware download failed (2600)... #printer 01"), std::string::npos)
      << run.output;
  bench_.ExpectStoredSet(1, newSet_);
}

TEST_F(UpdateTest, UnreadableInformationTakesTheModesSetAndCountsDown) {
  for (int mode : {0, 1}) {
    Bench bench;
    bench.WritePackage(newSet_, oldSet_, mode);
    // An old board: only the package's MODE can give it the new set.
    bench.StartSimulator(1, QuickStoreScenario(1, {{1, "board = E0100000\nfault_info = error a"}}));
    RunResult run = bench.RunUpdater();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Count(run.output, "usb_get_firmware_info = 2200 \n"), 2) << run.output;
    const BoardSet& set = mode == 0 ? newSet_ : oldSet_;
    EXPECT_EQ(bench.Stored(1, kUsb), TrailerFirst(set.usb)) << "MODE " << mode;
    EXPECT_EQ(bench.Stored(1, kMain), set.main) << "MODE " << mode;
    EXPECT_EQ(bench.Stored(1, kDsp), set.dsp) << "MODE " << mode;
    EXPECT_EQ(bench.Stored(1, kTable), set.table) << "MODE " << mode;
    // Plain countdowns: after the opening check the printer is never asked
    // for its status, and neither pre-MAIN step is taken.
    std::string log = bench.FramesLog(1);
    EXPECT_EQ(Count(log, "out 4 01000000\n"), 1) << log;
    EXPECT_EQ(Count(log, "out 8 ffc0040003f13ea5\n"), 0) << log;
    for (const char* line : {"Writing firmware (MAIN).", "Writing firmware (DSP).", "Writing firmware (TABLE)."})
      EXPECT_NE(run.output.find(line), std::string::npos) << line;
    bench.VerifyPrinterLogs();
  }
}

TEST_F(UpdateTest, ReplyLongerThanItsHeaderIsNotTaken) {
  // The engine phase's reply for component 1 has 2 bytes its header does not count.
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "fault_info1 = trailing 2 @2"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "usb_get_firmware_info = 2600 \n"), 1) << run.output;
  // The controller phase read the new board; the engine phase falls back to MODE 1, the old set.
  EXPECT_EQ(bench_.Stored(1, kUsb), TrailerFirst(newSet_.usb));
  EXPECT_EQ(bench_.Stored(1, kMain), oldSet_.main);
  EXPECT_EQ(bench_.Stored(1, kDsp), oldSet_.dsp);
  EXPECT_EQ(bench_.Stored(1, kTable), oldSet_.table);
}

TEST_F(UpdateTest, PrinterPulledBetweenTwoTargetsIsFoundGoneBeforeTheNextCommand) {
  // Printer 3 fails at its MAIN announcement and closes its port, which
  // stops the watcher: printer 2, pulled during its MAIN countdown, can then
  // only be found gone by the check before its next command.
  newSet_.mainWait = 3000;
  bench_.WritePackage(newSet_, oldSet_);
  bench_.StartSimulator(3, QuickStoreScenario(3, {{3, "fault_announce1 = error a"}}));
  RunResult run = bench_.RunUpdaterUnplugging(2, "Firmware download failed (2200)... #printer 03");
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_EQ(Count(run.output, "usb_target_update (DSP) = 1000 \n"), 1) << run.output;
  EXPECT_EQ(Count(run.output, "Firmware download failed (1000)... #printer 02"), 1) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  EXPECT_EQ(bench_.Stored(2, kMain), newSet_.main);
  bench_.ExpectNothingStored(2, {kDsp, kTable});
}

TEST_F(UpdateTest, PrinterPulledBetweenThePhasesIsNotOpenedAgain) {
  bench_.StartSimulator(3, QuickStoreScenario(3));
  // Gone right after the engine phase found it, before its worker opens it.
  RunResult run = bench_.RunUpdaterUnplugging(2, "Detected 3 printer(s)\n", 2);
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_EQ(Count(run.output, "usb_open_port = 1000 \n"), 1) << run.output;
  // Its controller line is its only final line.
  EXPECT_EQ(Count(run.output, "Firmware download complete... #printer 02"), 1) << run.output;
  EXPECT_EQ(Count(run.output, "failed"), 0) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  bench_.ExpectStoredSet(3, newSet_);
  EXPECT_EQ(bench_.Stored(2, kUsb), TrailerFirst(newSet_.usb));
  bench_.ExpectNothingStored(2, {kMain, kDsp, kTable});
}

TEST_F(UpdateTest, NoPrinterConnected) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "plugged = 0"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_EQ(Count(run.output, "The printer is not connected. \n"), 1) << run.output;
}

}  // namespace
}  // namespace e2e
