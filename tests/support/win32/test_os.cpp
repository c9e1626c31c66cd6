#include <windows.h>
#include <tlhelp32.h>

#include <stdexcept>

#include "test_os.h"

namespace test_os {

unsigned long ProcessId() { return GetCurrentProcessId(); }

std::string MakeTempDirectory(const std::string& prefix) {
  char base[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary directory");
  // CreateDirectory fails on a name that exists, so the first success is ours.
  static LONG counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path = std::string(base) + prefix + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(InterlockedIncrement(&counter)) + "-" +
                       std::to_string(GetTickCount() % 100000);
    if (CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot create a temporary directory");
}

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

NamedMutexTraits NamedMutexOfThisSystem() { return {false, false, false}; }

}  // namespace test_os
