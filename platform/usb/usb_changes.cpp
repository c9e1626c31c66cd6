// Device-change notices for the libusb bus: the hotplug callback's count
// where libusb has hotplug, else a comparison of the device list at each poll.
#include <algorithm>
#include <new>
#include <vector>

#include "usb_context.h"

namespace platform {
namespace usb {

struct ChangeSource {
  bool hotplug = false;
  uint64_t seen = 0;       // hotplug: notices taken so far
  uint64_t signature = 0;  // otherwise: the device list at the last poll
};

namespace {

// A hash of which devices are present; a device plugged in again gets a new
// address, so it changes the hash too.
uint64_t DeviceListSignature(libusb_context* context) {
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) return 0;
  std::vector<uint16_t> addresses;
  for (ssize_t i = 0; i < count; ++i)
    addresses.push_back(static_cast<uint16_t>(libusb_get_bus_number(list[i]) << 8 |
                                              libusb_get_device_address(list[i])));
  libusb_free_device_list(list, 1);
  std::sort(addresses.begin(), addresses.end());
  uint64_t hash = 14695981039346656037ull;
  for (uint16_t address : addresses) {
    hash = (hash ^ (address & 0xFF)) * 1099511628211ull;
    hash = (hash ^ (address >> 8)) * 1099511628211ull;
  }
  return (hash ^ static_cast<uint64_t>(count)) * 1099511628211ull;
}

}  // namespace

ChangeSource* OpenChangeSourceUsing(bool hotplug) {
  std::lock_guard<std::mutex> hold(gBusMutex);
  libusb_context* context = BusContext();
  if (context == nullptr || (hotplug && !HasHotplug())) return nullptr;
  ChangeSource* source = new (std::nothrow) ChangeSource;
  if (source == nullptr) return nullptr;
  source->hotplug = hotplug;
  if (hotplug) source->seen = HotplugChanges();
  else source->signature = DeviceListSignature(context);
  return source;
}

ChangeSource* OpenChangeSource(void* /*ownerInstance*/) {
  bool hotplug = false;
  {
    std::lock_guard<std::mutex> hold(gBusMutex);
    if (BusContext() == nullptr) return nullptr;
    hotplug = HasHotplug();
  }
  return OpenChangeSourceUsing(hotplug);
}

bool TakeChange(ChangeSource* source) {
  if (source == nullptr) return false;
  // The watcher's look is also when hotplug notices and the callbacks of
  // transfers left behind are delivered: no thread waits in libusb for them.
  PumpEvents();
  if (source->hotplug) {
    if (HotplugChanges() == source->seen) return false;
    ++source->seen;
    return true;
  }
  std::lock_guard<std::mutex> hold(gBusMutex);
  libusb_context* context = BusContext();
  if (context == nullptr) return false;
  uint64_t signature = DeviceListSignature(context);
  if (signature == source->signature) return false;
  source->signature = signature;
  return true;
}

void CloseChangeSource(ChangeSource* source) { delete source; }

}  // namespace usb
}  // namespace platform
