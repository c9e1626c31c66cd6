// The library's state, its load and unload steps, discovery and port
// numbering, and the opening and closing of ports.
#include "library_state.h"

#include <algorithm>
#include <new>

#include "device_table.h"
#include "device_watcher.h"
#include "platform/clock.h"
#include "port_session.h"

namespace wirelet {

using platform::usb::kNoHandle;

LibraryState gLibrary;

void ProcessAttach(void* instance) {
  gLibrary.moduleInstance = instance;
  for (int i = 0; i < kSlotCount; ++i) {
    gLibrary.sessions[i] = nullptr;
    gLibrary.portList[i] = 0;
    gLibrary.openPort[i] = kNone;
    gLibrary.portEntry[i] = kNone;
    gLibrary.slotEntry[i] = kNone;
    gLibrary.slotMutex[i] = nullptr;
    gLibrary.slotWriteHandle[i] = kNoHandle;
    gLibrary.slotReadHandle[i] = kNoHandle;
    gLibrary.discoveryHandles[i] = kNoHandle;
  }
  gLibrary.discoveryOpened = 0;
  gLibrary.findCursor = 0;
  gLibrary.portCount.store(1);
  gLibrary.watcher = nullptr;
  gLibrary.staleWatchers = nullptr;
  if (gLibrary.lock == nullptr) gLibrary.lock = new platform::RecursiveLock;
}

void ProcessDetach(WatcherEnd how) {
  // Callers close their ports before unloading, which stops the watcher; any
  // still running is stopped here, before the lock it takes is deleted.
  StopAllWatchers(how);
  // Ports the caller left open are closed as usb_close_port would: their
  // printers go back to every other process (an image half sent holds one
  // through a thread of the port's), and no thread of a session is left in
  // code that is about to go. Not while another thread is inside a call
  // (a program ending without waiting for it): its session is in use.
  if (gLibrary.lock != nullptr && gLibrary.lock->TryEnter()) {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      PortSession* session = gLibrary.sessions[slot];
      if (session == nullptr) continue;
      session->CloseSession(slot);
      delete session;
      gLibrary.sessions[slot] = nullptr;
      gLibrary.openPort[slot] = kNone;
    }
    gLibrary.lock->Leave();
  }
  // Only now: a watcher uses the bus up to its end.
  platform::usb::CloseBus();
  delete gLibrary.lock;
  gLibrary.lock = nullptr;
}

int SlotOfPort(int port) {
  if (port == 0) return kNone;
  for (int k = 0; k < kSlotCount; ++k) {
    if (gLibrary.portList[k] == port) return k;
  }
  return kNone;
}

bool IsPortOpen(int port) {
  if (port == 0) return false;
  for (int k = 0; k < kSlotCount; ++k) {
    if (gLibrary.openPort[k] == port) return true;
  }
  return false;
}

void DropSession(int slot) {
  platform::LockHolder hold(*gLibrary.lock);
  platform::SleepMs(50);
  PortSession* session = gLibrary.sessions[slot];
  if (session != nullptr) {
    session->CloseSession(slot);
    delete session;
    gLibrary.sessions[slot] = nullptr;
    gLibrary.openPort[slot] = kNone;
  }
}

PortCall::PortCall(int port) : slot_(kNone) {
  gLibrary.lock->Enter();
  slot_ = SlotOfPort(port);
}

PortCall::~PortCall() { gLibrary.lock->Leave(); }

PortSession* PortCall::Session(StatusCode* status) const {
  if (slot_ == kNone) {
    *status = kStatusUnknownPort;
    return nullptr;
  }
  PortSession* session = gLibrary.sessions[slot_];
  if (session == nullptr) *status = kStatusDeviceNotAvailable;
  return session;
}

}  // namespace wirelet

using wirelet::gDeviceTable;
using wirelet::gLibrary;
using wirelet::kNone;
using wirelet::kSlotCount;
using platform::usb::kNoHandle;

