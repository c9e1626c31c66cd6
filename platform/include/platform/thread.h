// Threads with a bounded wait.
#pragma once
#include <cstdint>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Thread {
 public:
  using Procedure = uint32_t (*)(void* argument);
  enum class WaitResult { Ended, TimedOut, Failed };

  Thread();
  // A thread still running is detached (forgotten), never killed.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts procedure(argument) on a new thread. false: no thread was started
  // (or one is already held by this object).
  bool Start(Procedure procedure, void* argument);

  // Waits at most timeoutMs (kInfinite: no limit) for the thread to end.
  // Ended: it has ended and is joined, ExitCode() is valid, the object is
  // free for another Start. TimedOut: still running. Failed: no thread held,
  // or the wait itself failed (LastError says why); on POSIX the procedure
  // has returned by then and the thread is forgotten (Started() is false),
  // on Windows it may still run and is still held.
  WaitResult Wait(uint32_t timeoutMs);

  // Last resort for a worker whose blocked I/O could not be aborted. true:
  // the thread has ended, terminated (Windows). false: not supported
  // (POSIX), failed, or the thread did not end within a bounded wait; it may
  // still run. Never waits without limit.
  bool Terminate();

  // Forgets a running thread without waiting; it releases itself when it ends.
  void Detach();

  bool Started() const;
  uint32_t ExitCode() const;
  // The system's error code of the latest Wait that failed (GetLastError on
  // Windows, the pthread error number on POSIX); 0 when none has.
  uint32_t LastError() const;

 private:
  struct State;
  State* state_;
  uint32_t exitCode_;
  uint32_t lastError_;
};

}  // namespace platform
