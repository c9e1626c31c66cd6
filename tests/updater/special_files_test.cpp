// Firmware files that are not plain files, on systems that have such things:
// a named pipe would block whoever opens it for reading, a dangling link
// names nothing. Neither may hang the update or reach a printer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "controller_update.h"
#include "engine_update.h"
#include "package.h"
#include "support/updater_fixture.h"

namespace {

class SpecialFilesTest : public testing_support::UpdaterFixture {
 protected:
  void MakeFifo(const std::string& relative) {
    std::filesystem::remove(dir / relative);
    ASSERT_EQ(0, mkfifo((dir / relative).c_str(), 0600));
  }
  void MakeDanglingLink(const std::string& relative) {
    std::filesystem::remove(dir / relative);
    std::filesystem::create_symlink(dir / "nowhere.bin", dir / relative);
  }
};

TEST_F(SpecialFilesTest, AtLoadTheyAreFilesThatCannotBeOpened) {
  WritePackage();
  MakeFifo("new/main.bin");
  MakeDanglingLink("new/dsp.bin");
  LoadPackage(updatePackage, "package.ini");
  EXPECT_EQ(kSizeOpenFailed, updatePackage.boardSets[0].files[kFileMain].size);
  EXPECT_EQ(kSizeOpenFailed, updatePackage.boardSets[0].files[kFileDsp].size);
  EXPECT_EQ(2, testing_support::CountOf(console.Text(), "File Data Open Error. \n "));
}

TEST_F(SpecialFilesTest, AfterLoadTheyAreFilesThatAreNotFound) {
  WritePackage();
  Load();
  MakeFifo("new/usb.bin");
  EXPECT_EQ(-1, UpdateControllerFirmware(1));
  EXPECT_NE(std::string::npos, console.Text().find("Error: USB DownLoad file is not found.\n"));

  console.Clear();
  MakeDanglingLink("new/main.bin");
  EXPECT_EQ(-1, UpdateEngineFirmware(1));
  EXPECT_NE(std::string::npos, console.Text().find("Error: MAIN DownLoad file is not found.\n"));
  for (const std::string& call : fake.Texts()) EXPECT_EQ(std::string::npos, call.find("write")) << call;
}

}  // namespace
