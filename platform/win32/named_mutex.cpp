#include <windows.h>

#include <mutex>
#include <new>

#include "platform/named_mutex.h"
#include "platform/thread.h"

namespace platform {

// The system mutex counts ownership per thread, not per handle, and closing
// a handle leaves the thread owning it. So each object also counts what was
// obtained through it, and Close gives that back, so a printer or the
// instance guard is not held until the owning thread ends.
struct NamedMutex::State {
  HANDLE handle = nullptr;
  std::mutex mutex;    // guards owner and count
  DWORD owner = 0;     // thread that obtained through this handle
  uint32_t count = 0;  // obtains through this handle not yet released

  void Obtained() {
    std::lock_guard<std::mutex> hold(mutex);
    owner = GetCurrentThreadId();
    ++count;
  }
};

NamedMutex::NamedMutex() : state_(nullptr) {}

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(const char* name, bool initialOwner, bool* alreadyExisted) {
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  Close();
  if (name == nullptr) return false;
  auto* state = new (std::nothrow) State;
  if (state == nullptr) return false;
  // With an existing mutex the initial ownership is not granted: only the
  // creator owns it at once.
  HANDLE handle = CreateMutexA(nullptr, initialOwner ? TRUE : FALSE, name);
  DWORD error = GetLastError();
  if (handle == nullptr) {
    delete state;
    return false;
  }
  bool existed = (error == ERROR_ALREADY_EXISTS);
  if (alreadyExisted != nullptr) *alreadyExisted = existed;
  state->handle = handle;
  state_ = state;
  if (initialOwner && !existed) state_->Obtained();
  return true;
}

NamedMutex::WaitResult NamedMutex::Wait(uint32_t timeoutMs) {
  if (state_ == nullptr) return WaitResult::Failed;
  static_assert(kInfinite == INFINITE, "kInfinite must mean no limit to the system");
  switch (WaitForSingleObject(state_->handle, timeoutMs)) {
    case WAIT_OBJECT_0:
      state_->Obtained();
      return WaitResult::Obtained;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    case WAIT_ABANDONED:
      state_->Obtained();
      return WaitResult::Abandoned;
    default:
      return WaitResult::Failed;
  }
}

bool NamedMutex::Release() {
  if (state_ == nullptr) return false;
  if (!ReleaseMutex(state_->handle)) return false;
  std::lock_guard<std::mutex> hold(state_->mutex);
  if (state_->owner == GetCurrentThreadId() && state_->count > 0) --state_->count;
  return true;
}

void NamedMutex::Close() {
  if (state_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    // Only the owning thread can give it back; held by another thread, it
    // stays owned until that thread ends and is then abandoned.
    if (state_->owner == GetCurrentThreadId()) {
      for (; state_->count > 0; --state_->count) ReleaseMutex(state_->handle);
    }
  }
  CloseHandle(state_->handle);
  delete state_;
  state_ = nullptr;
}

bool NamedMutex::IsOpen() const { return state_ != nullptr; }

}  // namespace platform
