// q7730-probe: every printer of a discovery pass, its firmware, and what the
// updater would make of it and of a package, found out without changing a
// printer. It only opens a port, asks for the status and the firmware
// information, and closes the port again.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "firmware_info.h"
#include "package.h"
#include "wirelet.h"

// What one printer answered.
struct PrinterReport {
  int port = 0;
  std::string path;             // empty when it could not be told
  bool asked = true;            // false: not opened, since an update is running
  StatusCode openCode = 0;      // of usb_open_port; nothing else was asked unless 0
  bool heldElsewhere = false;   // another program holds it (so it was not opened)
  bool statusAsked = false;
  StatusCode statusCode = 0;    // as usb_get_status left it
  bool infoAsked = false;
  bool infoRead = false;        // usb_get_firmware_info returned 1
  StatusCode infoCode = 0;
  uint8_t record[kFirmwareInfoBufferSize] = {};
  bool inPortTable = true;      // among the printers one update run takes
};

// Opens the port, asks for its status and then (unless the printer has gone)
// for its firmware information, and closes the port. Needs the library bound.
void QueryPrinter(int port, PrinterReport& report);

// The updater's checks of one firmware file before anything is announced.
enum class FileCheck { kOk, kMissing, kUnreadable, kTooShort, kTooLarge };

// fileIndex: kFileUsb .. kFileTable. The file is opened (and closed) as the
// updater opens it; the size is the one recorded when the package was loaded.
FileCheck CheckFirmwareFile(const FirmwareFileEntry& entry, int fileIndex);
const char* FileCheckText(FileCheck check);

// What the updater would do with one printer.
enum class ProgramCheck { kAccepted, kRefused, kUnchecked };
struct PrinterPlan {
  const char* skipped = nullptr;  // why it would get nothing; null: it is updated
  int boardSet = -1;              // -1: not known (no package to take the fallback from)
  bool fallback = false;          // the board set is the package's, not the printer's
  ProgramCheck program = ProgramCheck::kUnchecked;
};

// The board set of a printer whose firmware information cannot be read.
int FallbackBoardSet(const UpdatePackage& package);

// package: null when none was named.
PrinterPlan PlanPrinter(const PrinterReport& report, const UpdatePackage* package);

// The package as the probe found it on disk.
struct PackageReport {
  std::string name;          // as named on the command line
  bool found = false;        // the package INI itself exists
  std::string boardIni[2];   // the NEWPCB and OLDPCB FILEPATH values
  bool boardIniFound[2] = {};
};

// Loads package (without the loader's console lines) and looks at its files.
void LoadPackageQuietly(UpdatePackage& package, const char* name, PackageReport& report);

// Something the bus knows about a printer that was not listed or not opened.
struct BusNote {
  std::string path;     // the printer's path, when it has one
  std::string device;   // the system's device, when that tells more (e.g. /dev/bus/usb/001/005)
  std::string problem;
};

// One whole probe, as the two report formats show it.
struct ProbeRun {
  std::vector<PrinterReport> printers;
  bool pathsKnown = true;
  const UpdatePackage* package = nullptr;  // null: no package named
  PackageReport packageReport;
  std::vector<BusNote> notes;
  std::string advice;  // what to do about the notes; may be empty
};

std::string FormatTable(const ProbeRun& run);
std::string FormatJson(const ProbeRun& run);

// The whole program but its printing: the report (or the help) for
// standard output into out, a message for standard error into errors. The
// result is the exit status: 0 at least one printer found, 1 none, 2 a bad
// command line or a library that cannot be bound (out stays empty).
int RunProbe(int argc, char* argv[], std::string& out, std::string& errors);
