// One USB device of the testbed as the kernel's usbfs would present it to
// libusb: sysfs attributes and descriptors, a device node, and the usbfs
// ioctls answered on umockdev's worker thread. A printer is bridged to one
// printer of q7730-sim: each bulk-out URB becomes one write on the
// printer's bulk-out pipe, each bulk-in URB one read on its bulk-in pipe.
//
// The device node is a FIFO that is writable exactly while a URB waits to be
// reaped, so libusb's poll() for POLLOUT sleeps until there is something to
// reap, as on a real usbfs node (a plain file would keep it spinning).
#pragma once
#include <umockdev.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_bus.h"
#include "printer_usb.h"

namespace usbbridge {

struct DeviceSetup {
  std::string simPath;  // the simulator printer behind it; empty: nothing behind
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint8_t interfaceClass = 7;
  std::string serial;
  // A cancelled transfer already under way is given back this much later
  // (a host controller slow to take it off its schedule); 0: at once.
  int lateDiscardMs = 0;
};

class UsbfsDevice {
 public:
  // bus 1..255, sysname as in /sys/bus/usb/devices ("1-2", "1-4.1").
  UsbfsDevice(DeviceSetup setup, int bus, int devnum, std::string sysname, std::string parentSyspath);
  ~UsbfsDevice();
  UsbfsDevice(const UsbfsDevice&) = delete;
  UsbfsDevice& operator=(const UsbfsDevice&) = delete;

  // Adds the device to the testbed and announces it. false and a message
  // when umockdev refuses.
  bool Plug(UMockdevTestbed* testbed, std::string* error);
  // Takes it out of the testbed (a "remove" uevent); every URB still queued
  // or in flight completes with -ESHUTDOWN, later calls fail with ENODEV.
  void Unplug(UMockdevTestbed* testbed);
  // Ends the bridging threads; called before the testbed goes.
  void Stop();

  bool Attached() const { return attached_; }
  // The simulator printer went away under a transfer.
  bool Gone();
  const DeviceSetup& Setup() const { return setup_; }
  const std::string& Syspath() const { return syspath_; }

  static constexpr uint8_t kBulkIn = usbdev::kBulkIn;
  static constexpr uint8_t kBulkOut = usbdev::kBulkOut;

 private:
  struct Urb;
  struct Endpoint {
    uint8_t address = 0;
    std::deque<Urb*> queue;
    Urb* flying = nullptr;
    platform::usb::TransferAbort abort;
    std::condition_variable wake;
    std::thread worker;
  };

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  bool HandleIoctl(UMockdevIoctlClient* client);
  void ClientVanished(UMockdevIoctlClient* client);

  // The ioctls, each answering client; called with mutex_ held.
  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool disconnectFirst);
  void Release(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void GetDriver(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void DriverControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void ClearHalt(UMockdevIoctlClient* client, UMockdevIoctlData* arg);

  void RunEndpoint(Endpoint* endpoint);
  usbdev::Outcome Transfer(Endpoint* endpoint, Urb* urb, std::vector<uint8_t>* received,
                           uint32_t* moved);
  // Under mutex_: the URB is done and waits to be reaped.
  void Finish(Urb* urb, int status);
  void FailEverything();
  void UpdateNode();
  std::string Description() const;
  std::vector<uint8_t> Descriptors() const;

  DeviceSetup setup_;
  usbdev::BulkPipes pipes_;
  int bus_;
  int devnum_;
  std::string sysname_;
  std::string syspath_;
  std::string node_;      // /dev/bus/usb/BBB/DDD
  std::string nodeFile_;  // that node inside the testbed
  int fifo_ = -1;
  bool reapable_ = false;
  bool attached_ = false;
  UMockdevIoctlBase* handler_ = nullptr;

  std::mutex mutex_;
  bool gone_ = false;
  bool stopping_ = false;
  // Who holds interface 0: a usbfs client, else the printer driver or nobody.
  UMockdevIoctlClient* claimant_ = nullptr;
  bool driverBound_ = true;
  Endpoint in_;
  Endpoint out_;
  std::deque<Urb*> done_;
};

}  // namespace usbbridge
