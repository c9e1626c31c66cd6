// Enumeration, opening and closing for the libusb bus.
#include "usb_devices.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "usb_context.h"

namespace platform {
namespace usb {
namespace {

constexpr uint8_t kPrinterClass = 7;
constexpr uint32_t kHandleMark = 0x7a3d00b4u;

OpenDevice* gOpenDevices = nullptr;

// Looking at a device's active configuration reads a file of the system's
// each time, and a discovery pass asks for up to 256 indexes one by one, a
// command's pipe check opens two pipes: so one look at the bus is reused
// while the bus lists the very same devices (each referenced while
// remembered, so none can be freed and its address come back as another)
// and no notice of a change has come, for this long at most.
constexpr uint32_t kLookReusedMs = 250;

struct FoundInterface {
  libusb_device* device;
  UsbSite site;
};

struct BusLook {
  std::vector<libusb_device*> devices;  // as listed, referenced
  std::vector<FoundInterface> interfaces;
  uint64_t changes = 0;
  uint32_t takenMs = 0;
};

// On the heap: a static with a destructor could be gone before the unload
// step that still lets go of its devices.
BusLook* gLook = nullptr;

// The device's place on the bus; false for a root hub or a chain too deep.
bool PlaceOf(libusb_device* device, UsbSite* site) {
  int count = libusb_get_port_numbers(device, site->ports, kMaxPorts);
  if (count <= 0) return false;
  site->portCount = static_cast<uint8_t>(count);
  site->bus = libusb_get_bus_number(device);
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  site->vendor = descriptor.idVendor;
  site->product = descriptor.idProduct;
  return site->bus != 0;
}

bool IsPrinterInterface(const libusb_interface& interface) {
  for (int a = 0; a < interface.num_altsetting; ++a)
    if (interface.altsetting[a].bInterfaceClass == kPrinterClass) return true;
  return false;
}

// Appends the printer-class interfaces of device (of its active
// configuration) to sites.
void AddPrinterInterfaces(libusb_device* device, std::vector<UsbSite>* sites) {
  UsbSite place;
  if (!PlaceOf(device, &place)) return;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    if (interface.num_altsetting < 1 || !IsPrinterInterface(interface)) continue;
    UsbSite site = place;
    site.interfaceNumber = interface.altsetting[0].bInterfaceNumber;
    sites->push_back(site);
  }
  libusb_free_config_descriptor(config);
}

void ForgetLook() {
  if (gLook == nullptr) return;
  for (libusb_device* device : gLook->devices) libusb_unref_device(device);
  delete gLook;
  gLook = nullptr;
}

// The printer interfaces present now, in the bus's list order, each with
// its device (referenced by the look). Call with gBusMutex held.
const std::vector<FoundInterface>& PresentInterfaces(libusb_context* context) {
  static const std::vector<FoundInterface> kNothing;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    ForgetLook();
    return kNothing;
  }
  bool same = gLook != nullptr && static_cast<size_t>(count) == gLook->devices.size() &&
              std::equal(list, list + count, gLook->devices.begin()) &&
              HotplugChanges() == gLook->changes &&
              SystemTickCount() - gLook->takenMs < kLookReusedMs;
  if (!same) {
    ForgetLook();
    gLook = new (std::nothrow) BusLook;
    if (gLook == nullptr) {
      libusb_free_device_list(list, 1);
      return kNothing;
    }
    gLook->changes = HotplugChanges();
    gLook->takenMs = SystemTickCount();
    std::vector<UsbSite> sites;
    for (ssize_t i = 0; i < count; ++i) {
      gLook->devices.push_back(libusb_ref_device(list[i]));
      sites.clear();
      AddPrinterInterfaces(list[i], &sites);
      for (const UsbSite& site : sites) gLook->interfaces.push_back({list[i], site});
    }
  }
  libusb_free_device_list(list, 1);
  return gLook->interfaces;
}

// The bulk-in and bulk-out endpoints of the interface: of the first
// printer-class alternate setting that has both, else of the first that has
// either. false when the interface is not a printer interface.
bool FindPipes(libusb_device* device, uint8_t number, OpenDevice* open) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
  bool found = false;
  int bestScore = -1;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceNumber != number || setting.bInterfaceClass != kPrinterClass) continue;
      found = true;
      uint8_t in = 0, out = 0;
      uint16_t inPacket = 0;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        bool isIn = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
        uint8_t& slot = isIn ? in : out;
        if (slot != 0) continue;
        slot = endpoint.bEndpointAddress;
        if (isIn) inPacket = static_cast<uint16_t>(endpoint.wMaxPacketSize & 0x7ff);
      }
      int score = (in != 0 ? 1 : 0) + (out != 0 ? 1 : 0);
      if (score > bestScore) {
        bestScore = score;
        open->altSetting = setting.bAlternateSetting;
        open->bulkIn = in;
        open->bulkOut = out;
        // A descriptor without a size: the largest bulk packet of high speed.
        open->inPacket = inPacket != 0 ? inPacket : 512;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

// The present device at site's place with site's ids whose interface there
// is a printer interface; referenced, or null.
libusb_device* FindDevice(libusb_context* context, const UsbSite& site) {
  for (const FoundInterface& found : PresentInterfaces(context)) {
    const UsbSite& candidate = found.site;
    if (SamePlace(candidate, site) && candidate.vendor == site.vendor &&
        candidate.product == site.product)
      return libusb_ref_device(found.device);
  }
  return nullptr;
}

void Forget(OpenDevice* open) {
  if (open->claims > 0) libusb_release_interface(open->handle, open->site.interfaceNumber);
  libusb_close(open->handle);
  libusb_unref_device(open->device);
  delete open;
}

// The record of device's interface, opened if need be; null when it cannot
// be opened (gone, or no permission).
OpenDevice* Share(libusb_device* device, const UsbSite& site) {
  for (OpenDevice* open = gOpenDevices; open != nullptr; open = open->next)
    if (open->device == device && open->site.interfaceNumber == site.interfaceNumber) return open;
  OpenDevice* open = new (std::nothrow) OpenDevice;
  if (open == nullptr) return nullptr;
  if (!FindPipes(device, site.interfaceNumber, open) || libusb_open(device, &open->handle) != 0) {
    delete open;
    return nullptr;
  }
  // The kernel's printer driver steps aside while we hold the interface.
  libusb_set_auto_detach_kernel_driver(open->handle, 1);
  open->device = libusb_ref_device(device);
  open->site = site;
  open->next = gOpenDevices;
  gOpenDevices = open;
  return open;
}

bool Claim(OpenDevice* open) {
  if (open->claims > 0) return true;
  uint8_t number = open->site.interfaceNumber;
  if (libusb_claim_interface(open->handle, number) != 0) return false;
  if (open->altSetting != 0 &&
      libusb_set_interface_alt_setting(open->handle, number, open->altSetting) != 0) {
    libusb_release_interface(open->handle, number);
    return false;
  }
  return true;
}

}  // namespace

