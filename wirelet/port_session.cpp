#include "port_session.h"

#include <cstring>
#include <new>

#include "device_table.h"
#include "library_state.h"
#include "status_out.h"

namespace wirelet {

using platform::NamedMutex;
using platform::usb::Handle;
using platform::usb::kNoHandle;

namespace {

void CloseIfOpen(Handle* handle) {
  if (*handle != kNoHandle) platform::usb::Close(*handle);
  *handle = kNoHandle;
}

// A handle whose last timed transfer was abandoned is forgotten, not closed.
void ForgetOrClose(Handle* handle, int32_t timedOut) {
  if (*handle != kNoHandle && timedOut != 1) platform::usb::Close(*handle);
  *handle = kNoHandle;
}

void CloseDeviceMutex(int slot) {
  delete gLibrary.slotMutex[slot];  // closes it
  gLibrary.slotMutex[slot] = nullptr;
}

// A reader or writer that could not be set up is no reader or writer.
template <typename Object>
Object* MakeReady(Object* object) {
  if (object != nullptr && !object->Ready()) {
    delete object;
    return nullptr;
  }
  return object;
}

// A reader or writer whose worker was left running stays allocated: that
// thread may still write into it.
template <typename Object>
void Dispose(Object** object) {
  if (*object != nullptr && !(*object)->Abandoned()) delete *object;
  *object = nullptr;
}

// Every process that opens a printer uses the mutex named after its path
// without the "\\?\" prefix.
const char* DeviceMutexName(const char* path) { return path + 4; }

int HexValue(const char* text) {
  int value = 0;
  for (int i = 0; i < 4 && text[i] != '\0'; ++i) {
    char c = text[i];
    int digit = 0;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

PortSession::PortSession() : initialised(0), settings(), imageOwed(0), writer(nullptr), reader(nullptr) {
  std::memset(vendorIdText, 0, sizeof vendorIdText);
  std::memset(productIdText, 0, sizeof productIdText);
}

PortSession::~PortSession() {
  Dispose(&writer);
  Dispose(&reader);
}

void PortSession::InitialiseSettings() {
  if (initialised == 1) return;
  settings.directReadSize = 512;
  settings.writePipe = kNoHandle;
  settings.readPipe = kNoHandle;
  settings.readTimedOut = 0;
  settings.writeTimedOut = 0;
  settings.timedTransfers = 1;
  settings.transferLimitMs = kTransferLimitMs;
  std::memset(vendorIdText, 0, sizeof vendorIdText);
  std::memset(productIdText, 0, sizeof productIdText);
  initialised = 1;
}

int PortSession::OpenSession(int slot, StatusCode* status) {
  // A port that the watcher marked not open while its printer stayed still
  // holds its claim: let go of it before claiming afresh.
  EndImageHold();
  ReleaseMutexOfSlot(slot);
  ReleaseClaim(slot);
  // The timed-out flags spoke of the pipes just let go of; nothing has been
  // abandoned on the ones this claim opens, so they are closed at close.
  settings.readTimedOut = 0;
  settings.writeTimedOut = 0;
  gLibrary.slotEntry[slot] = kNone;
  gLibrary.slotWriteHandle[slot] = kNoHandle;
  gLibrary.slotReadHandle[slot] = kNoHandle;
  InitialiseSettings();
  if (writer == nullptr) writer = MakeReady(new (std::nothrow) PipeWriter(&settings));
  if (writer == nullptr) {
    SetStatus(status, kStatusNoReaderWriter);
    return 0;
  }
  if (reader == nullptr) reader = MakeReady(new (std::nothrow) PipeReader(&settings));
  if (reader == nullptr) {
    SetStatus(status, kStatusNoReaderWriter);
    return 0;
  }
  // The printer that the latest discovery pass numbered for this port.
  gLibrary.slotEntry[slot] = gLibrary.portEntry[slot];
  if (ClaimDevice(slot) == 0) {
    SetStatus(status, kStatusDeviceNotAvailable);
    return 0;
  }
  AdoptHandles(slot);
  SetStatus(status, kStatusOk);
  return 1;
}

int PortSession::ClaimDevice(int slot) {
  int count = 0;
  int entry = gLibrary.slotEntry[slot];
  if (entry == kNone) return 0;
  char path[kPathSize] = {};
  if (gDeviceTable.GetDevicePath(entry, path)) {
    // A printer in use elsewhere is claimed as soon as that process's
    // current claim or command ends.
    NamedMutex* mutex = new (std::nothrow) NamedMutex;
    if (mutex != nullptr && !mutex->Create(DeviceMutexName(path), false, nullptr)) {
      delete mutex;
      mutex = nullptr;
    }
    gLibrary.slotMutex[slot] = mutex;
    if (mutex != nullptr) {
      NamedMutex::WaitResult waited = mutex->Wait(platform::kInfinite);
      bool owned = waited == NamedMutex::WaitResult::Obtained ||
                   waited == NamedMutex::WaitResult::Abandoned;
      if (owned && HasModelIds(path) && OpenPipes(slot) == 1) count = 1;
      if (owned) mutex->Release();
    }
  }
  if (count == 0) {
    CloseDeviceMutex(slot);
    gDeviceTable.ReleaseDevice(entry);
    gLibrary.slotEntry[slot] = kNone;
  }
  return count;
}

int PortSession::OpenPipes(int slot) {
  settings.readPipeNumber = 0;
  settings.writePipeNumber = 1;
  int entry = gLibrary.slotEntry[slot];
  gLibrary.slotReadHandle[slot] = gDeviceTable.OpenDevicePipe(entry, 0, settings.readPipeNumber);
  gLibrary.slotWriteHandle[slot] = gDeviceTable.OpenDevicePipe(entry, 0, settings.writePipeNumber);
  if (gLibrary.slotReadHandle[slot] != kNoHandle && gLibrary.slotWriteHandle[slot] != kNoHandle)
    return 1;
  // Half a claim is none: the pipe that did open is closed again.
  CloseIfOpen(&gLibrary.slotReadHandle[slot]);
  CloseIfOpen(&gLibrary.slotWriteHandle[slot]);
  return 0;
}

void PortSession::AdoptHandles(int slot) {
  settings.writePipe = gLibrary.slotWriteHandle[slot];
  settings.readPipe = gLibrary.slotReadHandle[slot];
}

int PortSession::AcquireDevice(int slot, StatusCode* status, bool forImage) {
  NamedMutex* mutex = gLibrary.slotMutex[slot];
  int entry = gLibrary.slotEntry[slot];
  if (entry == kNone) {
    SetStatus(status, kStatusDeviceNotAvailable);
    return 0;
  }
  if (imageHold.Held()) {
    SetStatus(status, kStatusOk);
    return 1;
  }
  NamedMutex::WaitResult waited = NamedMutex::WaitResult::Failed;
  char path[kPathSize] = {};
  if (mutex != nullptr && !forImage) {
    waited = mutex->Wait(kCommandMutexWaitMs);
  } else if (mutex != nullptr && gDeviceTable.GetDevicePath(entry, path)) {
    // By the port's holder, a thread that keeps it for the port.
    waited = imageHold.Take(DeviceMutexName(path), kCommandMutexWaitMs);
  }
  switch (waited) {
    case NamedMutex::WaitResult::Obtained:
      SetStatus(status, kStatusOk);
      return 1;
    case NamedMutex::WaitResult::Abandoned:
      // Reported as busy, but the ownership that came with it is given
      // back, or the printer would stay locked for every process.
      if (forImage) imageHold.Give();
      else mutex->Release();
      SetStatus(status, kStatusDeviceBusy);
      return 0;
    case NamedMutex::WaitResult::TimedOut:
      SetStatus(status, kStatusDeviceBusy);
      return 0;
    case NamedMutex::WaitResult::Failed:
      break;
  }
  SetStatus(status, kStatusUnexpected);
  return 0;
}

void PortSession::EndCommand(int slot, uint32_t imageBytes) {
  if (!imageHold.Held()) {
    ReleaseMutexKeepOpen(slot);
    return;
  }
  // A new image replaces one announced before and never finished: the mutex
  // stays held once. A refused announcement gives back what it took.
  if (imageBytes > 0) imageOwed = imageBytes;
  else if (imageOwed == 0) imageHold.Give();
}

void PortSession::ReleaseMutexKeepOpen(int slot) {
  if (gLibrary.slotMutex[slot] != nullptr) gLibrary.slotMutex[slot]->Release();
}

int PortSession::CheckPipes(int slot) {
  int entry = gLibrary.slotEntry[slot];
  Handle read = gDeviceTable.OpenDevicePipe(entry, 0, settings.readPipeNumber);
  Handle write = read == kNoHandle ? kNoHandle
                                   : gDeviceTable.OpenDevicePipe(entry, 0, settings.writePipeNumber);
  // The fresh handles only prove the printer is still there.
  bool present = read != kNoHandle && write != kNoHandle;
  CloseIfOpen(&read);
  CloseIfOpen(&write);
  if (!present) return 0;
  settings.writePipe = gLibrary.slotWriteHandle[slot];
  settings.readPipe = gLibrary.slotReadHandle[slot];
  return 1;
}

void PortSession::ReleaseMutexOfSlot(int slot) {
  if (gLibrary.slotMutex[slot] == nullptr) return;
  gLibrary.slotMutex[slot]->Release();
  CloseDeviceMutex(slot);
}

void PortSession::ReleaseClaim(int slot) {
  int entry = gLibrary.slotEntry[slot];
  if (entry == kNone) return;
  gDeviceTable.ReleaseDevice(entry);
  gLibrary.slotEntry[slot] = kNone;
  ReleaseMutexOfSlot(slot);
  ForgetOrClose(&gLibrary.slotWriteHandle[slot], settings.writeTimedOut);
  ForgetOrClose(&gLibrary.slotReadHandle[slot], settings.readTimedOut);
}

void PortSession::ImageWritten(uint32_t bytes, bool ok) {
  if (imageOwed == 0) return;
  imageOwed = ok && bytes < imageOwed ? imageOwed - bytes : 0;
  if (imageOwed == 0) EndImageHold();
}

void PortSession::EndImageHold() {
  imageOwed = 0;
  imageHold.Give();
}

void PortSession::CloseSession(int slot) {
  EndImageHold();
  ReleaseMutexOfSlot(slot);
  ReleaseClaim(slot);
  Dispose(&writer);
  Dispose(&reader);
}

bool PortSession::ClaimedPrinterPresent(int slot) const {
  if (slot < 0 || slot >= kSlotCount) return true;
  int entry = gLibrary.slotEntry[slot];
  if (entry == kNone) return true;
  if (gDeviceTable.IsDevicePresent(entry) == 0) return false;
  // The path alone is not enough: a printer pulled and plugged back into the
  // same place between two looks is another device, and the claim's
  // handles still belong to the one that went.
  for (platform::usb::Handle handle : {gLibrary.slotReadHandle[slot], gLibrary.slotWriteHandle[slot]})
    if (handle != kNoHandle && !platform::usb::StillAttached(handle)) return false;
  return true;
}

void PortSession::ClosePipesIfGone(int slot, bool present) {
  if (slot < 0 || slot >= kSlotCount) return;
  if (gLibrary.slotEntry[slot] == kNone || present) return;
  ForgetOrClose(&gLibrary.slotWriteHandle[slot], settings.writeTimedOut);
  ForgetOrClose(&gLibrary.slotReadHandle[slot], settings.readTimedOut);
  settings.writePipe = kNoHandle;
  settings.readPipe = kNoHandle;
}

void PortSession::ReleaseDeviceIfGone(int slot, bool present) {
  int entry = gLibrary.slotEntry[slot];
  if (entry == kNone || present) return;
  gDeviceTable.ReleaseDevice(entry);
  gLibrary.slotEntry[slot] = kNone;
  EndImageHold();
  ReleaseMutexOfSlot(slot);
}

int PortSession::WriteBulk(const uint8_t* data, int length, StatusCode* status) {
  if (length == 0) return 0;
  // A negative length is no data to send, and must not read as sent.
  if (length < 0 || data == nullptr) {
    SetStatus(status, kStatusTransferFailed);
    return 0;
  }
  // Bounded like every other transfer, piece by piece: a stalled printer
  // must not hold the library lock, and every other printer with it, for ever.
  return writer->WriteBulk(data, static_cast<uint32_t>(length), nullptr, status);
}

void PortSession::GetIds(int* first, int* second) const {
  if (first != nullptr) *first = HexValue(vendorIdText);
  if (second != nullptr) *second = HexValue(productIdText);
}

}  // namespace wirelet
