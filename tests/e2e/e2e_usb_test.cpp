// Whole updates over the usb bus: the real Q7730upgrade with the libusb
// wirelet.dll, run under q7730-usb-bridge so that the simulator's printers
// are USB devices, checking what each printer stored.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

class UsbUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_.WritePackage(newSet_, oldSet_);
    bench_.InstallLibrary(USB_LIBRARY_PATH);
    UseBridge({});
  }
  void TearDown() override { bench_.VerifyPrinterLogs(); }

  void UseBridge(const std::vector<std::string>& options) {
    std::vector<std::string> launcher = {USB_BRIDGE_PATH};
    launcher.insert(launcher.end(), options.begin(), options.end());
    launcher.push_back("--");
    bench_.RunUpdaterThrough(launcher);
  }

  Bench bench_;
  BoardSet newSet_ = MakeSet(10);
  BoardSet oldSet_ = MakeSet(20, Waits::kShort, 8500);
};

TEST_F(UsbUpdateTest, ThreePrintersOfBothBoardsEachGetTheirSet) {
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
  EXPECT_EQ(Count(bench_.FramesLog(1) + bench_.FramesLog(2) + bench_.FramesLog(3), "!"), 0)
      << "a printer rejected a frame";
}

TEST_F(UsbUpdateTest, SilentPrinterTimesOutWhileTheOtherFinishes) {
  // The read that never completes is cancelled after the 10 s limit.
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
  if (HasFailure()) ADD_FAILURE() << run.output << "\n" << bench_.FramesLog(1);
}

TEST_F(UsbUpdateTest, UnplugDuringTheControllerImageIsAFailure) {
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "unplug_after_bytes = 5000"}}));
  bench_.ExpectRejection(1, "unplugged");
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("usb_write_data (USB) = 2600 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("USB Firmware download failed (2600)... #printer 01"), std::string::npos)
      << run.output;
  bench_.ExpectNothingStored(1, {kUsb, kMain, kDsp, kTable});
}

TEST_F(UsbUpdateTest, PrinterOfAnotherMakeAndANonPrinterWithTheModelIdsAreIgnored) {
  UseBridge({"--other", "7a3d:00b4"});
  bench_.StartSimulator(2, QuickStoreScenario(2, {{1, "vendor = 04b8"}}));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 1 printer(s)\n"), 2) << run.output;
  bench_.ExpectNothingStored(1, {kUsb, kMain, kDsp, kTable});
  EXPECT_EQ(bench_.FramesLog(1).find("out "), std::string::npos) << "the other make was talked to";
  bench_.ExpectStoredSet(2, newSet_);
}

}  // namespace
}  // namespace e2e
