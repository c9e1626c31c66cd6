#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <new>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {

namespace {

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

// A timer descriptor that becomes readable on Abort (set to expire at once)
// or when the time given to FireAfter has come, so a bus can poll() on it
// beside its own descriptor; it stays readable until Reset, because nothing
// but Reset reads or re-arms it once it has fired.
struct TransferAbort::State {
  int timer = -1;
  std::mutex mutex;  // orders the timer's settings
  std::atomic<bool> aborted{false};
  std::atomic<int64_t> deadlineNs{0};  // 0: no time set
};

namespace {

bool SetTimer(int timer, int64_t afterNs) {
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(afterNs / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(afterNs % 1000000000);
  return timerfd_settime(timer, 0, &when, nullptr) == 0;
}

}  // namespace

TransferAbort::TransferAbort() : state_(new (std::nothrow) State) {
  if (state_ == nullptr) return;
  state_->timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
}

TransferAbort::~TransferAbort() {
  if (state_ == nullptr) return;
  if (state_->timer >= 0) close(state_->timer);
  delete state_;
}

bool TransferAbort::Ready() const { return state_ != nullptr && state_->timer >= 0; }

void TransferAbort::Arm() {}

void TransferAbort::Abort() {
  if (state_ == nullptr) return;
  std::lock_guard<std::mutex> hold(state_->mutex);
  if (state_->aborted.exchange(true)) return;
  // 1 ns: a zero value would disarm the timer instead.
  if (state_->timer >= 0) SetTimer(state_->timer, 1);
}

bool TransferAbort::FireAfter(uint32_t limitMs) {
  if (!Ready()) return false;
  std::lock_guard<std::mutex> hold(state_->mutex);
  // Re-arming would take back a fire that has happened.
  if (state_->aborted.load() || Expired()) return true;
  int64_t afterNs = static_cast<int64_t>(limitMs) * 1000000;
  if (afterNs == 0) afterNs = 1;
  state_->deadlineNs.store(MonotonicNs() + afterNs);
  return SetTimer(state_->timer, afterNs);
}

bool TransferAbort::Expired() const {
  if (state_ == nullptr) return false;
  int64_t deadline = state_->deadlineNs.load();
  return deadline != 0 && MonotonicNs() >= deadline;
}

void TransferAbort::Reset() {
  if (state_ == nullptr) return;
  std::lock_guard<std::mutex> hold(state_->mutex);
  // Disarming also clears a fire not yet read.
  if (state_->timer >= 0) SetTimer(state_->timer, 0);
  state_->deadlineNs.store(0);
  state_->aborted.store(false);
}

// Without its state it cannot abort anything, so it counts as aborted: a
// transfer given it fails at once instead of blocking beyond reach.
bool TransferAbort::Aborted() const {
  return state_ == nullptr || state_->aborted.load() || Expired();
}

intptr_t TransferAbort::WaitObject() const { return state_ != nullptr ? state_->timer : -1; }

}  // namespace usb
}  // namespace platform
