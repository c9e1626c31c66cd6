// A printer's device mutex held for a port rather than for a thread. An
// announced image keeps the mutex until its last byte (port_session.h), and
// any thread of the caller may send that data or close the port, but a named
// mutex belongs to the thread that obtained it. So a thread of the hold's
// own obtains it, keeps it, and gives it back when any thread asks.
#pragma once
#include <cstdint>

#include "platform/named_mutex.h"
#include "platform/thread.h"

namespace wirelet {

class DeviceHold {
 public:
  DeviceHold();
  ~DeviceHold();  // Give
  DeviceHold(const DeviceHold&) = delete;
  DeviceHold& operator=(const DeviceHold&) = delete;

  // Starts a holder that opens the mutex of this name and waits for it at
  // most timeoutMs, and returns what that wait gave. Obtained or Abandoned:
  // held until Give. TimedOut: not held. Failed: not held; the mutex could
  // not be opened or waited for, no thread could be started, or the holder
  // did not answer in time (it then gives back whatever it obtains late).
  // A hold still held is given back first.
  platform::NamedMutex::WaitResult Take(const char* name, uint32_t timeoutMs);
  bool Held() const { return shared_ != nullptr; }
  // Gives the mutex back on the holder's thread, on whatever thread this is
  // called; nothing when not held. Waits a bounded time for the holder to
  // end; one that does not is left to end by itself.
  void Give();

 private:
  struct Shared;
  static uint32_t Holder(void* shared);

  Shared* shared_;  // while held
  platform::Thread thread_;
};

}  // namespace wirelet
