// Start-up and the two update phases of Q7730upgrade.
#pragma once
#include <cstdint>

#include "platform/named_mutex.h"

// The single-instance guard, held until the process ends.
extern platform::NamedMutex instanceMutex;
constexpr char kInstanceMutexName[] = "ZEM-Q7730-5A Series Installer";

// The whole program; its result is the exit status (0 or -1).
int UpdaterMain(int argc, char* argv[]);

// Phase 1: the controller firmware of each printer in turn. 0 or -1.
int RunControllerPhase();

// Phase 2: the engine firmware of all printers at once. 0 or -1.
int RunEnginePhase();

// Thread procedure of phase 2; the argument carries the port number.
uint32_t EngineWorker(void* argument);
