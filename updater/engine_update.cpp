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

// The three engine targets, in the order they are written. Their lines name
// them by label ("Error: MAIN DownLoad file is not found.\n").
struct EngineTarget {
  const char* label;
  int fileIndex;                     // in FirmwareFileSet::files
  int number;                        // target number of the announcement
  uint8_t kind;                      // selects the countdown line
  uint32_t FirmwareFileSet::*waitMs;
  bool hasMemoryLine;                // TABLE fails an allocation silently
};

const EngineTarget kEngineTargets[] = {
    {"MAIN", kFileMain, kTargetMain, kWriteMain, &FirmwareFileSet::mainWaitMs, true},
    {"DSP", kFileDsp, kTargetDsp, kWriteDsp, &FirmwareFileSet::dspWaitMs, true},
    {"TABLE", kFileTable, kTargetTable, kWriteTable, &FirmwareFileSet::tableWaitMs, false},
};

// The working state of one printer's sequence.
struct EngineSequence {
  int port;
  StatusCode status;       // written by every library call and wait; shown in the final line
  uint8_t boardSet;
  bool infoFailed;
  bool plainCountDown;     // every wait a countdown instead of polling
  FirmwareFileSet set;     // this printer's copy: the 2306 rule lengthens its TABLE wait only
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
int WriteTarget(EngineSequence& seq, const EngineTarget& target) {
  const FirmwareFileEntry& entry = seq.set.files[target.fileIndex];

  std::FILE* file = OpenFirmwareFile(entry.path);
  if (file == nullptr) {
    platform::Print("Error: %s DownLoad file is not found.\n", target.label);
    return -1;
  }
  const int32_t size = entry.size;
  // An empty image would be announced and "stored" without a byte sent.
  if (size == 0) {
    std::fclose(file);
    platform::Print("Error: %s DownLoad file is too short.\n", target.label);
    return -1;
  }
  // A file that was "None" or unreadable at load has no size to allocate.
  std::unique_ptr<uint8_t[]> buffer(size > 0 ? new (std::nothrow) uint8_t[size] : nullptr);
  if (!buffer) {
    std::fclose(file);
    if (target.hasMemoryLine) platform::Print("Error: %s Memory Full Error.\n", target.label);
    return -1;
  }
  if (!ReadFirmwareFile(file, buffer.get(), size)) {
    platform::Print("Error: %s DownLoad file has changed.\n", target.label);
    return -1;
  }

  if (target.number == kTargetMain && !seq.infoFailed) {
    deviceLibrary.usb_get_status(seq.port, &seq.status);  // only the code counts
    seq.plainCountDown = seq.status == 0 || seq.status == kStatusTableExtension;
    // Only this printer's TABLE wait grows; the package stays as loaded.
    if (seq.status == kStatusTableExtension) seq.set.tableWaitMs += kTableExtensionMs;
    UniversalCommand(seq, kPreMainCommand, sizeof kPreMainCommand);
    if (seq.status != 0) {
      platform::Print("usb_universal_command (MAIN) = %d \n", seq.status);
      return -1;
    }
  }

  deviceLibrary.usb_target_update(seq.port, target.number, 0, size, &seq.status);
  if (seq.status != 0) {
    platform::Print("usb_target_update (%s) = %d \n", target.label, seq.status);
    return -1;
  }
  platform::Print("Downloading %s file... [%s]\n", target.label, entry.name);

  {
    // One image on the bus at a time; the other printers meanwhile poll,
    // announce and count down.
    platform::LockHolder hold(*writeLock);
    deviceLibrary.usb_write_data(seq.port, buffer.get(), size, &seq.status);
  }
  if (seq.status != 0) {
    platform::Print("usb_write_data (%s) = %d \n", target.label, seq.status);
    return -1;
  }
  buffer.reset();

  const uint32_t waitMs = seq.set.*target.waitMs;
  if (seq.plainCountDown) {
    CountDown(target.kind, seq.port, waitMs, seq.status);
    return 0;
  }
  // Time running out while the printer is still busy is not a failure.
  return WaitWriteComplete(target.kind, seq.port, waitMs, seq.status) == kStatusFailed ? -1 : 0;
}

// Everything between opening and closing the port. 0 or -1.
int RunSequence(EngineSequence& seq) {
  if (CheckPrinterStatus(seq.port, seq.status) != kStatusReady) {
    platform::Print("Check status NG (%d)... #printer %.2d                          \n\n", seq.status, seq.port);
    return -1;
  }

  switch (ChooseBoardSet(seq.port, seq.status, seq.boardSet)) {
    case FirmwareInfo::kUnknownProgram:
      return -1;
    case FirmwareInfo::kUnreadable:
      seq.infoFailed = true;
      seq.plainCountDown = true;
      break;
    case FirmwareInfo::kRead:
      break;
  }
  seq.set = updatePackage.boardSets[seq.boardSet];

  for (const EngineTarget& target : kEngineTargets)
    if (WriteTarget(seq, target) != 0) return -1;

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
    return 1;
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
