// Every reading method's reply decoding, through the exports: the input
// picks an export and the frames the printer answers with. Results and
// status must agree, codes must be the library's own, and nothing may be
// written outside the caller's buffers or into a record that failed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <set>
#include <vector>

#include "fuzz_bus.h"
#include "library_state.h"
#include "port_session.h"
#include "scratch.h"
#include "wirelet.h"

namespace {

bool KnownCode(StatusCode code) {
  static const std::set<StatusCode> kCodes = {0,    1000, 1001, 1003, 1006, 1100, 1500, 2100,
                                              2305, 2306, 2309, 2500, 2504, 2600};
  return kCodes.count(code) != 0 || (code >= 2101 && code <= 2107) || (code >= 2200 && code <= 2212);
}

// The 1/0 result and the status say the same thing.
void CheckOutcome(int result, StatusCode status) {
  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK(KnownCode(status));
  FUZZ_CHECK((result == 1) == (status == 0));
}

constexpr uint8_t kGuard = 0xC3;

bool Untouched(const uint8_t* bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (bytes[i] != kGuard) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Linked in, not loaded: the load step is this fuzzer's to run.
  wirelet::ProcessAttach(nullptr);
  if (usb_find_first() != 1 || usb_open_port(1) != 0) fuzz::Violated("the fuzz printer cannot be opened");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  int which = input.ConsumeIntegralInRange(0, 4);
  // Worker threads with the time limit, or reads on the calling thread.
  wirelet::gLibrary.sessions[0]->settings.timedTransfers = input.ConsumeBool() ? 1 : 0;
  fuzzbus::ClearFrames();
  for (int frames = 0; frames < 8 && input.remaining_bytes() > 0; ++frames)
    fuzzbus::QueueFrame(input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 320)));

  StatusCode status = 0xFFFF;
  switch (which) {
    case 0:
      CheckOutcome(usb_get_status(1, &status), status);
      break;
    case 1: {
      uint8_t record[300];
      std::memset(record, kGuard, sizeof record);
      int result = usb_get_firmware_info(1, record, &status);
      CheckOutcome(result, status);
      if (result == 1) {
        FUZZ_CHECK(record[0] == 7);
        FUZZ_CHECK(Untouched(record, 267, sizeof record));
      } else {
        FUZZ_CHECK(Untouched(record, 0, sizeof record));
      }
      break;
    }
    case 2: {
      int target = input.ConsumeBool() ? 6 : 1;
      CheckOutcome(usb_target_update(1, target, 0, 70000, &status), status);
      break;
    }
    case 3: {
      const uint8_t command[4] = {0x03, 0xF1, 0x3E, 0xA5};
      uint8_t reply[255 + 16];
      std::memset(reply, kGuard, sizeof reply);
      uint8_t length = 0xEE;
      int result = usb_universal_command(1, command, 4, reply, &length, &status);
      CheckOutcome(result, status);
      FUZZ_CHECK(Untouched(reply, 255, sizeof reply));
      if (result == 1) FUZZ_CHECK(Untouched(reply, length, sizeof reply));
      break;
    }
    default: {
      uint8_t buffer[300 + 16];
      std::memset(buffer, kGuard, sizeof buffer);
      uint32_t count = 0xFFFFFFFF;
      status = usb_command_recv(1, buffer, &count);
      FUZZ_CHECK(KnownCode(status));
      FUZZ_CHECK(count <= 300);
      FUZZ_CHECK(Untouched(buffer, 300, sizeof buffer));
      if (status != 0) FUZZ_CHECK(count == 0);
      break;
    }
  }
  return 0;
}
