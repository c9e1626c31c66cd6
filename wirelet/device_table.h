// The process-wide table of accepted printers, and discovery through the bus.
// A device slot is the index of a table entry; entries are never freed while
// the library is loaded, so a path found again keeps its slot.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/lock.h"
#include "platform/usb_bus.h"

namespace wirelet {

constexpr int kDeviceSlots = 128;
constexpr size_t kPathSize = 260;  // 259 characters and the NUL

struct DeviceEntry {
  char path[kPathSize];           // empty while never used
  platform::usb::Handle handle;   // kNoHandle marks a free entry
};

// True when the vendor id "7a3d" stands at characters 12..15 and the product
// id "00b4" at 21..24 of a buffer of at least kPathSize characters.
bool HasModelIds(const char* path);

class DeviceTable {
 public:
  DeviceTable();
  ~DeviceTable();
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Device slot of the index-th present printer interface of the model,
  // registering (and opening) it when new; -1 otherwise.
  int FindDeviceByIndex(uint16_t index);
  // Device slot of a path of the model; a new path is opened and inserted,
  // its handle recorded for the discovery pass to close. -1 when the path is
  // not of the model, too long, cannot be opened, or the table is full.
  int RegisterDevicePath(const char* path);
  // Lowest free slot for path and handle, or -1 (table full, or no handle).
  int InsertDevice(const char* path, platform::usb::Handle handle);
  // Entries stay registered; this only marks the end of a claim.
  void ReleaseDevice(int slot);
  // kNoHandle for a free slot, without an open attempt. Numbers are 8-bit.
  platform::usb::Handle OpenDevicePipe(int slot, uint8_t interfaceNumber,
                                       uint8_t pipeNumber) const;
  // 1 when the slot is occupied and its path can be opened now.
  int IsDevicePresent(int slot) const;
  // 1 and the path with its NUL copied (buffer of at least kPathSize), or 0.
  int GetDevicePath(int slot, char* buffer) const;
  int IsSlotOccupied(int slot) const;

 private:
  DeviceEntry entries_[kDeviceSlots];
  platform::RecursiveLock lock_;  // the table lock: insertion and release
};

extern DeviceTable gDeviceTable;

}  // namespace wirelet
