#include "bridge.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace usbbridge {
namespace {

constexpr char kControllerPath[] = "/sys/devices/pci0000:00/0000:00:14.0";
constexpr int kHubPort = 4;  // root ports before it hold printers directly
constexpr uint8_t kHubClass = 9;

}  // namespace

Bridge::Bridge(BridgeOptions options) : options_(std::move(options)) {}

Bridge::~Bridge() {
  for (auto& device : devices_) device->Stop();
  platform::usb::CloseChangeSource(changes_);
  if (testbed_ != nullptr) g_object_unref(testbed_);
}

std::string Bridge::Root() const {
  if (testbed_ == nullptr) return "";
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  std::string text = root;
  g_free(root);
  return text;
}

// Printer places 1..3 are root ports, place 4 on is port place-3 of the hub.
std::string Bridge::PortName(int place) const {
  std::string bus = std::to_string(options_.bus);
  if (place < kHubPort) return bus + "-" + std::to_string(place);
  return bus + "-" + std::to_string(kHubPort) + "." + std::to_string(place - kHubPort + 1);
}

std::string Bridge::ParentOf(int place) const { return place < kHubPort ? rootHub_ : hub_; }

UsbfsDevice* Bridge::Add(DeviceSetup setup, const std::string& name, const std::string& parent,
                         std::string* error) {
  auto device = std::make_unique<UsbfsDevice>(std::move(setup), options_.bus, nextDevnum_++,
                                              name, parent);
  if (!device->Plug(testbed_, error)) return nullptr;
  devices_.push_back(std::move(device));
  return devices_.back().get();
}

bool Bridge::Start(std::string* error) {
  if (access("q7730-sim.port", R_OK) != 0) {
    *error = "no simulator serves this directory (no q7730-sim.port)";
    return false;
  }
  testbed_ = umockdev_testbed_new();
  std::string bus = std::to_string(options_.bus);
  DeviceSetup root{"", 0x1d6b, 0x0002, kHubClass, "0000:00:14.0"};
  UsbfsDevice* hub = Add(root, "usb" + bus, kControllerPath, error);
  if (hub == nullptr) return false;
  rootHub_ = hub->Syspath();
  DeviceSetup second{"", 0x05e3, 0x0608, kHubClass, ""};
  hub = Add(second, bus + "-" + std::to_string(kHubPort), rootHub_, error);
  if (hub == nullptr) return false;
  hub_ = hub->Syspath();
  changes_ = platform::usb::OpenChangeSource();
  Sync();
  for (const auto& ids : options_.others) {
    int place = nextPlace_++;
    DeviceSetup other{"", ids.first, ids.second, 0xff, "OTHER" + std::to_string(place)};
    if (Add(other, PortName(place), ParentOf(place), error) == nullptr) return false;
  }
  return true;
}

void Bridge::Poll() {
  bool changed = false;
  while (platform::usb::TakeChange(changes_)) changed = true;
  for (auto& device : devices_)
    if (device->Attached() && device->Gone()) changed = true;
  if (changed) Sync();
}

void Bridge::Sync() {
  std::vector<std::string> present;
  char path[4200];
  for (uint16_t index = 0;; ++index) {
    if (platform::usb::EnumerateInterface(index, path, sizeof path) == 0) break;
    present.emplace_back(path);
  }
  for (auto& device : devices_) {
    const std::string& simPath = device->Setup().simPath;
    if (!device->Attached() || simPath.empty()) continue;
    if (device->Gone() || std::find(present.begin(), present.end(), simPath) == present.end())
      device->Unplug(testbed_);
  }
  for (const std::string& simPath : present) {
    bool attached = std::any_of(devices_.begin(), devices_.end(), [&](const auto& device) {
      return device->Attached() && device->Setup().simPath == simPath;
    });
    if (attached) continue;
    auto known = placeOfPath_.find(simPath);
    int place = known != placeOfPath_.end() ? known->second : nextPlace_++;
    placeOfPath_[simPath] = place;
    char serial[32];
    std::snprintf(serial, sizeof serial, "Q7730SIM%04d", place);
    DeviceSetup setup{simPath, usbdev::PathIdAt(simPath, 12), usbdev::PathIdAt(simPath, 21), 7,
                      options_.serial.empty() ? serial : options_.serial, options_.lateDiscardMs};
    std::string error;
    if (Add(setup, PortName(place), ParentOf(place), &error) == nullptr)
      std::fprintf(stderr, "q7730-usb-bridge: %s\n", error.c_str());
  }
}

}  // namespace usbbridge
