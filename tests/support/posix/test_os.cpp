#include "test_os.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_os {

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

std::string MakeTempDirectory(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                        prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  return buffer.data();
}

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 8, "Threads:") == 0) return std::stoi(line.substr(8));
  return -1;
}

NamedMutexTraits NamedMutexOfThisSystem() { return {true, true, true}; }

}  // namespace test_os
