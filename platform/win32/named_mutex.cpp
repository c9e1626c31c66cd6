#include <windows.h>

#include <new>

#include "platform/named_mutex.h"
#include "platform/thread.h"

namespace platform {

struct NamedMutex::State {
  HANDLE handle = nullptr;
};

NamedMutex::NamedMutex() : state_(nullptr) {}

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(const char* name, bool initialOwner, bool* alreadyExisted) {
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  // A second Create on an open object would silently drop an ownership.
  if (name == nullptr || state_ != nullptr) return false;
  auto* state = new (std::nothrow) State;
  if (state == nullptr) return false;
  // With an existing mutex the initial ownership is not granted, which is
  // what callers rely on: only the creator owns it at once.
  HANDLE handle = CreateMutexA(nullptr, initialOwner ? TRUE : FALSE, name);
  DWORD error = GetLastError();
  if (handle == nullptr) {
    delete state;
    return false;
  }
  if (alreadyExisted != nullptr) *alreadyExisted = (error == ERROR_ALREADY_EXISTS);
  state->handle = handle;
  state_ = state;
  return true;
}

NamedMutex::WaitResult NamedMutex::Wait(uint32_t timeoutMs) {
  if (state_ == nullptr) return WaitResult::Failed;
  static_assert(kInfinite == INFINITE, "kInfinite must mean no limit to the system");
  switch (WaitForSingleObject(state_->handle, timeoutMs)) {
    case WAIT_OBJECT_0:
      return WaitResult::Obtained;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    case WAIT_ABANDONED:
      return WaitResult::Abandoned;
    default:
      return WaitResult::Failed;
  }
}

bool NamedMutex::Release() {
  if (state_ == nullptr) return false;
  return ReleaseMutex(state_->handle) != FALSE;
}

void NamedMutex::Close() {
  if (state_ == nullptr) return;
  CloseHandle(state_->handle);
  delete state_;
  state_ = nullptr;
}

bool NamedMutex::IsOpen() const { return state_ != nullptr; }

}  // namespace platform
