// The probe's own look at the bus the program was built over. The library
// tells port numbers but not paths; a pass by the library's own rules lists
// the same printers in the same order, and so names each port.
#pragma once
#include <string>
#include <vector>

#include "probe.h"

struct BusPass {
  std::vector<std::string> listed;      // in discovery order: port n is listed[n-1]
  std::vector<std::string> unopenable;  // the model's interfaces that could not be opened
};

// Every present interface whose path carries the model's vendor and product
// ids, opened (and closed again) to prove it is there, as discovery does.
BusPass PassOverBus();

// From the bus's own folder (probe/usb, probe/sim, probe/setupapi).
// Explains what the pass could not list and anything else the bus knows of
// the model's devices; advice says what to do about it (may stay empty).
void DiagnoseBus(const BusPass& pass, std::vector<BusNote>& notes, std::string& advice);

// Whether another program holds the printer at path, for a port the library
// could not open. Asking must not take hold of the printer.
bool HeldElsewhere(const std::string& path);

// Whether a program that holds a printer shuts every other program out of
// it (the usb bus's interface claim), so that an update coming to a printer
// while the probe holds it would have to leave that printer out.
bool ClaimsAreExclusive();
