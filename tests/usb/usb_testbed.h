// For tests in a process linked with umockdev's preload library: a
// q7730-usb-bridge serving the simulator of a directory, with UMOCKDEV_DIR
// set in this process while it runs, so libusb here sees its printers.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace usbtest {

class UsbTestbed {
 public:
  UsbTestbed() = default;
  ~UsbTestbed() { Stop(); }
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Starts the bridge (bridgePath) for the simulator serving simDir, with
  // extra bridge options. false and a message when it does not come up.
  bool Start(const std::string& bridgePath, const std::string& simDir,
             const std::vector<std::string>& options, std::string* error);
  // Ends the bridge and unsets UMOCKDEV_DIR. Open libusb contexts first.
  void Stop();
  const std::string& Root() const { return root_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::string root_;
};

// The path the usb bus gives the printer at port chain "2" or "4.1" of bus.
std::string UsbPrinterPath(int bus, const std::string& ports, const char* ids = "7a3d&pid_00b4");

}  // namespace usbtest
