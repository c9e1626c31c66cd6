#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/thread.h"

namespace platform {

// Shared by the Thread object and its thread. Two references: the object's
// and the thread's; whoever drops the last one frees it, so a detached thread
// cleans up after itself and nothing is touched after the free.
struct Thread::State {
  Thread::Procedure procedure = nullptr;
  void* argument = nullptr;
  pthread_t handle{};
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;      // guarded by mutex
  uint32_t exitCode = 0;  // written before done, read after it
  std::atomic<int> references{2};

  void Drop() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

Thread::Thread() : state_(nullptr), exitCode_(0), lastError_(0) {}

Thread::~Thread() { Detach(); }

bool Thread::Start(Procedure procedure, void* argument) {
  if (state_ != nullptr || procedure == nullptr) return false;
  auto* state = new (std::nothrow) State;
  if (state == nullptr) return false;
  state->procedure = procedure;
  state->argument = argument;
  // A lambda in a member, so that it may name the private State.
  void* (*entry)(void*) = [](void* raw) -> void* {
    auto* shared = static_cast<State*>(raw);
    uint32_t code = shared->procedure(shared->argument);
    {
      std::lock_guard<std::mutex> hold(shared->mutex);
      shared->exitCode = code;
      shared->done = true;
      // Notified under the lock: a waiter cannot see done, join and free the
      // state before this call has finished with it.
      shared->ended.notify_all();
    }
    shared->Drop();
    return nullptr;
  };
  if (pthread_create(&state->handle, nullptr, entry, state) != 0) {
    delete state;
    return false;
  }
  state_ = state;
  return true;
}

Thread::WaitResult Thread::Wait(uint32_t timeoutMs) {
  if (state_ == nullptr) return WaitResult::Failed;
  {
    std::unique_lock<std::mutex> hold(state_->mutex);
    if (timeoutMs == kInfinite) {
      state_->ended.wait(hold, [this] { return state_->done; });
    } else {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
      if (!state_->ended.wait_until(hold, deadline, [this] { return state_->done; }))
        return WaitResult::TimedOut;
    }
  }
  // The procedure has returned; the join only collects the ending thread.
  int error = pthread_join(state_->handle, nullptr);
  if (error != 0) {
    lastError_ = static_cast<uint32_t>(error);
    Detach();
    return WaitResult::Failed;
  }
  exitCode_ = state_->exitCode;
  state_->Drop();
  state_ = nullptr;
  return WaitResult::Ended;
}

// Killing a thread in the middle of I/O is not offered on POSIX: callers
// abort the blocked transfer instead and then wait for the thread.
bool Thread::Terminate() { return false; }

void Thread::Detach() {
  if (state_ == nullptr) return;
  pthread_detach(state_->handle);
  state_->Drop();
  state_ = nullptr;
}

bool Thread::Started() const { return state_ != nullptr; }

uint32_t Thread::ExitCode() const { return exitCode_; }

uint32_t Thread::LastError() const { return lastError_; }

}  // namespace platform
