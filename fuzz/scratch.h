// A private scratch folder for one fuzzer process, and files written into it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The process's scratch folder (created once, under TMPDIR or /tmp).
const std::string& ScratchDir();
// Writes bytes to dir/name (creating dir's subfolders as needed); false on
// failure.
bool WriteScratchFile(const std::string& path, const uint8_t* data, size_t size);
inline bool WriteScratchFile(const std::string& path, const std::string& text) {
  return WriteScratchFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
// Empties the scratch folder, keeping the folder itself.
void ClearScratch();

// Stops the process so libFuzzer reports it as a crash.
[[noreturn]] void Violated(const char* what);
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) ::fuzz::Violated(#condition); \
  } while (0)

}  // namespace fuzz
