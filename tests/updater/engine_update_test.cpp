// The engine firmware sequence of one printer against the scripted library:
// order and arguments of calls, whole images under one write, waits chosen
// by the pre-MAIN status, the 2306 rule, closing commands and every failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_update.h"
#include "package.h"
#include "support/updater_fixture.h"

using testing_support::Pattern;

namespace {

using Texts = std::vector<std::string>;

std::string Complete(int port) {
  char line[128];
  std::snprintf(line, sizeof line, "Firmware download complete... #printer %.2d                             \n\n", port);
  return line;
}

std::string Failed(int status, int port) {
  char line[128];
  std::snprintf(line, sizeof line, "Firmware download failed (%d)... #printer %.2d                          \n\n",
                status, port);
  return line;
}

// A plain countdown of waitMs for a target ("MAIN). ", "DSP).  ", "TABLE).").
std::string CountDownText(const char* label, int port, uint32_t waitMs) {
  std::string text;
  char line[128];
  for (uint32_t elapsed = 0;; elapsed += 500) {
    uint32_t seconds = (waitMs - elapsed) / 1000;
    std::snprintf(line, sizeof line, "#printer %.2d  Writing firmware (%s Remaining %u  sec. \r", port, label, seconds);
    text += line;
    if (seconds == 0) break;
  }
  return text + "\n\n";
}

const char kPreMain[] = "universal 1 03f13ea5";
const char kFirstClosing[] = "universal 1 03f13d00";
const char kSecondClosing[] = "universal 1 05ffaa55cc33";

class EngineUpdateTest : public testing_support::UpdaterFixture {
 protected:
  void SetUp() override {
    WritePackage();
    Load();
  }
  // The calls of a complete run on port 1 of the new board with plain countdowns.
  Texts CountDownRun() const {
    return {"open 1",  "status 1",       "info 1",           "status 1",      kPreMain,
            "target 1 1 0 9000",         "write 1 9000",     "target 1 0 0 4096", "write 1 4096",
            "target 1 2 0 300",          "write 1 300",      kFirstClosing,   kSecondClosing, "close 1"};
  }
  // The first calls of that run, then the close of a sequence that failed there.
  Texts FailedAfter(size_t calls) const {
    Texts run = CountDownRun();
    Texts expected(run.begin(), run.begin() + static_cast<long>(calls));
    expected.push_back("close 1");
    return expected;
  }
};

TEST_F(EngineUpdateTest, ReadyPrinterGetsEachImageWholeWithCountdowns) {
  uint32_t start = clock.Now();
  EXPECT_EQ(0, UpdateEngineFirmware(1));
  EXPECT_EQ(CountDownRun(), fake.Texts());
  std::vector<testing_support::FakeCall> calls = fake.Calls();
  EXPECT_EQ(start + 5000, calls[0].time);  // the start delay
  EXPECT_EQ(newBoard.main, calls[6].data);
  EXPECT_EQ(newBoard.dsp, calls[8].data);
  EXPECT_EQ(newBoard.table, calls[10].data);
  EXPECT_EQ(100u, calls[12].time - calls[11].time);  // pause between the closing commands
  EXPECT_EQ("Downloading MAIN file... [main.bin]\n" + CountDownText("MAIN). ", 1, 5000) +
                "Downloading DSP file... [dsp.bin]\n" + CountDownText("DSP).  ", 1, 4000) +
                "Downloading TABLE file... [table.bin]\n" + CountDownText("TABLE).", 1, 6000) + Complete(1),
            console.Text());
}

TEST_F(EngineUpdateTest, OldBoardPrinterGetsTheOldSet) {
  fake.printers[1].component1 = "E0208001";
  fake.printers[1].component2 = "E0191400";
  EXPECT_EQ(0, UpdateEngineFirmware(1));
  std::vector<uint8_t> expected = oldBoard.main;
  expected.insert(expected.end(), oldBoard.dsp.begin(), oldBoard.dsp.end());
  expected.insert(expected.end(), oldBoard.table.begin(), oldBoard.table.end());
  EXPECT_EQ(expected, fake.Written(1));
}

TEST_F(EngineUpdateTest, OtherPreMainStatusesMakeEveryWaitPoll) {
  for (StatusCode preMain : {2305, 2307, 2309, 2500, 2101, 2600}) {
    fake.calls.clear();
    console.Clear();
    fake.printers[1].statuses = {0, preMain, 0};
    EXPECT_EQ(0, UpdateEngineFirmware(1)) << preMain;
    EXPECT_EQ((Texts{"open 1", "status 1", "info 1", "status 1", kPreMain, "target 1 1 0 9000", "write 1 9000",
                     "status 1", "target 1 0 0 4096", "write 1 4096", "status 1", "target 1 2 0 300", "write 1 300",
                     "status 1", kFirstClosing, kSecondClosing, "close 1"}),
              fake.Texts())
        << preMain;
    EXPECT_EQ("Downloading MAIN file... [main.bin]\n\n\nDownloading DSP file... [dsp.bin]\n\n\n"
              "Downloading TABLE file... [table.bin]\n\n\n" +
                  Complete(1),
              console.Text());
  }
}

TEST_F(EngineUpdateTest, Status2306LengthensOnlyThisPrintersTableWait) {
  fake.printers[1].statuses = {0, 2306, 0};
  EXPECT_EQ(0, UpdateEngineFirmware(1));
  EXPECT_EQ(CountDownRun(), fake.Texts());
  EXPECT_NE(std::string::npos, console.Text().find("Downloading TABLE file... [table.bin]\n" +
                                                   CountDownText("TABLE).", 1, 16000) + Complete(1)));
  EXPECT_EQ(6000u, updatePackage.boardSets[0].tableWaitMs);

  // The next printer of the run waits its own time.
  console.Clear();
  EXPECT_EQ(0, UpdateEngineFirmware(2));
  EXPECT_NE(std::string::npos, console.Text().find("Downloading TABLE file... [table.bin]\n" +
                                                   CountDownText("TABLE).", 2, 6000) + Complete(2)));
}

TEST_F(EngineUpdateTest, PrinterNotReadyAtTheStartIsNotTouched) {
  for (StatusCode code : {2101, 2107, 2100, 1000}) {
    fake.calls.clear();
    console.Clear();
    fake.printers[4].statuses = {code};
    EXPECT_EQ(-1, UpdateEngineFirmware(4));
    EXPECT_EQ((Texts{"open 4", "status 4", "close 4"}), fake.Texts());
    EXPECT_EQ("Check status NG (" + std::to_string(code) + ")... #printer 04                          \n\n" +
                  Failed(code, 4),
              console.Text());
  }
}

TEST_F(EngineUpdateTest, UnreadableInformationCountsDownWithoutPreMainSteps) {
  fake.printers[1].infoResult = 0;
  fake.printers[1].infoStatus = 2600;
  fake.printers[1].statuses = {0, 2305};  // would make the waits poll
  EXPECT_EQ(0, UpdateEngineFirmware(1));  // MODE 1: the old set
  EXPECT_EQ((Texts{"open 1", "status 1", "info 1", "target 1 1 0 8000", "write 1 8000", "target 1 0 0 100",
                   "write 1 100", "target 1 2 0 20", "write 1 20", kFirstClosing, kSecondClosing, "close 1"}),
            fake.Texts());
  EXPECT_EQ("usb_get_firmware_info = 2600 \nDownloading MAIN file... [main.bin]\n" +
                CountDownText("MAIN). ", 1, 5000) + "Downloading DSP file... [dsp.bin]\n" +
                CountDownText("DSP).  ", 1, 4000) + "Downloading TABLE file... [table.bin]\n" +
                CountDownText("TABLE).", 1, 6000) + Complete(1),
            console.Text());
}

TEST_F(EngineUpdateTest, UnknownProgramVersionFails) {
  fake.printers[1].component2 = std::string(8, '\0');
  EXPECT_EQ(-1, UpdateEngineFirmware(1));
  EXPECT_EQ((Texts{"open 1", "status 1", "info 1", "close 1"}), fake.Texts());
  EXPECT_EQ("#printer 01 Printer Program Version Error...              \n\n" + Failed(0, 1), console.Text());
}

TEST_F(EngineUpdateTest, PortThatCannotBeOpenedIsReportedApartAndPrintsNoFinalLine) {
  fake.printers[1].openStatus = 1003;
  EXPECT_EQ(1, UpdateEngineFirmware(1));
  EXPECT_EQ((Texts{"open 1"}), fake.Texts());
  EXPECT_EQ("usb_open_port = 1003 \n", console.Text());
}

TEST_F(EngineUpdateTest, RefusedPreMainCommandFailsBeforeMain) {
  fake.printers[1].universal = {{1, 2504}};
  EXPECT_EQ(-1, UpdateEngineFirmware(1));
  EXPECT_EQ((Texts{"open 1", "status 1", "info 1", "status 1", kPreMain, "close 1"}), fake.Texts());
  EXPECT_EQ("usb_universal_command (MAIN) = 2504 \n" + Failed(2504, 1), console.Text());
}

struct TargetCase {
  int fileIndex;
  int target;
  const char* label;
  const char* file;
  size_t callsBefore;  // calls of the run before this target's announcement
};
const TargetCase kTargets[] = {
    {kFileMain, 1, "MAIN", "main.bin", 5},
    {kFileDsp, 0, "DSP", "dsp.bin", 7},
    {kFileTable, 2, "TABLE", "table.bin", 9},
};

TEST_F(EngineUpdateTest, RefusedAnnouncementStopsAtThatTarget) {
  for (const TargetCase& t : kTargets) {
    fake.calls.clear();
    console.Clear();
    fake.printers[1].targetStatus = {{t.target, 2212}};
    EXPECT_EQ(-1, UpdateEngineFirmware(1)) << t.label;
    EXPECT_EQ(FailedAfter(t.callsBefore + 1), fake.Texts()) << t.label;
    std::string text = console.Text();
    EXPECT_NE(std::string::npos,
              text.find(std::string("usb_target_update (") + t.label + ") = 2212 \n" + Failed(2212, 1)))
        << text;
    EXPECT_EQ(std::string::npos, text.find(std::string("Downloading ") + t.label));
  }
}

TEST_F(EngineUpdateTest, FailedWriteStopsAtThatTarget) {
  for (const TargetCase& t : kTargets) {
    fake.calls.clear();
    console.Clear();
    fake.writeCount.clear();
    fake.printers[1].writeStatus = {{static_cast<int>(t.fileIndex) - 1, 2600}};
    EXPECT_EQ(-1, UpdateEngineFirmware(1)) << t.label;
    EXPECT_EQ(FailedAfter(t.callsBefore + 2), fake.Texts()) << t.label;
    EXPECT_NE(std::string::npos, console.Text().find(std::string("Downloading ") + t.label + " file... [" + t.file +
                                                     "]\nusb_write_data (" + t.label + ") = 2600 \n" +
                                                     Failed(2600, 1)));
  }
}

TEST_F(EngineUpdateTest, MissingFileStopsAtThatTarget) {
  for (const TargetCase& t : kTargets) {
    WritePackage();
    Load();
    std::filesystem::remove(dir / (std::string("new/") + t.file));
    fake.calls.clear();
    EXPECT_EQ(-1, UpdateEngineFirmware(1)) << t.label;
    // The MAIN file is read before the pre-MAIN steps.
    EXPECT_EQ(FailedAfter(t.fileIndex == kFileMain ? 3 : t.callsBefore), fake.Texts()) << t.label;
    EXPECT_NE(std::string::npos,
              console.Text().find(std::string("Error: ") + t.label + " DownLoad file is not found.\n" + Failed(0, 1)));
  }
}

TEST_F(EngineUpdateTest, FileChangedSinceLoadingIsNeverSent) {
  for (const TargetCase& t : kTargets) {
    for (int delta : {-1, 1}) {
      WritePackage();
      Load();
      size_t size = std::filesystem::file_size(dir / (std::string("new/") + t.file));
      dir.Write(std::string("new/") + t.file, Pattern(size + static_cast<size_t>(delta), 1));
      fake.calls.clear();
      EXPECT_EQ(-1, UpdateEngineFirmware(1)) << t.label;
      EXPECT_EQ(FailedAfter(t.fileIndex == kFileMain ? 3 : t.callsBefore), fake.Texts()) << t.label;
      EXPECT_NE(std::string::npos, console.Text().find(std::string("Error: ") + t.label +
                                                       " DownLoad file has changed.\n" + Failed(0, 1)));
    }
  }
}

TEST_F(EngineUpdateTest, EmptyFileIsRefusedBeforeItsAnnouncement) {
  for (const TargetCase& t : kTargets) {
    WritePackage();
    dir.Write(std::string("new/") + t.file, std::string());
    Load();
    fake.calls.clear();
    console.Clear();
    EXPECT_EQ(-1, UpdateEngineFirmware(1)) << t.label;
    EXPECT_EQ(FailedAfter(t.fileIndex == kFileMain ? 3 : t.callsBefore), fake.Texts()) << t.label;
    EXPECT_NE(std::string::npos, console.Text().find(std::string("Error: ") + t.label +
                                                     " DownLoad file is too short.\n" + Failed(0, 1)))
        << console.Text();
  }
}

TEST_F(EngineUpdateTest, FileWithoutRecordedSizeIsNeverSent) {
  // Missing when the package was loaded, present now.
  const std::pair<const char*, std::string> cases[] = {
      {"main.bin", "Error: MAIN Memory Full Error.\n"},
      {"dsp.bin", "Error: DSP Memory Full Error.\n"},
      {"table.bin", ""},
  };
  for (const auto& c : cases) {
    WritePackage();
    std::filesystem::remove(dir / (std::string("new/") + c.first));
    Load();
    dir.Write(std::string("new/") + c.first, Pattern(10, 1));
    fake.calls.clear();
    EXPECT_EQ(-1, UpdateEngineFirmware(1)) << c.first;
    for (const std::string& call : fake.Texts()) {
      EXPECT_NE("write 1 10", call);
      EXPECT_NE(" -2", call.substr(call.size() - 3)) << call;
    }
    std::string text = console.Text();
    EXPECT_NE(std::string::npos, text.find(c.second + Failed(0, 1))) << text;
  }
}

TEST_F(EngineUpdateTest, FailedPollEndsTheSequenceWithThePolledStatus) {
  fake.printers[1].statuses = {0, 2307, 2101, 2504};
  EXPECT_EQ(-1, UpdateEngineFirmware(1));
  EXPECT_EQ((Texts{"open 1", "status 1", "info 1", "status 1", kPreMain, "target 1 1 0 9000", "write 1 9000",
                   "status 1", "status 1", "close 1"}),
            fake.Texts());
  EXPECT_EQ("Downloading MAIN file... [main.bin]\n#printer 01  Writing firmware (MAIN).  Remaining 4  sec. \r\n\n" +
                Failed(2504, 1),
            console.Text());
}

TEST_F(EngineUpdateTest, PrinterStillBusyWhenTimeRunsOutGoesOn) {
  fake.printers[1].statuses = {0, 2305, 2103};
  EXPECT_EQ(0, UpdateEngineFirmware(1));
  std::string text = console.Text();
  EXPECT_NE(std::string::npos, text.find("Downloading TABLE file"));
  EXPECT_NE(std::string::npos, text.find(Complete(1)));
  EXPECT_EQ(kSecondClosing, fake.Texts()[fake.Texts().size() - 2]);
}

TEST_F(EngineUpdateTest, FirstClosingCommandFailingSkipsTheSecond) {
  fake.printers[1].universal = {{1, 0}, {0, 2600}};
  EXPECT_EQ(-1, UpdateEngineFirmware(1));
  Texts expected = CountDownRun();
  expected.erase(expected.end() - 2);
  EXPECT_EQ(expected, fake.Texts());
  EXPECT_NE(std::string::npos, console.Text().find(Failed(2600, 1)));
}

TEST_F(EngineUpdateTest, SecondClosingCommandFailingFailsTheSequence) {
  fake.printers[1].universal = {{1, 0}, {1, 0}, {0, 2100}};
  EXPECT_EQ(-1, UpdateEngineFirmware(1));
  EXPECT_EQ(CountDownRun(), fake.Texts());
  EXPECT_NE(std::string::npos, console.Text().find(Failed(2100, 1)));
}

TEST_F(EngineUpdateTest, ClosingCommandsOnlyLookAtTheirResults) {
  // A status on a successful closing command does not fail the sequence.
  fake.printers[1].universal = {{1, 0}, {1, 2100}, {1, 2100}};
  EXPECT_EQ(0, UpdateEngineFirmware(1));
  EXPECT_NE(std::string::npos, console.Text().find(Complete(1)));
}

}  // namespace
