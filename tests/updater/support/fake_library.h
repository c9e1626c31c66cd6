// A scripted stand-in for the device library: DeviceLibrary's 13 entry
// points are pointed at functions that answer from a per-test script and
// record every call with the (virtual) time it was made.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wirelet.h"

namespace testing_support {

struct FakePrinter {
  StatusCode openStatus = 0;
  int infoResult = 1;          // returned by usb_get_firmware_info
  StatusCode infoStatus = 0;   // written by it
  std::string component1 = "E0208000";  // 8-byte version texts of the record
  std::string component2 = "E0211600";
  // Successive usb_get_status codes; the last one repeats. Empty: 0.
  std::deque<StatusCode> statuses;
  std::map<int, StatusCode> targetStatus;  // by target number; missing: 0
  std::map<int, StatusCode> writeStatus;   // by write call of this port, from 0; missing: 0
  // Successive usb_universal_command answers {result, status}; missing: {1, 0}.
  std::deque<std::pair<int, StatusCode>> universal;
};

struct FakeCall {
  uint32_t time;
  std::string text;           // e.g. "target 1 6 0 4096"
  std::vector<uint8_t> data;  // bytes of usb_write_data or usb_universal_command
  std::thread::id thread;     // that made the call
};

class FakeLibrary {
 public:
  // Points deviceLibrary at this stand-in (bound, without a module).
  FakeLibrary();
  ~FakeLibrary();
  // Points deviceLibrary here again, as after a phase unbound it.
  void Bind();

  std::vector<int> ports{1};               // what discovery finds, in order
  std::map<int, FakePrinter> printers;     // by port; missing: a default printer
  // Real time each usb_write_data takes, so overlapping transfers would show.
  int writeHoldMicroseconds = 0;

  std::vector<FakeCall> Calls() const;
  // The texts of the calls, optionally of one port only.
  std::vector<std::string> Texts(int port = 0) const;
  // The bytes of all usb_write_data calls of a port, concatenated.
  std::vector<uint8_t> Written(int port) const;
  int MostConcurrentWrites() const { return mostConcurrentWrites_.load(); }

  // Used by the entry points.
  static FakeLibrary* active;
  mutable std::mutex mutex;
  std::vector<FakeCall> calls;
  std::map<int, int> writeCount;
  size_t findCursor = 0;
  std::atomic<int> concurrentWrites_{0};
  std::atomic<int> mostConcurrentWrites_{0};
  FakePrinter& Printer(int port) { return printers[port]; }
  void Record(std::string text, std::vector<uint8_t> data = {});
};

std::string Hex(const uint8_t* bytes, size_t count);

}  // namespace testing_support
