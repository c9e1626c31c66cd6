// Cross-process mutex by name (the single-instance guard, the device mutex).
// Ownership belongs to the thread that obtained it, as with a Windows mutex;
// the owning thread may obtain it again (counted).
#pragma once
#include <cstdint>

namespace platform {

class NamedMutex {
 public:
  enum class WaitResult {
    Obtained,   // the caller owns the mutex
    TimedOut,   // another owner kept it for the whole limit
    Abandoned,  // the previous owner ended without releasing; the caller now owns it
    Failed,     // not open, or the wait failed; the caller does not own it
  };

  NamedMutex();
  ~NamedMutex();  // Close()
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Opens the mutex of this name, creating it when no handle to it is open in
  // any process. *alreadyExisted (may be null) is set to true when another
  // handle was open. initialOwner: obtain it at once, but only when this call
  // created it. false: it could not be opened or created.
  bool Create(const char* name, bool initialOwner, bool* alreadyExisted);

  // timeoutMs: kInfinite (platform/thread.h) waits without limit.
  WaitResult Wait(uint32_t timeoutMs);

  // false when the calling thread does not own it.
  bool Release();

  // Closes this handle. Ownership still held through it is abandoned.
  void Close();

  bool IsOpen() const;

 private:
  struct State;
  State* state_;
};

}  // namespace platform
