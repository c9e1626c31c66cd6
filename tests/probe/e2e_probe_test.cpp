// The real q7730-probe and sim-bus wirelet.dll against q7730-sim: the exact
// report, nothing but status and firmware-information requests on the wire,
// and an update beside it that still stores every image byte for byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_runner.h"
#include "e2e_support.h"
#include "printer_logs.h"

namespace e2e {
namespace {

constexpr int kUsb = 6, kMain = 1, kDsp = 0, kTable = 2;

// This build's probe, or the Windows build's under wine when the runner runs
// the Windows programs.
std::vector<std::string> ProbeCommand() {
  const UpdaterRunner& runner = Runner();
  if (!runner.windows) return {PROBE_SIM_PATH};
  return {runner.command[0], std::string(std::getenv("Q7730_E2E_WINDOWS_BUILD")) + "/sim/q7730-probe.exe"};
}

RunResult RunProbe(const Bench& bench, const std::vector<std::string>& args) {
  std::vector<std::string> argv = ProbeCommand();
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult run = Run(argv, bench.dir(), 60, Runner().environment);
  run.output = Runner().ConsoleText(run.output);
  return run;
}

// Every occurrence of from in text replaced by to.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The out lines of a frame log, as "length hex".
std::vector<std::string> Sent(const std::string& log) {
  std::vector<std::string> sent;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 4, "out ") == 0) sent.push_back(line.substr(4));
  return sent;
}

bool IsStatusRequest(const std::string& sent) { return sent == "4 01000000"; }
bool IsInfoRequest(const std::string& sent) {
  return sent.size() == 12 && sent.compare(0, 10, "5 03c00100") == 0 && sent[10] == '0' && sent[11] >= '1' &&
         sent[11] <= '7';
}

// Every image in 4096-byte pieces and its rest, and nothing rejected: a
// probe frame inside an image would be taken as image bytes. (The rules on
// the engine phase's timing read the first status requests as the updater's,
// which with a probe beside them they need not be.)
void ExpectWholeImagesAndNoRejection(const Bench& bench, int printers) {
  for (const LogProblem& problem : CheckPrinterLogs(bench.dir(), printers, {}))
    if (problem.printer != 0) ADD_FAILURE() << "printer " << problem.printer << ": " << problem.what;
}

// Printer 1 is of another make; 2 has the new board, 3 the old one and is
// busy, 4 runs a program the updater does not accept.
constexpr char kScenario[] =
    "[printer1]\nvendor = 04b8\n"
    "[printer2]\n"
    "[printer3]\nboard = E0100000\nfault_status = state 1\n"
    "[printer4]\nprogram = E0000000\n";

// The new board's set is complete; the old board's controller image is too
// large and its MAIN image is missing.
class ProbeScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BoardSet newSet{Pattern(9000, 1), Pattern(20000, 2), Pattern(9000, 3), Pattern(5000, 4)};
    BoardSet oldSet{Pattern(70000, 5), Pattern(100, 6), Pattern(8000, 7), Pattern(4000, 8)};
    bench_.WritePackage(newSet, oldSet);
    ASSERT_EQ(unlink((bench_.dir() + "/oldpcb/main_old.bin").c_str()), 0);
    bench_.StartSimulator(4, kScenario);
  }
  void TearDown() override {
    // Nothing but status and firmware-information requests, one of each
    // kind per run; nothing at all to the other make; nothing stored.
    for (int printer = 2; printer <= 4; ++printer) {
      int status = 0, info = 0;
      for (const std::string& sent : Sent(bench_.FramesLog(printer))) {
        status += IsStatusRequest(sent);
        info += IsInfoRequest(sent);
        EXPECT_TRUE(IsStatusRequest(sent) || IsInfoRequest(sent)) << "printer " << printer << ": out " << sent;
      }
      EXPECT_EQ(status, 1) << "printer " << printer;
      EXPECT_EQ(info, 7) << "printer " << printer;
    }
    EXPECT_TRUE(Sent(bench_.FramesLog(1)).empty()) << "the other make was talked to";
    for (int printer = 1; printer <= 4; ++printer)
      for (int target : {kUsb, kMain, kDsp, kTable}) EXPECT_FALSE(bench_.HasStored(printer, target));
    ExpectWholeImagesAndNoRejection(bench_, 4);
  }
  // The package's per-board INI names as this system writes them.
  std::string Expected(const std::string& text) const {
    return Replaced(Replaced(text, "NEWINI", Runner().PackagePath("newpcb/new.ini")), "OLDINI",
                    Runner().PackagePath("oldpcb/old.ini"));
  }
  Bench bench_;
};

