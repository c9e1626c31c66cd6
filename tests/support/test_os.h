// The few operating-system services that tests on both systems need.
#pragma once
#include <string>

namespace test_os {

// The id of this process, for names that parallel test runs must not share.
unsigned long ProcessId();

// Creates a fresh, empty directory under the system's temporary directory,
// its name starting with prefix, and returns its path. Throws
// std::runtime_error when none can be created.
std::string MakeTempDirectory(const std::string& prefix);

}  // namespace test_os
