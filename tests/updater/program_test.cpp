// The whole program: start-up, banner, instance guard and exit statuses, run
// in this process against the double of wirelet.dll on a virtual clock, and
// as the built executable.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "device_library.h"
#include "driver.h"
#include "package.h"
#include "platform/named_mutex.h"
#include "support/process.h"
#include "support/test_support.h"
#include "support/updater_fixture.h"

using testing_support::ChildProcess;
using testing_support::CountOf;
using testing_support::ProcessResult;
using testing_support::ReadTextFile;
using testing_support::RunProcess;
using testing_support::TempDir;

namespace {

const char kBanner[] =
    "ZEM-Q7730-5A Firmware Package Upgrade\n"
    "Firmware package upgrade tool for ZEM-Q7730-5A printers\n\n"
    "Lists the files used to upgrade the firmware.\n"
    "----- New PCB Firmware -----\n"
    "USB:   usb.bin \nMAIN:  main.bin \nDSP:   dsp.bin \nTABLE: table.bin \n"
    "----- Old PCB Firmware -----\n"
    "USB:   usb.bin \nMAIN:  main.bin \nDSP:   dsp.bin \nTABLE: table.bin \n"
    "\n";

const char kEmptyBanner[] =
    "ZEM-Q7730-5A Firmware Package Upgrade\n"
    "Firmware package upgrade tool for ZEM-Q7730-5A printers\n\n"
    "Lists the files used to upgrade the firmware.\n"
    "----- New PCB Firmware -----\n"
    "USB:   None \nMAIN:  None \nDSP:   None \nTABLE: None \n"
    "----- Old PCB Firmware -----\n"
    "USB:   None \nMAIN:  None \nDSP:   None \nTABLE: None \n"
    "\n";

// Runs UpdaterMain in this process, in a directory holding the package and
// the double of the library.
class UpdaterMainTest : public ::testing::Test {
 protected:
  UpdaterMainTest() {
    updatePackage = UpdatePackage{};
    deviceLibrary = DeviceLibrary{};
    testing_support::WriteStandardPackage(dir, testing_support::NewBoardFiles(), testing_support::OldBoardFiles());
  }
  ~UpdaterMainTest() override {
    UnbindDeviceLibrary();
    instanceMutex.Close();
  }
  void InstallDouble(const std::string& script) {
    std::filesystem::copy_file(DOUBLE_LIBRARY, dir / "wirelet.dll");
    dir.Write("double.txt", script);
  }
  int Run(std::vector<std::string> arguments = {"package.ini"}) {
    std::vector<char*> argv{const_cast<char*>("Q7730upgrade")};
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return UpdaterMain(static_cast<int>(argv.size() - 1), argv.data());
  }
  std::string Log() const { return ReadTextFile(dir / "double.log"); }

