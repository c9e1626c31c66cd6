// The USB printer bus as the device library sees it. Three implementations,
// chosen when the library is built: sim (the printer simulator over TCP),
// usb (libusb) and setupapi (Windows). Paths have the Windows shape
// \\?\usb#vid_7a3d&pid_00b4#<instance>#{28d78fad-5a12-11d1-ae5b-0000f803a8c2},
// so the vendor digits sit at characters 12..15 and the product at 21..24.
// A pipe is opened by the name <path>\if000pipe00n (pipe 0 bulk-in, 1 bulk-out).
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {
namespace usb {

using Handle = intptr_t;
constexpr Handle kNoHandle = -1;

// Cancels one blocked Read or Write from another thread, or (FireAfter) by
// itself at a time. One per transfer worker; Arm it on the worker before the
// transfer, Abort from the waiter.
class TransferAbort {
 public:
  // Never throws; Ready tells whether it was set up.
  TransferAbort();
  ~TransferAbort();
  TransferAbort(const TransferAbort&) = delete;
  TransferAbort& operator=(const TransferAbort&) = delete;

  // false: the system could not give it what it needs (memory, a descriptor
  // or an event), so a transfer given it could never be aborted.
  bool Ready() const;

  // Called on the thread that is about to transfer.
  void Arm();
  // Ends the armed transfer (if any) with a failure; later transfers given
  // this object fail at once until Reset. On Windows it also cancels the
  // armed thread's blocking ReadFile/WriteFile, trying again for a bounded
  // time while that thread has not yet entered the call and not yet ended.
  void Abort();
  void Reset();
  // Aborted or Expired.
  bool Aborted() const;

  // Makes the abort fire by itself limitMs from now, replacing a time set
  // before, so that a transfer on the calling thread is bounded without a
  // thread to watch it. true: it will (POSIX: the wait object becomes ready
  // then and Aborted turns true; every bus there waits on it). false: the
  // system cannot (Windows: blocking I/O is cancelled only from another
  // thread), and nothing changed. A fire that has happened stays until Reset.
  bool FireAfter(uint32_t limitMs);
  // true once a time set by FireAfter has come, until Reset.
  bool Expired() const;

  // For bus implementations: an OS object that becomes ready on Abort
  // (POSIX: a file descriptor for poll; Windows: an event HANDLE).
  intptr_t WaitObject() const;

 private:
  struct State;
  State* state_;
};

// The path of the index-th present printer-class interface.
// Returns 0 when there is no such interface or the query fails; otherwise the
// path length plus 1. When buffer is not null and size is at least that,
// the path and its NUL are copied; a smaller buffer receives nothing.
size_t EnumerateInterface(uint16_t index, char* buffer, size_t size);

// Opens a device by its path (proves presence) or a pipe by its name.
// kNoHandle when it is absent or cannot be opened.
Handle Open(const char* name);

// Closes a handle from Open. A handle whose transfer was aborted is still a
// valid handle and may be used again or closed.
void Close(Handle handle);

// Whether the device a handle from Open was opened on is still attached:
// false once it has gone, even when another device has since been plugged
// in at the same place and answers to the same path. Buses that cannot
// tell the two apart answer true for a valid handle.
bool StillAttached(Handle handle);

// Lets go of what the bus holds for the whole process (libusb: its event
// thread, the devices it holds and its context); the next use starts
// afresh. The library's unload step calls it after its watchers have
// stopped, since they use the bus up to their end.
void CloseBus();

// One bulk-in transfer: blocks until one whole frame arrives (a frame longer
// than size is an error, as on USB), the device goes, or abort fires.
// true: *received (may be 0) bytes were stored. false: failed or aborted,
// and buffer was not written after the call returned.
bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received,
          TransferAbort* abort);

// One bulk-out transfer of size bytes. true: *written bytes were accepted.
// false: failed or aborted.
bool Write(Handle handle, const void* data, uint32_t size, uint32_t* written,
           TransferAbort* abort);

// A non-blocking source of "the set of devices changed" notices, one per
// watcher thread: open, take and close it on that thread. ownerInstance is
// the library's module instance, the owner of what the source creates
// (Windows: its hidden window); other buses ignore it. Returns null when no
// notices are available (e.g. the window cannot be created).
struct ChangeSource;
ChangeSource* OpenChangeSource(void* ownerInstance = nullptr);
// true when a notice was pending (one is taken per call); false otherwise
// or for a null source.
bool TakeChange(ChangeSource* source);
// Null is allowed.
void CloseChangeSource(ChangeSource* source);

}  // namespace usb
}  // namespace platform
