// Read and Write for the libusb bus: one asynchronous bulk transfer each.
// The waiting thread handles libusb's events itself while it watches its
// abort signal, so it can cancel the transfer, and a completion reaches it
// without a hand-over from another thread.
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/clock.h"
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
constexpr int kCancelGraceMs = 1000;
// Without a descriptor the abort signal is looked at this often, and so is
// a wait while another thread handles libusb's events.
constexpr int kAbortPollMs = 50;
constexpr int kStragglerPollMs = 10;
constexpr int kOtherHandlerPollMs = 10;

// One transfer in flight. It owns its buffer, so the caller's buffer is only
// touched while the call runs. The waiter and the callback each hold a
// reference; whoever lets go last frees it, so a transfer left behind frees
// itself when libusb calls it back.
struct Pending {
  libusb_transfer* transfer = nullptr;
  OpenDevice* device = nullptr;
  int pipe = 0;  // 0 bulk-in, 1 bulk-out
  uint8_t* data = nullptr;
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
  delete[] pending->data;
  if (pending->device != nullptr) pending->device->transfers.fetch_sub(1);
  delete pending;
}

void Release(Pending* pending) {
  if (pending->references.fetch_sub(1) == 1) Free(pending);
}

// Inside libusb's event handling: record, nothing more.
void LIBUSB_CALL OnDone(libusb_transfer* transfer) {
  Pending* pending = static_cast<Pending*>(transfer->user_data);
  pending->status = transfer->status;
  pending->actual = transfer->actual_length;
  if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) pending->device->lost.store(true);
  int waited = Pending::kWaited;
  if (!pending->phase.compare_exchange_strong(waited, Pending::kCalledBack))
    pending->device->stragglers[pending->pipe].fetch_sub(1);
  pending->done.store(true);
  Release(pending);
}

