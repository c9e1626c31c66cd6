// The library's process-wide state: one set of plain globals per loaded
// instance, reset by the load hook. Nothing here may be an inline or template
// static or thread-local, so that unloading really drops it; and nothing here
// has a constructor or destructor, so the load and unload hooks need not care
// in which order they run against the static objects.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/lock.h"
#include "platform/named_mutex.h"
#include "platform/usb_bus.h"
#include "device_watcher.h"
#include "wirelet.h"

namespace wirelet {

constexpr int kSlotCount = 128;
constexpr int kNone = -1;

class PortSession;
struct WatcherRecord;

struct LibraryState {
  platform::RecursiveLock* lock;  // the library lock, created by ProcessAttach
  void* moduleInstance;
  PortSession* sessions[kSlotCount];          // by port slot; owned
  int32_t portList[kSlotCount];               // latest pass: position k holds k+1
  int32_t openPort[kSlotCount];               // by port slot; -1 = not open
  int32_t portEntry[kSlotCount];              // by port slot: device slot of that printer
  int32_t slotEntry[kSlotCount];              // by port slot: device slot of the session
  platform::NamedMutex* slotMutex[kSlotCount];  // by port slot: device mutex, null = none
  platform::usb::Handle slotWriteHandle[kSlotCount];
  platform::usb::Handle slotReadHandle[kSlotCount];
  platform::usb::Handle discoveryHandles[kSlotCount];  // by device slot
  int32_t discoveryOpened;
  uint32_t findCursor;
  std::atomic<uint32_t> portCount;  // read by the watcher without the lock
  WatcherRecord* watcher;           // the running watcher, null when none
  WatcherRecord* staleWatchers;     // watchers asked to stop that had not ended yet
};

extern LibraryState gLibrary;

// The load-time steps: arrays reset, the lock created.
void ProcessAttach(void* instance);
// The unload-time steps: every watcher stopped (ended as how says, so none
// runs on past unload), then the lock deleted. Sessions still open are not
// closed.
void ProcessDetach(WatcherEnd how);

// Port slot of a port number of the latest pass, or -1.
int SlotOfPort(int port);
bool IsPortOpen(int port);

// Deletes the slot's session after releasing its claim; the slot is then not open.
void DropSession(int slot);

// The entry steps that the command exports share: the library lock is held
// for the object's lifetime, and the port number is resolved to its slot.
class PortCall {
 public:
  explicit PortCall(int port);
  ~PortCall();
  PortCall(const PortCall&) = delete;
  PortCall& operator=(const PortCall&) = delete;

  // The session to run the command on, or null with *status 1001 (unknown
  // port) or 1000 (the port has no session).
  PortSession* Session(StatusCode* status) const;
  int Slot() const { return slot_; }

 private:
  int slot_;
};

}  // namespace wirelet
