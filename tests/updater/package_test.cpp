// Loading the package: defaults, names, composed paths, sizes, wait times,
// and input that must not overflow or mislead.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "package.h"
#include "platform/filesystem.h"
#include "support/test_support.h"
#include "support/updater_fixture.h"

using testing_support::BoardIni;
using testing_support::ConsoleCapture;
using testing_support::CurrentDirectoryGuard;
using testing_support::Pattern;
using testing_support::TempDir;

namespace {

class PackageTest : public ::testing::Test {
 protected:
  PackageTest() { package = UpdatePackage{}; }
  std::string Cwd() const { return dir.Path().string(); }
  // What the loader puts between a directory and a name.
  static std::string Sep() { return std::string(1, platform::PathSeparator()); }
  void ExpectDefaults(const FirmwareFileSet& set) {
    for (const FirmwareFileEntry& entry : set.files) {
      EXPECT_STREQ("None", entry.name);
      EXPECT_EQ(-1, entry.size);
    }
    EXPECT_EQ(30000u, set.usbWaitMs);
    EXPECT_EQ(70000u, set.mainWaitMs);
    EXPECT_EQ(55000u, set.dspWaitMs);
    EXPECT_EQ(55000u, set.tableWaitMs);
    EXPECT_EQ(1000u, set.displayWaitMs);
  }
  void WritePackageIni(const std::string& newBoard, const std::string& oldBoard, const std::string& extra = "") {
    dir.Write("package.ini", "[NEWPCB]\nFILEPATH=" + newBoard + "\n[OLDPCB]\nFILEPATH=" + oldBoard + "\n" + extra);
  }

  TempDir dir;
  CurrentDirectoryGuard cwd{dir.Path()};
  ConsoleCapture console;
  UpdatePackage package;
};

TEST_F(PackageTest, MissingPackageGivesEveryDefaultSilently) {
  LoadPackage(package, "missing.ini");
  EXPECT_EQ(Cwd() + Sep() + "None", package.newBoardIniPath);
  EXPECT_EQ(Cwd() + Sep() + "None", package.oldBoardIniPath);
  EXPECT_EQ(1, package.fallbackBoardSet);
  ExpectDefaults(package.boardSets[0]);
  ExpectDefaults(package.boardSets[1]);
  EXPECT_EQ("", console.Text());
}

TEST_F(PackageTest, ReadsNamesPathsSizesAndWaitTimes) {
  WritePackageIni("new/board.ini", "old.ini", "[type]\nmode=0\n");
  dir.Write("new/board.ini", BoardIni("usb.bin", "fw/main.bin", "dsp.bin", "table.bin",
                                      "Usb=1\nMain=2\nDsp=3\nTable=4\nDISP_WAIT_TIME=5\n"));
  dir.Write("new/usb.bin", Pattern(123, 1));
  dir.Write("new/fw/main.bin", Pattern(70000, 2));
  dir.Write("new/dsp.bin", std::string());
  dir.Write("new/table.bin", Pattern(9, 3));
  LoadPackage(package, "package.ini");

  EXPECT_EQ(Cwd() + Sep() + "new/board.ini", package.newBoardIniPath);
  EXPECT_EQ(Cwd() + Sep() + "old.ini", package.oldBoardIniPath);
  EXPECT_EQ(0, package.fallbackBoardSet);
  const FirmwareFileSet& set = package.boardSets[0];
  EXPECT_STREQ("usb.bin", set.files[kFileUsb].name);
  EXPECT_STREQ("fw/main.bin", set.files[kFileMain].name);
  // The directory part keeps its separator and another one follows.
  EXPECT_EQ(Cwd() + Sep() + "new/" + Sep() + "usb.bin", set.files[kFileUsb].path);
  EXPECT_EQ(Cwd() + Sep() + "new/" + Sep() + "fw/main.bin", set.files[kFileMain].path);
  EXPECT_EQ(123, set.files[kFileUsb].size);
  EXPECT_EQ(70000, set.files[kFileMain].size);
  EXPECT_EQ(0, set.files[kFileDsp].size);
  EXPECT_EQ(9, set.files[kFileTable].size);
  EXPECT_EQ(1u, set.usbWaitMs);
  EXPECT_EQ(2u, set.mainWaitMs);
  EXPECT_EQ(3u, set.dspWaitMs);
  EXPECT_EQ(4u, set.tableWaitMs);
  EXPECT_EQ(5u, set.displayWaitMs);
  // The old board's INI does not exist.
  ExpectDefaults(package.boardSets[1]);
  EXPECT_EQ("", console.Text());
}

TEST_F(PackageTest, PerBoardIniInSubdirectoryFindsItsFilesThere) {
  WritePackageIni("a/b/board.ini", "None");
  dir.Write("a/b/board.ini", BoardIni("u.bin", "None", "None", "None", ""));
  dir.Write("a/b/u.bin", Pattern(77, 5));
  dir.Write("u.bin", Pattern(5, 5));  // beside the package: must not be taken
  LoadPackage(package, "package.ini");
  EXPECT_EQ(Cwd() + Sep() + "a/b/" + Sep() + "u.bin", package.boardSets[0].files[kFileUsb].path);
  EXPECT_EQ(77, package.boardSets[0].files[kFileUsb].size);
}

TEST_F(PackageTest, MissingFirmwareFileIsReportedOnceAndMarked) {
  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni("usb.bin", "absent.bin", "dsp.bin", "none", ""));
  dir.Write("usb.bin", Pattern(64, 1));
  dir.Write("dsp.bin", Pattern(64, 1));
  LoadPackage(package, "package.ini");
  const FirmwareFileSet& set = package.boardSets[0];
  EXPECT_STREQ("absent.bin", set.files[kFileMain].name);
  EXPECT_EQ(-2, set.files[kFileMain].size);
  EXPECT_EQ(64, set.files[kFileUsb].size);
  // "None" is matched case-sensitively: "none" is a file name, and missing.
  EXPECT_EQ(-2, set.files[kFileTable].size);
  EXPECT_EQ("File Data Open Error. \n File Data Open Error. \n ", console.Text());
}

