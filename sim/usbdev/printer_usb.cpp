#include "printer_usb.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace usbdev {

uint16_t PathIdAt(const std::string& text, size_t at) {
  if (text.size() < at + 4) return 0xffff;
  char digits[5] = {text[at], text[at + 1], text[at + 2], text[at + 3], '\0'};
  char* end = nullptr;
  unsigned long value = std::strtoul(digits, &end, 16);
  return end == digits + 4 ? static_cast<uint16_t>(value) : 0xffff;
}
namespace {

constexpr char kManufacturer[] = "q7730-sim";
constexpr char kProduct[] = "ZEM-Q7730-5A (simulated)";
constexpr char kDeviceId[] = "MFG:q7730-sim;MDL:ZEM-Q7730-5A;CMD:Q7730;CLS:PRINTER;DES:simulated printer;";
// The largest reply frame the simulator sends (a garbage fault) fits.
constexpr uint32_t kFrameBuffer = 65536;

uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v); }
uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

}  // namespace

Bytes DeviceDescriptor(const DeviceLook& look) {
  bool hub = look.interfaceClass == kHubClass;
  return {18, 1, 0x00, 0x02, static_cast<uint8_t>(hub ? kHubClass : 0), 0, 0, 64,
          Low(look.vendor), High(look.vendor), Low(look.product), High(look.product),
          0x00, 0x01, 1, 2, 3, 1};
}

Bytes ConfigurationDescriptor(const DeviceLook& look) {
  bool hub = look.interfaceClass == kHubClass;
  bool printer = look.interfaceClass == kPrinterClass;
  uint8_t subclass = printer ? 1 : hub ? 0 : 0xff;
  uint8_t protocol = printer ? 2 : hub ? 0 : 0xff;
  return {// configuration 1 of 32 bytes, self-powered
          9, 2, 32, 0, 1, 1, 0, 0xc0, 50,
          // interface 0, alternate setting 0, two endpoints
          9, 4, 0, 0, 2, look.interfaceClass, subclass, protocol, 0,
          // bulk-in and bulk-out of 512 bytes
          7, 5, kBulkIn, 2, Low(kMaxPacket), High(kMaxPacket), 0,
          7, 5, kBulkOut, 2, Low(kMaxPacket), High(kMaxPacket), 0};
}

Bytes StringDescriptor(const DeviceLook& look, uint8_t index) {
  if (index == 0) return {4, 3, 0x09, 0x04};  // US English
  std::string text = index == 1 ? kManufacturer : index == 2 ? kProduct
                     : index == 3 ? look.serial : std::string();
  if (index > 3 || text.empty()) return {};
  if (text.size() > 126) text.resize(126);
  Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

Bytes DeviceIdReply() {
  size_t length = 2 + std::strlen(kDeviceId);
  Bytes reply(length);
  reply[0] = High(static_cast<uint16_t>(length));
  reply[1] = Low(static_cast<uint16_t>(length));
  std::memcpy(reply.data() + 2, kDeviceId, length - 2);
  return reply;
}

BulkPipes::BulkPipes(std::string simPath) : simPath_(std::move(simPath)) {}

BulkPipes::~BulkPipes() { Close(); }

void BulkPipes::Close() {
  platform::usb::Close(simIn_);
  platform::usb::Close(simOut_);
  simIn_ = simOut_ = platform::usb::kNoHandle;
}

bool BulkPipes::OpenPipe(platform::usb::Handle* handle, const char* suffix) {
  if (*handle == platform::usb::kNoHandle) *handle = platform::usb::Open((simPath_ + suffix).c_str());
  return *handle != platform::usb::kNoHandle;
}

bool BulkPipes::PrinterPresent() const {
  platform::usb::Handle probe = platform::usb::Open(simPath_.c_str());
  platform::usb::Close(probe);
  return probe != platform::usb::kNoHandle;
}

bool BulkPipes::ClearHalt(uint8_t endpoint) {
  if (endpoint == kBulkIn) inHalted_.store(false);
  else if (endpoint == kBulkOut) outHalted_.store(false);
  else return false;
  return true;
}

bool BulkPipes::Halted(uint8_t endpoint) const {
  return endpoint == kBulkIn ? inHalted_.load() : endpoint == kBulkOut && outHalted_.load();
}

Outcome BulkPipes::Out(const uint8_t* data, uint32_t size, uint32_t* moved,
                       platform::usb::TransferAbort* abort) {
  *moved = 0;
  if (outHalted_.load()) return Outcome::kStall;
  if (size == 0) return Outcome::kDone;
  if (!OpenPipe(&simOut_, "\\if000pipe001")) return Outcome::kGone;
  if (platform::usb::Write(simOut_, data, size, moved, abort)) return Outcome::kDone;
  *moved = 0;
  if (abort != nullptr && abort->Aborted()) return Outcome::kAborted;
  if (!PrinterPresent()) return Outcome::kGone;
  // The printer refused the data: its endpoint answers STALL from now on.
  outHalted_.store(true);
  return Outcome::kStall;
}

Outcome BulkPipes::In(uint32_t size, Bytes* received, platform::usb::TransferAbort* abort) {
  received->clear();
  if (inHalted_.load()) return Outcome::kStall;
  if (size == 0) return Outcome::kDone;
  if (!framePending_) {
    if (!OpenPipe(&simIn_, "\\if000pipe000")) return Outcome::kGone;
    Bytes frame(kFrameBuffer);
    uint32_t count = 0;
    if (!platform::usb::Read(simIn_, frame.data(), kFrameBuffer, &count, abort)) {
      if (abort != nullptr && abort->Aborted()) return Outcome::kAborted;
      return PrinterPresent() ? Outcome::kStall : Outcome::kGone;
    }
    frame.resize(count);
    pending_.swap(frame);
    sent_ = 0;
    framePending_ = true;
  }
  while (framePending_) {
    size_t left = pending_.size() - sent_;
    size_t packet = std::min<size_t>(left, kMaxPacket);
    size_t room = size - received->size();
    if (packet > room) return Outcome::kBabble;  // the packet stays for the next transfer
    received->insert(received->end(), pending_.begin() + static_cast<std::ptrdiff_t>(sent_),
                     pending_.begin() + static_cast<std::ptrdiff_t>(sent_ + packet));
    sent_ += packet;
    if (sent_ == pending_.size()) {
      framePending_ = false;
      pending_.clear();
    }
    if (packet < kMaxPacket || received->size() == size) break;
  }
  return Outcome::kDone;
}

}  // namespace usbdev
