#include "fake_bus.h"

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "failing_new.h"
#include "platform/usb_bus.h"
#include "test_os.h"

namespace fakebus {
namespace {

struct Printer {
  bool present = true;
  std::vector<Bytes> replies;
  std::vector<Bytes> answers;  // readable after the next write, one per write
  int unplugAfterPipe = -1;
  bool emptyReads = false;
  uint32_t readDelayMs = 0;
  bool writesHang = false;
  int hangFromWrite = -1;
  uint32_t writeDelayMs = 0;
  uint32_t writeLimit = 0;
  int failWrite = -1;
  int writeCount = 0;
  bool pipeOpenFails[2] = {false, false};
  std::vector<Bytes> written;
  int deviceOpens = 0;
  int readsStarted = 0;
};

struct OpenHandle {
  std::string path;  // the printer's path
  int pipe;          // -1: the device itself
};

struct Bus {
  std::mutex mutex;
  std::vector<std::string> interfaces;
  std::map<int, std::string> secondQuery;
  std::map<int, int> queries;
  std::map<std::string, Printer> printers;
  std::map<platform::usb::Handle, OpenHandle> handles;
  platform::usb::Handle nextHandle = 100;
  int notices = 0;  // every notice so far; each source counts those it has seen
  int sources = 0;
  int inProgress = 0;
};

Bus& TheBus() {
  static Bus bus;
  return bus;
}

// Splits a name into its printer path and pipe number (-1 for the device).
bool ParseName(const std::string& name, std::string* path, int* pipe) {
  static const char kSuffix[] = "\\if000pipe00";
  size_t at = name.rfind(kSuffix);
  if (at != std::string::npos && at + sizeof kSuffix == name.size()) {
    char digit = name.back();
    if (digit != '0' && digit != '1') return false;
    *path = name.substr(0, at);
    *pipe = digit - '0';
    return true;
  }
  *path = name;
  *pipe = -1;
  return true;
}

// Counts a transfer as in progress for its lifetime.
class InProgress {
 public:
  InProgress() { Bump(1); }
  ~InProgress() { Bump(-1); }

 private:
  static void Bump(int by);
};

// Waits up to 10 ms for the abort to fire; true when it has.
bool AbortFired(platform::usb::TransferAbort* abort) {
  for (int ms = 0; ms < 10; ++ms) {
    if (abort != nullptr && abort->Aborted()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return abort != nullptr && abort->Aborted();
}

void InProgress::Bump(int by) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().inProgress += by;
}

}  // namespace

void Reset() {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> hold(bus.mutex);
  bus.interfaces.clear();
  bus.secondQuery.clear();
  bus.queries.clear();
  bus.printers.clear();
  bus.handles.clear();
}

std::string ModelPath(const std::string& instance) {
  return "\\\\?\\usb#vid_7a3d&pid_00b4#" + instance + "-" + std::to_string(test_os::ProcessId()) +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

int AddInterface(const std::string& path) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> hold(bus.mutex);
  bus.interfaces.push_back(path);
  bus.printers[path];
  return static_cast<int>(bus.interfaces.size()) - 1;
}

void SetPresent(const std::string& path, bool present) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].present = present;
}

void ChangePathOnSecondQuery(int index, const std::string& path) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().secondQuery[index] = path;
}

void QueueReply(const std::string& path, const Bytes& frame) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].replies.push_back(frame);
}

void QueueAnswer(const std::string& path, const Bytes& frame) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].answers.push_back(frame);
}

void UnplugAfterPipeOpen(const std::string& path, int pipe) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].unplugAfterPipe = pipe;
}

void SetEmptyReads(const std::string& path, bool empty) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].emptyReads = empty;
}

void SetReadDelay(const std::string& path, uint32_t ms) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].readDelayMs = ms;
}

void SetWritesHang(const std::string& path, bool hang) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].writesHang = hang;
}

void HangFromWrite(const std::string& path, int number) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].hangFromWrite = number;
}

void SetWriteDelay(const std::string& path, uint32_t ms) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].writeDelayMs = ms;
}

void SetWriteLimit(const std::string& path, uint32_t bytes) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].writeLimit = bytes;
}

void FailWrite(const std::string& path, int number) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].failWrite = number;
}

void FailPipeOpen(const std::string& path, int pipe, bool fail) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().printers[path].pipeOpenFails[pipe] = fail;
}

std::vector<Bytes> Written(const std::string& path) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return TheBus().printers[path].written;
}

int DeviceOpens(const std::string& path) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return TheBus().printers[path].deviceOpens;
}

int OpenHandles() {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return static_cast<int>(TheBus().handles.size());
}

int OpenPipeHandles(const std::string& path, int pipe) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  int n = 0;
  for (const auto& entry : TheBus().handles)
    if (entry.second.path == path && entry.second.pipe == pipe) ++n;
  return n;
}

int TransfersInProgress() {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return TheBus().inProgress;
}

int ReadsStarted(const std::string& path) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return TheBus().printers[path].readsStarted;
}

void Notify() {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  ++TheBus().notices;
}

