#include "device_watcher.h"

#include <new>

#include "library_state.h"
#include "platform/clock.h"
#include "platform/usb_bus.h"
#include "port_session.h"

namespace wirelet {

using platform::Thread;

namespace {

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
    session->ClosePipesIfGone(static_cast<int>(i));
    session->ReleaseDeviceIfGone(static_cast<int>(i));
    gLibrary.openPort[i] = kNone;
  }
}

}  // namespace

uint32_t DeviceWatcher(void* raw) {
  WatcherRecord* record = static_cast<WatcherRecord*>(raw);
  // Opened on this thread: the notices belong to the thread that takes them.
  platform::usb::ChangeSource* source = platform::usb::OpenChangeSource();
  while (record->watcherStop.load() == 0) {
    if (source != nullptr && platform::usb::TakeChange(source)) HandleDeviceChange();
    platform::SleepMs(kWatcherPassMs);
  }
  platform::usb::CloseChangeSource(source);
  return 0;
}

void StartWatcher() {
  ReapStaleWatchers();
  if (gLibrary.watcher != nullptr) return;
  WatcherRecord* record = new (std::nothrow) WatcherRecord;
  if (record == nullptr) return;
  record->watcherStop.store(0);
  record->next = nullptr;
  if (!record->thread.Start(&DeviceWatcher, record)) {
    delete record;
    return;
  }
  gLibrary.watcher = record;
}

void StopWatcher() {
  WatcherRecord* record = gLibrary.watcher;
  if (record != nullptr) {
    gLibrary.watcher = nullptr;
    record->watcherStop.store(1);
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

void StopAllWatchers(uint32_t limitMs) {
  if (gLibrary.watcher != nullptr) {
    gLibrary.watcher->next = gLibrary.staleWatchers;
    gLibrary.staleWatchers = gLibrary.watcher;
    gLibrary.watcher = nullptr;
  }
  while (gLibrary.staleWatchers != nullptr) {
    WatcherRecord* record = gLibrary.staleWatchers;
    gLibrary.staleWatchers = record->next;
    record->watcherStop.store(1);
    if (record->thread.Wait(limitMs) == Thread::WaitResult::Ended) {
      delete record;
    } else {
      // Still running: it reads its record until it ends, so the record
      // stays; the thread is forgotten.
      record->thread.Detach();
    }
  }
}

}  // namespace wirelet
