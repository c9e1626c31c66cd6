// Start-up and the two update phases of Q7730upgrade.
#pragma once
#include <cstdint>

#include "platform/named_mutex.h"

// The single-instance guard, held until the process ends.
extern platform::NamedMutex instanceMutex;
constexpr char kInstanceMutexName[] = "ZEM-Q7730-5A Series Installer";

// The whole program; its result is the exit status: 0 only when every
// printer the run worked on ended each of its phases done, else -1.
int UpdaterMain(int argc, char* argv[]);

// Phase 1: the controller firmware of each printer in turn. 0: every printer
// done. 1: one or more were not, and the engine phase runs all the same.
// -1: the run ends here (no library, no printer, or the only printer's
// update failed). *printers (may be null): how many it worked on.
int RunControllerPhase(int* printers = nullptr);

// Phase 2: the engine firmware of all printers at once. 0: every printer
// ended with its complete line, and none is missing of the printersBefore
// that the controller phase worked on. 1: otherwise. -1: no library or no
// printer.
int RunEnginePhase(int printersBefore = 0);

// Thread procedure of phase 2; the argument carries the port number, the
// exit code is UpdateEngineFirmware's result.
uint32_t EngineWorker(void* argument);
