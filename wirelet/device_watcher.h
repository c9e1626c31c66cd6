// DeviceWatcher: while ports are open, one background thread lets go of every
// open port whose printer has gone at each "devices changed" notice, and marks
// every open port as not open.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/lock.h"
#include "platform/thread.h"

namespace wirelet {

constexpr uint32_t kWatcherPassMs = 200;
constexpr uint32_t kWatcherStopWaitMs = 5000;

// One per started watcher, so a watcher that is slow to end still sees its own
// stop request when a newer one has started.
struct WatcherRecord {
  platform::Thread thread;
  std::atomic<int32_t> watcherStop;
  platform::Event wake;         // set with the stop request: ends the pass pause at once
  platform::Event sourceReady;  // its change source is open (or could not be)
  platform::Event finished;     // it is done with the library's state and lock
  WatcherRecord* next;          // in LibraryState::staleWatchers
};

uint32_t DeviceWatcher(void* record);

// Starts a watcher unless one runs, and returns once its change source is
// open, so that a change from then on is noticed. true: this call started it.
// Library lock held.
bool StartWatcher();
// Asks the running watcher to stop and waits at most 5000 ms for it. Called
// with the library lock held exactly once: the lock is left during the wait,
// so a watcher that is waiting for it to handle a notice can finish.
void StopWatcher();

// How unloading ends the watchers that are still running.
enum class WatcherEnd {
  kJoin,                   // wait until each thread has ended
  kTerminateWhenFinished,  // under a loader lock no thread can end: wait until each
                           // is done with the library, then terminate it
};
// Stops every watcher; none runs library code once this returns. Library
// lock not held.
void StopAllWatchers(WatcherEnd how);

}  // namespace wirelet
