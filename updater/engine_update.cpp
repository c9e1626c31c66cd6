// The engine firmware update of one printer: MAIN, DSP and TABLE in turn.
#include "engine_update.h"

#include <cstring>
#include <memory>
#include <new>

#include "device_library.h"
#include "firmware_info.h"
#include "package.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "write_wait.h"

platform::RecursiveLock* writeLock = nullptr;

namespace {

constexpr uint32_t kStartDelayMs = 5000;
constexpr uint32_t kClosingPauseMs = 100;
constexpr uint32_t kTableExtensionMs = 10000;  // for a printer that reports 2306 before MAIN
constexpr StatusCode kStatusTableExtension = 2306;

const uint8_t kPreMainCommand[4] = {0x03, 0xF1, 0x3E, 0xA5};
const uint8_t kFirstClosingCommand[4] = {0x03, 0xF1, 0x3D, 0x00};
const uint8_t kSecondClosingCommand[6] = {0x05, 0xFF, 0xAA, 0x55, 0xCC, 0x33};

// The working state of one printer's sequence.
struct EngineSequence {
  int port;
  StatusCode status;       // written by every library call and wait; shown in the final line
  uint8_t boardSet;
  bool infoFailed;
  bool plainCountDown;     // every wait a countdown instead of polling
  uint32_t tableWaitMs;    // this printer's own TABLE wait, lengthened by the 2306 rule
  int lastCallResult;      // of the latest universal command
};

int UniversalCommand(EngineSequence& seq, const uint8_t* bytes, int length) {
  uint8_t reply[256];
  uint8_t replyLength = 0;
  seq.lastCallResult =
      deviceLibrary.usb_universal_command(seq.port, bytes, length, reply, &replyLength, &seq.status);
  return seq.lastCallResult;
}

// Loads, announces, writes and waits for one target. 0 or -1.
int WriteTarget(EngineSequence& seq, int fileIndex) {
  const FirmwareFileSet& set = updatePackage.boardSets[seq.boardSet];
  const FirmwareFileEntry& entry = set.files[fileIndex];

  std::FILE* file = OpenFirmwareFile(entry.path);
  if (file == nullptr) {
    switch (fileIndex) {
      case kFileMain: platform::Print("Error: MAIN DownLoad file is not found.\n"); break;
      case kFileDsp: platform::Print("Error: DSP DownLoad file is not found.\n"); break;
      default: platform::Print("Error: TABLE DownLoad file is not found.\n"); break;
    }
    return -1;
  }
  const int32_t size = entry.size;
  // A file that was "None" or unreadable at load has no size to allocate.
  std::unique_ptr<uint8_t[]> buffer(size >= 0 ? new (std::nothrow) uint8_t[size > 0 ? size : 1] : nullptr);
  if (!buffer) {
    std::fclose(file);
    switch (fileIndex) {
      case kFileMain: platform::Print("Error: MAIN Memory Full Error.\n"); break;
      case kFileDsp: platform::Print("Error: DSP Memory Full Error.\n"); break;
      default: break;
    }
    return -1;
  }
  if (!ReadFirmwareFile(file, buffer.get(), size)) {
    switch (fileIndex) {
      case kFileMain: platform::Print("Error: MAIN DownLoad file has changed.\n"); break;
      case kFileDsp: platform::Print("Error: DSP DownLoad file has changed.\n"); break;
      default: platform::Print("Error: TABLE DownLoad file has changed.\n"); break;
    }
    return -1;
  }

  if (fileIndex == kFileMain && !seq.infoFailed) {
    deviceLibrary.usb_get_status(seq.port, &seq.status);  // only the code counts
    seq.plainCountDown = seq.status == 0 || seq.status == kStatusTableExtension;
    // Only this printer's TABLE wait grows; the package stays as loaded.
    if (seq.status == kStatusTableExtension) seq.tableWaitMs += kTableExtensionMs;
    UniversalCommand(seq, kPreMainCommand, sizeof kPreMainCommand);
    if (seq.status != 0) {
      platform::Print("usb_universal_command (MAIN) = %d \n", seq.status);
      return -1;
    }
  }

  int target;
  uint8_t kind;
  uint32_t waitMs;
  switch (fileIndex) {
    case kFileMain: target = kTargetMain; kind = kWriteMain; waitMs = set.mainWaitMs; break;
    case kFileDsp: target = kTargetDsp; kind = kWriteDsp; waitMs = set.dspWaitMs; break;
    default: target = kTargetTable; kind = kWriteTable; waitMs = seq.tableWaitMs; break;
  }

  deviceLibrary.usb_target_update(seq.port, target, 0, size, &seq.status);
  if (seq.status != 0) {
    switch (fileIndex) {
      case kFileMain: platform::Print("usb_target_update (MAIN) = %d \n", seq.status); break;
      case kFileDsp: platform::Print("usb_target_update (DSP) = %d \n", seq.status); break;
      default: platform::Print("usb_target_update (TABLE) = %d \n", seq.status); break;
    }
    return -1;
  }
  switch (fileIndex) {
    case kFileMain: platform::Print("Downloading MAIN file... [%s]\n", entry.name); break;
    case kFileDsp: platform::Print("Downloading DSP file... [%s]\n", entry.name); break;
    default: platform::Print("Downloading TABLE file... [%s]\n", entry.name); break;
  }

  {
    // One image on the bus at a time; the other printers meanwhile poll,
    // announce and count down.
    platform::LockHolder hold(*writeLock);
    deviceLibrary.usb_write_data(seq.port, buffer.get(), size, &seq.status);
  }
  if (seq.status != 0) {
    switch (fileIndex) {
      case kFileMain: platform::Print("usb_write_data (MAIN) = %d \n", seq.status); break;
      case kFileDsp: platform::Print("usb_write_data (DSP) = %d \n", seq.status); break;
      default: platform::Print("usb_write_data (TABLE) = %d \n", seq.status); break;
    }
    return -1;
  }
  buffer.reset();

  if (seq.plainCountDown) {
    CountDown(kind, seq.port, waitMs, seq.status);
    return 0;
  }
  // Time running out while the printer is still busy is not a failure.
  return WaitWriteComplete(kind, seq.port, waitMs, seq.status) == kStatusFailed ? -1 : 0;
}

// Everything between opening and closing the port. 0 or -1.
int RunSequence(EngineSequence& seq) {
  if (CheckPrinterStatus(seq.port, seq.status) != kStatusReady) {
    platform::Print("Check status NG (%d)... #printer %.2d                          \n\n", seq.status, seq.port);
    return -1;
  }

  uint8_t record[kFirmwareInfoBufferSize];
  std::memset(record, 0, sizeof record);
  if (deviceLibrary.usb_get_firmware_info(seq.port, record, &seq.status) == 1) {
    seq.boardSet = BoardSetOfRecord(record);
    if (!KnownProgramVersion(record)) {
      platform::Print("#printer %.2d Printer Program Version Error...              \n\n", seq.port);
      return -1;
    }
  } else {
    platform::Print("usb_get_firmware_info = %d \n", seq.status);
    seq.boardSet = updatePackage.fallbackBoardSet == kNewBoardSet ? kNewBoardSet : kOldBoardSet;
    seq.infoFailed = true;
    seq.plainCountDown = true;
  }
  seq.tableWaitMs = updatePackage.boardSets[seq.boardSet].tableWaitMs;

  for (int fileIndex : {kFileMain, kFileDsp, kFileTable})
    if (WriteTarget(seq, fileIndex) != 0) return -1;

  if (UniversalCommand(seq, kFirstClosingCommand, sizeof kFirstClosingCommand) == 1) {
    platform::SleepMs(kClosingPauseMs);
    UniversalCommand(seq, kSecondClosingCommand, sizeof kSecondClosingCommand);
  }
  return seq.lastCallResult == 0 ? -1 : 0;
}

}  // namespace

int UpdateEngineFirmware(int port) {
  platform::SleepMs(kStartDelayMs);
  EngineSequence seq{};
  seq.port = port;
  seq.status = deviceLibrary.usb_open_port(port);
  if (seq.status != 0) {
    platform::Print("usb_open_port = %d \n", seq.status);
    return 0;
  }
  int result = RunSequence(seq);
  deviceLibrary.usb_close_port(port);
  if (result == 0)
    platform::Print("Firmware download complete... #printer %.2d                             \n\n", port);
  else
    platform::Print("Firmware download failed (%d)... #printer %.2d                          \n\n", seq.status,
                    port);
  return result;
}
