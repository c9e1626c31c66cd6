#include <windows.h>
#include <process.h>

#include <new>

#include "platform/thread.h"

namespace platform {

struct Thread::State {
  HANDLE handle = nullptr;
};

namespace {

// How long a terminated thread may take to end.
constexpr DWORD kTerminateWaitMs = 2000;

// Handed to the new thread, which frees it before running the procedure, so
// a detached thread leaves nothing behind.
struct StartBlock {
  Thread::Procedure procedure;
  void* argument;
};

unsigned __stdcall ThreadEntry(void* raw) {
  StartBlock block = *static_cast<StartBlock*>(raw);
  delete static_cast<StartBlock*>(raw);
  return block.procedure(block.argument);
}

}  // namespace

Thread::Thread() : state_(nullptr), exitCode_(0), lastError_(0) {}

Thread::~Thread() { Detach(); }

bool Thread::Start(Procedure procedure, void* argument) {
  if (state_ != nullptr || procedure == nullptr) return false;
  auto* state = new (std::nothrow) State;
  auto* block = new (std::nothrow) StartBlock{procedure, argument};
  if (state == nullptr || block == nullptr) {
    delete state;
    delete block;
    return false;
  }
  // The runtime's thread start, so the C runtime is set up for the thread.
  uintptr_t handle = _beginthreadex(nullptr, 0, ThreadEntry, block, 0, nullptr);
  if (handle == 0) {
    delete state;
    delete block;
    return false;
  }
  state->handle = reinterpret_cast<HANDLE>(handle);
  state_ = state;
  return true;
}

Thread::WaitResult Thread::Wait(uint32_t timeoutMs) {
  if (state_ == nullptr) return WaitResult::Failed;
  static_assert(kInfinite == INFINITE, "kInfinite must mean no limit to the system");
  switch (WaitForSingleObject(state_->handle, timeoutMs)) {
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      exitCode_ = GetExitCodeThread(state_->handle, &code) ? code : 0;
      CloseHandle(state_->handle);
      delete state_;
      state_ = nullptr;
      return WaitResult::Ended;
    }
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      lastError_ = GetLastError();
      return WaitResult::Failed;
  }
}

// true only once the thread has really ended: its I/O requests are
// cancelled or completed by then, so no buffer is written afterwards. The
// end is waited for a bounded time: a thread that does not end is reported,
// not waited for without end. The handle stays held; Wait then reports Ended
// at once and frees it.
bool Thread::Terminate() {
  if (state_ == nullptr) return false;
  if (WaitForSingleObject(state_->handle, 0) == WAIT_OBJECT_0) return true;
  DWORD code = STILL_ACTIVE;
  GetExitCodeThread(state_->handle, &code);
  // It may have ended between the two looks, and then cannot be terminated.
  if (!TerminateThread(state_->handle, code))
    return WaitForSingleObject(state_->handle, 0) == WAIT_OBJECT_0;
  return WaitForSingleObject(state_->handle, kTerminateWaitMs) == WAIT_OBJECT_0;
}

void Thread::Detach() {
  if (state_ == nullptr) return;
  CloseHandle(state_->handle);
  delete state_;
  state_ = nullptr;
}

bool Thread::Started() const { return state_ != nullptr; }

uint32_t Thread::ExitCode() const { return exitCode_; }

uint32_t Thread::LastError() const { return lastError_; }

}  // namespace platform
