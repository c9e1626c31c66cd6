// The programs' notice windows on a private Xvfb display, read back from
// screenshots while they update a simulated printer: the updater's, and the
// Windows program's GDI window under wine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_runner.h"
#include "e2e_support.h"
#include "x_display.h"

namespace notice_test {
namespace {

constexpr int kUsb = 6, kMain = 1, kDsp = 0, kTable = 2;

e2e::BoardSet MakeSet(uint8_t seed) {
  e2e::BoardSet set;
  set.usb = e2e::Pattern(9000, seed);
  set.main = e2e::Pattern(20000, seed + 1);
  set.dsp = e2e::Pattern(9000, seed + 2);
  set.table = e2e::Pattern(5000, seed + 3);
  set.usbWait = 300;
  set.mainWait = set.dspWait = set.tableWait = 600;
  return set;
}

// The countdown lines, whose number depends on timing, taken out; the rest
// must not differ between two runs.
std::string WithoutCountdown(const std::string& output) {
  std::string kept;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find_first_of("\r\n", start);
    end = end == std::string::npos ? output.size() : end + 1;
    std::string piece = output.substr(start, end - start);
    if (piece.find("  Remaining ") == std::string::npos) kept += piece;
    start = end;
  }
  return kept;
}

std::string WithoutCarriageReturnBeforeNewline(const std::string& text) {
  std::string kept;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) kept += text[i];
  return kept;
}

// The display the caller's wine draws on, read before SetUp forgets it.
const char* const kCallerDisplay = std::getenv("DISPLAY");

class NoticeProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    bench_.WritePackage(set_, MakeSet(20));
  }

  void ExpectStored() {
    EXPECT_EQ(bench_.Stored(1, kUsb), e2e::TrailerFirst(set_.usb));
    EXPECT_EQ(bench_.Stored(1, kMain), set_.main);
    EXPECT_EQ(bench_.Stored(1, kDsp), set_.dsp);
    EXPECT_EQ(bench_.Stored(1, kTable), set_.table);
  }

  // The window of a running program as the screen shows it, its client area
  // inside the 600 by 100 at 150, 150 that the program asks for (exactly that
  // on X11, where the window manager would add the frame outside).
  void ExpectNoticeOnScreen(const VirtualDisplay& display, bool frameInside) {
    Rect where;
    ASSERT_TRUE(display.WaitForWindow("Firmware downloder attention", 60000, &where)) << display.WindowTree();
    if (frameInside) {
      EXPECT_GE(where.x, 150);
      EXPECT_GE(where.y, 150);
      EXPECT_LE(where.x + where.width, 750);
      EXPECT_LE(where.y + where.height, 250);
      EXPECT_GE(where.width, 580);
      EXPECT_GE(where.height, 60);
    } else {
      EXPECT_EQ(where.x, 150);
      EXPECT_EQ(where.y, 150);
      EXPECT_EQ(where.width, 600);
      EXPECT_EQ(where.height, 100);
    }
    ExpectNoticeBands(RedBands(display.WaitForBands(where, 3, kWaitMs), where), 2);
  }

  e2e::Bench bench_;
  e2e::BoardSet set_ = MakeSet(10);
};

TEST_F(NoticeProgramTest, UpdaterShowsTheNoticeAndRunsAsWithoutADisplay) {
  VirtualDisplay display;
  bench_.StartSimulator(1, "[printer1]\nstore_ms = 100\n");
  // Under the address sanitizer: fontconfig loses a little of its
  // configuration once per process, and a window's thread that is slow to end
  // leaves Xft's fonts behind at the end; neither is a leak of the updater.
  const std::string suppressions = bench_.dir() + "/x-leaks.supp";
  e2e::WriteFile(suppressions, "leak:libXft.so\nleak:libfontconfig.so\n");
  auto shown = bench_.Start({UPDATER_PATH, "Q7730.ini"},
                            {display.Environment(), "LSAN_OPTIONS=print_suppressions=0:suppressions=" + suppressions});
  ExpectNoticeOnScreen(display, false);
  e2e::RunResult withDisplay = shown->Finish(240);
  bench_.StopSimulator();
  EXPECT_EQ(withDisplay.status, 0) << withDisplay.output;
  EXPECT_EQ(e2e::Count(withDisplay.output, "Firmware download complete... #printer 01"), 2) << withDisplay.output;
  ExpectStored();

  bench_.StartSimulator(1, "[printer1]\nstore_ms = 100\n");
  e2e::RunResult without = bench_.RunUpdater();
  EXPECT_EQ(without.status, withDisplay.status);
  EXPECT_EQ(WithoutCountdown(without.output), WithoutCountdown(withDisplay.output));
  ExpectStored();
}

// Needs the Windows build (Q7730_WINDOWS_BUILD names its folder) and a wine
// set up by the caller: WINEPREFIX and the rest from the environment, and
// DISPLAY the X display that wine's desktop was started on (wine draws the
// windows of all its programs on that one).
TEST_F(NoticeProgramTest, WindowsProgramShowsTheGdiNoticeUnderWine) {
  const char* build = std::getenv("Q7730_WINDOWS_BUILD");
  if (build == nullptr || *build == '\0') GTEST_SKIP() << "Q7730_WINDOWS_BUILD names no Windows build";
  if (kCallerDisplay == nullptr || *kCallerDisplay == '\0') GTEST_SKIP() << "no DISPLAY for wine";
  const std::string program = std::string(build) + "/Q7730upgrade.exe";
  const std::string library = std::string(build) + "/sim/wirelet.dll";
  ASSERT_TRUE(e2e::FileExists(program)) << program;
  ASSERT_TRUE(e2e::FileExists(library)) << library;
  std::string bytes = e2e::ReadFile(library);
  e2e::WriteBytes(bench_.dir() + "/wirelet.dll", e2e::Bytes(bytes.begin(), bytes.end()));
  // The Windows program takes a folder up to its last backslash.
  e2e::WriteFile(bench_.dir() + "/Q7730.ini",
                 "[NEWPCB]\nFILEPATH=newpcb\\new.ini\n[OLDPCB]\nFILEPATH=oldpcb\\old.ini\n[TYPE]\nMODE=1\n");

  VirtualDisplay display(kCallerDisplay);
  bench_.StartSimulator(1, "[printer1]\nstore_ms = 100\n");
  auto shown = bench_.Start({e2e::WineProgram(), program, "Q7730.ini"}, {display.Environment()});
  ExpectNoticeOnScreen(display, true);
  e2e::RunResult run = shown->Finish(240);
  std::string output = WithoutCarriageReturnBeforeNewline(run.output);
  EXPECT_EQ(run.status, 0) << output;
  EXPECT_EQ(e2e::Count(output, "Firmware download complete... #printer 01"), 2) << output;
  ExpectStored();
}

}  // namespace
}  // namespace notice_test
