// Reading the firmware-information record: a count byte, then seven 38-byte
// entries, each beginning with an 8-byte version text without terminator.
#include "firmware_info.h"

#include <cstring>

#include "package.h"

namespace {
constexpr int kEntrySize = 38;
constexpr int kVersionSize = 8;
const uint8_t* Version(const uint8_t* record, int component) {
  return record + 1 + (component - 1) * kEntrySize;
}
}  // namespace

uint8_t BoardSetOfRecord(const uint8_t* record) {
  return std::memcmp(Version(record, 1), "E0208000", kVersionSize) == 0 ? kNewBoardSet : kOldBoardSet;
}

bool KnownProgramVersion(const uint8_t* record) {
  const uint8_t* version = Version(record, 2);
  return std::memcmp(version, "E0191400", kVersionSize) == 0 ||
         std::memcmp(version, "E0211600", kVersionSize) == 0;
}
