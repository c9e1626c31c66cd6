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

// Threads of this process running right now; -1 when the system cannot say.
int ThreadCount();

// Where the named mutex of this system behaves otherwise than the other's.
struct NamedMutexTraits {
  // POSIX: two handles of one thread exclude each other. Windows: a thread
  // owns the mutex through every handle it has to it.
  bool handlesOfOneThreadExclude;
  // POSIX: closing an owned handle abandons the mutex. Windows: Close gives
  // back what was obtained through that handle.
  bool closeWhileOwnedAbandons;
  // POSIX: a name may hold any bytes, at any length. Windows: no '\\', and
  // at most MAX_PATH characters.
  bool anyNameBytes;
};
NamedMutexTraits NamedMutexOfThisSystem();

}  // namespace test_os