extern "C" {

int usb_find_first(void) {
  platform::LockHolder hold(*gLibrary.lock);
  gLibrary.findCursor = 0;
  gLibrary.discoveryOpened = 0;
  for (int k = 0; k < kSlotCount; ++k) {
    gLibrary.portList[k] = 0;
    gLibrary.portEntry[k] = kNone;
  }
  int count = 0;
  // Every member index is asked: a gap in the list does not end the pass.
  for (int index = 0; index < kSlotCount; ++index) {
    int s = gDeviceTable.FindDeviceByIndex(static_cast<uint16_t>(index));
    if (s == kNone) continue;
    // The list is read anew for each index: a printer arriving during the
    // pass shifts the later ones, and one of them comes again. A printer
    // numbered twice would be updated by two workers at once.
    if (std::find(gLibrary.portEntry, gLibrary.portEntry + count, s) != gLibrary.portEntry + count) continue;
    char path[wirelet::kPathSize] = {};
    if (gDeviceTable.GetDevicePath(s, path) && wirelet::HasModelIds(path)) {
      gLibrary.portList[count] = count + 1;
      // Port n reaches the n-th printer of this pass, whatever slot the
      // table gave it in earlier passes.
      gLibrary.portEntry[count] = s;
      ++count;
      gLibrary.portCount.store(static_cast<uint32_t>(count));
    }
  }
  // Discovery needs a device's handle only while it registers the device.
  if (gLibrary.discoveryOpened == 1) {
    for (int s = 0; s < kSlotCount; ++s) {
      if (gLibrary.discoveryHandles[s] != kNoHandle) {
        platform::usb::Close(gLibrary.discoveryHandles[s]);
        gLibrary.discoveryHandles[s] = kNoHandle;
      }
    }
  }
  return gLibrary.portList[0];
}

int usb_find_next(void) {
  platform::LockHolder hold(*gLibrary.lock);
  int result = gLibrary.portList[gLibrary.findCursor + 1];
  gLibrary.findCursor = gLibrary.findCursor + 1;
  if (gLibrary.findCursor > 126) gLibrary.findCursor = 0;
  return result;
}

StatusCode WIRELET_CALL usb_open_port(int port) {
  platform::LockHolder hold(*gLibrary.lock);
  StatusCode code = kStatusOk;
  if (wirelet::IsPortOpen(port)) return kStatusPortAlreadyOpen;
  int slot = wirelet::SlotOfPort(port);
  if (slot == kNone) return kStatusUnknownPort;
  gLibrary.openPort[slot] = port;
  if (gLibrary.sessions[slot] == nullptr) {
    gLibrary.sessions[slot] = new (std::nothrow) wirelet::PortSession;
    if (gLibrary.sessions[slot] == nullptr) {
      gLibrary.openPort[slot] = kNone;
      return kStatusNoReaderWriter;
    }
  }
  // The watcher listens from before the claim, so a printer pulled while it
  // is claimed is noticed; only a successful open leaves it running.
  bool startedWatcher = wirelet::StartWatcher();
  if (gLibrary.sessions[slot]->OpenSession(slot, &code) == 0) {
    wirelet::DropSession(slot);
    if (startedWatcher) wirelet::StopWatcher();
  }
  return code;
}

StatusCode WIRELET_CALL usb_close_port(int port) {
  platform::LockHolder hold(*gLibrary.lock);
  int slot = wirelet::SlotOfPort(port);
  if (slot == kNone) return kStatusUnknownPort;
  wirelet::DropSession(slot);
  // Closing any port stops the watcher; the next open starts a new one.
  wirelet::StopWatcher();
  return kStatusOk;
}

StatusCode WIRELET_CALL usb_get_id(int port, int* first, int* second) {
  // Under the library lock like every other export: a close on another
  // thread could otherwise delete the session while it is read.
  wirelet::PortCall call(port);
  StatusCode code = kStatusOk;
  if (wirelet::PortSession* session = call.Session(&code)) session->GetIds(first, second);
  return code;
}

}  // extern "C"
