// What only the Windows build shows under wine: the Setup API library on a
// system without printers, and the sample package exactly as it ships
// (written with '/' and LF) updating the demo's printers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e_runner.h"
#include "e2e_support.h"

namespace e2e {
namespace {

class WindowsBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Runner().windows) GTEST_SKIP() << "Q7730_E2E_WINDOWS_BUILD names no Windows build";
  }
  void TearDown() override { bench_.VerifyPrinterLogs(); }
  Bench bench_;
};

TEST_F(WindowsBuildTest, SetupApiLibraryFindsNoPrinterUnderWine) {
  bench_.InstallLibrary(Runner().realLibrary);
  bench_.WritePackage(BoardSet{Pattern(100, 1), Pattern(100, 2), Pattern(100, 3), Pattern(100, 4)},
                      BoardSet{Pattern(100, 5), Pattern(100, 6), Pattern(100, 7), Pattern(100, 8)});
  RunResult run = bench_.RunUpdater(60);
  EXPECT_EQ(run.status, 255) << run.output;
  EXPECT_EQ(Count(run.output, "The printer is not connected. \n"), 1) << run.output;
  EXPECT_EQ(Count(run.output, "Detected"), 0) << run.output;
  EXPECT_EQ(Count(run.output, "SDK Load Failed"), 0) << run.output;
}

TEST_F(WindowsBuildTest, SamplePackageAsShippedUpdatesTheDemoPrinters) {
  std::filesystem::copy(DEMO_PACKAGE, bench_.dir(), std::filesystem::copy_options::recursive);
  bench_.StartSimulator(3, ReadFile(DEMO_SCENARIO));
  RunResult run = bench_.RunUpdater();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "Error"), 0) << run.output;
  const struct {
    int printer;
    const char* folder;
    const char* stem;
  } printers[] = {{1, "newpcb", "new"}, {2, "oldpcb", "old"}, {3, "newpcb", "new"}};
  for (const auto& p : printers) {
    auto image = [&](const char* name) {
      std::string text = ReadFile(std::string(DEMO_PACKAGE) + "/" + p.folder + "/" + name + "_" + p.stem + ".bin");
      return Bytes(text.begin(), text.end());
    };
    EXPECT_EQ(bench_.Stored(p.printer, 6), TrailerFirst(image("usb"))) << p.printer;
    EXPECT_EQ(bench_.Stored(p.printer, 1), image("main")) << p.printer;
    EXPECT_EQ(bench_.Stored(p.printer, 0), image("dsp")) << p.printer;
    EXPECT_EQ(bench_.Stored(p.printer, 2), image("table")) << p.printer;
  }
}

}  // namespace
}  // namespace e2e
