// The printers the bus holds open. Every Handle of one printer interface
// (its presence handles, the claim's two pipes and every command's probes)
// shares one libusb device handle, and every pipe handle shares one claim of
// the interface: the claim is taken by the first pipe and given back with
// the last, so a probe's close never releases it, and the kernel's printer
// driver (detached while we hold the interface) comes back at the end.
#pragma once
#include <libusb.h>

#include <atomic>
#include <cstdint>

#include "platform/usb_bus.h"
#include "usb_path.h"

namespace platform {
namespace usb {

struct OpenDevice {
  libusb_device* device = nullptr;  // referenced while open
  libusb_device_handle* handle = nullptr;
  UsbSite site;
  uint8_t altSetting = 0;
  uint8_t bulkIn = 0;  // endpoint addresses from the descriptors, 0 = none
  uint8_t bulkOut = 0;
  uint16_t inPacket = 512;  // the bulk-in endpoint's packet size
  int handles = 0;  // open Handles of every kind
  int claims = 0;   // open pipe Handles
  // Transfers submitted and not yet called back, abandoned ones included;
  // the callback lowers it, so the record outlives every transfer.
  std::atomic<int> transfers{0};
  // A transfer found the device gone: it is absent even while the system's
  // list still shows it.
  std::atomic<bool> lost{false};
  // Per pipe (0 bulk-in, 1 bulk-out): cancelled transfers whose callback had
  // not come when their waiter gave up. Until it has, nothing more is
  // submitted on that pipe, so no later transfer can take what was meant for
  // the old one or leave it behind.
  std::atomic<int> stragglers[2] = {{0}, {0}};
  OpenDevice* next = nullptr;
};

// What a Handle points at.
struct BusHandle {
  uint32_t mark;
  NameKind kind;
  OpenDevice* device;
};

// The BusHandle of a Handle from Open, or null.
BusHandle* FromHandle(Handle handle);

}  // namespace usb
}  // namespace platform
