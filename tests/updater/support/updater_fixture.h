// A package on disk in a temporary directory that is the current one, the
// virtual clock, console capture and the scripted library, for the tests of
// the update sequences.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_library.h"
#include "test_support.h"

namespace testing_support {

struct BoardFiles {
  std::vector<uint8_t> usb, main, dsp, table;
};

// The text of a per-board INI.
std::string BoardIni(const std::string& usb, const std::string& main, const std::string& dsp,
                     const std::string& table, const std::string& waitTimes);

constexpr char kShortWaits[] = "Usb=3000\nMain=5000\nDsp=4000\nTable=6000\n";

// Writes package.ini naming new/board.ini and old/board.ini into dir; each
// board folder holds usb.bin, main.bin, dsp.bin and table.bin with the
// given contents.
void WriteStandardPackage(const TempDir& dir, const BoardFiles& newBoard, const BoardFiles& oldBoard,
                          const std::string& waitTimes = kShortWaits, int mode = 1);

// Distinct contents for both boards.
BoardFiles NewBoardFiles();
BoardFiles OldBoardFiles();

class UpdaterFixture : public ::testing::Test {
 protected:
  UpdaterFixture();
  ~UpdaterFixture() override;

  // WriteStandardPackage with newBoard and oldBoard.
  void WritePackage(const std::string& waitTimes = kShortWaits, int mode = 1);
  // LoadPackage("package.ini"), then forgets the load messages.
  void Load();

  TempDir dir;
  CurrentDirectoryGuard cwd{dir.Path()};
  VirtualClock clock;
  ConsoleCapture console;
  FakeLibrary fake;
  BoardFiles newBoard, oldBoard;
};

}  // namespace testing_support