TEST_F(PackageTest, NoneIsNeverLookedUpEvenWhenSuchAFileExists) {
  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni("None", "None", "None", "None", ""));
  dir.Write("None", Pattern(64, 1));
  LoadPackage(package, "package.ini");
  for (const FirmwareFileEntry& entry : package.boardSets[0].files) EXPECT_EQ(-1, entry.size);
  EXPECT_EQ("", console.Text());
}

TEST_F(PackageTest, FolderNamedAsFirmwareFileCannotBeOpened) {
  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni("", "sub", "None", "None", ""));
  dir.Write("sub/x", "x");
  LoadPackage(package, "package.ini");
  EXPECT_EQ(-2, package.boardSets[0].files[kFileUsb].size);
  EXPECT_EQ(-2, package.boardSets[0].files[kFileMain].size);
  EXPECT_EQ(2, testing_support::CountOf(console.Text(), "File Data Open Error. \n "));
}

TEST_F(PackageTest, FullPathsAreStillAppendedToTheDirectory) {
  TempDir elsewhere;
  elsewhere.Write("package.ini", "[NEWPCB]\nFILEPATH=board.ini\n");
  elsewhere.Write("board.ini", BoardIni("usb.bin", "None", "None", "None", ""));
  elsewhere.Write("usb.bin", Pattern(64, 1));
  LoadPackage(package, (elsewhere / "package.ini").c_str());
  ExpectDefaults(package.boardSets[0]);

  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni(elsewhere / "usb.bin", "None", "None", "None", ""));
  console.Clear();
  LoadPackage(package, "package.ini");
  EXPECT_EQ(Cwd() + Sep() + Sep() + (elsewhere / "usb.bin"), package.boardSets[0].files[kFileUsb].path);
  EXPECT_EQ(-2, package.boardSets[0].files[kFileUsb].size);
  EXPECT_EQ("File Data Open Error. \n ", console.Text());
}

