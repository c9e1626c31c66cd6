// The fault matrix, end to end: the real programs against the simulator,
// one healthy printer and up to nine faulty ones a run, each faulty printer
// carrying one row of the matrix. For every row: its lines and codes, its
// final lines, and exactly the images it must store; for every printer: a
// "complete" only when each image it was sent is stored byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "fault_matrix.h"

namespace e2e {
namespace {

constexpr size_t kFaultyPerRun = 9;
const int kTargets[] = {kUsb, kMain, kDsp, kTable};

const BoardSet& NewSet() {
  static const BoardSet set = MakeSet(10, Waits::kNone);
  return set;
}
const BoardSet& OldSet() {
  static const BoardSet set = MakeSet(20, Waits::kNone);
  return set;
}

// The image a printer must hold for a target, as it must receive it.
Bytes Intended(int target, char set) {
  const BoardSet& s = set == 'o' ? OldSet() : NewSet();
  switch (target) {
    case 6: return TrailerFirst(s.usb);
    case 1: return s.main;
    case 0: return s.dsp;
    default: return s.table;
  }
}

std::string Port(int port) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2d", port);
  return text;
}

std::string WithPort(std::string line, int port) {
  for (size_t at = line.find("%P"); at != std::string::npos; at = line.find("%P")) line.replace(at, 2, Port(port));
  return line;
}

// The engine phase's final lines of a port: "Firmware download ..." not
// after "USB ", up to the line's end.
std::vector<std::string> EngineFinalLines(const std::string& text, int port) {
  std::vector<std::string> lines;
  const std::string needle = "Firmware download ";
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    if (at >= 4 && text.compare(at - 4, 4, "USB ") == 0) continue;
    std::string line = text.substr(at, text.find('\n', at) - at);
    if (line.find("#printer " + Port(port) + " ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::string FinalLine(bool usb, char outcome, int code, int port) {
  std::string line = std::string(usb ? "USB " : "") + "Firmware download ";
  line += outcome == 'c' ? "complete..." : "failed (" + std::to_string(code) + ")...";
  return line + " #printer " + Port(port);
}

class FaultMatrix : public ::testing::TestWithParam<size_t> {
 protected:
  static const std::vector<std::vector<MatrixRow>>& Runs() {
    static const std::vector<std::vector<MatrixRow>> runs = FaultMatrixRuns(kFaultyPerRun);
    return runs;
  }
};

// Runs the rows, printer 1 healthy and printer k + 1 carrying row k, through
// launcher (before the program's own command line), and checks every row.
void CheckRun(const std::vector<MatrixRow>& faulty, std::vector<std::string> launcher = {},
              const std::string& library = "") {
  std::vector<MatrixRow> printers(1);
  printers.insert(printers.end(), faulty.begin(), faulty.end());
  int count = static_cast<int>(printers.size());

  Bench bench;
#ifdef E2E_PRIVATE_MUTEXES
  // The program's mutexes in a folder of this run's own, so that runs of
  // the matrix need not wait for each other or for the other end-to-end runs.
  std::vector<std::string> isolated = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                       "d=/tmp/q7730-mutex-$(id -u) && mkdir -p $d && "
                                       "mount -t tmpfs -o mode=0700 none $d && exec \"$0\" \"$@\""};
  launcher.insert(launcher.begin(), isolated.begin(), isolated.end());
#endif
  bench.RunUpdaterThrough(launcher);
  if (!library.empty()) bench.InstallLibrary(library);
  bench.WritePackage(NewSet(), OldSet());
  std::map<int, std::string> keys;
  int gone = 0;
  // Only a run whose every printer ends both phases complete ends with 0.
  int status = 0;
  for (int k = 1; k <= count; ++k) {
    const MatrixRow& row = printers[k - 1];
    keys[k] = row.keys;
    for (const std::string& part : row.rejections) bench.ExpectRejection(k, part);
    gone += row.gone;
    status = std::max(status, row.status);
  }
  for (const MatrixRow& row : printers)
    if (row.timeouts > 0) bench.SkipTimingChecks();
  bench.StartSimulator(count, QuickStoreScenario(count, keys));
  bench.ExpectAbandonedHandles();
  RunResult run = bench.RunUpdater(900);
  const std::string& out = run.output;
  EXPECT_EQ(run.status, status);
  if (gone == 0) {
    EXPECT_EQ(Count(out, "Detected " + std::to_string(count) + " printer(s)\n"), 2);
  } else {
    EXPECT_EQ(Count(out, "Detected " + std::to_string(count) + " printer(s)\n"), 1);
    EXPECT_EQ(Count(out, "Detected " + std::to_string(count - gone) + " printer(s)\n"), 1);
  }

  // Every line a row causes, as often as the rows of this run cause it, and
  // no other message of the library's calls.
  std::map<std::string, int> expected;
  int libraryLines = 0;
  for (int k = 1; k <= count; ++k) {
    for (const std::string& line : printers[k - 1].lines) {
      std::string text = WithPort(line, k);
      ++expected[text];
      libraryLines += text.compare(0, 4, "usb_") == 0;
    }
  }
  for (const auto& entry : expected) EXPECT_EQ(Count(out, entry.first), entry.second) << entry.first;
  // (The controller images' names begin with "usb_" too.)
  EXPECT_EQ(Count(out, "usb_") - Count(out, "usb_new.bin") - Count(out, "usb_old.bin"), libraryLines);
  EXPECT_EQ(Count(out, "Error:"), 0);

  for (int k = 1; k <= count; ++k) {
    const MatrixRow& row = printers[k - 1];
    SCOPED_TRACE("printer " + std::to_string(k) + ": " + (k == 1 ? "healthy" : row.name));
    EXPECT_EQ(Count(out, FinalLine(true, 'c', 0, k)), row.usb == 'c');
    if (row.usb == 'f') {
      EXPECT_EQ(Count(out, FinalLine(true, 'f', row.usbCode, k)), 1);
    }
    std::vector<std::string> engineLines = EngineFinalLines(out, k);
    if (row.engine == '-') {
      EXPECT_TRUE(engineLines.empty());
    } else {
      ASSERT_EQ(engineLines.size(), 1u);
      EXPECT_EQ(engineLines[0].compare(0, FinalLine(false, row.engine, row.engineCode, k).size(),
                                       FinalLine(false, row.engine, row.engineCode, k)),
                0)
          << engineLines[0];
    }
    // Exactly the images it was meant to end with, byte for byte.
    for (int target : kTargets) {
      bool wanted = row.stored.find(static_cast<char>(target == 6 ? '6' : '0' + target)) != std::string::npos;
      char set = target == 6 ? row.usbSet : row.engineSet;
      if (wanted) {
        EXPECT_EQ(bench.Stored(k, target), Intended(target, set)) << "target " << target;
      } else {
        EXPECT_FALSE(bench.HasStored(k, target)) << "target " << target;
      }
    }
    // Whatever the row says: complete means every image is there, intact.
    if (Count(out, FinalLine(true, 'c', 0, k)) > 0) {
      EXPECT_EQ(bench.Stored(k, 6), Intended(6, row.usbSet));
    }
    if (!engineLines.empty() && engineLines[0].rfind("Firmware download complete", 0) == 0) {
      for (int target : {1, 0, 2}) EXPECT_EQ(bench.Stored(k, target), Intended(target, row.engineSet));
    }
  }
  bench.VerifyPrinterLogs();
  if (::testing::Test::HasFailure()) std::fprintf(stderr, "---- console of the run ----\n%s\n", out.c_str());
}

TEST_P(FaultMatrix, Run) { CheckRun(Runs()[GetParam()]); }

#ifdef USB_BRIDGE_PATH
// A representative part over the usb bus: the libusb wirelet.dll, the
// simulator's printers as USB devices under umockdev.
TEST(FaultMatrixOverUsb, SilenceUnplugErrorAndStallInEachPhase) {
  const char* const names[] = {
      "controller info3 noreply",     "controller announce error", "controller image stall",
      "engine opening status noreply", "engine announce MAIN error", "engine image MAIN unplug",
      "engine image DSP stall",        "engine info5 noreply",       "controller image unplug",
  };
  std::vector<MatrixRow> rows;
  for (const char* name : names) {
    for (const MatrixRow& row : FaultMatrixRows())
      if (row.name == name) rows.push_back(row);
  }
  ASSERT_EQ(rows.size(), sizeof names / sizeof names[0]);
  // The row whose printer is gone last, so the others keep their ports.
  CheckRun(rows, {USB_BRIDGE_PATH, "--"}, USB_LIBRARY_PATH);
}
#endif

std::string RunName(const ::testing::TestParamInfo<size_t>& info) { return "run" + std::to_string(info.param + 1); }

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix,
                         ::testing::Range<size_t>(0, FaultMatrixRuns(kFaultyPerRun).size()), RunName);

}  // namespace
}  // namespace e2e
