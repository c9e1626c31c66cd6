// The device library wirelet, loaded at run time from "wirelet.dll" in the
// current directory, and the port numbers of the printers it found.
#pragma once
#include <cstdint>

#include "platform/shared_library.h"
#include "wirelet.h"

struct DeviceLibrary {
  platform::LibraryHandle module;  // null when not loaded
  int32_t loaded;                  // 1 only when loaded and all 13 entry points resolved
  UsbFindFirstFn usb_find_first;
  UsbFindNextFn usb_find_next;
  UsbOpenPortFn usb_open_port;
  UsbClosePortFn usb_close_port;
  UsbCommandSendFn usb_command_send;
  UsbCommandRecvFn usb_command_recv;
  UsbCommandDataFn usb_command_data;
  UsbGetIdFn usb_get_id;
  UsbGetStatusFn usb_get_status;
  UsbWriteDataFn usb_write_data;
  UsbGetFirmwareInfoFn usb_get_firmware_info;
  UsbTargetUpdateFn usb_target_update;
  UsbUniversalCommandFn usb_universal_command;
};

constexpr int kPortTableSize = 10;  // printers handled in one run
using PortTable = int32_t[kPortTableSize];

// Shared by the main thread and the engine workers; changed only while no
// worker runs.
extern DeviceLibrary deviceLibrary;
extern PortTable portTable;

// 1: the library is loaded with all 13 entry points (also when it already
// was). 0: missing, not loadable or incomplete; nothing stays loaded.
int BindDeviceLibrary();

// Releases the library, if bound.
void UnbindDeviceLibrary();

// Fills table with the port numbers of the printers found, in the library's
// order. Returns their number (1 to 10), or -1 when there is none (the table
// is then unchanged).
int EnumeratePrinters(PortTable& table);
