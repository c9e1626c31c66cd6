// The two fields of the printer's firmware-information record that the
// updates read.
#pragma once
#include <cstdint>

#include "wirelet.h"

constexpr int kFirmwareInfoBufferSize = 300;

// Board set of a printer whose record could be read: the new board answers
// "E0208000" for component 1.
uint8_t BoardSetOfRecord(const uint8_t* record);

// True when component 2 (the printer program) is one of the known versions.
bool KnownProgramVersion(const uint8_t* record);
