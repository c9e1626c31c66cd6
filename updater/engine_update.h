// Writing the engine firmware (MAIN, DSP, TABLE) into one printer; one
// engine worker runs this per printer, all at the same time.
#pragma once

#include "platform/lock.h"

// Held around each engine image transfer so that one image moves at a time.
// Exists only while the engine phase's workers run.
extern platform::RecursiveLock* writeLock;

// 0: done, its final line the complete line. 1: the port could not be
// opened; nothing was sent and no final line printed. -1: failed. Needs the
// package loaded, the device library bound and writeLock created.
int UpdateEngineFirmware(int port);
