#include "device_watcher.h"

#include <new>

#include "library_state.h"
#include "platform/clock.h"
#include "platform/usb_bus.h"
#include "port_session.h"

namespace wirelet {

using platform::Thread;

namespace {

// How long a watcher that is done may take to end before it is cut off.
constexpr uint32_t kWatcherEndMs = 200;

// Frees the watchers asked to stop earlier that have ended since.
void ReapStaleWatchers() {
  WatcherRecord** link = &gLibrary.staleWatchers;
  while (*link != nullptr) {
    WatcherRecord* record = *link;
    if (record->thread.Wait(0) == Thread::WaitResult::Ended) {
      *link = record->next;
      delete record;
    } else {
      link = &record->next;
    }
  }
}

// Lets go of the printers that have gone; every open port becomes not open.
void HandleDeviceChange() {
  platform::LockHolder hold(*gLibrary.lock);
  uint32_t scanned = gLibrary.portCount.load();
  for (uint32_t i = 0; i < scanned && i < static_cast<uint32_t>(kSlotCount); ++i) {
    PortSession* session = gLibrary.sessions[i];
    if (session == nullptr || gLibrary.openPort[i] == kNone) continue;
    int slot = static_cast<int>(i);
    bool present = session->ClaimedPrinterPresent(slot);
    session->ClosePipesIfGone(slot, present);
    session->ReleaseDeviceIfGone(slot, present);
    gLibrary.openPort[i] = kNone;
  }
}

}  // namespace

uint32_t DeviceWatcher(void* raw) {
  WatcherRecord* record = static_cast<WatcherRecord*>(raw);
  // Opened on this thread: the notices belong to the thread that takes them.
  platform::usb::ChangeSource* source = platform::usb::OpenChangeSource(gLibrary.moduleInstance);
  record->sourceReady.Set();
  while (record->watcherStop.load() == 0) {
    if (source != nullptr && platform::usb::TakeChange(source)) HandleDeviceChange();
    record->wake.Wait(kWatcherPassMs);
  }
  platform::usb::CloseChangeSource(source);
  record->finished.Set();
  return 0;
}

bool StartWatcher() {
  ReapStaleWatchers();
  if (gLibrary.watcher != nullptr) return false;
  WatcherRecord* record = new (std::nothrow) WatcherRecord;
  if (record == nullptr) return false;
  record->watcherStop.store(0);
  record->next = nullptr;
  if (!record->thread.Start(&DeviceWatcher, record)) {
    delete record;
    return false;
  }
  gLibrary.watcher = record;
  // Bounded by the bus's own limits; a source that is slow to open only
  // narrows what is noticed.
  record->sourceReady.Wait(kWatcherStopWaitMs);
  return true;
}

void StopWatcher() {
  WatcherRecord* record = gLibrary.watcher;
  if (record != nullptr) {
    gLibrary.watcher = nullptr;
    record->watcherStop.store(1);
    record->wake.Set();
    platform::SleepMs(10);
    gLibrary.lock->Leave();
    Thread::WaitResult waited = record->thread.Wait(kWatcherStopWaitMs);
    gLibrary.lock->Enter();
    if (waited == Thread::WaitResult::Ended) {
      delete record;
    } else {
      // It ends at its next pass; freed once it has.
      record->next = gLibrary.staleWatchers;
      gLibrary.staleWatchers = record;
    }
  }
  ReapStaleWatchers();
}

void StopAllWatchers(WatcherEnd how) {
  if (gLibrary.watcher != nullptr) {
    gLibrary.watcher->next = gLibrary.staleWatchers;
    gLibrary.staleWatchers = gLibrary.watcher;
    gLibrary.watcher = nullptr;
  }
  for (WatcherRecord* record = gLibrary.staleWatchers; record != nullptr; record = record->next) {
    record->watcherStop.store(1);
    record->wake.Set();
  }
  while (gLibrary.staleWatchers != nullptr) {
    WatcherRecord* record = gLibrary.staleWatchers;
    gLibrary.staleWatchers = record->next;
    if (how == WatcherEnd::kTerminateWhenFinished) {
      // Asked to stop, it is done within one pass; one stuck in a bus call
      // is cut off all the same, since its code is about to go. A thread
      // that can end is let end: cut off while ending it could hold the
      // loader lock, which nothing would ever release.
      record->finished.Wait(kWatcherStopWaitMs);
      if (record->thread.Wait(kWatcherEndMs) != Thread::WaitResult::Ended) record->thread.Terminate();
    }
    record->thread.Wait(platform::kInfinite);
    delete record;
  }
}

}  // namespace wirelet
