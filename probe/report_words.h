// The words and cells both report formats are made of, so the table and the
// JSON document never tell a printer differently.
#pragma once
#include <cstdint>
#include <string>

#include "probe.h"

// By position in FirmwareFileSet::files.
extern const char* const kPartNames[4];

// "new" or "old"; null for -1.
const char* BoardName(int boardSet);

// "ready", "busy" or "failed": the updater's class of the status code, but
// busy for 1500 (another program is talking to the printer).
const char* StatusClassName(StatusCode code);

const char* ProgramName(ProgramCheck check);

// The 8-byte version text of component 1..7 exactly as the printer gave it.
std::string VersionText(const uint8_t* record, int component);

// Number of components in the firmware-information record.
constexpr int kComponents = 7;
