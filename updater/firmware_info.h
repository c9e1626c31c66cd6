// The printer's firmware-information record: which board set a printer gets
// and whether its program is one the update accepts.
#pragma once
#include <cstdint>

#include "wirelet.h"

constexpr int kFirmwareInfoBufferSize = 300;

// Board set of a printer whose record could be read: the new board answers
// "E0208000" for component 1.
uint8_t BoardSetOfRecord(const uint8_t* record);

// True when component 2 (the printer program) is one of the known versions.
bool KnownProgramVersion(const uint8_t* record);

enum class FirmwareInfo {
  kRead,            // boardSet from the record; the program version is known
  kUnreadable,      // "usb_get_firmware_info = %d \n" printed; boardSet is the package's fallback
  kUnknownProgram,  // the version error line printed; the printer must not be updated
};

// Reads the firmware information of an open port into a zeroed record and
// chooses the printer's board set. status is the sequence's status word,
// left as usb_get_firmware_info wrote it.
FirmwareInfo ChooseBoardSet(int port, StatusCode& status, uint8_t& boardSet);