// submitted: the transfer's length, which for bulk-in is whole packets.
Pending* Submit(BusHandle* bus, const void* source, uint32_t size, uint32_t submitted) {
  Pending* pending = new (std::nothrow) Pending;
  if (pending == nullptr) return nullptr;
  pending->data = new (std::nothrow) uint8_t[submitted];
  pending->transfer = libusb_alloc_transfer(0);
  if (pending->data == nullptr || pending->transfer == nullptr) {
    Free(pending);
    return nullptr;
  }
  OpenDevice* open = bus->device;
  bool in = bus->kind == NameKind::BulkIn;
  if (!in) std::memcpy(pending->data, source, size);
  // No time-out of libusb's own: the library's limit bounds the wait.
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

bool Readable(int fd) {
  pollfd one{fd, POLLIN, 0};
  return poll(&one, 1, 0) > 0;
}

// What a wait for libusb's events ended with.
enum class Woke { Event, Abort, Timeout };

// Handles libusb's events on this thread until *done is set (Event), the
// abort fires (Abort: its descriptor abortFd became readable, or without one
// abort->Aborted(), looked at every kAbortPollMs) or timeoutMs has passed
// (Timeout; -1: no limit). done null: until the abort or the time. While
// another thread handles events (the watcher's brief look), waits for it in
// short steps, since the callback may come from there.
Woke HandleEventsUntil(libusb_context* context, const std::atomic<bool>* done, int abortFd,
                       TransferAbort* abort, int timeoutMs) {
  const uint32_t start = SystemTickCount();
  std::vector<pollfd> fds;
  for (;;) {
    if (done != nullptr && done->load()) return Woke::Event;
    int left = -1;
    if (timeoutMs >= 0) {
      uint32_t spent = SystemTickCount() - start;
      if (spent >= static_cast<uint32_t>(timeoutMs)) return Woke::Timeout;
      left = timeoutMs - static_cast<int>(spent);
    }
    if (abort != nullptr && abortFd < 0) {
      if (abort->Aborted()) return Woke::Abort;
      if (left < 0 || left > kAbortPollMs) left = kAbortPollMs;
    }
    if (libusb_try_lock_events(context) != 0) {
      if (abortFd >= 0 && Readable(abortFd)) return Woke::Abort;
      int step = left < 0 || left > kOtherHandlerPollMs ? kOtherHandlerPollMs : left;
      timeval wait{0, step * 1000};
      libusb_lock_event_waiters(context);
      if ((done == nullptr || !done->load()) && libusb_event_handler_active(context))
        libusb_wait_for_event(context, &wait);
      libusb_unlock_event_waiters(context);
      continue;
    }
    bool fired = false;
    if (libusb_event_handling_ok(context) && (done == nullptr || !done->load())) {
      // libusb's own descriptors (its timer among them) and the abort's, in
      // one poll.
      const libusb_pollfd** sources = libusb_get_pollfds(context);
      fds.clear();
      for (size_t i = 0; sources != nullptr && sources[i] != nullptr; ++i)
        fds.push_back({sources[i]->fd, sources[i]->events, 0});
      libusb_free_pollfds(sources);
      size_t own = fds.size();
      if (abortFd >= 0) fds.push_back({abortFd, POLLIN, 0});
      int n = poll(fds.data(), fds.size(), left);
      if (n < 0 && errno != EINTR) {
        libusb_unlock_events(context);
        return Woke::Abort;
      }
      fired = n > 0 && abortFd >= 0 && fds[own].revents != 0;
      if (n > (fired ? 1 : 0)) {
        timeval now{0, 0};
        libusb_handle_events_locked(context, &now);
      }
    }
    libusb_unlock_events(context);
    // A callback that came with the fire still counts.
    if (done != nullptr && done->load()) return Woke::Event;
    if (fired) return Woke::Abort;
  }
}

// Waits for the callback, cancelling the transfer once abort fires (or the
// wait itself fails). true: the callback has run.
bool AwaitCompletion(libusb_context* context, Pending* pending, TransferAbort* abort) {
  int abortFd = abort != nullptr ? static_cast<int>(abort->WaitObject()) : -1;
  if (HandleEventsUntil(context, &pending->done, abortFd, abort, -1) == Woke::Event) return true;
  libusb_cancel_transfer(pending->transfer);
  HandleEventsUntil(context, &pending->done, -1, nullptr, kCancelGraceMs);
  if (pending->done.load()) return true;
  OpenDevice* open = pending->device;
  open->stragglers[pending->pipe].fetch_add(1);
  int waited = Pending::kWaited;
  if (pending->phase.compare_exchange_strong(waited, Pending::kLeftBehind)) return false;
  // It called back just now after all.
  open->stragglers[pending->pipe].fetch_sub(1);
  return true;
}

// Waits until no cancelled transfer of the pipe is still out, handling
// events so that their callbacks can come. false: the abort fired first,
// there is no abort to bound the wait, or the device went.
bool AwaitStragglers(libusb_context* context, OpenDevice* open, int pipe, TransferAbort* abort) {
  int abortFd = abort != nullptr ? static_cast<int>(abort->WaitObject()) : -1;
  while (open->stragglers[pipe].load() > 0) {
    if (abort == nullptr || abort->Aborted() || open->lost.load()) return false;
    HandleEventsUntil(context, nullptr, abortFd, abort, kStragglerPollMs);
  }
  return true;
}

// A halted endpoint answers every later transfer with a stall until it is
// cleared. Cleared here, on the waiting thread once it no longer handles
// events, never from a callback: libusb's synchronous calls may not be made
// inside its event handling.
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
  libusb_context* context = nullptr;
  {
    std::lock_guard<std::mutex> hold(gBusMutex);
    context = BusContext();
  }
  if (context == nullptr) return false;
  int pipe = kind == NameKind::BulkIn ? 0 : 1;
  if (!AwaitStragglers(context, open, pipe, abort)) return false;
  // A bulk-in transfer asks for whole packets: asking for less than a
  // packet makes a longer reply babble, and that packet is lost. More than
  // was asked for is an overflow all the same, reported as a failure.
  uint32_t packet = open->inPacket;
  uint32_t submitted = kind == NameKind::BulkIn ? (size + packet - 1) / packet * packet : size;
  Pending* pending = Submit(bus, source, size, submitted);
  if (pending == nullptr) return false;
  // Only a transfer that was called back has settled fields and buffer; one
  // left behind frees itself later.
  bool calledBack = AwaitCompletion(context, pending, abort);
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
