#include "fuzz_bus.h"

#include <unistd.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>

#include "platform/usb_bus.h"

namespace fuzzbus {
namespace {

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
std::deque<std::vector<uint8_t>>& Frames() {
  static std::deque<std::vector<uint8_t>> frames;
  return frames;
}
// Unique per process, so fuzzers run side by side do not share a device mutex.
const std::string& Path() {
  static const std::string path = "\\\\?\\usb#vid_7a3d&pid_00b4#fuzz" + std::to_string(getpid()) +
                                  "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  return path;
}
constexpr platform::usb::Handle kDevice = 10, kPipeIn = 11, kPipeOut = 12;

}  // namespace

void QueueFrame(std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> hold(Lock());
  Frames().push_back(std::move(frame));
}

void ClearFrames() {
  std::lock_guard<std::mutex> hold(Lock());
  Frames().clear();
}

}  // namespace fuzzbus

namespace platform {
namespace usb {

size_t EnumerateInterface(uint16_t index, char* buffer, size_t size) {
  const std::string& path = fuzzbus::Path();
  if (index != 0) return 0;
  if (buffer != nullptr && size >= path.size() + 1) std::memcpy(buffer, path.c_str(), path.size() + 1);
  return path.size() + 1;
}

Handle Open(const char* name) {
  std::string text = name;
  const std::string& path = fuzzbus::Path();
  if (text == path) return fuzzbus::kDevice;
  if (text == path + "\\if000pipe000") return fuzzbus::kPipeIn;
  if (text == path + "\\if000pipe001") return fuzzbus::kPipeOut;
  return kNoHandle;
}

void Close(Handle) {}

bool StillAttached(Handle handle) { return handle != kNoHandle; }

void CloseBus() {}

bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received, TransferAbort*) {
  *received = 0;
  if (handle != fuzzbus::kPipeIn) return false;
  std::lock_guard<std::mutex> hold(fuzzbus::Lock());
  if (fuzzbus::Frames().empty()) return false;
  std::vector<uint8_t> frame = std::move(fuzzbus::Frames().front());
  fuzzbus::Frames().pop_front();
  if (frame.size() > size) return false;  // an overflow, as on USB
  if (!frame.empty()) std::memcpy(buffer, frame.data(), frame.size());
  *received = static_cast<uint32_t>(frame.size());
  return true;
}

bool Write(Handle handle, const void*, uint32_t size, uint32_t* written, TransferAbort*) {
  *written = handle == fuzzbus::kPipeOut ? size : 0;
  return handle == fuzzbus::kPipeOut;
}

struct ChangeSource {};
ChangeSource* OpenChangeSource(void*) { return nullptr; }
bool TakeChange(ChangeSource*) { return false; }
void CloseChangeSource(ChangeSource*) {}

}  // namespace usb
}  // namespace platform
