// CancelSynchronousIo needs Vista's declarations.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {

namespace {

// How long Abort keeps trying to cancel a worker's call, and how often.
constexpr DWORD kCancelRetryMs = 1000;
constexpr DWORD kRetryPauseMs = 1;

}  // namespace

// A manual-reset event that buses wait on beside their own I/O. Abort also
// cancels synchronous I/O of the armed thread, for buses whose transfers
// block in ReadFile/WriteFile.
struct TransferAbort::State {
  HANDLE event = nullptr;
  std::mutex lock;  // guards thread
  HANDLE thread = nullptr;
  std::atomic<bool> aborted{false};
};

TransferAbort::TransferAbort() : state_(new (std::nothrow) State) {
  if (state_ != nullptr) state_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

TransferAbort::~TransferAbort() {
  if (state_ == nullptr) return;
  if (state_->thread != nullptr) CloseHandle(state_->thread);
  if (state_->event != nullptr) CloseHandle(state_->event);
  delete state_;
}

bool TransferAbort::Ready() const { return state_ != nullptr && state_->event != nullptr; }

void TransferAbort::Arm() {
  if (state_ == nullptr) return;
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  std::lock_guard<std::mutex> hold(state_->lock);
  if (state_->thread != nullptr) CloseHandle(state_->thread);
  state_->thread = self;
}

void TransferAbort::Abort() {
  if (state_ == nullptr) return;
  state_->aborted.store(true);
  if (state_->event != nullptr) SetEvent(state_->event);
  std::lock_guard<std::mutex> hold(state_->lock);
  HANDLE thread = state_->thread;
  if (thread == nullptr) return;
  // ERROR_NOT_FOUND: the worker is not inside a call right now. It may have
  // looked at the flag just before it was set and be on its way into
  // ReadFile, so try again until it has ended (it returns without another
  // call once it sees the flag), for a bounded time.
  const DWORD start = GetTickCount();
  while (!CancelSynchronousIo(thread) && GetLastError() == ERROR_NOT_FOUND) {
    if (WaitForSingleObject(thread, kRetryPauseMs) != WAIT_TIMEOUT) return;
    if (GetTickCount() - start >= kCancelRetryMs) return;
  }
}

void TransferAbort::Reset() {
  if (state_ == nullptr) return;
  if (state_->event != nullptr) ResetEvent(state_->event);
  state_->aborted.store(false);
}

// A blocking ReadFile or WriteFile ends early only by CancelSynchronousIo
// from another thread, so a time limit needs that thread.
bool TransferAbort::FireAfter(uint32_t /*limitMs*/) { return false; }

bool TransferAbort::Expired() const { return false; }

// Without its state it cannot abort anything, so it counts as aborted: a
// transfer given it fails at once instead of blocking beyond reach.
bool TransferAbort::Aborted() const { return state_ == nullptr || state_->aborted.load(); }

intptr_t TransferAbort::WaitObject() const {
  return state_ != nullptr ? reinterpret_cast<intptr_t>(state_->event) : 0;
}

}  // namespace usb
}  // namespace platform
