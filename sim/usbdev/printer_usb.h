// A printer of q7730-sim as a USB device, the same in every front end that
// plugs the simulator's printers into a system (umockdev, USB/IP): its
// descriptors, its printer-class device id, and its two bulk endpoints run
// as a high-speed device runs them, each transfer bridged to the simulator
// over the sim bus.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/usb_bus.h"

namespace usbdev {

using Bytes = std::vector<uint8_t>;

// Deliberately not 0x81/0x01, so nothing can rely on the usual addresses.
constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kBulkOut = 0x03;
constexpr uint16_t kMaxPacket = 512;  // high-speed bulk

constexpr uint8_t kPrinterClass = 7;
constexpr uint8_t kHubClass = 9;

struct DeviceLook {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint8_t interfaceClass = kPrinterClass;  // 7 printer, 9 hub, anything else: vendor-specific
  std::string serial;
};

// The vendor or product id a simulated printer's path carries at text[at..at+3]
// (12 and 21, read as hexadecimal as the library reads them); 0xffff when
// those are not four hexadecimal digits.
uint16_t PathIdAt(const std::string& text, size_t at);

// The 18-byte device descriptor.
Bytes DeviceDescriptor(const DeviceLook& look);
// Configuration 1 with its one interface (7/1/2 for a printer, protocol 2:
// bidirectional) and the two bulk endpoints of 512 bytes.
Bytes ConfigurationDescriptor(const DeviceLook& look);
// String descriptor index (0: the language list); empty when there is none.
Bytes StringDescriptor(const DeviceLook& look, uint8_t index);
// The printer-class GET_DEVICE_ID answer: its big-endian length (itself
// included) and the IEEE 1284 id text.
Bytes DeviceIdReply();

// How one bulk transfer ended, as a host controller reports it.
enum class Outcome {
  kDone,     // moved what it moved
  kStall,    // the endpoint is halted (now or before): -EPIPE
  kBabble,   // the device sent a packet longer than the room left: -EOVERFLOW
  kGone,     // the printer is no longer there
  kAborted,  // the abort fired (a cancelled transfer)
};

// The two bulk endpoints of one simulator printer. Out and In may run at
// once on two threads (one each); ClearHalt on any thread.
//
// Bulk-in follows the packets: each reply frame of the simulator is sent as
// packets of 512 bytes. A transfer takes whole packets while they fit and
// ends with a short packet, at the end of a frame, or when full. A packet
// longer than the room left is babble: the transfer fails and, since the
// device never had it acknowledged, the packet is sent again to the next
// transfer. So a transfer that asks for less than a whole packet can never
// take a reply longer than it asked for.
class BulkPipes {
 public:
  explicit BulkPipes(std::string simPath);
  ~BulkPipes();
  BulkPipes(const BulkPipes&) = delete;
  BulkPipes& operator=(const BulkPipes&) = delete;

  // One bulk-out transfer. *moved: bytes the printer took (kDone only).
  // A printer that refuses a write stalls: the endpoint halts until cleared.
  Outcome Out(const uint8_t* data, uint32_t size, uint32_t* moved,
              platform::usb::TransferAbort* abort);
  // One bulk-in transfer of at most size bytes into *received.
  Outcome In(uint32_t size, Bytes* received, platform::usb::TransferAbort* abort);

  // CLEAR_FEATURE(ENDPOINT_HALT) of an endpoint address; false for an
  // address that is not one of the two.
  bool ClearHalt(uint8_t endpoint);
  bool Halted(uint8_t endpoint) const;
  // Whether the simulator still shows the printer.
  bool PrinterPresent() const;
  // Closes the simulator handles; call once no transfer runs.
  void Close();

 private:
  bool OpenPipe(platform::usb::Handle* handle, const char* suffix);

  std::string simPath_;
  platform::usb::Handle simIn_ = platform::usb::kNoHandle;
  platform::usb::Handle simOut_ = platform::usb::kNoHandle;
  std::atomic<bool> inHalted_{false};
  std::atomic<bool> outHalted_{false};
  // The rest of the frame being sent on bulk-in (in-transfer thread only).
  Bytes pending_;
  size_t sent_ = 0;
  bool framePending_ = false;
};

}  // namespace usbdev
