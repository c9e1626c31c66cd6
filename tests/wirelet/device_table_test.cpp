// The device table: which paths it accepts, where it puts them, and what it
// does at its limits.
#include <gtest/gtest.h>

#include "library_fixture.h"

namespace {

using wirelet::gDeviceTable;
using wirelet::gLibrary;
using platform::usb::kNoHandle;

class DeviceTableTest : public wirelet_test::LibraryTest {};

// A path of the model exactly length characters long.
std::string PathOfLength(size_t length) {
  std::string path = fakebus::ModelPath("long");
  path.insert(26, length - path.size(), 'x');
  return path;
}

TEST_F(DeviceTableTest, IdentityIsTestedAtFixedPositions) {
  std::string good = fakebus::ModelPath("a");
  ASSERT_EQ(good.substr(12, 4), "7a3d");
  ASSERT_EQ(good.substr(21, 4), "00b4");
  std::string shifted = "\\\\?\\usb#vid__7a3d&pid_00b4#a#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  std::string upper = "\\\\?\\usb#vid_7a3d&pid_00B4#a#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  std::string shortPath = "\\\\?\\usb#vid_7a3d";
  for (const std::string& path : {shifted, upper, shortPath}) {
    fakebus::AddInterface(path);
    EXPECT_EQ(gDeviceTable.RegisterDevicePath(path.c_str()), -1) << path;
    EXPECT_EQ(fakebus::DeviceOpens(path), 0) << path;
  }
  fakebus::AddInterface(good);
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(good.c_str()), 0);
}

TEST_F(DeviceTableTest, SamePathSameSlotNewPathNextSlot) {
  std::vector<std::string> paths = AddPrinters(2);
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(paths[0].c_str()), 0);
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(paths[1].c_str()), 1);
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(paths[0].c_str()), 0);
  EXPECT_EQ(fakebus::DeviceOpens(paths[0]), 1);
  EXPECT_EQ(gLibrary.discoveryOpened, 1);
  EXPECT_NE(gLibrary.discoveryHandles[1], kNoHandle);
  // Release keeps the entry: the path is still there.
  gDeviceTable.ReleaseDevice(0);
  char path[wirelet::kPathSize];
  EXPECT_EQ(gDeviceTable.GetDevicePath(0, path), 1);
  EXPECT_EQ(path, paths[0]);
  EXPECT_EQ(gDeviceTable.GetDevicePath(2, path), 0);
}

TEST_F(DeviceTableTest, FullTableRejectsAndClosesTheNewcomer) {
  std::vector<std::string> paths = AddPrinters(129);
  for (int i = 0; i < 128; ++i) ASSERT_EQ(gDeviceTable.RegisterDevicePath(paths[i].c_str()), i);
  int openBefore = fakebus::OpenHandles();
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(paths[128].c_str()), -1);
  EXPECT_EQ(fakebus::DeviceOpens(paths[128]), 1);
  EXPECT_EQ(fakebus::OpenHandles(), openBefore);
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(paths[5].c_str()), 5);
}

TEST_F(DeviceTableTest, DiscoveryOfAFullBus) {
  // 129 interfaces, but only member indexes 0..127 are asked.
  std::vector<std::string> paths = AddPrinters(129);
  EXPECT_EQ(usb_find_first(), 1);
  // A full list has no 0 to end it: after position 127 the calls start over.
  for (int position = 1; position <= 127; ++position) ASSERT_EQ(usb_find_next(), position + 1);
  EXPECT_EQ(usb_find_next(), 2);
  EXPECT_EQ(fakebus::DeviceOpens(paths[128]), 0);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
}

TEST_F(DeviceTableTest, PathsOf260CharactersOrMoreAreRejected) {
  std::string fits = PathOfLength(259);
  std::string tooLong = PathOfLength(260);
  std::string muchTooLong = PathOfLength(1000);
  fakebus::AddInterface(tooLong);
  fakebus::AddInterface(muchTooLong);
  fakebus::AddInterface(fits);
  EXPECT_EQ(gDeviceTable.FindDeviceByIndex(0), -1);
  EXPECT_EQ(gDeviceTable.FindDeviceByIndex(1), -1);
  EXPECT_EQ(gDeviceTable.RegisterDevicePath(tooLong.c_str()), -1);
  EXPECT_EQ(fakebus::DeviceOpens(tooLong), 0);
  EXPECT_EQ(gDeviceTable.FindDeviceByIndex(2), 0);
  char path[wirelet::kPathSize];
  ASSERT_EQ(gDeviceTable.GetDevicePath(0, path), 1);
  EXPECT_EQ(path, fits);
  // The pipe names of the longest path still fit their buffer.
  EXPECT_NE(gDeviceTable.OpenDevicePipe(0, 0, 1), kNoHandle);
}

TEST_F(DeviceTableTest, SecondQueryWithALongerPathIsNotUsed) {
  std::string first = fakebus::ModelPath("first");
  std::string longer = fakebus::ModelPath("first-but-longer");
  std::string shorter = fakebus::ModelPath("s");
  fakebus::AddInterface(first);
  fakebus::AddInterface(longer);
  fakebus::ChangePathOnSecondQuery(0, longer);
  EXPECT_EQ(gDeviceTable.FindDeviceByIndex(0), -1);
  EXPECT_EQ(fakebus::DeviceOpens(longer), 0);
  // A path that fits what the first query promised is the device now there.
  fakebus::AddInterface(shorter);
  fakebus::ChangePathOnSecondQuery(0, shorter);
  EXPECT_EQ(gDeviceTable.FindDeviceByIndex(0), 0);
  char path[wirelet::kPathSize];
  ASSERT_EQ(gDeviceTable.GetDevicePath(0, path), 1);
  EXPECT_EQ(path, shorter);
}

TEST_F(DeviceTableTest, PipesAndPresence) {
  std::string path = AddPrinters(1)[0];
  EXPECT_EQ(gDeviceTable.OpenDevicePipe(0, 0, 0), kNoHandle);  // not yet registered
  EXPECT_EQ(gDeviceTable.IsDevicePresent(-1), 0);
  EXPECT_EQ(gDeviceTable.IsDevicePresent(200), 0);
  EXPECT_EQ(gDeviceTable.OpenDevicePipe(-1, 0, 0), kNoHandle);
  ASSERT_EQ(gDeviceTable.RegisterDevicePath(path.c_str()), 0);
  int opens = fakebus::DeviceOpens(path);
  EXPECT_EQ(gDeviceTable.IsDevicePresent(0), 1);
  EXPECT_EQ(fakebus::DeviceOpens(path), opens + 1);
  platform::usb::Handle pipe = gDeviceTable.OpenDevicePipe(0, 0, 1);
  EXPECT_NE(pipe, kNoHandle);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 1), 1);
  platform::usb::Close(pipe);
  fakebus::SetPresent(path, false);
  EXPECT_EQ(gDeviceTable.IsDevicePresent(0), 0);
  EXPECT_EQ(gDeviceTable.IsSlotOccupied(0), 1);
}

}  // namespace
