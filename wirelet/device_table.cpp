#include "device_table.h"

#include <cstdio>
#include <cstring>

#include "library_state.h"

namespace wirelet {

using platform::usb::Handle;
using platform::usb::kNoHandle;

DeviceTable gDeviceTable;

bool HasModelIds(const char* path) {
  return std::memcmp(path + 12, "7a3d", 4) == 0 && std::memcmp(path + 21, "00b4", 4) == 0;
}

DeviceTable::DeviceTable() {
  for (DeviceEntry& entry : entries_) {
    entry.path[0] = '\0';
    entry.handle = kNoHandle;
  }
}

// The handles recorded in entries were closed by the pass that found them.
DeviceTable::~DeviceTable() {
  for (int slot = 0; slot < kDeviceSlots; ++slot) {
    if (entries_[slot].handle != kNoHandle) ReleaseDevice(slot);
  }
}

int DeviceTable::FindDeviceByIndex(uint16_t index) {
  size_t needed = platform::usb::EnumerateInterface(index, nullptr, 0);
  if (needed == 0 || needed > kPathSize) return -1;
  // The second query is independent of the first: the list may have changed
  // in between, and a longer path is then not this device.
  char path[kPathSize] = {};
  size_t got = platform::usb::EnumerateInterface(index, path, needed);
  if (got == 0 || got > needed) return -1;
  path[got - 1] = '\0';
  return RegisterDevicePath(path);
}

int DeviceTable::RegisterDevicePath(const char* path) {
  if (path == nullptr) return -1;
  size_t length = strnlen(path, kPathSize);
  if (length >= kPathSize) return -1;
  char work[kPathSize] = {};
  std::memcpy(work, path, length);
  if (!HasModelIds(work)) return -1;
  for (int slot = 0; slot < kDeviceSlots; ++slot) {
    if (std::strcmp(entries_[slot].path, work) == 0) return slot;
  }
  Handle handle = platform::usb::Open(work);
  if (handle == kNoHandle) return -1;
  int slot = InsertDevice(work, handle);
  if (slot == -1) {
    platform::usb::Close(handle);
    return -1;
  }
  gLibrary.discoveryHandles[slot] = handle;
  gLibrary.discoveryOpened = 1;
  return slot;
}

int DeviceTable::InsertDevice(const char* path, Handle handle) {
  platform::LockHolder hold(lock_);
  if (handle == kNoHandle) return -1;
  size_t length = strnlen(path, kPathSize);
  if (length >= kPathSize) return -1;
  for (int slot = 0; slot < kDeviceSlots; ++slot) {
    if (entries_[slot].handle == kNoHandle) {
      entries_[slot].handle = handle;
      std::memcpy(entries_[slot].path, path, length);
      entries_[slot].path[length] = '\0';
      return slot;
    }
  }
  return -1;
}

void DeviceTable::ReleaseDevice(int slot) {
  platform::LockHolder hold(lock_);
  (void)slot;
}

Handle DeviceTable::OpenDevicePipe(int slot, uint8_t interfaceNumber, uint8_t pipeNumber) const {
  if (!IsSlotOccupied(slot)) return kNoHandle;
  char name[360];
  std::snprintf(name, sizeof name, "%s\\if%03dpipe%03d", entries_[slot].path,
                static_cast<int>(interfaceNumber), static_cast<int>(pipeNumber));
  return platform::usb::Open(name);
}

int DeviceTable::IsDevicePresent(int slot) const {
  if (!IsSlotOccupied(slot)) return 0;
  Handle handle = platform::usb::Open(entries_[slot].path);
  if (handle == kNoHandle) return 0;
  platform::usb::Close(handle);
  return 1;
}

int DeviceTable::GetDevicePath(int slot, char* buffer) const {
  if (!IsSlotOccupied(slot)) return 0;
  std::memcpy(buffer, entries_[slot].path, std::strlen(entries_[slot].path) + 1);
  return 1;
}

int DeviceTable::IsSlotOccupied(int slot) const {
  if (slot < 0 || slot >= kDeviceSlots) return 0;
  return entries_[slot].handle != kNoHandle ? 1 : 0;
}

}  // namespace wirelet
