#include <gtest/gtest.h>

#include "library_bus.h"
#include "platform/usb_bus.h"
#include "usb_testbed.h"

namespace librarytest {
namespace {

usbtest::UsbTestbed gTestbed;

}  // namespace

// Bus 2: the end-to-end runs use bus 1, and the paths, and with them the
// device mutexes, must differ between the two.
void StartBus(const std::string& dir) {
  std::string error;
  ASSERT_TRUE(gTestbed.Start(USB_BRIDGE_PATH, dir, {"--bus", "2"}, &error)) << error;
}

void StopBus() {
  // This process's own bus (the tests enumerate through it) lets go first.
  platform::usb::CloseBus();
  gTestbed.Stop();
}

}  // namespace librarytest
