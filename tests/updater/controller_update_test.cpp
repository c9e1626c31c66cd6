// The controller firmware sequence of one printer against the scripted
// library: calls, bytes on the wire, console text and result of every path.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "controller_update.h"
#include "package.h"
#include "support/updater_fixture.h"

using testing_support::Pattern;
using testing_support::kShortWaits;

namespace {

std::string Complete(int port) {
  char line[128];
  std::snprintf(line, sizeof line, "USB Firmware download complete... #printer %.2d                             \n\n",
                port);
  return line;
}

std::string Failed(int status, int port) {
  char line[128];
  std::snprintf(line, sizeof line, "USB Firmware download failed (%d)... #printer %.2d                          \n\n",
                status, port);
  return line;
}

std::string Sent(long total) {
  char line[64];
  std::snprintf(line, sizeof line, "Sent %12ld byte(s) \r", total);
  return line;
}

// The USB countdown of the fixture's 3000 ms.
std::string UsbCountDown(int port) {
  std::string text;
  char line[128];
  for (int s : {3, 2, 2, 1, 1, 0}) {
    std::snprintf(line, sizeof line, "#printer %.2d  Writing firmware (USB).   Remaining %d  sec. \r", port, s);
    text += line;
  }
  return text + "\n\n";
}

// The image as the printer must receive it: trailer first.
std::vector<uint8_t> TrailerFirst(const std::vector<uint8_t>& image) {
  // Built by copies into a sized vector: g++ 12 -O2 warns falsely about insert.
  std::vector<uint8_t> wire(image.size());
  const auto body = static_cast<std::ptrdiff_t>(image.size() - 64);
  std::copy(image.begin() + body, image.end(), wire.begin());
  std::copy(image.begin(), image.begin() + body, wire.begin() + 64);
  return wire;
}

class ControllerUpdateTest : public testing_support::UpdaterFixture {
 protected:
  void SetUp() override {
    WritePackage();
    Load();
  }
  void ReplaceNewUsbImage(const std::vector<uint8_t>& image) {
    newBoard.usb = image;
    WritePackage();
    Load();
  }
};

TEST_F(ControllerUpdateTest, NewBoardImageGoesTrailerFirstInBlocks) {
  EXPECT_EQ(0, UpdateControllerFirmware(1));
  EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "target 1 6 0 5000", "write 1 4096", "write 1 904",
                                      "close 1"}),
            fake.Texts());
  EXPECT_EQ(TrailerFirst(newBoard.usb), fake.Written(1));
  EXPECT_EQ("Downloading USB file... [usb.bin]\n" + Sent(4096) + Sent(5000) + "\n" + UsbCountDown(1) + Complete(1),
            console.Text());
}

TEST_F(ControllerUpdateTest, OtherComponentOneSelectsTheOldBoard) {
  for (std::string component1 : {std::string("E0208001"), std::string(8, '\0')}) {
    fake.printers[7].component1 = component1;
    fake.calls.clear();
    console.Clear();
    EXPECT_EQ(0, UpdateControllerFirmware(7));
    EXPECT_EQ(TrailerFirst(oldBoard.usb), fake.Written(7));
    // 4097 bytes: a full block and one byte.
    EXPECT_EQ((std::vector<std::string>{"open 7", "info 7", "target 7 6 0 4097", "write 7 4096", "write 7 1",
                                        "close 7"}),
              fake.Texts());
    EXPECT_NE(std::string::npos, console.Text().find(Sent(4096) + Sent(4097) + "\n"));
  }
}

TEST_F(ControllerUpdateTest, BothKnownProgramVersionsPass) {
  fake.printers[1].component2 = "E0191400";
  EXPECT_EQ(0, UpdateControllerFirmware(1));
  fake.printers[2].component2 = "E0211600";
  EXPECT_EQ(0, UpdateControllerFirmware(2));
}

TEST_F(ControllerUpdateTest, UnknownProgramVersionFailsBeforeAnyFile) {
  fake.printers[1].component2 = "E0211601";
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "close 1"}), fake.Texts());
  EXPECT_EQ("#printer 01 Printer Program Version Error...              \n\n" + Failed(0, 1), console.Text());
}

TEST_F(ControllerUpdateTest, UnreadableInformationUsesTheFallbackSetWithoutVersionCheck) {
  fake.printers[1].infoResult = 0;
  fake.printers[1].infoStatus = 2600;
  fake.printers[1].component2 = "garbage!";
  EXPECT_EQ(0, UpdateControllerFirmware(1));  // MODE 1: old board
  EXPECT_EQ(TrailerFirst(oldBoard.usb), fake.Written(1));
  EXPECT_EQ(0u, console.Text().find("usb_get_firmware_info = 2600 \nDownloading USB file... [usb.bin]\n"));

  WritePackage(kShortWaits, 0);
  Load();
  fake.calls.clear();
  EXPECT_EQ(0, UpdateControllerFirmware(1));
  EXPECT_EQ(TrailerFirst(newBoard.usb), fake.Written(1));
}

