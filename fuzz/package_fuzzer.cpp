// The package loader over a folder generated from the input: INI files with
// chosen and arbitrary lines, firmware files of chosen sizes, names that
// exist, do not, or are too long. Every field must come out bounded and
// terminated, and every size must be the file's own or a marker.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "package.h"
#include "platform/console.h"
#include "scratch.h"

namespace {

std::string PickName(FuzzedDataProvider& input, const char* const* known, size_t count) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return known[input.ConsumeIntegralInRange<size_t>(0, count - 1)];
    case 1:
      return std::string(input.ConsumeIntegralInRange(200, 400), 'n');
    case 2:
      return "None";
    default:
      return input.ConsumeRandomLengthString(64);
  }
}

// A line that the INI reader has to get past: anything at all.
std::string Noise(FuzzedDataProvider& input) {
  return input.ConsumeBool() ? input.ConsumeRandomLengthString(80) + "\n" : "";
}

void WriteBoard(FuzzedDataProvider& input, const std::string& dir, const std::string& ini) {
  static const char* const kFiles[] = {"usb.bin", "main.bin", "dsp.bin", "table.bin", "sub/x.bin", ".."};
  static const char* const kSections[] = {"USB", "MAIN", "DSP", "TABLE"};
  static const char* const kWaits[] = {"Usb", "Main", "Dsp", "Table", "DISP_WAIT_TIME"};
  std::string text = Noise(input);
  for (const char* section : kSections) {
    if (input.ConsumeBool()) text += std::string("[") + section + "]\nFILEPATH=" + PickName(input, kFiles, 6) + "\n";
    text += Noise(input);
  }
  text += "[WAITTIME]\n";
  for (const char* key : kWaits)
    if (input.ConsumeBool()) text += std::string(key) + "=" + input.ConsumeRandomLengthString(24) + "\n";
  fuzz::WriteScratchFile(fuzz::ScratchDir() + "/" + dir + "/" + ini, text);
  for (const char* file : kFiles) {
    if (std::strcmp(file, "..") == 0 || !input.ConsumeBool()) continue;
    std::string content(input.ConsumeIntegralInRange(0, 300), 'f');
    fuzz::WriteScratchFile(fuzz::ScratchDir() + "/" + dir + "/" + file, content);
  }
}

void CheckText(const char* text) { FUZZ_CHECK(std::memchr(text, '\0', kPathSize) != nullptr); }

void CheckSet(const FirmwareFileSet& set) {
  for (const FirmwareFileEntry& entry : set.files) {
    CheckText(entry.name);
    CheckText(entry.path);
    FUZZ_CHECK(entry.size >= kSizeOpenFailed);
    if (std::strcmp(entry.name, "None") == 0) FUZZ_CHECK(entry.size == kSizeNone);
    if (entry.size >= 0) {
      std::error_code error;
      FUZZ_CHECK(std::filesystem::is_regular_file(entry.path, error));
      FUZZ_CHECK(std::filesystem::file_size(entry.path, error) == static_cast<uintmax_t>(entry.size));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The loader's messages are not what is under test.
  platform::SetConsoleSink([](const char*, size_t, void*) {}, nullptr);
  if (chdir(fuzz::ScratchDir().c_str()) != 0) fuzz::Violated("chdir");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  fuzz::ClearScratch();
  static const char* const kBoardInis[] = {"newpcb/new.ini", "oldpcb/old.ini", "new.ini", "newpcb"};
  std::string package = Noise(input);
  package += "[NEWPCB]\nFILEPATH=" + PickName(input, kBoardInis, 4) + "\n" + Noise(input);
  package += "[OLDPCB]\nFILEPATH=" + PickName(input, kBoardInis, 4) + "\n" + Noise(input);
  if (input.ConsumeBool()) package += "[TYPE]\nMODE=" + input.ConsumeRandomLengthString(12) + "\n";
  WriteBoard(input, "newpcb", "new.ini");
  WriteBoard(input, "oldpcb", "old.ini");
  std::string name = input.ConsumeBool() ? "Q7730.ini" : input.ConsumeRandomLengthString(300);
  package += input.ConsumeRemainingBytesAsString();
  fuzz::WriteScratchFile(fuzz::ScratchDir() + "/Q7730.ini", package);

  static UpdatePackage loaded;
  std::memset(&loaded, 0xA5, sizeof loaded);
  LoadPackage(loaded, name.c_str());
  CheckText(loaded.newBoardIniPath);
  CheckText(loaded.oldBoardIniPath);
  FUZZ_CHECK(loaded.fallbackBoardSet == kNewBoardSet || loaded.fallbackBoardSet == kOldBoardSet);
  CheckSet(loaded.boardSets[0]);
  CheckSet(loaded.boardSets[1]);
  return 0;
}
