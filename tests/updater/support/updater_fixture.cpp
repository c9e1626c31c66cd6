#include "updater_fixture.h"

#include "device_library.h"
#include "engine_update.h"
#include "package.h"

namespace testing_support {

std::string BoardIni(const std::string& usb, const std::string& main, const std::string& dsp,
                     const std::string& table, const std::string& waitTimes) {
  return "[USB]\nFILEPATH=" + usb + "\n[MAIN]\nFILEPATH=" + main + "\n[DSP]\nFILEPATH=" + dsp +
         "\n[TABLE]\nFILEPATH=" + table + "\n[WAITTIME]\n" + waitTimes;
}

BoardFiles NewBoardFiles() { return {Pattern(5000, 1), Pattern(9000, 2), Pattern(4096, 3), Pattern(300, 4)}; }

BoardFiles OldBoardFiles() { return {Pattern(4097, 11), Pattern(8000, 12), Pattern(100, 13), Pattern(20, 14)}; }

void WriteStandardPackage(const TempDir& dir, const BoardFiles& newBoard, const BoardFiles& oldBoard,
                          const std::string& waitTimes, int mode) {
  dir.Write("package.ini", "[NEWPCB]\nFILEPATH=new/board.ini\n[OLDPCB]\nFILEPATH=old/board.ini\n[TYPE]\nMODE=" +
                               std::to_string(mode) + "\n");
  for (const char* board : {"new", "old"}) {
    const BoardFiles& files = std::string(board) == "new" ? newBoard : oldBoard;
    std::string folder = std::string(board) + "/";
    dir.Write(folder + "board.ini", BoardIni("usb.bin", "main.bin", "dsp.bin", "table.bin", waitTimes));
    dir.Write(folder + "usb.bin", files.usb);
    dir.Write(folder + "main.bin", files.main);
    dir.Write(folder + "dsp.bin", files.dsp);
    dir.Write(folder + "table.bin", files.table);
  }
}

UpdaterFixture::UpdaterFixture() {
  updatePackage = UpdatePackage{};
  for (int& port : portTable) port = 0;
  writeLock = new platform::RecursiveLock;
  newBoard = NewBoardFiles();
  oldBoard = OldBoardFiles();
}

UpdaterFixture::~UpdaterFixture() {
  delete writeLock;
  writeLock = nullptr;
}

void UpdaterFixture::WritePackage(const std::string& waitTimes, int mode) {
  WriteStandardPackage(dir, newBoard, oldBoard, waitTimes, mode);
}

void UpdaterFixture::Load() {
  LoadPackage(updatePackage, "package.ini");
  console.Clear();
}

}  // namespace testing_support