int OpenChangeSources() {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return TheBus().sources;
}

}  // namespace fakebus

namespace platform {
namespace usb {

using fakebus::TheBus;

size_t EnumerateInterface(uint16_t index, char* buffer, size_t size) {
  failing_new::Allowed allow;
  fakebus::Bus& bus = TheBus();
  std::lock_guard<std::mutex> hold(bus.mutex);
  if (index >= bus.interfaces.size()) return 0;
  std::string path = bus.interfaces[index];
  int query = bus.queries[index]++;
  auto changed = bus.secondQuery.find(index);
  if (query % 2 == 1 && changed != bus.secondQuery.end()) path = changed->second;
  size_t needed = path.size() + 1;
  if (buffer != nullptr && size >= needed) std::memcpy(buffer, path.c_str(), needed);
  return needed;
}

Handle Open(const char* name) {
  failing_new::Allowed allow;
  fakebus::Bus& bus = TheBus();
  std::lock_guard<std::mutex> hold(bus.mutex);
  std::string path;
  int pipe = -1;
  if (!fakebus::ParseName(name, &path, &pipe)) return kNoHandle;
  auto found = bus.printers.find(path);
  if (found == bus.printers.end()) return kNoHandle;
  fakebus::Printer& printer = found->second;
  if (pipe < 0) ++printer.deviceOpens;
  if (!printer.present || (pipe >= 0 && printer.pipeOpenFails[pipe])) return kNoHandle;
  Handle handle = bus.nextHandle++;
  bus.handles[handle] = fakebus::OpenHandle{path, pipe};
  if (pipe >= 0 && printer.unplugAfterPipe == pipe) {
    printer.unplugAfterPipe = -1;
    printer.present = false;
    ++bus.notices;
  }
  return handle;
}

void Close(Handle handle) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  TheBus().handles.erase(handle);
}

bool StillAttached(Handle handle) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  return TheBus().handles.count(handle) != 0;
}

void CloseBus() {}

bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received,
          TransferAbort* abort) {
  *received = 0;
  fakebus::InProgress active;
  fakebus::Bus& bus = TheBus();
  bool counted = false;
  uint32_t delayMs = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(bus.mutex);
      auto open = bus.handles.find(handle);
      if (open == bus.handles.end() || open->second.pipe != 0) return false;
      fakebus::Printer& printer = bus.printers[open->second.path];
      if (!counted) ++printer.readsStarted;
      counted = true;
      if (!printer.present) return false;
      if (printer.emptyReads) return true;
      if (!printer.replies.empty()) {
        fakebus::Bytes frame = printer.replies.front();
        printer.replies.erase(printer.replies.begin());
        if (frame.size() > size) return false;
        std::memcpy(buffer, frame.data(), frame.size());
        *received = static_cast<uint32_t>(frame.size());
        delayMs = printer.readDelayMs;
        break;
      }
    }
    if (fakebus::AbortFired(abort)) return false;
  }
  if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return true;
}

bool Write(Handle handle, const void* data, uint32_t size, uint32_t* written,
           TransferAbort* abort) {
  *written = 0;
  fakebus::InProgress active;
  fakebus::Bus& bus = TheBus();
  uint32_t delayMs = 0;
  {
    std::lock_guard<std::mutex> hold(bus.mutex);
    auto open = bus.handles.find(handle);
    if (open != bus.handles.end()) delayMs = bus.printers[open->second.path].writeDelayMs;
  }
  if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(bus.mutex);
      auto open = bus.handles.find(handle);
      if (open == bus.handles.end() || open->second.pipe != 1) return false;
      fakebus::Printer& printer = bus.printers[open->second.path];
      if (!printer.present) return false;
      bool hangs = printer.writesHang ||
                   (printer.hangFromWrite >= 0 && printer.writeCount >= printer.hangFromWrite);
      if (!hangs) {
        if (printer.writeCount++ == printer.failWrite) return false;
        uint32_t accepted = size;
        if (printer.writeLimit != 0 && accepted > printer.writeLimit) accepted = printer.writeLimit;
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        printer.written.emplace_back(bytes, bytes + accepted);
        if (!printer.answers.empty()) {
          printer.replies.push_back(printer.answers.front());
          printer.answers.erase(printer.answers.begin());
        }
        *written = accepted;
        return true;
      }
    }
    if (fakebus::AbortFired(abort)) return false;
  }
}

// Sees the notices sent after it was opened, one per TakeChange.
struct ChangeSource {
  int seen;
};

ChangeSource* OpenChangeSource(void* /*ownerInstance*/) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  ChangeSource* source = new (std::nothrow) ChangeSource{TheBus().notices};
  if (source != nullptr) ++TheBus().sources;
  return source;
}

bool TakeChange(ChangeSource* source) {
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  if (source == nullptr || source->seen == TheBus().notices) return false;
  ++source->seen;
  return true;
}

void CloseChangeSource(ChangeSource* source) {
  if (source == nullptr) return;
  std::lock_guard<std::mutex> hold(TheBus().mutex);
  --TheBus().sources;
  delete source;
}

}  // namespace usb
}  // namespace platform
