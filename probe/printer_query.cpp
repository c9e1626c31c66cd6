// Asking one printer, and what the updater would do with it.
#include <cstring>

#include "bus_pass.h"
#include "device_library.h"
#include "probe.h"

void QueryPrinter(int port, PrinterReport& report) {
  report.port = port;
  report.openCode = deviceLibrary.usb_open_port(port);
  if (report.openCode != 0) {
    // The claim failed although discovery has just opened the device: on a
    // bus with exclusive claims that is usually another program.
    if (report.openCode == kStatusDeviceNotAvailable && !report.path.empty())
      report.heldElsewhere = HeldElsewhere(report.path);
    return;
  }
  // Each request takes the device mutex only for itself, so an update in
  // another process goes on between them. A busy printer is not waited for.
  report.statusAsked = true;
  deviceLibrary.usb_get_status(port, &report.statusCode);
  if (report.statusCode != kStatusDeviceNotAvailable) {
    report.infoAsked = true;
    std::memset(report.record, 0, sizeof report.record);
    report.infoRead = deviceLibrary.usb_get_firmware_info(port, report.record, &report.infoCode) == 1;
  }
  deviceLibrary.usb_close_port(port);
}

int FallbackBoardSet(const UpdatePackage& package) {
  return package.fallbackBoardSet == kNewBoardSet ? kNewBoardSet : kOldBoardSet;
}

PrinterPlan PlanPrinter(const PrinterReport& report, const UpdatePackage* package) {
  PrinterPlan plan;
  if (!report.asked) {
    plan.skipped = "an update is running";
    return plan;
  }
  if (report.openCode != 0) {
    plan.skipped = report.heldElsewhere ? "another program holds it" : "the port cannot be opened";
    return plan;
  }
  if (report.infoRead) {
    plan.boardSet = BoardSetOfRecord(report.record);
    plan.program = KnownProgramVersion(report.record) ? ProgramCheck::kAccepted : ProgramCheck::kRefused;
    if (plan.program == ProgramCheck::kRefused) plan.skipped = "its program version is not accepted";
  } else {
    // No version check then; the package says which set it gets.
    plan.fallback = true;
    if (package != nullptr) plan.boardSet = FallbackBoardSet(*package);
  }
  if (plan.skipped == nullptr && !report.inPortTable) plan.skipped = "only the first 10 printers are updated";
  return plan;
}
