// Binding the device library by name and enumerating the printers.
#include "device_library.h"

#include <cstring>

#include "package.h"
#include "platform/filesystem.h"

DeviceLibrary deviceLibrary;
PortTable portTable;

namespace {

constexpr char kLibraryFile[] = "wirelet.dll";

// The loaded flag and every entry point to zero; the module is left alone.
void ClearEntryPoints(DeviceLibrary& library) {
  platform::LibraryHandle module = library.module;
  library = DeviceLibrary{};
  library.module = module;
}

// Stores the symbol's address in slot; false when it is not exported.
template <typename Fn>
bool Resolve(platform::LibraryHandle module, const char* name, Fn& slot) {
  void* address = platform::FindSymbol(module, name);
  if (address == nullptr) return false;
  slot = reinterpret_cast<Fn>(address);
  return true;
}

bool ResolveAll(DeviceLibrary& library) {
  platform::LibraryHandle m = library.module;
  // In this order, stopping at the first name that is missing.
  return Resolve(m, "usb_find_first", library.usb_find_first) &&
         Resolve(m, "usb_find_next", library.usb_find_next) &&
         Resolve(m, "usb_open_port", library.usb_open_port) &&
         Resolve(m, "usb_close_port", library.usb_close_port) &&
         Resolve(m, "usb_command_send", library.usb_command_send) &&
         Resolve(m, "usb_command_recv", library.usb_command_recv) &&
         Resolve(m, "usb_command_data", library.usb_command_data) &&
         Resolve(m, "usb_get_id", library.usb_get_id) &&
         Resolve(m, "usb_get_status", library.usb_get_status) &&
         Resolve(m, "usb_write_data", library.usb_write_data) &&
         Resolve(m, "usb_get_firmware_info", library.usb_get_firmware_info) &&
         Resolve(m, "usb_target_update", library.usb_target_update) &&
         Resolve(m, "usb_universal_command", library.usb_universal_command);
}

}  // namespace

int BindDeviceLibrary() {
  if (deviceLibrary.loaded == 1) return 1;
  ClearEntryPoints(deviceLibrary);

  // Only the current directory: never the program's own directory or a
  // system search path.
  char directory[kPathSize];
  size_t length = platform::CurrentDirectory(directory, sizeof directory);
  if (length == 0 || length + 1 + sizeof kLibraryFile > sizeof directory) return 0;
  char path[kPathSize];
  std::memcpy(path, directory, length);
  path[length] = platform::PathSeparator();
  std::memcpy(path + length + 1, kLibraryFile, sizeof kLibraryFile);

  deviceLibrary.module = platform::LoadSharedLibrary(path);
  if (deviceLibrary.module == nullptr) return 0;

  if (ResolveAll(deviceLibrary)) {
    deviceLibrary.loaded = 1;
    return 1;
  }
  // All or nothing: a partial table is never used.
  ClearEntryPoints(deviceLibrary);
  platform::UnloadSharedLibrary(deviceLibrary.module);
  deviceLibrary.module = nullptr;
  return 0;
}

void UnbindDeviceLibrary() {
  if (deviceLibrary.loaded == 0) return;
  ClearEntryPoints(deviceLibrary);
  if (deviceLibrary.module != nullptr) {
    platform::UnloadSharedLibrary(deviceLibrary.module);
    deviceLibrary.module = nullptr;
  }
}

int EnumeratePrinters(PortTable& table) {
  int first = deviceLibrary.usb_find_first();
  if (first == 0) return -1;
  table[0] = first;
  int count = 1;
  while (count < kPortTableSize) {
    int next = deviceLibrary.usb_find_next();
    if (next == 0) break;
    table[count++] = next;
  }
  return count;
}