void ReleaseIdleDevices(bool everything) {
  // Everything goes only when the context does: so do the looked-at devices.
  if (everything) ForgetLook();
  OpenDevice** link = &gOpenDevices;
  while (*link != nullptr) {
    OpenDevice* open = *link;
    if (everything || (open->handles == 0 && open->transfers.load() == 0)) {
      *link = open->next;
      Forget(open);
    } else {
      link = &open->next;
    }
  }
}

bool TransfersInFlight() {
  for (OpenDevice* open = gOpenDevices; open != nullptr; open = open->next)
    if (open->transfers.load() != 0) return true;
  return false;
}

BusHandle* FromHandle(Handle handle) {
  if (handle == kNoHandle || handle == 0) return nullptr;
  BusHandle* bus = reinterpret_cast<BusHandle*>(handle);
  return bus->mark == kHandleMark ? bus : nullptr;
}

size_t EnumerateInterface(uint16_t index, char* buffer, size_t size) {
  std::lock_guard<std::mutex> hold(gBusMutex);
  libusb_context* context = BusContext();
  if (context == nullptr) return 0;
  std::vector<UsbSite> sites;
  for (const FoundInterface& found : PresentInterfaces(context)) sites.push_back(found.site);
  if (index >= sites.size()) return 0;
  std::sort(sites.begin(), sites.end(), SiteBefore);
  char path[200];
  size_t needed = FormatPath(sites[index], path, sizeof path);
  if (needed != 0 && buffer != nullptr && size >= needed) std::memcpy(buffer, path, needed);
  return needed;
}

Handle Open(const char* name) {
  UsbSite site;
  NameKind kind = NameKind::Device;
  if (!ParseName(name, &site, &kind)) return kNoHandle;
  std::lock_guard<std::mutex> hold(gBusMutex);
  libusb_context* context = BusContext();
  if (context == nullptr) return kNoHandle;
  // Only what is present now: a record of a printer since unplugged does not
  // prove anything.
  libusb_device* device = FindDevice(context, site);
  if (device == nullptr) return kNoHandle;
  OpenDevice* open = Share(device, site);
  libusb_unref_device(device);
  if (open == nullptr || open->lost.load()) return kNoHandle;
  BusHandle* bus = new (std::nothrow) BusHandle{kHandleMark, kind, open};
  bool usable = bus != nullptr;
  if (usable && kind != NameKind::Device) {
    uint8_t endpoint = kind == NameKind::BulkIn ? open->bulkIn : open->bulkOut;
    usable = endpoint != 0 && Claim(open);
    if (usable) ++open->claims;
  }
  if (!usable) {
    delete bus;
    ReleaseIdleDevices(false);
    return kNoHandle;
  }
  ++open->handles;
  return reinterpret_cast<Handle>(bus);
}

bool StillAttached(Handle handle) {
  BusHandle* bus = FromHandle(handle);
  if (bus == nullptr) return false;
  std::lock_guard<std::mutex> hold(gBusMutex);
  OpenDevice* open = bus->device;
  if (open->lost.load()) return false;
  libusb_context* context = BusContext();
  if (context == nullptr) return false;
  // Whatever sits at the place now must be the very device the handle has:
  // one plugged in again there since is another device.
  libusb_device* device = FindDevice(context, open->site);
  bool same = device == open->device;
  if (device != nullptr) libusb_unref_device(device);
  return same;
}

void Close(Handle handle) {
  BusHandle* bus = FromHandle(handle);
  if (bus == nullptr) return;
  std::lock_guard<std::mutex> hold(gBusMutex);
  OpenDevice* open = bus->device;
  // The last pipe gives the interface back, and with it the kernel driver.
  if (bus->kind != NameKind::Device && --open->claims == 0)
    libusb_release_interface(open->handle, open->site.interfaceNumber);
  --open->handles;
  bus->mark = 0;
  delete bus;
  ReleaseIdleDevices(false);
}

}  // namespace usb
}  // namespace platform
