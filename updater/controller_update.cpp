// The controller (USB) firmware update of one printer, on the main thread.
#include "controller_update.h"

#include <cstring>
#include <memory>
#include <new>

#include "device_library.h"
#include "firmware_info.h"
#include "package.h"
#include "platform/console.h"
#include "write_wait.h"

namespace {

constexpr int kBlockSize = 4096;
constexpr int32_t kTrailerSize = 64;
// The announce request carries the size in 16 bits.
constexpr int32_t kLargestImage = 65535;

// Gives up on an image that cannot be sent, before anything is announced.
int Refuse(std::FILE* file, const char* line) {
  std::fclose(file);
  platform::Print("%s", line);
  return -1;
}

// Everything between opening and closing the port. status is the sequence's
// status word; the final line reports what it holds when this returns.
int SendControllerImage(int port, StatusCode& status) {
  uint8_t boardSet;
  if (ChooseBoardSet(port, status, boardSet) == FirmwareInfo::kUnknownProgram) return -1;
  const FirmwareFileSet& set = updatePackage.boardSets[boardSet];
  const FirmwareFileEntry& entry = set.files[kFileUsb];

  std::FILE* file = OpenFirmwareFile(entry.path);
  if (file == nullptr) {
    platform::Print("Error: USB DownLoad file is not found.\n");
    return -1;
  }
  const int32_t size = entry.size;
  // A file that was "None" or unreadable at load has no size to allocate.
  if (size < 0) return Refuse(file, "Error: USB Memory Full Error 1.\n");
  // The trailer must exist to be moved to the front.
  if (size < kTrailerSize) return Refuse(file, "Error: USB DownLoad file is too short.\n");
  if (size > kLargestImage) return Refuse(file, "Error: USB DownLoad file is too large.\n");
  std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[size]);
  if (!image) return Refuse(file, "Error: USB Memory Full Error 1.\n");
  std::unique_ptr<uint8_t[]> transfer(new (std::nothrow) uint8_t[size]);
  if (!transfer) return Refuse(file, "Error: USB Memory Full Error 2.\n");
  if (!ReadFirmwareFile(file, image.get(), size)) {
    platform::Print("Error: USB DownLoad file has changed.\n");
    return -1;
  }

  // The printer takes the image's last 64 bytes first.
  std::memcpy(transfer.get(), image.get() + (size - kTrailerSize), kTrailerSize);
  std::memcpy(transfer.get() + kTrailerSize, image.get(), static_cast<size_t>(size - kTrailerSize));
  image.reset();

  deviceLibrary.usb_target_update(port, kTargetController, 0, size, &status);
  if (status != 0) {
    platform::Print("usb_target_update (USB) = %d \n", status);
    return -1;
  }
  platform::Print("Downloading USB file... [%s]\n", entry.name);

  long sent = 0;
  for (int32_t offset = 0; offset < size; offset += kBlockSize) {
    int32_t length = size - offset < kBlockSize ? size - offset : kBlockSize;
    deviceLibrary.usb_write_data(port, transfer.get() + offset, length, &status);
    if (status != 0) {
      platform::Print("usb_write_data (USB) = %d \n", status);
      return -1;
    }
    sent += length;
    platform::Print("Sent %12ld byte(s) \r", sent);
  }
  platform::Print("\n");

  // After a controller write the printer is given the configured time and
  // not asked for its status.
  CountDown(kWriteUsb, port, set.usbWaitMs, status);
  return 0;
}

}  // namespace

int UpdateControllerFirmware(int port) {
  StatusCode status = deviceLibrary.usb_open_port(port);
  if (status != 0) {
    platform::Print("usb_open_port = %d \n", status);
    return 1;
  }
  int result = SendControllerImage(port, status);
  deviceLibrary.usb_close_port(port);
  if (result == 0)
    platform::Print("USB Firmware download complete... #printer %.2d                             \n\n", port);
  else
    platform::Print("USB Firmware download failed (%d)... #printer %.2d                          \n\n", status,
                    port);
  return result;
}
