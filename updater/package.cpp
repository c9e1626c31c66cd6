// Loading the firmware package from its INI files.
#include "package.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/console.h"
#include "platform/filesystem.h"
#include "platform/profile.h"

UpdatePackage updatePackage;

namespace {

constexpr char kNone[] = "None";

// dir, a path separator and name into out (kPathSize bytes). false, and out
// empty, when the result would not fit: such a path is treated as one that
// cannot be opened.
bool JoinPath(char* out, const char* dir, const char* name) {
  size_t dirLength = std::strlen(dir);
  size_t nameLength = std::strlen(name);
  size_t total = dirLength + 1 + nameLength;
  if (total >= static_cast<size_t>(kPathSize)) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, dir, dirLength);
  out[dirLength] = platform::PathSeparator();
  std::memcpy(out + dirLength + 1, name, nameLength);
  out[total] = '\0';
  return true;
}

// A wait time; a negative value would become a wait of about 49 days.
uint32_t WaitTime(const char* key, int defaultMs, const char* iniPath) {
  int value = platform::ProfileInt("WAITTIME", key, defaultMs, iniPath);
  return static_cast<uint32_t>(value < 0 ? defaultMs : value);
}

}  // namespace

void DirectoryPart(char* destination, const char* source) {
  size_t length = std::strlen(source);
  if (length >= static_cast<size_t>(kPathSize)) {
    destination[0] = '\0';
    return;
  }
  std::memcpy(destination, source, length + 1);
  for (size_t i = length; i-- > 1;) {
    if (platform::IsPathSeparator(destination[i])) break;
    destination[i] = '\0';
  }
}

std::FILE* OpenFirmwareFile(const char* path) {
  if (path[0] == '\0') return nullptr;
  // A directory opens for reading on some systems but holds no image.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return nullptr;
  return std::fopen(path, "rb");
}

bool ReadFirmwareFile(std::FILE* file, uint8_t* buffer, int32_t size) {
  size_t wanted = size > 0 ? static_cast<size_t>(size) : 0;
  size_t got = wanted > 0 ? std::fread(buffer, 1, wanted, file) : 0;
  // One more byte available means the file grew since it was measured.
  bool same = got == wanted && std::fgetc(file) == EOF && !std::ferror(file);
  std::fclose(file);
  return same;
}

int32_t FirmwareFileSize(const FirmwareFileEntry& entry) {
  if (std::strcmp(entry.name, kNone) == 0) return kSizeNone;
  std::FILE* file = OpenFirmwareFile(entry.path);
  if (file == nullptr) {
    platform::Print("File Data Open Error. \n ");
    return kSizeOpenFailed;
  }
  long length = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
  std::fclose(file);
  // A file that cannot be measured, or one too large for the size field,
  // cannot be sent either.
  if (length < 0 || length > INT32_MAX) {
    platform::Print("File Data Open Error. \n ");
    return kSizeOpenFailed;
  }
  return static_cast<int32_t>(length);
}

void LoadFirmwareFileSet(FirmwareFileSet& set, const char* perBoardIniPath) {
  static const char* const kSections[4] = {"USB", "MAIN", "DSP", "TABLE"};
  // An INI path that could not be composed is read as a missing file.
  const char* iniPath = perBoardIniPath[0] != '\0' ? perBoardIniPath : nullptr;

  char directory[kPathSize];
  DirectoryPart(directory, perBoardIniPath);
  for (int i = 0; i < 4; ++i) {
    FirmwareFileEntry& entry = set.files[i];
    entry.name[0] = '\0';
    if (iniPath != nullptr)
      platform::ProfileString(kSections[i], "FILEPATH", kNone, entry.name, kPathSize, iniPath);
    else
      std::snprintf(entry.name, kPathSize, "%s", kNone);
    // The directory part ends with a separator and another one follows; the
    // file system reads the doubled separator as one.
    if (iniPath == nullptr || !JoinPath(entry.path, directory, entry.name)) entry.path[0] = '\0';
    entry.size = FirmwareFileSize(entry);
  }

  if (iniPath != nullptr) {
    set.usbWaitMs = WaitTime("Usb", 30000, iniPath);
    set.mainWaitMs = WaitTime("Main", 70000, iniPath);
    set.dspWaitMs = WaitTime("Dsp", 55000, iniPath);
    set.tableWaitMs = WaitTime("Table", 55000, iniPath);
    set.displayWaitMs = WaitTime("DISP_WAIT_TIME", 1000, iniPath);
  } else {
    set.usbWaitMs = 30000;
    set.mainWaitMs = 70000;
    set.dspWaitMs = 55000;
    set.tableWaitMs = 55000;
    set.displayWaitMs = 1000;
  }
}

void LoadPackage(UpdatePackage& package, const char* packageIniName) {
  char currentDirectory[kPathSize];
  bool haveDirectory = platform::CurrentDirectory(currentDirectory, sizeof currentDirectory) > 0;

  char packagePath[kPathSize];
  bool havePackage = haveDirectory && JoinPath(packagePath, currentDirectory, packageIniName);
  const char* iniPath = havePackage ? packagePath : nullptr;

  char value[kPathSize];
  char* const boardIniPaths[2] = {package.newBoardIniPath, package.oldBoardIniPath};
  static const char* const kBoardSections[2] = {"NEWPCB", "OLDPCB"};
  for (int i = 0; i < 2; ++i) {
    if (iniPath != nullptr)
      platform::ProfileString(kBoardSections[i], "FILEPATH", kNone, value, sizeof value, iniPath);
    else
      std::snprintf(value, sizeof value, "%s", kNone);
    if (!haveDirectory || !JoinPath(boardIniPaths[i], currentDirectory, value))
      boardIniPaths[i][0] = '\0';
  }

  // Only 0 and 1 name a board set; anything else means the default, the old board.
  int mode = iniPath != nullptr ? platform::ProfileInt("TYPE", "MODE", kOldBoardSet, iniPath) : kOldBoardSet;
  package.fallbackBoardSet = static_cast<uint8_t>(mode == kNewBoardSet ? kNewBoardSet : kOldBoardSet);

  LoadFirmwareFileSet(package.boardSets[kNewBoardSet], package.newBoardIniPath);
  LoadFirmwareFileSet(package.boardSets[kOldBoardSet], package.oldBoardIniPath);
}
