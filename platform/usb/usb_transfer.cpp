// Read and Write for the libusb bus: one asynchronous bulk transfer each,
// completed on the bus's event thread, so the waiting worker can watch its
// abort signal beside the completion and cancel the transfer.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "usb_context.h"
#include "usb_devices.h"

namespace platform {
namespace usb {
namespace {

// The library never moves more in one transfer: a block of bulk data or a
// reply of at most 300 bytes.
constexpr uint32_t kMaxTransfer = 4096;
// How long a cancelled transfer may take to call back before it is left to
// finish on its own. libusb calls back at once on a live device and on one
// that went away; the limit only keeps a worker from waiting for ever. The
// pipe takes no other transfer until that callback has come.
constexpr uint32_t kCancelGraceMs = 1000;
// Without a descriptor the abort signal is looked at this often, and so is
// a pipe whose cancelled transfer has not called back yet.
constexpr int kAbortPollMs = 50;
constexpr int kStragglerPollMs = 10;

// One transfer in flight. It owns its buffer, so the caller's buffer is only
// touched while the call runs. The waiter and the callback each hold a
// reference; whoever lets go last frees it, so a transfer left behind frees
// itself when libusb calls it back, and no one writes to a closed wake-up.
struct Pending {
  libusb_transfer* transfer = nullptr;
  OpenDevice* device = nullptr;
  int pipe = 0;  // 0 bulk-in, 1 bulk-out
  uint8_t* data = nullptr;
  int wake = -1;
  std::atomic<int> references{2};
  std::atomic<bool> done{false};
  // kWaited until either the callback (kCalledBack) or the waiter giving up
  // (kLeftBehind) settles it; a callback that finds it left behind lowers
  // the pipe's straggler count that the waiter raised.
  enum Phase { kWaited, kCalledBack, kLeftBehind };
  std::atomic<int> phase{kWaited};
  int status = LIBUSB_TRANSFER_ERROR;
  int actual = 0;
};

void Free(Pending* pending) {
  if (pending->transfer != nullptr) libusb_free_transfer(pending->transfer);
  if (pending->wake >= 0) close(pending->wake);
  delete[] pending->data;
  if (pending->device != nullptr) pending->device->transfers.fetch_sub(1);
  delete pending;
}

void Release(Pending* pending) {
  if (pending->references.fetch_sub(1) == 1) Free(pending);
}

// On the event thread, inside libusb: record, wake the waiter, nothing more.
void LIBUSB_CALL OnDone(libusb_transfer* transfer) {
  Pending* pending = static_cast<Pending*>(transfer->user_data);
  pending->status = transfer->status;
  pending->actual = transfer->actual_length;
  if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) pending->device->lost.store(true);
  pending->done.store(true);
  int waited = Pending::kWaited;
  if (!pending->phase.compare_exchange_strong(waited, Pending::kCalledBack))
    pending->device->stragglers[pending->pipe].fetch_sub(1);
  const uint64_t one = 1;
  while (write(pending->wake, &one, sizeof one) < 0 && errno == EINTR) {
  }
  Release(pending);
}

// submitted: the transfer's length, which for bulk-in is whole packets.
Pending* Submit(BusHandle* bus, const void* source, uint32_t size, uint32_t submitted) {
  Pending* pending = new (std::nothrow) Pending;
  if (pending == nullptr) return nullptr;
  pending->data = new (std::nothrow) uint8_t[submitted];
  pending->transfer = libusb_alloc_transfer(0);
  pending->wake = eventfd(0, EFD_CLOEXEC);
  if (pending->data == nullptr || pending->transfer == nullptr || pending->wake < 0) {
    Free(pending);
    return nullptr;
  }
  OpenDevice* open = bus->device;
  bool in = bus->kind == NameKind::BulkIn;
  if (!in) std::memcpy(pending->data, source, size);
  // No time-out of libusb's own: the library's worker limit bounds the wait.
  libusb_fill_bulk_transfer(pending->transfer, open->handle, in ? open->bulkIn : open->bulkOut,
                            pending->data, static_cast<int>(submitted), &OnDone, pending, 0);
  open->transfers.fetch_add(1);
  pending->device = open;
  pending->pipe = in ? 0 : 1;
  if (libusb_submit_transfer(pending->transfer) != 0) {
    Free(pending);  // never called back
    return nullptr;
  }
  return pending;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd one{fd, POLLIN, 0};
  for (;;) {
    int n = poll(&one, 1, timeoutMs);
    if (n >= 0) return n > 0;
    if (errno != EINTR) return false;
  }
}

// Waits for the callback, cancelling the transfer once abort fires (or the
// wait itself fails). true: the callback has run.
bool AwaitCompletion(Pending* pending, TransferAbort* abort) {
  int abortFd = abort != nullptr ? static_cast<int>(abort->WaitObject()) : -1;
  bool cancel = false;
  while (!cancel && !pending->done.load()) {
    if (abort == nullptr) {
      cancel = !WaitReadable(pending->wake, -1);
      continue;
    }
    pollfd fds[2] = {{pending->wake, POLLIN, 0}, {abortFd, POLLIN, 0}};
    int n = poll(fds, abortFd >= 0 ? 2 : 1, abortFd >= 0 ? -1 : kAbortPollMs);
    cancel = (n < 0 && errno != EINTR) || abort->Aborted();
  }
  if (pending->done.load()) return true;
  libusb_cancel_transfer(pending->transfer);
  WaitReadable(pending->wake, static_cast<int>(kCancelGraceMs));
  if (pending->done.load()) return true;
  OpenDevice* open = pending->device;
  open->stragglers[pending->pipe].fetch_add(1);
  int waited = Pending::kWaited;
  if (pending->phase.compare_exchange_strong(waited, Pending::kLeftBehind)) return false;
  // It called back just now after all.
  open->stragglers[pending->pipe].fetch_sub(1);
  return true;
}

// Waits until no cancelled transfer of the pipe is still out. false: the
// abort fired first, there is no abort to bound the wait, or the device went.
bool AwaitStragglers(OpenDevice* open, int pipe, TransferAbort* abort) {
  int abortFd = abort != nullptr ? static_cast<int>(abort->WaitObject()) : -1;
  while (open->stragglers[pipe].load() > 0) {
    if (abort == nullptr || abort->Aborted() || open->lost.load()) return false;
    if (abortFd >= 0) WaitReadable(abortFd, kStragglerPollMs);
    else poll(nullptr, 0, kStragglerPollMs);
  }
  return true;
}

// A halted endpoint answers every later transfer with a stall until it is
// cleared. Cleared here, on the waiting thread, never from a callback: the
// clearing is a control request that needs the event thread.
void ClearHaltAfterStall(OpenDevice* open, int pipe) {
  libusb_clear_halt(open->handle, pipe == 0 ? open->bulkIn : open->bulkOut);
}

bool Transfer(Handle handle, NameKind kind, const void* source, void* destination, uint32_t size,
              uint32_t* moved, TransferAbort* abort) {
  if (moved != nullptr) *moved = 0;
  BusHandle* bus = FromHandle(handle);
  if (bus == nullptr || bus->kind != kind) return false;
  if (abort != nullptr && abort->Aborted()) return false;
  // A zero-length write moves nothing and reaches no printer.
  if (size == 0) return kind == NameKind::BulkOut;
  if (size > kMaxTransfer) return false;
  OpenDevice* open = bus->device;
  int pipe = kind == NameKind::BulkIn ? 0 : 1;
  if (!AwaitStragglers(open, pipe, abort)) return false;
  // A bulk-in transfer asks for whole packets: asking for less than a
  // packet makes a longer reply babble, and that packet is lost. More than
  // was asked for is an overflow all the same, reported as a failure.
  uint32_t packet = open->inPacket;
  uint32_t submitted = kind == NameKind::BulkIn ? (size + packet - 1) / packet * packet : size;
  Pending* pending = Submit(bus, source, size, submitted);
  if (pending == nullptr) return false;
  // Only a transfer that was called back has settled fields and buffer; one
  // left behind frees itself later.
  bool calledBack = AwaitCompletion(pending, abort);
  bool ok = calledBack && pending->status == LIBUSB_TRANSFER_COMPLETED && pending->actual >= 0 &&
            static_cast<uint32_t>(pending->actual) <= size;
  bool stalled = calledBack && pending->status == LIBUSB_TRANSFER_STALL;
  uint32_t count = ok ? static_cast<uint32_t>(pending->actual) : 0;
  if (ok && kind == NameKind::BulkIn && count > 0) std::memcpy(destination, pending->data, count);
  Release(pending);
  if (stalled) ClearHaltAfterStall(open, pipe);
  if (moved != nullptr) *moved = count;
  return ok && (kind == NameKind::BulkIn || count > 0);
}

}  // namespace

bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received, TransferAbort* abort) {
  if (buffer == nullptr) return false;
  return Transfer(handle, NameKind::BulkIn, nullptr, buffer, size, received, abort);
}

bool Write(Handle handle, const void* data, uint32_t size, uint32_t* written,
           TransferAbort* abort) {
  if (data == nullptr && size != 0) return false;
  return Transfer(handle, NameKind::BulkOut, data, nullptr, size, written, abort);
}

}  // namespace usb
}  // namespace platform
