// The Windows build's Setup API wirelet.dll against printers that wine's own
// plug and play presents: q7730-sim's printers, plugged into the prefix by
// q7730-wine-bridge through the stand-in USB printer class driver
// (sim/wine). Discovery, presence, the pipes and every device-change notice
// are wine's own; the tests check the bytes each printer stored.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_runner.h"
#include "e2e_support.h"

namespace e2e {
namespace {


// One printer of another make, then three of the model, printer K's
// component 7 reading "E070000K" (what setupapi_printers_test.exe expects).
std::string FourPrinterScenario() {
  std::string text = "[printer1]\nvendor = 04b8\nstore_ms = 100\n";
  for (int k = 2; k <= 4; ++k)
    text += "[printer" + std::to_string(k) + "]\nversion7 = E070000" + std::to_string(k) + "\nstore_ms = 100\n";
  return text;
}

class WinePrintersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Runner().windows) GTEST_SKIP() << "Q7730_E2E_WINDOWS_BUILD names no Windows build";
    build_ = std::getenv("Q7730_E2E_WINDOWS_BUILD");
    for (const char* file : {"q7730-wine-install.exe", "q7730-wine-bridge.exe", "q7730simbus.sys"})
      ASSERT_TRUE(FileExists(build_ + "/sim/wine/" + file)) << build_ << " has no sim/wine/" << file;
    // Once per prefix it installs; in a new wine session it starts the driver.
    auto started = std::chrono::steady_clock::now();
    RunResult install = RunWine({build_ + "/sim/wine/q7730-wine-install.exe"}, "install.out", 120);
    installMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                     .count();
    ASSERT_EQ(install.status, 0) << install.output;
  }

  void TearDown() override {
    // Stopping the simulator ends the bridge, which unplugs every printer.
    bench_.StopSimulator();
    if (bridge_ != nullptr) {
      RunResult end = bridge_->Finish(60);
      std::string log = BridgeLog();
      EXPECT_EQ(end.status, 0) << log;
      EXPECT_EQ(Count(log, "q7730-wine-bridge:"), 0) << log;
    }
    bench_.VerifyPrinterLogs();
  }

  // A program of the Windows build run by wine in the bench folder, its
  // output in the file out there: none of it goes through a pipe, which
  // wine's service processes would keep open if the call starts the session.
  std::vector<std::string> WineCommand(const std::vector<std::string>& program, const std::string& out) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1 </dev/null", out, WineProgram()};
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
  }
  RunResult RunWine(const std::vector<std::string>& program, const std::string& out, int timeoutSeconds) {
    RunResult result = e2e::Run(WineCommand(program, out), bench_.dir(), timeoutSeconds, Runner().environment);
    result.output = Runner().ConsoleText(ReadFile(bench_.dir() + "/" + out)) + result.output;
    return result;
  }

  // Starts the bridge on the running simulator and waits until wine lists
  // its printers.
  // Each bridge writes a log of its own, so an earlier one's "ready" is
  // never taken for this one's.
  void StartBridge(const std::vector<std::string>& options = {}) {
    std::vector<std::string> program = {build_ + "/sim/wine/q7730-wine-bridge.exe"};
    program.insert(program.end(), options.begin(), options.end());
    bridgeLog_ = "bridge-" + std::to_string(++bridges_) + ".out";
    bridge_ = bench_.Start(WineCommand(program, bridgeLog_), Runner().environment);
    for (int i = 0; i < 600; ++i) {
      std::string log = Runner().ConsoleText(ReadFile(bench_.dir() + "/" + bridgeLog_));
      if (log.find("ready") != std::string::npos) return;
      if (Count(log, "q7730-wine-bridge:") > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "the bridge did not come up:\n" << ReadFile(bench_.dir() + "/" + bridgeLog_);
  }
  std::string BridgeLog() const { return ReadFile(bench_.dir() + "/" + bridgeLog_); }

  // One case of setupapi_printers_test.exe, run in the bench folder. Not
  // an update, so the engine phase's timing rules do not apply.
  void RunExportsCase(const std::string& name) {
    bench_.SkipTimingChecks();
    RunResult run = RunWine({build_ + "/tests/setupapi/setupapi_printers_test.exe",
                             "--gtest_filter=PrintersUnderWine." + name},
                            "exports.out", 180);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Count(run.output, "[  PASSED  ] 1 test."), 1) << run.output;
    std::printf("%s", run.output.c_str());
  }

  Bench bench_;
  std::string build_;
  std::unique_ptr<BackgroundRun> bridge_;
  std::string bridgeLog_;
  int bridges_ = 0;
  long installMs_ = 0;
  BoardSet newSet_ = MakeSet(30);
  BoardSet oldSet_ = MakeSet(40, Waits::kShort, 8500);
};

TEST_F(WinePrintersTest, ExportsNumberThePrintersInBusOrder) {
  bench_.InstallLibrary(Runner().realLibrary);
  bench_.StartSimulator(4, FourPrinterScenario());
  StartBridge({"--shared-pipes", "sim0003"});
  RunExportsCase("DiscoveryNumbersThePrintersInBusOrder");
  EXPECT_EQ(bench_.FramesLog(1), "") << "the other make was talked to";
}

