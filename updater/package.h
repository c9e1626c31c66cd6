// The firmware package: the package INI names one per-board INI for each board
// generation, and each per-board INI names four firmware files and the times
// the printer needs to store them. Loaded once at start-up.
#pragma once
#include <cstdint>
#include <cstdio>

constexpr int kPathSize = 260;  // 259 characters and the terminator

// Positions in FirmwareFileSet::files.
enum FirmwareFileIndex { kFileUsb = 0, kFileMain = 1, kFileDsp = 2, kFileTable = 3 };

// Board-set indexes.
enum { kNewBoardSet = 0, kOldBoardSet = 1 };

// Size markers of FirmwareFileEntry::size.
constexpr int32_t kSizeNone = -1;        // the name is "None"
constexpr int32_t kSizeOpenFailed = -2;  // the file could not be opened at load

struct FirmwareFileEntry {
  char name[kPathSize];  // FILEPATH as configured, or "None"; shown to the operator
  char path[kPathSize];  // composed path that is opened; empty when it could not be composed
  int32_t size;          // bytes, or kSizeNone / kSizeOpenFailed
};

struct FirmwareFileSet {
  FirmwareFileEntry files[4];  // USB, MAIN, DSP, TABLE
  uint32_t usbWaitMs;
  uint32_t mainWaitMs;
  uint32_t dspWaitMs;
  uint32_t tableWaitMs;
  uint32_t displayWaitMs;  // kept, not used by any step
};

struct UpdatePackage {
  char newBoardIniPath[kPathSize];
  char oldBoardIniPath[kPathSize];
  uint8_t fallbackBoardSet;  // board set for a printer whose firmware information is unreadable
  FirmwareFileSet boardSets[2];
};

// The package of this run. Read-only once LoadPackage has returned.
extern UpdatePackage updatePackage;

// Fills package from the package INI named relative to the current directory
// (always appended to it, even when it is a full path). Never fails: anything
// missing or unusable yields the defaults.
void LoadPackage(UpdatePackage& package, const char* packageIniName);

// Fills one set from a per-board INI; an empty path counts as a missing INI.
void LoadFirmwareFileSet(FirmwareFileSet& set, const char* perBoardIniPath);

// Writes into destination (kPathSize bytes) the source cut after its last
// path separator; a source without one keeps only its first character. A
// source that does not fit gives an empty string.
void DirectoryPart(char* destination, const char* source);

// The size of the entry's file in bytes; kSizeNone for the name "None";
// kSizeOpenFailed (after "File Data Open Error. \n ") when it cannot be opened.
int32_t FirmwareFileSize(const FirmwareFileEntry& entry);

// Opens a firmware file for binary reading; null when the path is empty or
// names no regular file.
std::FILE* OpenFirmwareFile(const char* path);

// Reads exactly size bytes of the file into buffer and closes the file. false
// when the file holds fewer or more bytes than size (it changed since it was
// measured) or cannot be read.
bool ReadFirmwareFile(std::FILE* file, uint8_t* buffer, int32_t size);
