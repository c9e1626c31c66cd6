// DeviceWatcher: while ports are open, one background thread lets go of every
// open port whose printer has gone at each "devices changed" notice, and marks
// every open port as not open.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/thread.h"

namespace wirelet {

constexpr uint32_t kWatcherPassMs = 200;
constexpr uint32_t kWatcherStopWaitMs = 5000;

// One per started watcher, so a watcher that is slow to end still sees its own
// stop request when a newer one has started.
struct WatcherRecord {
  platform::Thread thread;
  std::atomic<int32_t> watcherStop;
  WatcherRecord* next;  // in LibraryState::staleWatchers
};

uint32_t DeviceWatcher(void* record);

// Starts a watcher unless one runs. Library lock held.
void StartWatcher();
// Asks the running watcher to stop and waits at most 5000 ms for it. Called
// with the library lock held exactly once: the lock is left during the wait,
// so a watcher that is waiting for it to handle a notice can finish.
void StopWatcher();
// Stops every watcher, waiting at most limitMs for each; those still running
// then are forgotten. Library lock not held.
void StopAllWatchers(uint32_t limitMs);

}  // namespace wirelet