// Told apart from a done printer, though the run goes on as after one.
TEST_F(ControllerUpdateTest, PortThatCannotBeOpenedIsReportedApartAndPrintsNoFinalLine) {
  fake.printers[3].openStatus = 1500;
  EXPECT_EQ(1, UpdateControllerFirmware(3));
  EXPECT_EQ((std::vector<std::string>{"open 3"}), fake.Texts());
  EXPECT_EQ("usb_open_port = 1500 \n", console.Text());
}

TEST_F(ControllerUpdateTest, MissingFileFails) {
  std::filesystem::remove(dir / "new/usb.bin");
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "close 1"}), fake.Texts());
  EXPECT_EQ("Error: USB DownLoad file is not found.\n" + Failed(0, 1), console.Text());
}

TEST_F(ControllerUpdateTest, FailedInformationStatusStaysInTheFailureLine) {
  fake.printers[1].infoResult = 0;
  fake.printers[1].infoStatus = 2504;
  std::filesystem::remove(dir / "old/usb.bin");
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ("usb_get_firmware_info = 2504 \nError: USB DownLoad file is not found.\n" + Failed(2504, 1),
            console.Text());
}

TEST_F(ControllerUpdateTest, RefusedAnnouncementSendsNothing) {
  fake.printers[1].targetStatus[6] = 2600;
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "target 1 6 0 5000", "close 1"}), fake.Texts());
  EXPECT_EQ("usb_target_update (USB) = 2600 \n" + Failed(2600, 1), console.Text());
}

TEST_F(ControllerUpdateTest, WriteFailureStopsTheTransferAndSkipsTheCountdown) {
  ReplaceNewUsbImage(Pattern(3 * 4096, 9));
  fake.printers[1].writeStatus[1] = 2600;
  uint32_t before = clock.Now();
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "target 1 6 0 12288", "write 1 4096", "write 1 4096",
                                      "close 1"}),
            fake.Texts());
  EXPECT_EQ("Downloading USB file... [usb.bin]\n" + Sent(4096) + "usb_write_data (USB) = 2600 \n" + Failed(2600, 1),
            console.Text());
  EXPECT_EQ(before, clock.Now());
}

TEST_F(ControllerUpdateTest, SixtyFourByteImageGoesUnchanged) {
  ReplaceNewUsbImage(Pattern(64, 5));
  EXPECT_EQ(0, UpdateControllerFirmware(1));
  EXPECT_EQ(newBoard.usb, fake.Written(1));
}

TEST_F(ControllerUpdateTest, LargestAnnounceableImage) {
  ReplaceNewUsbImage(Pattern(65535, 5));
  EXPECT_EQ(0, UpdateControllerFirmware(1));
  EXPECT_EQ(TrailerFirst(newBoard.usb), fake.Written(1));
  EXPECT_EQ("write 1 4095", fake.Texts()[fake.Texts().size() - 2]);
}

TEST_F(ControllerUpdateTest, ImagesThatCannotBeSentTruthfullyAreRefusedBeforeAnnouncing) {
  const std::pair<size_t, const char*> cases[] = {
      {63, "Error: USB DownLoad file is too short.\n"},
      {0, "Error: USB DownLoad file is too short.\n"},
      {65536, "Error: USB DownLoad file is too large.\n"},
  };
  for (const auto& c : cases) {
    ReplaceNewUsbImage(Pattern(c.first, 5));
    fake.calls.clear();
    EXPECT_EQ(-1, UpdateControllerFirmware(1)) << c.first;
    EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "close 1"}), fake.Texts()) << c.first;
    EXPECT_EQ(c.second + Failed(0, 1), console.Text());
  }
}

TEST_F(ControllerUpdateTest, FileWithoutRecordedSizeIsNeverSent) {
  // "None" at load, yet a file of that name exists now.
  dir.Write("new/board.ini", testing_support::BoardIni("None", "main.bin", "dsp.bin", "table.bin", kShortWaits));
  dir.Write("new/None", Pattern(100, 1));
  Load();
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ("Error: USB Memory Full Error 1.\n" + Failed(0, 1), console.Text());

  // Missing at load, there now.
  std::filesystem::remove(dir / "new/usb.bin");
  dir.Write("new/board.ini", testing_support::BoardIni("usb.bin", "main.bin", "dsp.bin", "table.bin", kShortWaits));
  Load();
  dir.Write("new/usb.bin", Pattern(100, 1));
  fake.calls.clear();
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_EQ("Error: USB Memory Full Error 1.\n" + Failed(0, 1), console.Text());
  EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "close 1"}), fake.Texts());
}

TEST_F(ControllerUpdateTest, FileChangedSinceLoadingIsNeverSent) {
  for (size_t size : {newBoard.usb.size() - 1, newBoard.usb.size() + 1}) {
    dir.Write("new/usb.bin", Pattern(size, 1));
    fake.calls.clear();
    console.Clear();
    EXPECT_EQ(-1, UpdateControllerFirmware(1));
    EXPECT_EQ((std::vector<std::string>{"open 1", "info 1", "close 1"}), fake.Texts());
    EXPECT_EQ("Error: USB DownLoad file has changed.\n" + Failed(0, 1), console.Text());
  }
}

}  // namespace
