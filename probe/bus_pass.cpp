// The discovery pass over the bus, by the library's rules: member indexes 0
// to 127, paths that fit 260 characters, the vendor digits at characters 12
// to 15 and the product digits at 21 to 24, and a device that opens.
#include "bus_pass.h"

#include <cstring>

#include "platform/usb_bus.h"

namespace {

constexpr int kMembers = 128;

bool HasModelIds(const char* path) {
  return std::memcmp(path + 12, "7a3d", 4) == 0 && std::memcmp(path + 21, "00b4", 4) == 0;
}

}  // namespace

BusPass PassOverBus() {
  BusPass pass;
  for (int index = 0; index < kMembers; ++index) {
    // Zero-filled, so a short path never matches on stale bytes.
    char path[kPathSize] = {};
    size_t needed = platform::usb::EnumerateInterface(static_cast<uint16_t>(index), nullptr, 0);
    if (needed == 0 || needed > sizeof path) continue;
    size_t got = platform::usb::EnumerateInterface(static_cast<uint16_t>(index), path, needed);
    if (got == 0 || got > needed) continue;
    path[got - 1] = '\0';
    if (!HasModelIds(path)) continue;
    platform::usb::Handle handle = platform::usb::Open(path);
    if (handle == platform::usb::kNoHandle) {
      pass.unopenable.emplace_back(path);
      continue;
    }
    platform::usb::Close(handle);
    pass.listed.emplace_back(path);
  }
  return pass;
}
