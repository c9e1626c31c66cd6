// The null bus: one printer of the model that takes every transfer at once
// and answers every read with a ready status reply. A wirelet.dll over it
// costs only what the library itself does, so it shows the library's ceiling.
// Each write is copied once, as a bus copies it into its transfer buffer, so
// the bytes are really read. For benchmarks only; never part of the product.
#include <cstring>
#include <new>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {
namespace {

constexpr char kPath[] =
    "\\\\?\\usb#vid_7a3d&pid_00b4#null0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// Kind 1 (status), state 0 (ready), 40 payload bytes, as the printer sends it.
constexpr uint32_t kReplySize = 50;
const uint8_t kReadyReply[kReplySize] = {1, 0, 0, 0, 0, 0, 0, 0, 40, 0};

struct NullHandle {
  uint8_t sink[4096];
};

bool IsOurs(const char* name) {
  return name != nullptr && std::strncmp(name, kPath, sizeof kPath - 1) == 0;
}

}  // namespace

size_t EnumerateInterface(uint16_t index, char* buffer, size_t size) {
  if (index != 0) return 0;
  if (buffer != nullptr && size >= sizeof kPath) std::memcpy(buffer, kPath, sizeof kPath);
  return sizeof kPath;
}

Handle Open(const char* name) {
  if (!IsOurs(name)) return kNoHandle;
  NullHandle* handle = new (std::nothrow) NullHandle;
  return handle != nullptr ? reinterpret_cast<Handle>(handle) : kNoHandle;
}

void Close(Handle handle) {
  if (handle != kNoHandle) delete reinterpret_cast<NullHandle*>(handle);
}

bool StillAttached(Handle handle) { return handle != kNoHandle; }

void CloseBus() {}

bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received, TransferAbort* abort) {
  if (received != nullptr) *received = 0;
  if (handle == kNoHandle || buffer == nullptr || size < kReplySize) return false;
  if (abort != nullptr && abort->Aborted()) return false;
  std::memcpy(buffer, kReadyReply, kReplySize);
  if (received != nullptr) *received = kReplySize;
  return true;
}

bool Write(Handle handle, const void* data, uint32_t size, uint32_t* written,
           TransferAbort* abort) {
  if (written != nullptr) *written = 0;
  if (handle == kNoHandle || (data == nullptr && size != 0)) return false;
  if (abort != nullptr && abort->Aborted()) return false;
  NullHandle* h = reinterpret_cast<NullHandle*>(handle);
  for (uint32_t at = 0; at < size; at += sizeof h->sink) {
    uint32_t n = size - at < sizeof h->sink ? size - at : static_cast<uint32_t>(sizeof h->sink);
    std::memcpy(h->sink, static_cast<const uint8_t*>(data) + at, n);
  }
  if (written != nullptr) *written = size;
  return true;
}

// Nothing is ever plugged or pulled.
struct ChangeSource {
  int unused = 0;
};

ChangeSource* OpenChangeSource(void*) { return new (std::nothrow) ChangeSource; }

bool TakeChange(ChangeSource*) { return false; }

void CloseChangeSource(ChangeSource* source) { delete source; }

}  // namespace usb
}  // namespace platform
