// The sim bus against a hostile simulator: every answer, frame and
// acknowledgement it receives comes from the input, cut into arbitrary
// pieces. Whatever arrives, a call returns, and stays within its buffers.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_socket.h"
#include "platform/usb_bus.h"
#include "scratch.h"
#include "sim_wire.h"

namespace {

constexpr uint8_t kGuard = 0x6B;
const char kPipe[] = "\\\\?\\usb#vid_7a3d&pid_00b4#sim0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\if000pipe000";

fuzzsocket::Script TakeScript(FuzzedDataProvider& input) {
  fuzzsocket::Script script;
  script.sendsFail = input.ConsumeIntegralInRange(0, 15) == 0;
  size_t pieces = input.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < pieces; ++i) script.pieces.push_back(input.ConsumeIntegralInRange<uint32_t>(1, 64));
  script.incoming = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
  return script;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The bus finds its simulator through the port file in the current folder.
  if (chdir(fuzz::ScratchDir().c_str()) != 0) fuzz::Violated("chdir");
  fuzz::WriteScratchFile(fuzz::ScratchDir() + "/" + simwire::kPortFileName, "40000\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<fuzzsocket::Script> scripts;
  for (int i = 0; i < 4 && input.remaining_bytes() > 0; ++i) scripts.push_back(TakeScript(input));
  fuzzsocket::SetScripts(std::move(scripts));

  // An enumeration answer of any shape.
  char path[300];
  std::memset(path, kGuard, sizeof path);
  size_t room = input.ConsumeIntegralInRange<size_t>(0, 260);
  size_t needed = platform::usb::EnumerateInterface(0, path, room);
  if (needed != 0 && needed <= room) FUZZ_CHECK(std::strlen(path) + 1 == needed);
  FUZZ_CHECK(static_cast<uint8_t>(path[room]) == kGuard || room == sizeof path);

  // A pipe opened, then read from and written to.
  platform::usb::Handle handle = platform::usb::Open(kPipe);
  if (handle != platform::usb::kNoHandle) {
    platform::usb::TransferAbort abort;
    for (int i = 0; i < 3; ++i) {
      uint8_t frame[300 + 16];
      std::memset(frame, kGuard, sizeof frame);
      uint32_t asked = input.ConsumeIntegralInRange<uint32_t>(0, 300);
      uint32_t received = 0xFFFFFFFF;
      if (platform::usb::Read(handle, frame, asked, &received, &abort)) FUZZ_CHECK(received <= asked);
      for (size_t b = asked; b < sizeof frame; ++b) FUZZ_CHECK(frame[b] == kGuard);
      uint8_t bytes[64] = {};
      uint32_t length = input.ConsumeIntegralInRange<uint32_t>(0, sizeof bytes);
      uint32_t written = 0xFFFFFFFF;
      if (platform::usb::Write(handle, bytes, length, &written, &abort)) FUZZ_CHECK(written <= length);
    }
    platform::usb::Close(handle);
  }

  // A change subscription and what it reports.
  platform::usb::ChangeSource* source = platform::usb::OpenChangeSource();
  for (int i = 0; i < 4; ++i) platform::usb::TakeChange(source);
  platform::usb::CloseChangeSource(source);
  fuzzsocket::SetScripts({});
  return 0;
}
