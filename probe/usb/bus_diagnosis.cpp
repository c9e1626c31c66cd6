// The libusb bus on Linux: why a printer that is on the bus could not be
// opened (most often a missing udev rule), and whether another program has
// claimed its interface. Asks the system only; no interface is claimed and
// nothing is sent.
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bus_pass.h"
#include "usb_path.h"

namespace {

using platform::usb::NameKind;
using platform::usb::UsbSite;

constexpr uint16_t kModelVendor = 0x7a3d;
constexpr uint16_t kModelProduct = 0x00b4;
constexpr uint8_t kPrinterClass = 7;
// The name the kernel gives an interface that a program claimed.
constexpr char kClaimedByProgram[] = "usbfs";
// libusb's answer in the operator's words.
constexpr char kPermissionDenied[] = "permission denied";

const struct {
  int error;
  const char* text;
} kOpenProblems[] = {
    {LIBUSB_ERROR_ACCESS, kPermissionDenied},
    {LIBUSB_ERROR_NO_DEVICE, "it has gone from the bus"},
    {LIBUSB_ERROR_BUSY, "the system reports it busy"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "this system cannot open it"},
    {LIBUSB_ERROR_NO_MEM, "out of memory"},
};

constexpr char kUdevAdvice[] =
    "Without the udev rule only root may open the printers: install the package (or copy "
    "packaging/70-zem-q7730.rules to /etc/udev/rules.d/), then unplug each printer and plug it "
    "in again. See the README, \"A printer that is not found\".";

// One look at the USB devices, in a context of our own.
class UsbList {
 public:
  UsbList() {
    if (libusb_init(&context_) != 0) {
      context_ = nullptr;
      return;
    }
    ssize_t count = libusb_get_device_list(context_, &devices_);
    count_ = count > 0 ? static_cast<size_t>(count) : 0;
  }
  ~UsbList() {
    if (devices_ != nullptr) libusb_free_device_list(devices_, 1);
    if (context_ != nullptr) libusb_exit(context_);
  }
  UsbList(const UsbList&) = delete;
  UsbList& operator=(const UsbList&) = delete;

  bool Ready() const { return context_ != nullptr; }
  size_t Count() const { return count_; }
  libusb_device* At(size_t i) const { return devices_[i]; }

 private:
  libusb_context* context_ = nullptr;
  libusb_device** devices_ = nullptr;
  size_t count_ = 0;
};

// The place and ids of a device; false for a root hub.
bool SiteOf(libusb_device* device, UsbSite* site) {
  int ports = libusb_get_port_numbers(device, site->ports, platform::usb::kMaxPorts);
  libusb_device_descriptor descriptor;
  if (ports <= 0 || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  site->portCount = static_cast<uint8_t>(ports);
  site->bus = libusb_get_bus_number(device);
  site->vendor = descriptor.idVendor;
  site->product = descriptor.idProduct;
  return true;
}

bool IsModel(const UsbSite& site) { return site.vendor == kModelVendor && site.product == kModelProduct; }

bool HasPrinterInterface(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i)
    for (int a = 0; a < config->interface[i].num_altsetting && !found; ++a)
      found = config->interface[i].altsetting[a].bInterfaceClass == kPrinterClass;
  libusb_free_config_descriptor(config);
  return found;
}

// The present device that a printer path names; null when there is none.
libusb_device* DeviceOf(const UsbList& list, const std::string& path, UsbSite* site) {
  NameKind kind;
  if (!platform::usb::ParseName(path.c_str(), site, &kind)) return nullptr;
  for (size_t i = 0; i < list.Count(); ++i) {
    UsbSite candidate;
    if (SiteOf(list.At(i), &candidate) && platform::usb::SamePlace(candidate, *site) &&
        candidate.vendor == site->vendor && candidate.product == site->product)
      return list.At(i);
  }
  return nullptr;
}

std::string NodeOf(libusb_device* device) {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                libusb_get_device_address(device));
  return node;
}

std::string WhyNotOpened(libusb_device* device) {
  libusb_device_handle* handle = nullptr;
  int error = libusb_open(device, &handle);
  if (error == 0) {
    libusb_close(handle);
    return "it opens now; try again";
  }
  for (const auto& problem : kOpenProblems)
    if (problem.error == error) return problem.text;
  return std::string("libusb reports ") + libusb_error_name(error);
}

}  // namespace

void DiagnoseBus(const BusPass& pass, std::vector<BusNote>& notes, std::string& advice) {
  UsbList list;
  if (!list.Ready()) {
    if (pass.listed.empty()) notes.push_back({"", "", "libusb cannot start here (no USB on this system?)"});
    return;
  }
  bool denied = false;
  for (const std::string& path : pass.unopenable) {
    UsbSite site;
    libusb_device* device = DeviceOf(list, path, &site);
    std::string problem = device != nullptr ? WhyNotOpened(device) : "it has gone from the bus";
    denied = denied || problem == kPermissionDenied;
    notes.push_back({path, device != nullptr ? NodeOf(device) : "", "cannot be opened: " + problem});
  }
  // The library looks at printer interfaces only.
  for (size_t i = 0; i < list.Count(); ++i) {
    UsbSite site;
    if (SiteOf(list.At(i), &site) && IsModel(site) && !HasPrinterInterface(list.At(i)))
      notes.push_back({"", NodeOf(list.At(i)), "has the printer's ids but no printer interface"});
  }
  if (denied) advice = kUdevAdvice;
}

bool HeldElsewhere(const std::string& path) {
  UsbList list;
  UsbSite site;
  libusb_device* device = list.Ready() ? DeviceOf(list, path, &site) : nullptr;
  if (device == nullptr) return false;
  // Which driver has the interface, as lsusb -t shows it: asking claims
  // nothing, so an update that holds the printer is not disturbed.
  int fd = open(NodeOf(device).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  usbdevfs_getdriver driver;
  std::memset(&driver, 0, sizeof driver);
  driver.interface = site.interfaceNumber;
  bool held = ioctl(fd, USBDEVFS_GETDRIVER, &driver) == 0 &&
              std::strncmp(driver.driver, kClaimedByProgram, sizeof driver.driver) == 0;
  close(fd);
  return held;
}

// One program at a time may claim a printer interface.
bool ClaimsAreExclusive() { return true; }
