// Runs each test against a freshly "loaded" library over the fake bus: the
// unload and load steps, and the device table built anew, as a real reload
// would do.
#pragma once
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "device_table.h"
#include "fake_bus.h"
#include "library_state.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "wirelet.h"

namespace wirelet_test {

using fakebus::Bytes;

inline void ReloadLibrary() {
  wirelet::ProcessDetach(wirelet::WatcherEnd::kJoin);
  wirelet::gDeviceTable.~DeviceTable();
  new (&wirelet::gDeviceTable) wirelet::DeviceTable;
  wirelet::ProcessAttach(nullptr);
}

// A reply frame: kind, error code, group, detail, state, then the payload.
inline Bytes Frame(uint8_t kind, const Bytes& payload, uint8_t code = 0, uint8_t group = 0,
                   uint8_t detail = 0, uint8_t state = 0) {
  Bytes frame(10 + payload.size(), 0);
  frame[0] = kind;
  frame[1] = code;
  frame[2] = group;
  frame[3] = detail;
  frame[7] = state;
  frame[8] = static_cast<uint8_t>(payload.size());
  frame[9] = static_cast<uint8_t>(payload.size() >> 8);
  for (size_t i = 0; i < payload.size(); ++i) frame[10 + i] = payload[i];
  return frame;
}

inline Bytes StatusReply(uint8_t state, uint8_t group = 0, uint8_t detail = 0) {
  return Frame(1, Bytes(40, 0), 0, group, detail, state);
}

inline Bytes ErrorReply(uint8_t code, uint8_t group = 0, uint8_t detail = 0) {
  return Frame(2, Bytes(), code, group, detail);
}

inline Bytes PlainReply(const Bytes& payload) { return Frame(3, payload); }

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakebus::Reset();
    ReloadLibrary();
  }

  void TearDown() override {
    // What callers should have closed, closed here, so no test leaks into the next.
    for (int slot = 0; slot < wirelet::kSlotCount; ++slot) {
      if (wirelet::gLibrary.sessions[slot] != nullptr) {
        platform::LockHolder hold(*wirelet::gLibrary.lock);
        wirelet::DropSession(slot);
      }
    }
    wirelet::ProcessDetach(wirelet::WatcherEnd::kJoin);
    wirelet::ProcessAttach(nullptr);
    fakebus::Reset();
  }

  // Adds printers of the model, in enumeration order, and returns their paths.
  std::vector<std::string> AddPrinters(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(fakebus::ModelPath("printer" + std::to_string(fakebus_serial_++)));
      fakebus::AddInterface(paths.back());
    }
    return paths;
  }

  // One printer, discovered and opened as port 1.
  std::string OpenOnePrinter() {
    std::string path = AddPrinters(1)[0];
    EXPECT_EQ(usb_find_first(), 1);
    EXPECT_EQ(usb_open_port(1), kStatusOk);
    return path;
  }

 private:
  int fakebus_serial_ = 0;
};

}  // namespace wirelet_test
