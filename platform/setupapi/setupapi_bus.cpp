// The setupapi bus: real printers on Windows, found through the Setup API as
// interfaces of the USB printer class and driven through the class driver,
// which opens a bulk pipe by the device path with "\ifNNNpipeNNN" appended.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {
namespace {

// GUID_DEVINTERFACE_USBPRINT, the interface class of the USB printer class driver.
const GUID kUsbPrintInterface = {
    0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

// The Setup API checks these size fields against the record layouts of the
// caller's architecture (packed on 32-bit x86, 8-byte aligned on x86_64), so
// they come from the structures themselves.
constexpr DWORD kInterfaceRecordSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD kDetailRecordSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
static_assert(kInterfaceRecordSize == (sizeof(void*) == 4 ? 28 : 32),
              "interface record of the Setup API");
static_assert(kDetailRecordSize == (sizeof(void*) == 4 ? 5 : 8),
              "detail record of the Setup API");

// A detail record larger than this is no device path we could use.
constexpr DWORD kMaxDetailSize = 64 * 1024;

HANDLE AsHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

bool Usable(Handle handle) { return handle != kNoHandle && handle != 0; }

}  // namespace

size_t EnumerateInterface(uint16_t index, char* buffer, size_t size) {
  size_t result = 0;
  // Built anew on every call: the set of present printers changes under us.
  HDEVINFO set = SetupDiGetClassDevsA(&kUsbPrintInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;

  SP_DEVICE_INTERFACE_DATA record;
  std::memset(&record, 0, sizeof record);
  record.cbSize = kInterfaceRecordSize;
  DWORD required = 0;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterface, index, &record) &&
      !SetupDiGetDeviceInterfaceDetailA(set, &record, nullptr, 0, &required, nullptr) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER && required > kDetailRecordSize &&
      required <= kMaxDetailSize) {
    // One byte more than asked for, zeroed, so the path always ends inside
    // the allocation whatever the call wrote.
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, required + 1));
    if (detail != nullptr) {
      detail->cbSize = kDetailRecordSize;
      if (SetupDiGetDeviceInterfaceDetailA(set, &record, detail, required, &required, nullptr)) {
        const size_t room = required + 1 - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const size_t length = strnlen(detail->DevicePath, room);
        if (length > 0 && length < room) {
          result = length + 1;
          if (buffer != nullptr && size >= result) std::memcpy(buffer, detail->DevicePath, result);
        }
      }
      std::free(detail);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

Handle Open(const char* name) {
  if (name == nullptr || name[0] == '\0') return kNoHandle;
  // Not overlapped: transfers block in ReadFile/WriteFile on the worker
  // thread, and an abort cancels them there.
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kNoHandle;
  return reinterpret_cast<Handle>(handle);
}

void Close(Handle handle) {
  if (Usable(handle)) CloseHandle(AsHandle(handle));
}

// A handle of a device that went fails its next transfer; the path test is
// all the presence check has here.
bool StillAttached(Handle handle) { return Usable(handle); }

void CloseBus() {}

bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received, TransferAbort* abort) {
  if (received != nullptr) *received = 0;
  if (!Usable(handle) || (buffer == nullptr && size != 0)) return false;
  // An abort that came before the worker got here; one that comes while it
  // is inside ReadFile cancels the call (TransferAbort retries until then).
  if (abort != nullptr && abort->Aborted()) return false;
  DWORD got = 0;
  if (!ReadFile(AsHandle(handle), buffer, size, &got, nullptr)) return false;
  if (got > size) return false;
  if (received != nullptr) *received = got;
  return true;
}

bool Write(Handle handle, const void* data, uint32_t size, uint32_t* written,
           TransferAbort* abort) {
  if (written != nullptr) *written = 0;
  if (!Usable(handle) || (data == nullptr && size != 0)) return false;
  if (abort != nullptr && abort->Aborted()) return false;
  // A zero-length write would reach the printer as an empty packet.
  if (size == 0) return true;
  DWORD moved = 0;
  if (!WriteFile(AsHandle(handle), data, size, &moved, nullptr)) return false;
  if (moved > size) return false;
  if (written != nullptr) *written = moved;
  return true;
}

}  // namespace usb
}  // namespace platform
