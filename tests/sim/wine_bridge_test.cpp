// How q7730-wine-bridge names the simulator's printers in a wine prefix:
// the device id and instance the stand-in driver reports, the path the
// Setup API then lists and the folder of the printer's own pipes. A path it
// cannot name is left out rather than plugged in under a wrong name.
#include <gtest/gtest.h>

#include <string>

#include "bridge.h"

namespace {

using winebridge::DeviceName;
using winebridge::NameDevice;

const std::string kTail = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

TEST(WineBridgeNames, PrinterOfTheModel) {
  DeviceName name;
  std::string why;
  ASSERT_TRUE(NameDevice("\\\\?\\usb#vid_7a3d&pid_00b4#sim0002" + kTail, &name, &why)) << why;
  EXPECT_EQ(name.deviceId, L"USB\\VID_7A3D&PID_00B4");
  EXPECT_EQ(name.instanceId, L"SIM0002");
  EXPECT_EQ(name.windowsPath, "\\\\?\\usb#vid_7a3d&pid_00b4#sim0002" + kTail);
  EXPECT_EQ(name.pipeFolder, "\\\\.\\pipe\\usb#vid_7a3d&pid_00b4#sim0002" + kTail);
  EXPECT_TRUE(name.model);
}

// The Setup API lists paths in lower case: a path is named by its lower-case
// form, and ids keep their letters whatever their case.
TEST(WineBridgeNames, OtherMakesAndCase) {
  DeviceName name;
  std::string why;
  ASSERT_TRUE(NameDevice("\\\\?\\USB#VID_04B8&PID_00B4#Printer-7" + kTail, &name, &why)) << why;
  EXPECT_EQ(name.deviceId, L"USB\\VID_04B8&PID_00B4");
  EXPECT_EQ(name.instanceId, L"PRINTER-7");
  EXPECT_EQ(name.windowsPath, "\\\\?\\usb#vid_04b8&pid_00b4#printer-7" + kTail);
  EXPECT_FALSE(name.model);
  ASSERT_TRUE(NameDevice("\\\\?\\usb#vid_7A3D&pid_00B4#x" + kTail, &name, &why)) << why;
  EXPECT_TRUE(name.model);
  ASSERT_TRUE(NameDevice("\\\\?\\usb#vid_7a3d&pid_00b5#x" + kTail, &name, &why)) << why;
  EXPECT_FALSE(name.model);
}

TEST(WineBridgeNames, WhatCannotBeADeviceIsLeftOut) {
  const std::string bad[] = {
      "",
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim0001",                             // no interface class
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim0001#{00000000-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#" + kTail,                             // no instance
      "\\\\?\\usb#vid_7a3&pid_00b4#sim0001" + kTail,                       // ids out of place
      "\\\\?\\hid#vid_7a3d&pid_00b4#sim0001" + kTail,
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim#0001" + kTail,                     // '#' parts an instance
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim\\0001" + kTail,
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim 0001" + kTail,
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim,0001" + kTail,
      "\\\\?\\usb#vid_7a3d&pid_00b4#" + std::string(128, 'x') + kTail,   // longer than an instance may be
      "\\\\?\\usb#vid_7a-d&pid_00b4#sim0001" + kTail,
  };
  for (const std::string& path : bad) {
    DeviceName name;
    std::string why;
    EXPECT_FALSE(NameDevice(path, &name, &why)) << path;
    EXPECT_FALSE(why.empty()) << path;
  }
  DeviceName name;
  std::string why;
  EXPECT_TRUE(NameDevice("\\\\?\\usb#vid_7a3d&pid_00b4#" + std::string(127, 'x') + kTail, &name, &why)) << why;
}

}  // namespace
