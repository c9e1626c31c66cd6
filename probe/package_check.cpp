// The package as the updater would load it, and the checks it makes of each
// firmware file before it announces the image to a printer.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/console.h"
#include "platform/filesystem.h"
#include "probe.h"

namespace {

// Smallest and largest image the updater sends, by file position. The
// controller image needs its 64-byte trailer and its size must fit the 16
// bits of the announcement; an empty engine image is refused.
struct SizeRule {
  int32_t smallest;
  int32_t largest;
};
const SizeRule kSizeRules[4] = {
    {64, 65535},       // USB
    {1, INT32_MAX},    // MAIN
    {1, INT32_MAX},    // DSP
    {1, INT32_MAX},    // TABLE
};

const char* const kCheckTexts[] = {"ok", "missing", "unreadable", "too short", "too large"};

bool IsFile(const std::string& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error);
}

void Discard(const char*, size_t, void*) {}

}  // namespace

FileCheck CheckFirmwareFile(const FirmwareFileEntry& entry, int fileIndex) {
  std::FILE* file = OpenFirmwareFile(entry.path);
  if (file == nullptr) return FileCheck::kMissing;
  std::fclose(file);
  // "None" naming a file that happens to exist, or a file the loader could
  // not measure: the updater has no size to allocate.
  if (entry.size < 0) return FileCheck::kUnreadable;
  const SizeRule& rule = kSizeRules[fileIndex];
  if (entry.size < rule.smallest) return FileCheck::kTooShort;
  if (entry.size > rule.largest) return FileCheck::kTooLarge;
  return FileCheck::kOk;
}

const char* FileCheckText(FileCheck check) { return kCheckTexts[static_cast<int>(check)]; }

void LoadPackageQuietly(UpdatePackage& package, const char* name, PackageReport& report) {
  // The loader's "File Data Open Error." lines are the updater's; the probe
  // reports each file itself.
  platform::SetConsoleSink(&Discard, nullptr);
  LoadPackage(package, name);
  platform::SetConsoleSink(nullptr, nullptr);

  report.name = name;
  char directory[kPathSize];
  size_t length = platform::CurrentDirectory(directory, sizeof directory);
  if (length > 0) {
    std::string path = std::string(directory, length) + platform::PathSeparator() + name;
    report.found = path.size() < static_cast<size_t>(kPathSize) && IsFile(path);
  }
  const char* const boardIniPaths[2] = {package.newBoardIniPath, package.oldBoardIniPath};
  for (int i = 0; i < 2; ++i) {
    std::string composed = boardIniPaths[i];
    report.boardIniFound[i] = IsFile(composed);
    // The loader puts the current directory and a separator before the value.
    report.boardIni[i] = length > 0 && composed.size() > length ? composed.substr(length + 1) : "";
  }
}
