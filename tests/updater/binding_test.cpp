// Binding the device library from the current directory, all or nothing,
// and enumerating printers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "device_library.h"
#include "support/fake_library.h"
#include "support/test_support.h"

using testing_support::CurrentDirectoryGuard;
using testing_support::ReadTextFile;
using testing_support::TempDir;

namespace {

class LibraryBindingTest : public ::testing::Test {
 protected:
  LibraryBindingTest() { deviceLibrary = DeviceLibrary{}; }
  ~LibraryBindingTest() override { UnbindDeviceLibrary(); }
  void Install(const char* library) {
    std::filesystem::copy_file(library, dir / "wirelet.dll");
  }
  std::string Log() const { return ReadTextFile(dir / "double.log"); }
  bool AllEntryPointsSet() const {
    const DeviceLibrary& d = deviceLibrary;
    return d.usb_find_first && d.usb_find_next && d.usb_open_port && d.usb_close_port && d.usb_command_send &&
           d.usb_command_recv && d.usb_command_data && d.usb_get_id && d.usb_get_status && d.usb_write_data &&
           d.usb_get_firmware_info && d.usb_target_update && d.usb_universal_command;
  }
  bool NoEntryPointSet() const {
    const DeviceLibrary& d = deviceLibrary;
    return !d.usb_find_first && !d.usb_find_next && !d.usb_open_port && !d.usb_close_port && !d.usb_command_send &&
           !d.usb_command_recv && !d.usb_command_data && !d.usb_get_id && !d.usb_get_status && !d.usb_write_data &&
           !d.usb_get_firmware_info && !d.usb_target_update && !d.usb_universal_command;
  }

  TempDir dir;
  CurrentDirectoryGuard cwd{dir.Path()};
};

TEST_F(LibraryBindingTest, CompleteLibraryIsBoundOnceAndReleased) {
  Install(DOUBLE_LIBRARY);
  ASSERT_EQ(1, BindDeviceLibrary());
  EXPECT_EQ(1, deviceLibrary.loaded);
  EXPECT_NE(nullptr, deviceLibrary.module);
  EXPECT_TRUE(AllEntryPointsSet());
  EXPECT_EQ(1, deviceLibrary.usb_find_first());

  // A second bind keeps the loaded library.
  EXPECT_EQ(1, BindDeviceLibrary());
  EXPECT_EQ("load\nusb_find_first pass 1\n", Log());

  UnbindDeviceLibrary();
  EXPECT_EQ(0, deviceLibrary.loaded);
  EXPECT_EQ(nullptr, deviceLibrary.module);
  EXPECT_TRUE(NoEntryPointSet());
  EXPECT_EQ("load\nusb_find_first pass 1\nunload\n", Log());
  UnbindDeviceLibrary();  // nothing bound: no effect

  // Bound again, it starts afresh.
  ASSERT_EQ(1, BindDeviceLibrary());
  deviceLibrary.usb_find_first();
  EXPECT_EQ("load\nusb_find_first pass 1\nunload\nload\nusb_find_first pass 1\n", Log());
}

TEST_F(LibraryBindingTest, LibraryMissingOneExportIsReleased) {
  Install(DOUBLE_MISSING_LIBRARY);
  EXPECT_EQ(0, BindDeviceLibrary());
  EXPECT_EQ(0, deviceLibrary.loaded);
  EXPECT_EQ(nullptr, deviceLibrary.module);
  EXPECT_TRUE(NoEntryPointSet());
  EXPECT_EQ("load\nunload\n", Log());
}

TEST_F(LibraryBindingTest, OnlyTheCurrentDirectoryIsSearched) {
  // The library lies in another folder (as beside the program): not found.
  TempDir programFolder;
  std::filesystem::copy_file(DOUBLE_LIBRARY, programFolder / "wirelet.dll");
  EXPECT_EQ(0, BindDeviceLibrary());
  EXPECT_EQ(nullptr, deviceLibrary.module);
  EXPECT_TRUE(NoEntryPointSet());
}

TEST_F(LibraryBindingTest, FileThatIsNoLibraryIsNotBound) {
  dir.Write("wirelet.dll", "not a library");
  EXPECT_EQ(0, BindDeviceLibrary());
  EXPECT_EQ(0, deviceLibrary.loaded);
}

class PrinterEnumerationTest : public ::testing::Test {
 protected:
  testing_support::FakeLibrary fake;
  PortTable table = {-5, -5, -5, -5, -5, -5, -5, -5, -5, -5};
};

TEST_F(PrinterEnumerationTest, NoPrinterLeavesTheTableAlone) {
  fake.ports = {};
  EXPECT_EQ(-1, EnumeratePrinters(table));
  EXPECT_EQ(-5, table[0]);
  EXPECT_EQ((std::vector<std::string>{"find_first"}), fake.Texts());
}

TEST_F(PrinterEnumerationTest, OnePrinter) {
  fake.ports = {1};
  EXPECT_EQ(1, EnumeratePrinters(table));
  EXPECT_EQ(1, table[0]);
  EXPECT_EQ(-5, table[1]);
  EXPECT_EQ((std::vector<std::string>{"find_first", "find_next"}), fake.Texts());
}

TEST_F(PrinterEnumerationTest, PortNumbersAreTakenInTheLibrarysOrder) {
  fake.ports = {3, 1, 2};
  EXPECT_EQ(3, EnumeratePrinters(table));
  EXPECT_EQ(3, table[0]);
  EXPECT_EQ(1, table[1]);
  EXPECT_EQ(2, table[2]);
}

TEST_F(PrinterEnumerationTest, AtMostTenPrintersWithoutAskingForMore) {
  fake.ports = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(10, EnumeratePrinters(table));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(i + 1, table[i]);
  std::vector<std::string> calls = fake.Texts();
  EXPECT_EQ(10u, calls.size());  // find_first and nine find_next
}

}  // namespace
