#include <gtest/gtest.h>

#include "library_bus.h"
#include "usb_context.h"
#include "usb_testbed.h"

namespace librarytest {
namespace {

usbtest::UsbTestbed gTestbed;

}  // namespace

void StartBus(const std::string& dir) {
  std::string error;
  ASSERT_TRUE(gTestbed.Start(USB_BRIDGE_PATH, dir, {}, &error)) << error;
}

void StopBus() {
  // This process's own bus (the tests enumerate through it) lets go first.
  platform::usb::CloseBus();
  gTestbed.Stop();
}

}  // namespace librarytest
