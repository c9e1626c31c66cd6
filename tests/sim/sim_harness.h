// A simulator per test in its own temporary directory, which is also the
// test's current directory (the sim bus looks for the port file there), and a
// small client of the sim bus that speaks the printer protocol.
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/usb_bus.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using platform::usb::Handle;
using platform::usb::kNoHandle;

struct RunResult {
  int exitCode = -1;
  std::string output;
};

std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
Bytes Pattern(size_t size, uint8_t seed);
std::string Hex(const Bytes& bytes);

// Protocol frames the host sends.
Bytes StatusRequest();
Bytes InfoRequest(uint8_t component);
Bytes ShortAnnouncement(uint16_t size);
Bytes LongAnnouncement(uint8_t target, uint32_t value, uint32_t size);
Bytes Universal(const Bytes& command);

// The reply fields.
inline uint16_t PayloadLength(const Bytes& r) { return static_cast<uint16_t>(r[8] | r[9] << 8); }

// One printer's two pipes.
class PrinterLink {
 public:
  PrinterLink() = default;
  ~PrinterLink() { Close(); }
  PrinterLink(const PrinterLink&) = delete;
  PrinterLink& operator=(const PrinterLink&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool Write(const Bytes& data);
  // One reply frame; false when the read failed.
  bool Read(Bytes* reply, uint32_t size = 300, platform::usb::TransferAbort* abort = nullptr);
  // Write then read; an empty result when either failed.
  Bytes Exchange(const Bytes& frame);
  // Announce, send in 4096-byte pieces; true when every step succeeded.
  bool SendImage(const Bytes& announcement, const Bytes& image);

  Handle in() const { return in_; }
  Handle out() const { return out_; }

 private:
  Handle in_ = kNoHandle;
  Handle out_ = kNoHandle;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts q7730-sim in the test directory; fails the test when it does not
  // come up.
  void StartSim(int printers, const std::string& scenario = "");
  void StopSim();
  // q7730-sim with the given arguments after --dir <test dir>.
  RunResult RunSim(const std::vector<std::string>& args);

  std::string Path(int index);  // the index-th enumerated path, "" when none
  std::vector<std::string> Enumerate();
  std::string FramesLog(int printer);
  std::vector<std::string> LogLines(int printer);
  std::string StoredPath(int printer, int target);
  // Waits (generously) until printer's status reply carries state.
  bool WaitForState(PrinterLink& link, uint8_t state);
  // Waits (generously) until the number of enumerated printers is count.
  bool WaitForCount(size_t count);

  std::string dir_;
  std::string oldDir_;
  pid_t sim_ = -1;
};

}  // namespace simtest
