// Reading the firmware-information record: a count byte, then seven 38-byte
// entries, each beginning with an 8-byte version text without terminator.
#include "firmware_info.h"

#include <cstring>

#include "device_library.h"
#include "package.h"
#include "platform/console.h"

namespace {
constexpr int kEntrySize = 38;
constexpr int kVersionSize = 8;
const uint8_t* Version(const uint8_t* record, int component) {
  return record + 1 + (component - 1) * kEntrySize;
}
}  // namespace

uint8_t BoardSetOfRecord(const uint8_t* record) {
  return std::memcmp(Version(record, 1), "E0208000", kVersionSize) == 0 ? kNewBoardSet : kOldBoardSet;
}

bool KnownProgramVersion(const uint8_t* record) {
  const uint8_t* version = Version(record, 2);
  return std::memcmp(version, "E0191400", kVersionSize) == 0 ||
         std::memcmp(version, "E0211600", kVersionSize) == 0;
}

FirmwareInfo ChooseBoardSet(int port, StatusCode& status, uint8_t& boardSet) {
  uint8_t record[kFirmwareInfoBufferSize];
  std::memset(record, 0, sizeof record);
  if (deviceLibrary.usb_get_firmware_info(port, record, &status) != 1) {
    platform::Print("usb_get_firmware_info = %d \n", status);
    boardSet = updatePackage.fallbackBoardSet == kNewBoardSet ? kNewBoardSet : kOldBoardSet;
    return FirmwareInfo::kUnreadable;
  }
  boardSet = BoardSetOfRecord(record);
  if (!KnownProgramVersion(record)) {
    platform::Print("#printer %.2d Printer Program Version Error...              \n\n", port);
    return FirmwareInfo::kUnknownProgram;
  }
  return FirmwareInfo::kRead;
}