TEST_F(PackageTest, ModeOtherThanZeroOrOneMeansTheOldBoard) {
  const std::pair<const char*, int> cases[] = {{"0", 0}, {"1", 1}, {"2", 1}, {"256", 1}, {"-1", 1}};
  for (const auto& c : cases) {
    WritePackageIni("None", "None", std::string("[TYPE]\nMODE=") + c.first + "\n");
    LoadPackage(package, "package.ini");
    EXPECT_EQ(c.second, package.fallbackBoardSet) << "MODE=" << c.first;
  }
}

TEST_F(PackageTest, NegativeWaitTimeMeansTheDefault) {
  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni("None", "None", "None", "None",
                                  "Usb=-1\nMain=0\nDsp=-2147483648\nTable=60000\nDISP_WAIT_TIME=-5\n"));
  LoadPackage(package, "package.ini");
  const FirmwareFileSet& set = package.boardSets[0];
  EXPECT_EQ(30000u, set.usbWaitMs);
  EXPECT_EQ(0u, set.mainWaitMs);
  EXPECT_EQ(55000u, set.dspWaitMs);
  EXPECT_EQ(60000u, set.tableWaitMs);
  EXPECT_EQ(1000u, set.displayWaitMs);
}

TEST_F(PackageTest, OverlongFirmwarePathIsAFileThatCannotBeOpened) {
  // Directory, separators and name together exceed 259 characters.
  std::string name(259 - Cwd().size(), 'f');
  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni(name, "None", "None", "None", ""));
  LoadPackage(package, "package.ini");
  const FirmwareFileEntry& entry = package.boardSets[0].files[kFileUsb];
  EXPECT_EQ(name, entry.name);
  EXPECT_STREQ("", entry.path);
  EXPECT_EQ(-2, entry.size);
  EXPECT_EQ("File Data Open Error. \n ", console.Text());
}

TEST_F(PackageTest, LongestFittingFirmwarePathIsUsed) {
  std::string name(259 - Cwd().size() - 2, 'f');  // cwd, "/", "/", name: 259 characters
  WritePackageIni("board.ini", "None");
  dir.Write("board.ini", BoardIni(name, "None", "None", "None", ""));
  dir.Write(name, Pattern(65, 1));
  LoadPackage(package, "package.ini");
  EXPECT_EQ(259u, std::strlen(package.boardSets[0].files[kFileUsb].path));
  EXPECT_EQ(65, package.boardSets[0].files[kFileUsb].size);
}

TEST_F(PackageTest, OverlongPackageNameGivesDefaults) {
  std::string name(300, 'p');
  LoadPackage(package, name.c_str());
  EXPECT_EQ(Cwd() + Sep() + "None", package.newBoardIniPath);
  ExpectDefaults(package.boardSets[0]);
  ExpectDefaults(package.boardSets[1]);
}

TEST_F(PackageTest, OverlongBoardIniPathGivesThatBoardsDefaults) {
  std::string name(259 - Cwd().size(), 'b');
  WritePackageIni(name, "None");
  LoadPackage(package, "package.ini");
  EXPECT_STREQ("", package.newBoardIniPath);
  ExpectDefaults(package.boardSets[0]);
  for (const FirmwareFileEntry& entry : package.boardSets[0].files) EXPECT_STREQ("", entry.path);
  EXPECT_EQ("", console.Text());
}

TEST(DirectoryPartTest, CutsAfterTheLastSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a/b/c.ini", "/a/b/"}, {"/a/b/", "/a/b/"}, {"/c.ini", "/"}, {"/", "/"},
      {"c.ini", "c"},  // no separator: only the first character stays
      {"c", "c"},      {"", ""},
  };
  for (const auto& c : cases) {
    char out[kPathSize];
    std::memset(out, 'x', sizeof out);
    DirectoryPart(out, c.first.c_str());
    EXPECT_EQ(c.second, out) << c.first;
  }
}

TEST(DirectoryPartTest, SourceThatDoesNotFitGivesEmpty) {
  char out[kPathSize];
  std::string fits = "/" + std::string(257, 'a') + "/";
  DirectoryPart(out, fits.c_str());
  EXPECT_EQ(fits, out);
  DirectoryPart(out, (fits + "x").c_str());
  EXPECT_STREQ("", out);
}

}  // namespace
