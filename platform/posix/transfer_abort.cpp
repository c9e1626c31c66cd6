#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {

// A pipe whose read end becomes readable on Abort, so a bus can poll() on it
// beside its own descriptor; it stays readable until Reset.
struct TransferAbort::State {
  int readEnd = -1;
  int writeEnd = -1;
  std::atomic<bool> aborted{false};
};

TransferAbort::TransferAbort() : state_(new (std::nothrow) State) {
  if (state_ == nullptr) return;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    state_->readEnd = ends[0];
    state_->writeEnd = ends[1];
  }
}

TransferAbort::~TransferAbort() {
  if (state_ == nullptr) return;
  if (state_->readEnd >= 0) close(state_->readEnd);
  if (state_->writeEnd >= 0) close(state_->writeEnd);
  delete state_;
}

bool TransferAbort::Ready() const { return state_ != nullptr && state_->readEnd >= 0; }

void TransferAbort::Arm() {}

void TransferAbort::Abort() {
  if (state_ == nullptr) return;
  if (state_->aborted.exchange(true)) return;
  if (state_->writeEnd < 0) return;
  const char mark = 1;
  while (write(state_->writeEnd, &mark, 1) < 0 && errno == EINTR) {
  }
}

void TransferAbort::Reset() {
  if (state_ == nullptr) return;
  char drain[16];
  if (state_->readEnd >= 0) {
    while (read(state_->readEnd, drain, sizeof drain) > 0) {
    }
  }
  state_->aborted.store(false);
}

// Without its state it cannot abort anything, so it counts as aborted: a
// transfer given it fails at once instead of blocking beyond reach.
bool TransferAbort::Aborted() const { return state_ == nullptr || state_->aborted.load(); }

intptr_t TransferAbort::WaitObject() const { return state_ != nullptr ? state_->readEnd : -1; }

}  // namespace usb
}  // namespace platform
