// Start-up, the banner, the single-instance guard and the two phases.
#include "driver.h"

#include <cstdint>
#include <cstring>

#include "controller_update.h"
#include "device_library.h"
#include "engine_update.h"
#include "notice_window.h"
#include "package.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/lock.h"
#include "platform/system.h"
#include "platform/thread.h"

platform::NamedMutex instanceMutex;

namespace {

constexpr uint32_t kWorkerSpacingMs = 300;
constexpr uint32_t kWaitRetryMs = 100;

void PrintListing(const FirmwareFileSet& set) {
  platform::Print("USB:   %s \n", set.files[kFileUsb].name);
  platform::Print("MAIN:  %s \n", set.files[kFileMain].name);
  platform::Print("DSP:   %s \n", set.files[kFileDsp].name);
  platform::Print("TABLE: %s \n", set.files[kFileTable].name);
}

void PrintBanner(const UpdatePackage& package) {
  platform::Print("ZEM-Q7730-5A Firmware Package Upgrade\n");
  platform::Print("Firmware package upgrade tool for ZEM-Q7730-5A printers\n\n");
  platform::Print("Lists the files used to upgrade the firmware.\n");
  platform::Print("----- New PCB Firmware -----\n");
  PrintListing(package.boardSets[kNewBoardSet]);
  platform::Print("----- Old PCB Firmware -----\n");
  PrintListing(package.boardSets[kOldBoardSet]);
  platform::Print("\n");
}

}  // namespace

uint32_t EngineWorker(void* argument) {
  int port = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  return static_cast<uint32_t>(UpdateEngineFirmware(port));
}

namespace {

// The start of each phase: a fresh load of the library and a fresh
// enumeration. The printer count, or -1 after its message.
int BindAndEnumerate() {
  if (!BindDeviceLibrary()) {
    platform::Print("SDK Load Failed Error. \n");
    UnbindDeviceLibrary();
    return -1;
  }
  int count = EnumeratePrinters(portTable);
  if (count == -1) {
    // The library stays bound: the program ends right after.
    platform::Print("The printer is not connected. \n");
    return -1;
  }
  platform::Print("Detected %d printer(s)\n", count);
  return count;
}

}  // namespace

int RunControllerPhase(int* printers) {
  if (printers != nullptr) *printers = 0;
  int count = BindAndEnumerate();
  if (count == -1) return -1;
  if (printers != nullptr) *printers = count;

  int result = 0;
  bool allDone = true;
  for (int i = 0; i < count; ++i) {
    result = UpdateControllerFirmware(portTable[i]);
    if (result != 0) allDone = false;
  }

  UnbindDeviceLibrary();
  // Only a single printer whose update failed ends the run; with several, or
  // a port that could not be opened, the engine phase runs all the same.
  if (count == 1 && result == -1) return -1;
  return allDone ? 0 : 1;
}

int RunEnginePhase(int printersBefore) {
  int count = BindAndEnumerate();
  if (count == -1) return -1;
  // Fewer than the controller phase worked on: one has gone since.
  bool allComplete = count >= printersBefore;

  writeLock = new platform::RecursiveLock;

  platform::Thread workers[kPortTableSize];
  for (int i = 0; i < count; ++i) {
    void* argument = reinterpret_cast<void*>(static_cast<intptr_t>(portTable[i]));
    if (!workers[i].Start(EngineWorker, argument)) {
      platform::Print("#printer %.2d could not be started. \n", portTable[i]);
      allComplete = false;
    }
    platform::SleepMs(kWorkerSpacingMs);
  }

  // Wait for every started worker without a limit. A wait that fails says
  // nothing of its worker, which may still be sending an image: the phase
  // never ends before every worker has.
  bool reported = false;
  for (int i = 0; i < count; ++i) {
    if (!workers[i].Started()) continue;
    bool ended = false;
    while (workers[i].Started()) {
      if (workers[i].Wait(platform::kInfinite) == platform::Thread::WaitResult::Ended) {
        ended = true;
        break;
      }
      if (!reported) platform::Print("WaitForMultipleObjects Error = %d \n", static_cast<int>(workers[i].LastError()));
      reported = true;
      platform::SleepMs(kWaitRetryMs);
    }
    // A worker whose end was not seen cannot vouch for its printer.
    if (!ended || static_cast<int32_t>(workers[i].ExitCode()) != 0) allComplete = false;
  }

  delete writeLock;
  writeLock = nullptr;
  UnbindDeviceLibrary();
  return allComplete ? 0 : 1;
}

int UpdaterMain(int argc, char* argv[]) {
  // The program directory is shown on the old Windows family only and used
  // for nothing else.
  if (!platform::IsNtPlatform() && argc > 0) {
    char programDirectory[kPathSize];
    DirectoryPart(programDirectory, argv[0]);
    platform::Print("PATH = %s\n", programDirectory);
  }
  if (argc <= 1) return 0;

  LoadPackage(updatePackage, argv[1]);
  platform::ClearConsole();
  PrintBanner(updatePackage);

  bool existed = false;
  if (!instanceMutex.Create(kInstanceMutexName, true, &existed) || existed) {
    platform::Print("This application is already started. \n");
    instanceMutex.Close();
    return -1;
  }

  platform::Thread noticeThread;
  StartNoticeThread(noticeThread);

  int printers = 0;
  int controller = RunControllerPhase(&printers);
  if (controller == -1) {
    EndNoticeThread(noticeThread);
    return -1;
  }
  int engine = RunEnginePhase(printers);
  EndNoticeThread(noticeThread);
  // An installer trusts this: 0 only when every printer was updated whole.
  return controller == 0 && engine == 0 ? 0 : -1;
}
