// q7730-wine-install: puts the stand-in printer class driver into the wine
// prefix (or takes it out again), so that q7730-wine-bridge can plug the
// simulator's printers into it.
//
//   q7730-wine-install [--inf PATH]   install (once per prefix) and make sure
//                                     the driver runs in this wine session
//   q7730-wine-install --remove       remove the bus device and its service
//
// The bus is a root-enumerated device (ROOT\Q7730SIMBUS\0000, hardware id
// Q7730SimBus) whose driver comes from q7730simbus.inf, by default the one
// beside this program. A prefix whose installed driver differs from the one
// beside the INF gets that one instead. Exit status: 0 done (installed: the
// bus's control device opens), 1 failed (with a message), 2 bad command line.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "simbus.h"

namespace {

// GUID_DEVCLASS_SYSTEM, the class the INF names.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

constexpr DWORD kStartWaitMs = 10000;

std::string ErrorText(DWORD error) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                 sizeof text, nullptr);
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
  return "error " + std::to_string(error) + (n > 0 ? std::string(" (") + text + ")" : "");
}

// Says what failed and why; returns the exit status 1.
int Fail(const std::string& what, DWORD error) {
  std::fprintf(stderr, "q7730-wine-install: %s: %s\n", what.c_str(), ErrorText(error).c_str());
  if (error == ERROR_SERVICE_DATABASE_LOCKED)
    std::fprintf(stderr,
                 "q7730-wine-install: a prefix just made runs two service managers until its wine "
                 "session ends once: run `wineserver -k` and try again\n");
  return 1;
}

// true once the driver's control device can be opened.
bool BusRunning() {
  HANDLE control = CreateFileA(SIMBUS_CONTROL_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) return false;
  CloseHandle(control);
  return true;
}

// true once the bus runs, false when it does not within limitMs.
bool WaitForBus(DWORD limitMs) {
  for (DWORD waited = 0;; waited += 50) {
    if (BusRunning()) return true;
    if (waited >= limitMs) return false;
    Sleep(50);
  }
}

// The bus device's record in set, if the device exists. false: not there.
bool OpenBusDevice(HDEVINFO set, SP_DEVINFO_DATA* device) {
  device->cbSize = sizeof *device;
  return SetupDiOpenDeviceInfoA(set, SIMBUS_ROOT_INSTANCE, nullptr, 0, device) != FALSE;
}

// A service already installed but not loaded in this session (a new
// wineserver) is started by hand: nothing enumerates the root bus again.
// Returns the error, or ERROR_SUCCESS.
DWORD StartService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return GetLastError();
  DWORD error = ERROR_SUCCESS;
  SC_HANDLE service = OpenServiceA(manager, SIMBUS_SERVICE, SERVICE_START);
  if (service == nullptr) {
    error = GetLastError();
  } else {
    if (!::StartServiceA(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
      error = GetLastError();
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return error;
}

// The file's bytes; empty when it cannot be read.
std::string ReadWhole(const std::string& path) {
  std::string bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

// true when the prefix's copy of the driver is the one beside the INF.
bool InstalledDriverIsCurrent(const std::string& inf) {
  char system[MAX_PATH];
  UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) return false;
  std::string beside = inf.substr(0, inf.find_last_of("\\/") + 1) + SIMBUS_SERVICE ".sys";
  std::string installed = ReadWhole(std::string(system) + "\\drivers\\" SIMBUS_SERVICE ".sys");
  return !installed.empty() && installed == ReadWhole(beside);
}

int Remove();

// Exit status: 0 when the current driver runs, 1 (with a message) when not.
int Install(const std::string& inf) {
  if (GetFileAttributesA(inf.c_str()) == INVALID_FILE_ATTRIBUTES)
    return Fail("cannot find " + inf, GetLastError());
  if (InstalledDriverIsCurrent(inf)) {
    if (BusRunning()) return 0;
  } else if (Remove() != 0) {
    return 1;
  }

  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("cannot make a device list", GetLastError());
  SP_DEVINFO_DATA device;
  bool known = OpenBusDevice(set, &device);
  SetupDiDestroyDeviceInfoList(set);
  if (known) {
    DWORD error = StartService();
    if (error == ERROR_SUCCESS && WaitForBus(kStartWaitMs)) return 0;
    // Half installed, or its service is gone: install its driver again.
  } else {
    set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Fail("cannot make a device list", GetLastError());
    device.cbSize = sizeof device;
    static const char hardwareIds[] = SIMBUS_HARDWARE_ID "\0";
    if (!SetupDiCreateDeviceInfoA(set, SIMBUS_ROOT_INSTANCE, &kSystemClass, nullptr, nullptr, 0, &device)) {
      DWORD error = GetLastError();
      SetupDiDestroyDeviceInfoList(set);
      return Fail("cannot create the bus device", error);
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareIds), sizeof hardwareIds) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      DWORD error = GetLastError();
      SetupDiDestroyDeviceInfoList(set);
      return Fail("cannot register the bus device", error);
    }
    SetupDiDestroyDeviceInfoList(set);
  }

  char full[MAX_PATH];
  if (GetFullPathNameA(inf.c_str(), sizeof full, full, nullptr) == 0)
    return Fail("cannot resolve " + inf, GetLastError());
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, SIMBUS_HARDWARE_ID, full, INSTALLFLAG_FORCE, &reboot))
    return Fail(std::string("cannot install the driver from ") + full, GetLastError());
  if (!WaitForBus(kStartWaitMs)) {
    // Installed, but the driver did not come up: try starting it once.
    DWORD error = StartService();
    if (error != ERROR_SUCCESS) return Fail("the driver was installed but does not start", error);
    if (!WaitForBus(kStartWaitMs))
      return Fail("the driver was installed but its bus does not appear", ERROR_TIMEOUT);
  }
  return 0;
}

// Exit status: 0 when neither the bus device nor the service is left, 1
// (with a message) when the device could not be removed.
int Remove() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("cannot make a device list", GetLastError());
  SP_DEVINFO_DATA device;
  if (OpenBusDevice(set, &device) && !SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return Fail("cannot remove the bus device", error);
  }
  SetupDiDestroyDeviceInfoList(set);

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("cannot open the service manager", GetLastError());
  SC_HANDLE service = OpenServiceA(manager, SIMBUS_SERVICE, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service != nullptr) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100 && QueryServiceStatus(service, &status) &&
                    status.dwCurrentState == SERVICE_STOP_PENDING;
         ++i)
      Sleep(50);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return 0;
}

// name in this program's folder.
std::string BesideThisProgram(const char* name) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text(path, n < sizeof path ? n : 0);
  size_t slash = text.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : text.substr(0, slash + 1)) + name;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "q7730-wine-install: %s\nusage: q7730-wine-install [--inf PATH] | --remove\n",
               problem);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string inf = BesideThisProgram("q7730simbus.inf");
  bool remove = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--inf" && i + 1 < argc) inf = argv[++i];
    else if (arg == "--remove") remove = true;
    else return Usage(("unknown argument " + arg).c_str());
  }
  return remove ? Remove() : Install(inf);
}