TEST_F(ProbeScenarioTest, TableOfThreePrintersOfBothBoardsAndAPackageWithMissingFiles) {
  RunResult run = RunProbe(bench_, {"Q7730.ini"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, Expected(R"(3 printers found.

Port  Status     Board  Program            Path
01    ready      new    E0211600 accepted  \\?\usb#vid_7a3d&pid_00b4#sim0002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}
02    busy 2101  old    E0211600 accepted  \\?\usb#vid_7a3d&pid_00b4#sim0003#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}
03    ready      new    E0000000 refused   \\?\usb#vid_7a3d&pid_00b4#sim0004#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}

Port  Firmware information, components 1 to 7
01    E0208000 E0211600 E0190300 E0200500 E0170200 E0150100 E0120400
02    E0100000 E0211600 E0190300 E0200500 E0170200 E0150100 E0120400
03    E0208000 E0000000 E0190300 E0200500 E0170200 E0150100 E0120400

Package Q7730.ini, fallback board set old
New board: NEWINI
Old board: OLDINI
Board  Part   File           Bytes  Check
new    USB    usb_new.bin     9000  ok
new    MAIN   main_new.bin   20000  ok
new    DSP    dsp_new.bin     9000  ok
new    TABLE  table_new.bin   5000  ok
old    USB    usb_old.bin    70000  too large
old    MAIN   main_old.bin       -  missing
old    DSP    dsp_old.bin     8000  ok
old    TABLE  table_old.bin   4000  ok

Port  Set  USB                    MAIN                  DSP               TABLE
01    new  usb_new.bin 9000       main_new.bin 20000    dsp_new.bin 9000  table_new.bin 5000
02    old  usb_old.bin too large  main_old.bin missing  dsp_old.bin 8000  table_old.bin 4000
03    -    nothing: its program version is not accepted
)"));
}

TEST_F(ProbeScenarioTest, JsonOfThreePrintersOfBothBoardsAndAPackageWithMissingFiles) {
  RunResult run = RunProbe(bench_, {"--json", "Q7730.ini"});
  EXPECT_EQ(run.status, 0);
  std::string ini = Runner().windows ? "\\\\" : "/";
  EXPECT_EQ(run.output, Replaced(Expected(R"({
  "printers": [
    {
      "port": 1,
      "path": "\\\\?\\usb#vid_7a3d&pid_00b4#sim0002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "open": 0,
      "in_use": false,
      "status": "ready",
      "status_code": 0,
      "firmware": ["E0208000", "E0211600", "E0190300", "E0200500", "E0170200", "E0150100", "E0120400"],
      "firmware_code": 0,
      "board": "new",
      "board_from": "firmware",
      "program": "accepted",
      "skipped": null,
      "receives": [
        {"part": "USB", "file": "usb_new.bin", "size": 9000, "check": "ok"},
        {"part": "MAIN", "file": "main_new.bin", "size": 20000, "check": "ok"},
        {"part": "DSP", "file": "dsp_new.bin", "size": 9000, "check": "ok"},
        {"part": "TABLE", "file": "table_new.bin", "size": 5000, "check": "ok"}
      ]
    },
    {
      "port": 2,
      "path": "\\\\?\\usb#vid_7a3d&pid_00b4#sim0003#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "open": 0,
      "in_use": false,
      "status": "busy",
      "status_code": 2101,
      "firmware": ["E0100000", "E0211600", "E0190300", "E0200500", "E0170200", "E0150100", "E0120400"],
      "firmware_code": 0,
      "board": "old",
      "board_from": "firmware",
      "program": "accepted",
      "skipped": null,
      "receives": [
        {"part": "USB", "file": "usb_old.bin", "size": 70000, "check": "too large"},
        {"part": "MAIN", "file": "main_old.bin", "size": null, "check": "missing"},
        {"part": "DSP", "file": "dsp_old.bin", "size": 8000, "check": "ok"},
        {"part": "TABLE", "file": "table_old.bin", "size": 4000, "check": "ok"}
      ]
    },
    {
      "port": 3,
      "path": "\\\\?\\usb#vid_7a3d&pid_00b4#sim0004#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "open": 0,
      "in_use": false,
      "status": "ready",
      "status_code": 0,
      "firmware": ["E0208000", "E0000000", "E0190300", "E0200500", "E0170200", "E0150100", "E0120400"],
      "firmware_code": 0,
      "board": "new",
      "board_from": "firmware",
      "program": "refused",
      "skipped": "its program version is not accepted",
      "receives": null
    }
  ],
  "package": {
    "name": "Q7730.ini",
    "found": true,
    "fallback": "old",
    "boards": [
      {
        "board": "new",
        "ini": "newpcbSEPnew.ini",
        "found": true,
        "files": [
          {"part": "USB", "file": "usb_new.bin", "size": 9000, "check": "ok"},
          {"part": "MAIN", "file": "main_new.bin", "size": 20000, "check": "ok"},
          {"part": "DSP", "file": "dsp_new.bin", "size": 9000, "check": "ok"},
          {"part": "TABLE", "file": "table_new.bin", "size": 5000, "check": "ok"}
        ]
      },
      {
        "board": "old",
        "ini": "oldpcbSEPold.ini",
        "found": true,
        "files": [
          {"part": "USB", "file": "usb_old.bin", "size": 70000, "check": "too large"},
          {"part": "MAIN", "file": "main_old.bin", "size": null, "check": "missing"},
          {"part": "DSP", "file": "dsp_old.bin", "size": 8000, "check": "ok"},
          {"part": "TABLE", "file": "table_old.bin", "size": 4000, "check": "ok"}
        ]
      }
    ]
  },
  "notes": [],
  "advice": null
}
)"), "SEP", ini));
}

TEST(ProbeWithoutPrintersTest, NoSimulatorNoLibraryOrABrokenOne) {
  Bench bench;
  RunResult run = RunProbe(bench, {});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "No printer found.\n\nNotes:\n  no simulator serves this folder (no q7730-sim.port)\n");

  WriteFile(bench.dir() + "/wirelet.dll", "not a library");
  run = RunProbe(bench, {"--json"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("wirelet.dll cannot be loaded or lacks one of its 13 functions\n"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find('{'), std::string::npos) << "a report without a library";

  ASSERT_EQ(unlink((bench.dir() + "/wirelet.dll").c_str()), 0);
  run = RunProbe(bench, {});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.output.compare(0, 30, "q7730-probe: no wirelet.dll in"), 0) << run.output;
}

// Same images as the update tests, but large, so that many probe frames
// would have had a chance to fall inside one.
BoardSet LargeSet(uint8_t seed) {
  BoardSet set{Pattern(60000, seed), Pattern(300000, seed + 1), Pattern(200000, seed + 2),
               Pattern(100000, seed + 3)};
  set.usbWait = 300;
  set.mainWait = set.dspWait = set.tableWait = 600;
  return set;
}

TEST(ProbeBesideAnUpdateTest, EveryImageIsStoredWholeAndTheProbesFramesFallBetweenImages) {
  Bench bench;
  BoardSet newSet = LargeSet(30), oldSet = LargeSet(40);
  bench.WritePackage(newSet, oldSet);
  bench.StartSimulator(2, "[printer1]\nstore_ms = 100\n[printer2]\nstore_ms = 100\nboard = E0100000\n");

  std::atomic<bool> updating{true};
  std::vector<RunResult> probes;
  std::thread prober([&] {
    while (updating.load()) {
      probes.push_back(RunProbe(bench, {}));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  RunResult update = bench.RunUpdater();
  updating.store(false);
  prober.join();

  EXPECT_EQ(update.status, 0) << update.output;
  EXPECT_EQ(Count(update.output, "Firmware download complete"), 4) << update.output;
  const BoardSet* sets[] = {&newSet, &oldSet};
  for (int printer = 1; printer <= 2; ++printer) {
    const BoardSet& set = *sets[printer - 1];
    EXPECT_EQ(bench.Stored(printer, kUsb), TrailerFirst(set.usb)) << printer;
    EXPECT_EQ(bench.Stored(printer, kMain), set.main) << printer;
    EXPECT_EQ(bench.Stored(printer, kDsp), set.dsp) << printer;
    EXPECT_EQ(bench.Stored(printer, kTable), set.table) << printer;
  }
  ASSERT_GE(probes.size(), 3u);
  for (const RunResult& probe : probes) {
    EXPECT_EQ(probe.status, 0) << probe.output;
    EXPECT_EQ(probe.output.compare(0, 18, "2 printers found.\n"), 0) << probe.output;
  }
  ExpectWholeImagesAndNoRejection(bench, 2);

  // The updater asks each printer's firmware information once per phase;
  // whatever more came between its first and its last image was the probe's.
  for (int printer = 1; printer <= 2; ++printer) {
    std::vector<std::string> sent = Sent(bench.FramesLog(printer));
    size_t first = sent.size(), last = 0;
    for (size_t i = 0; i < sent.size(); ++i)
      if (sent[i].compare(0, 10, "9 01800500") == 0 || sent[i].compare(0, 11, "13 04c00900") == 0) {
        first = std::min(first, i);
        last = i;
      }
    int info = 0;
    for (size_t i = first; i < last && i < sent.size(); ++i) info += IsInfoRequest(sent[i]);
    EXPECT_GT(info, 7 + 7) << "printer " << printer << ": no probe ran between the images";
  }
}

}  // namespace
}  // namespace e2e
