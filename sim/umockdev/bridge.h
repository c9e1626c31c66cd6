// The testbed of q7730-usb-bridge: a root hub per bus with a hub at its
// port 4, and one USB printer per printer that q7730-sim has plugged in.
// Printers take root ports 1..3 and then ports 1, 2, ... of that hub, in the
// order the simulator first shows them, and keep their port when they are
// plugged in again. The simulator's unplug and plug become "remove" and
// "add" uevents.
#pragma once
#include <umockdev.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb_bus.h"
#include "usbfs_device.h"

namespace usbbridge {

struct BridgeOptions {
  int bus = 1;
  std::string serial;  // every printer's serial number; empty: one each
  std::vector<std::pair<uint16_t, uint16_t>> others;  // non-printer devices by ids
  int lateDiscardMs = 0;  // see DeviceSetup
};

class Bridge {
 public:
  explicit Bridge(BridgeOptions options);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Creates the testbed (and with it UMOCKDEV_DIR in this process's
  // environment) and the devices of the simulator in the current directory.
  bool Start(std::string* error);
  // Follows the simulator's plugging; call often.
  void Poll();
  std::string Root() const;

 private:
  void Sync();
  UsbfsDevice* Add(DeviceSetup setup, const std::string& name, const std::string& parent,
                   std::string* error);
  std::string PortName(int place) const;
  std::string ParentOf(int place) const;

  BridgeOptions options_;
  UMockdevTestbed* testbed_ = nullptr;
  std::string rootHub_;
  std::string hub_;
  int nextDevnum_ = 1;
  int nextPlace_ = 1;
  std::map<std::string, int> placeOfPath_;
  std::vector<std::unique_ptr<UsbfsDevice>> devices_;
  platform::usb::ChangeSource* changes_ = nullptr;
};

}  // namespace usbbridge
