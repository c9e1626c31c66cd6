#include "scratch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fuzz {

const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/q7730-fuzz.XXXXXX";
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) Violated("no scratch folder");
    return std::string(made);
  }();
  return dir;
}

bool WriteScratchFile(const std::string& path, const uint8_t* data, size_t size) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

void ClearScratch() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), error))
    std::filesystem::remove_all(entry.path(), error);
}

void Violated(const char* what) {
  std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
  std::abort();
}

}  // namespace fuzz
