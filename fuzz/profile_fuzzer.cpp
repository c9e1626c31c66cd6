// The INI reader: any file content, any section and key asked for, any
// buffer size. The value must come back cut to the buffer and terminated.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string section = input.ConsumeRandomLengthString(40);
  std::string key = input.ConsumeRandomLengthString(40);
  uint32_t bufferSize = input.ConsumeIntegralInRange<uint32_t>(0, 300);
  std::vector<uint8_t> file = input.ConsumeRemainingBytes<uint8_t>();
  static const std::string path = fuzz::ScratchDir() + "/profile.ini";
  if (!fuzz::WriteScratchFile(path, file.data(), file.size())) return 0;

  // One guard byte past the buffer tells a write beyond it.
  std::vector<char> out(bufferSize + 1, '\x5a');
  uint32_t copied = platform::ProfileString(section.c_str(), key.c_str(), "None", out.data(), bufferSize,
                                            path.c_str());
  FUZZ_CHECK(out[bufferSize] == '\x5a');
  if (bufferSize == 0) {
    FUZZ_CHECK(copied == 0);
  } else {
    FUZZ_CHECK(copied < bufferSize);
    FUZZ_CHECK(out[copied] == '\0');
    FUZZ_CHECK(std::strlen(out.data()) == copied);
  }
  // The same question with a full buffer, and as a number.
  char full[260];
  platform::ProfileString(section.c_str(), key.c_str(), "", full, sizeof full, path.c_str());
  FUZZ_CHECK(std::memchr(full, '\0', sizeof full) != nullptr);
  platform::ProfileInt(section.c_str(), key.c_str(), 1, path.c_str());
  return 0;
}
