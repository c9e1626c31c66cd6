#include "report_words.h"

#include "write_wait.h"

const char* const kPartNames[4] = {"USB", "MAIN", "DSP", "TABLE"};

namespace {
constexpr int kEntrySize = 38;
constexpr int kVersionSize = 8;
const char* const kProgramNames[] = {"accepted", "refused", "unchecked"};
}  // namespace

const char* BoardName(int boardSet) {
  if (boardSet == kNewBoardSet) return "new";
  if (boardSet == kOldBoardSet) return "old";
  return nullptr;
}

const char* StatusClassName(StatusCode code) {
  // The device mutex held elsewhere longer than a command waits: another
  // program (an update beside the probe) is talking to the printer.
  if (code == kStatusDeviceBusy) return "busy";
  switch (ClassifyStatus(code)) {
    case kStatusReady:
      return "ready";
    case kStatusBusy:
      return "busy";
    default:
      return "failed";
  }
}

const char* ProgramName(ProgramCheck check) { return kProgramNames[static_cast<int>(check)]; }

std::string VersionText(const uint8_t* record, int component) {
  const uint8_t* text = record + 1 + (component - 1) * kEntrySize;
  return std::string(reinterpret_cast<const char*>(text), kVersionSize);
}