  TempDir dir;
  testing_support::CurrentDirectoryGuard cwd{dir.Path()};
  testing_support::VirtualClock clock;
  testing_support::ConsoleCapture console;
};

TEST_F(UpdaterMainTest, WithoutPackageNameNothingHappens) {
  InstallDouble("");
  EXPECT_EQ(0, Run({}));
  EXPECT_EQ("", console.Text());
  EXPECT_FALSE(instanceMutex.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(dir / "double.log"));
}

TEST_F(UpdaterMainTest, UpdatesAPrinterInTwoPhasesWithAFreshLibraryEach) {
  InstallDouble("printers 1\n");
  EXPECT_EQ(0, Run({"package.ini", "ignored"}));
  std::string text = console.Text();
  EXPECT_EQ(0u, text.find(std::string(kBanner) + "Detected 1 printer(s)\n")) << text;
  EXPECT_EQ(1, CountOf(text, "USB Firmware download complete... #printer 01"));
  EXPECT_EQ(1, CountOf(text, "\nFirmware download complete... #printer 01"));
  EXPECT_EQ(2, CountOf(text, "Detected 1 printer(s)\n"));
  std::string log = Log();
  EXPECT_EQ(2, CountOf(log, "load\nusb_find_first pass 1\n")) << log;
  EXPECT_EQ(2, CountOf(log, "unload\n")) << log;
  EXPECT_EQ(1, CountOf(log, "usb_target_update 1 6 0 5000"));
  EXPECT_EQ(1, CountOf(log, "usb_target_update 1 2 0 300"));
  EXPECT_EQ(0, deviceLibrary.loaded);
}

TEST_F(UpdaterMainTest, SinglePrinterWhoseControllerUpdateFailsEndsTheRun) {
  InstallDouble("printers 1\ntarget 2600\n");
  EXPECT_EQ(-1, Run());
  EXPECT_EQ(1, CountOf(console.Text(), "USB Firmware download failed (2600)... #printer 01"));
  EXPECT_EQ(1, CountOf(Log(), "usb_find_first"));
}

// An installer script trusts the exit status: any printer of the run not
// updated in full makes it -1, while the messages stay as they were.
TEST_F(UpdaterMainTest, AnyPrinterNotUpdatedMakesTheExitStatusMinusOne) {
  // Both controller updates fail, yet the engine phase runs for both.
  InstallDouble("printers 2\ntarget 2600\n");
  EXPECT_EQ(-1, Run());
  std::string text = console.Text();
  EXPECT_EQ(2, CountOf(text, "USB Firmware download failed (2600)"));
  EXPECT_EQ(1, CountOf(text, "\nFirmware download failed (2600)... #printer 01"));
  EXPECT_EQ(1, CountOf(text, "\nFirmware download failed (2600)... #printer 02"));
  EXPECT_EQ(2, CountOf(text, "Detected 2 printer(s)\n"));
}

TEST_F(UpdaterMainTest, EngineFailureAloneMakesTheExitStatusMinusOne) {
  InstallDouble("printers 1\nuniversal 0\n");
  EXPECT_EQ(-1, Run());
  std::string text = console.Text();
  EXPECT_EQ(1, CountOf(text, "USB Firmware download complete... #printer 01"));
  EXPECT_EQ(1, CountOf(text, "\nFirmware download failed (0)... #printer 01"));
}

TEST_F(UpdaterMainTest, PortThatCannotBeOpenedMakesTheExitStatusMinusOne) {
  InstallDouble("printers 1\nopen 1000\n");
  EXPECT_EQ(-1, Run());
  EXPECT_EQ(std::string(kBanner) + "Detected 1 printer(s)\nusb_open_port = 1000 \nDetected 1 printer(s)\nusb_open_port = 1000 \n",
            console.Text());
}

TEST_F(UpdaterMainTest, PrinterGoneBetweenThePhasesMakesTheExitStatusMinusOne) {
  InstallDouble("printers 2\nlater 1\n");
  EXPECT_EQ(-1, Run());
  std::string text = console.Text();
  EXPECT_EQ(2, CountOf(text, "USB Firmware download complete..."));
  EXPECT_EQ(1, CountOf(text, "Detected 1 printer(s)\n"));
  EXPECT_EQ(1, CountOf(text, "\nFirmware download complete... #printer 01"));
  EXPECT_EQ(0, CountOf(text, "failed"));
  // One plugged in between the phases takes its engine update only.
  console.Clear();
  std::filesystem::remove(dir / "double.log");
  instanceMutex.Close();
  dir.Write("double.txt", "printers 1\nlater 2\n");
  EXPECT_EQ(0, Run());
}

TEST_F(UpdaterMainTest, NoPrinterConnected) {
  InstallDouble("printers 0\n");
  EXPECT_EQ(-1, Run());
  EXPECT_EQ(std::string(kBanner) + "The printer is not connected. \n", console.Text());
}

TEST_F(UpdaterMainTest, SecondInstanceLoadsNothing) {
  InstallDouble("printers 1\n");
  platform::NamedMutex first;
  bool existed = true;
  ASSERT_TRUE(first.Create(kInstanceMutexName, true, &existed));
  ASSERT_FALSE(existed);
  EXPECT_EQ(-1, Run());
  EXPECT_EQ(std::string(kBanner) + "This application is already started. \n", console.Text());
  EXPECT_FALSE(std::filesystem::exists(dir / "double.log"));
  EXPECT_FALSE(instanceMutex.IsOpen());
}

// The built program, as the operator runs it.
class UpgradeProgramTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(UpgradeProgramTest, WithoutArgumentEndsSilentlyWithZero) {
  ProcessResult result = RunProcess(UPGRADE_PROGRAM, {}, dir.Path().string());
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ("", result.output);
}

// Also: no library in the current directory.
TEST_F(UpgradeProgramTest, MissingPackageListsNoneForEveryFile) {
  ProcessResult result = RunProcess(UPGRADE_PROGRAM, {"missing.ini"}, dir.Path().string());
  EXPECT_EQ(255, result.exitStatus);
  EXPECT_EQ(std::string(kEmptyBanner) + "SDK Load Failed Error. \n", result.output);
}

TEST_F(UpgradeProgramTest, LibraryBesideTheProgramIsNotUsed) {
  TempDir programFolder;
  std::filesystem::copy_file(UPGRADE_PROGRAM, programFolder / testing_support::ProgramFileName("Q7730upgrade"));
  std::filesystem::copy_file(DOUBLE_LIBRARY, programFolder / "wirelet.dll");
  testing_support::WriteStandardPackage(dir, testing_support::NewBoardFiles(), testing_support::OldBoardFiles());
  ProcessResult result = RunProcess(programFolder / testing_support::ProgramFileName("Q7730upgrade"), {"package.ini"}, dir.Path().string());
  EXPECT_EQ(255, result.exitStatus);
  EXPECT_EQ(std::string(kBanner) + "SDK Load Failed Error. \n", result.output);
}

TEST_F(UpgradeProgramTest, SecondCopyWhileTheFirstRuns) {
  // The first copy waits inside discovery until released.
  std::filesystem::copy_file(DOUBLE_LIBRARY, dir / "wirelet.dll");
  dir.Write("double.txt", "block 1\nprinters 0\n");
  ChildProcess first(UPGRADE_PROGRAM, {"package.ini"}, dir.Path().string());
  bool waiting = false;
  for (int i = 0; i < 600 && !waiting && !first.Ended(); ++i) {
    waiting = ReadTextFile(dir / "double.log").find("usb_find_first") != std::string::npos;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(waiting) << first.Finish().output;

  TempDir other;
  ProcessResult second = RunProcess(UPGRADE_PROGRAM, {"package.ini"}, other.Path().string());
  EXPECT_EQ(255, second.exitStatus);
  EXPECT_EQ(std::string(kEmptyBanner) + "This application is already started. \n", second.output);

  dir.Write("release", "");
  ProcessResult firstResult = first.Finish();
  EXPECT_EQ(255, firstResult.exitStatus);
  EXPECT_EQ(std::string(kEmptyBanner) + "The printer is not connected. \n", firstResult.output);
}

TEST_F(UpgradeProgramTest, CompleteRunEndsWithZero) {
  testing_support::WriteStandardPackage(dir, testing_support::NewBoardFiles(), testing_support::OldBoardFiles(),
                                        "Usb=0\nMain=0\nDsp=0\nTable=0\n");
  std::filesystem::copy_file(DOUBLE_LIBRARY, dir / "wirelet.dll");
  dir.Write("double.txt", "printers 1\n");
  ProcessResult result = RunProcess(UPGRADE_PROGRAM, {"package.ini"}, dir.Path().string());
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ(0u, result.output.find(kBanner));
  EXPECT_NE(std::string::npos, result.output.find("USB Firmware download complete... #printer 01"));
  EXPECT_NE(std::string::npos, result.output.find("\nFirmware download complete... #printer 01"));
}

}  // namespace
