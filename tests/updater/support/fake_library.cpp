#include "fake_library.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "device_library.h"
#include "platform/clock.h"

namespace testing_support {

FakeLibrary* FakeLibrary::active = nullptr;

namespace {

FakeLibrary& Fake() { return *FakeLibrary::active; }

int FindFirst() {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("find_first");
  f.findCursor = 0;
  return f.ports.empty() ? 0 : f.ports[0];
}

int FindNext() {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("find_next");
  ++f.findCursor;
  return f.findCursor < f.ports.size() ? f.ports[f.findCursor] : 0;
}

StatusCode WIRELET_CALL OpenPort(int port) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("open " + std::to_string(port));
  return f.Printer(port).openStatus;
}

StatusCode WIRELET_CALL ClosePort(int port) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("close " + std::to_string(port));
  return 0;
}

StatusCode WIRELET_CALL CommandSend(int port, const uint8_t*, int) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("UNEXPECTED command_send " + std::to_string(port));
  return 0;
}

StatusCode WIRELET_CALL CommandRecv(int port, uint8_t*, uint32_t*) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("UNEXPECTED command_recv " + std::to_string(port));
  return 0;
}

StatusCode WIRELET_CALL CommandData(int port, const uint8_t*, int) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("UNEXPECTED command_data " + std::to_string(port));
  return 0;
}

StatusCode WIRELET_CALL GetId(int port, int*, int*) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("UNEXPECTED get_id " + std::to_string(port));
  return 0;
}

int WIRELET_CALL GetStatus(int port, StatusCode* status) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("status " + std::to_string(port));
  std::deque<StatusCode>& queue = f.Printer(port).statuses;
  StatusCode code = 0;
  if (!queue.empty()) {
    code = queue.front();
    if (queue.size() > 1) queue.pop_front();
  }
  if (status) *status = code;
  return code == 0 ? 1 : 0;
}

int WIRELET_CALL WriteData(int port, const uint8_t* data, int length, StatusCode* status) {
  FakeLibrary& f = Fake();
  int now = ++f.concurrentWrites_;
  int most = f.mostConcurrentWrites_.load();
  while (now > most && !f.mostConcurrentWrites_.compare_exchange_weak(most, now)) {
  }
  if (f.writeHoldMicroseconds > 0) std::this_thread::sleep_for(std::chrono::microseconds(f.writeHoldMicroseconds));
  --f.concurrentWrites_;

  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("write " + std::to_string(port) + " " + std::to_string(length),
           std::vector<uint8_t>(data, data + (length > 0 ? length : 0)));
  int call = f.writeCount[port]++;
  auto it = f.Printer(port).writeStatus.find(call);
  StatusCode code = it == f.Printer(port).writeStatus.end() ? 0 : it->second;
  if (status) *status = code;
  return code == 0 ? 1 : 0;
}

int WIRELET_CALL GetFirmwareInfo(int port, uint8_t* record, StatusCode* status) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  // The updater hands over a zeroed 300-byte buffer.
  bool zeroed = true;
  for (int i = 0; i < 300; ++i) zeroed = zeroed && record[i] == 0;
  f.Record(std::string("info ") + std::to_string(port) + (zeroed ? "" : " NOT-ZEROED"));
  FakePrinter& p = f.Printer(port);
  if (p.infoResult != 1) {
    if (status) *status = p.infoStatus;
    return p.infoResult;
  }
  record[0] = 7;
  std::memcpy(record + 1, p.component1.data(), std::min<size_t>(8, p.component1.size()));
  std::memcpy(record + 39, p.component2.data(), std::min<size_t>(8, p.component2.size()));
  if (status) *status = 0;
  return 1;
}

int WIRELET_CALL TargetUpdate(int port, int target, int value, int size, StatusCode* status) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("target " + std::to_string(port) + " " + std::to_string(target) + " " + std::to_string(value) +
           " " + std::to_string(size));
  auto& byTarget = f.Printer(port).targetStatus;
  auto it = byTarget.find(target);
  StatusCode code = it == byTarget.end() ? 0 : it->second;
  if (status) *status = code;
  return code == 0 ? 1 : 0;
}

int WIRELET_CALL UniversalCommand(int port, const uint8_t* bytes, int length, uint8_t* reply,
                                  uint8_t* replyLength, StatusCode* status) {
  FakeLibrary& f = Fake();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.Record("universal " + std::to_string(port) + " " + Hex(bytes, static_cast<size_t>(length)),
           std::vector<uint8_t>(bytes, bytes + length));
  // The reply length is one byte, so the buffer must take 255 bytes.
  std::memset(reply, 0xEE, 255);
  *replyLength = 255;
  auto& queue = f.Printer(port).universal;
  std::pair<int, StatusCode> answer{1, 0};
  if (!queue.empty()) {
    answer = queue.front();
    queue.pop_front();
  }
  if (status) *status = answer.second;
  return answer.first;
}

}  // namespace

FakeLibrary::FakeLibrary() { Bind(); }

void FakeLibrary::Bind() {
  active = this;
  deviceLibrary.module = nullptr;
  deviceLibrary.loaded = 1;
  deviceLibrary.usb_find_first = FindFirst;
  deviceLibrary.usb_find_next = FindNext;
  deviceLibrary.usb_open_port = OpenPort;
  deviceLibrary.usb_close_port = ClosePort;
  deviceLibrary.usb_command_send = CommandSend;
  deviceLibrary.usb_command_recv = CommandRecv;
  deviceLibrary.usb_command_data = CommandData;
  deviceLibrary.usb_get_id = GetId;
  deviceLibrary.usb_get_status = GetStatus;
  deviceLibrary.usb_write_data = WriteData;
  deviceLibrary.usb_get_firmware_info = GetFirmwareInfo;
  deviceLibrary.usb_target_update = TargetUpdate;
  deviceLibrary.usb_universal_command = UniversalCommand;
}

FakeLibrary::~FakeLibrary() {
  deviceLibrary = DeviceLibrary{};
  active = nullptr;
}

void FakeLibrary::Record(std::string text, std::vector<uint8_t> data) {
  calls.push_back(FakeCall{platform::TickCount(), std::move(text), std::move(data), std::this_thread::get_id()});
}

std::vector<FakeCall> FakeLibrary::Calls() const {
  std::lock_guard<std::mutex> hold(mutex);
  return calls;
}

std::vector<std::string> FakeLibrary::Texts(int port) const {
  std::vector<std::string> texts;
  for (const FakeCall& call : Calls()) {
    if (port != 0) {
      // The port is the second word of every per-port call.
      size_t space = call.text.find(' ');
      if (space == std::string::npos) continue;
      size_t end = call.text.find(' ', space + 1);
      if (call.text.substr(space + 1, end - space - 1) != std::to_string(port)) continue;
    }
    texts.push_back(call.text);
  }
  return texts;
}

std::vector<uint8_t> FakeLibrary::Written(int port) const {
  std::vector<uint8_t> bytes;
  std::string prefix = "write " + std::to_string(port) + " ";
  for (const FakeCall& call : Calls())
    if (call.text.compare(0, prefix.size(), prefix) == 0) bytes.insert(bytes.end(), call.data.begin(), call.data.end());
  return bytes;
}

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace testing_support