TEST_F(WinePrintersTest, ExportsTalkThroughTheDriversOwnPipeNames) {
  bench_.InstallLibrary(Runner().realLibrary);
  Bytes image = Pattern(20000, 7);
  WriteBytes(bench_.dir() + "/image.bin", image);
  bench_.StartSimulator(4, FourPrinterScenario());
  StartBridge({"--shared-pipes", "sim0003"});
  RunExportsCase("OnePrinterByTheDriversOwnPipeNames");
  EXPECT_EQ(bench_.Stored(3, kMain), image);
  for (int k : {1, 2, 4}) EXPECT_EQ(Count(bench_.FramesLog(k), "out "), 0) << "printer " << k << " was talked to";
}

TEST_F(WinePrintersTest, ExportsSeeAnUnplugAndAReplug) {
  bench_.InstallLibrary(Runner().realLibrary);
  bench_.StartSimulator(4, FourPrinterScenario());
  StartBridge({"--shared-pipes", "sim0003"});
  RunExportsCase("UnplugIsNoticedAndReplugIsFound");
  std::string log = BridgeLog();
  EXPECT_EQ(Count(log, "unplugged \\\\?\\usb#vid_7a3d&pid_00b4#sim0003#"), 1) << log;
}

// One bridge serves a prefix, and the printers it plugged in leave with it
// even when it is killed: no later run finds a printer nobody serves.
TEST_F(WinePrintersTest, BridgeOwnsThePrefixAndItsPrintersLeaveWithIt) {
  bench_.InstallLibrary(Runner().realLibrary);
  bench_.StartSimulator(2, QuickStoreScenario(2));
  StartBridge();
  RunResult second = RunWine({build_ + "/sim/wine/q7730-wine-bridge.exe"}, "second.out", 60);
  EXPECT_EQ(second.status, 1) << second.output;
  EXPECT_NE(second.output.find("another bridge serves this wine prefix"), std::string::npos) << second.output;

  bridge_->Kill();
  bridge_->Finish(30);
  bridge_.reset();
  RunResult probe;
  for (int i = 0; i < 50; ++i) {
    probe = RunWine({build_ + "/q7730-probe.exe"}, "probe.out", 60);
    if (probe.status == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(probe.status, 1) << "printers stayed after their bridge was killed:\n" << probe.output;

  StartBridge();
  probe = RunWine({build_ + "/q7730-probe.exe"}, "probe.out", 60);
  EXPECT_EQ(probe.status, 0) << probe.output;
  EXPECT_EQ(Count(probe.output, "2 printers found."), 1) << probe.output;
}

// The real updater with the shipped library and one printer, whose pipes
// it opens by the class driver's own names.
TEST_F(WinePrintersTest, UpdaterUpdatesAPrinterTheSetupApiFinds) {
  bench_.WritePackage(newSet_, oldSet_);
  bench_.InstallLibrary(Runner().realLibrary);
  bench_.StartSimulator(1, QuickStoreScenario(1));
  StartBridge();
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 1 printer(s)\n"), 2) << run.output;
  EXPECT_EQ(Count(run.output, "USB Firmware download complete... #printer 01"), 1) << run.output;
  EXPECT_EQ(Count(run.output, "Firmware download complete... #printer 01"), 2) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  std::printf("driver install or start: %ld ms\n", installMs_);
}

TEST_F(WinePrintersTest, UnplugInTheMiddleOfTheControllerImageFailsTheUpdate) {
  bench_.WritePackage(newSet_, oldSet_);
  bench_.InstallLibrary(Runner().realLibrary);
  bench_.StartSimulator(1, QuickStoreScenario(1, {{1, "unplug_after_bytes = 5000"}}));
  bench_.ExpectRejection(1, "unplugged");
  StartBridge();
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_NE(run.output.find("usb_write_data (USB) = 2600 \n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("USB Firmware download failed (2600)... #printer 01"), std::string::npos)
      << run.output;
  for (int target : {kUsb, kMain, kDsp, kTable}) EXPECT_FALSE(bench_.HasStored(1, target)) << target;
  std::string log = BridgeLog();
  EXPECT_EQ(Count(log, "unplugged "), 1) << log;
}

// Several printers at once: wine would send every printer's pipe opens to
// the same named pipes, so here the library in front of the real one routes
// them to per-printer names (tests/setupapi/pipe_shim, never shipped).
TEST_F(WinePrintersTest, UpdaterUpdatesSeveralPrintersAtOnce) {
  bench_.WritePackage(newSet_, oldSet_);
  bench_.InstallLibrary(build_ + "/tests/setupapi/pipe-shim/wirelet.dll");
  std::string real = ReadFile(Runner().realLibrary);
  WriteBytes(bench_.dir() + "/wirelet_setupapi.dll", Bytes(real.begin(), real.end()));
  bench_.StartSimulator(3, QuickStoreScenario(3, {{2, "board = E0100000"}}));
  StartBridge({"--no-shared-pipes"});
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Detected 3 printer(s)\n"), 2) << run.output;
  for (const char* port : {"01", "02", "03"})
    EXPECT_EQ(Count(run.output, std::string("Firmware download complete... #printer ") + port), 2) << run.output;
  bench_.ExpectStoredSet(1, newSet_);
  bench_.ExpectStoredSet(2, oldSet_);
  bench_.ExpectStoredSet(3, newSet_);
}

}  // namespace
}  // namespace e2e
