#include "usbip_device.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace usbip {
namespace {

// The largest transfer accepted; the library moves at most 4096 bytes.
constexpr int32_t kMaxBuffer = 1 << 20;

constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kGetDescriptor = 6,
                  kGetConfiguration = 8, kSetConfiguration = 9, kGetInterface = 10,
                  kSetInterface = 11;
// Printer class requests.
constexpr uint8_t kGetDeviceId = 0, kGetPortStatus = 1, kSoftReset = 2;

int32_t StatusOf(usbdev::Outcome outcome) {
  switch (outcome) {
    case usbdev::Outcome::kDone: return 0;
    case usbdev::Outcome::kStall: return -EPIPE;
    case usbdev::Outcome::kBabble: return -EOVERFLOW;
    // A device that vanishes mid-transfer: the bus reports a protocol error.
    case usbdev::Outcome::kGone: return -EPROTO;
    case usbdev::Outcome::kAborted: break;
  }
  return -ESHUTDOWN;
}

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

UsbipDevice::UsbipDevice(usbdev::DeviceLook look, std::string simPath, int socket)
    : look_(std::move(look)), pipes_(std::move(simPath)), socket_(socket) {
  in_.address = usbdev::kBulkIn;
  out_.address = usbdev::kBulkOut;
}

UsbipDevice::~UsbipDevice() {
  Stop();
  if (socket_ >= 0) close(socket_);
}

bool UsbipDevice::Start() {
  try {
    in_.worker = std::thread(&UsbipDevice::RunEndpoint, this, &in_);
    out_.worker = std::thread(&UsbipDevice::RunEndpoint, this, &out_);
    receiver_ = std::thread(&UsbipDevice::Receive, this);
  } catch (...) {
    Stop();
    return false;
  }
  return true;
}

void UsbipDevice::Stop() {
  if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    for (Endpoint* endpoint : {&in_, &out_}) {
      if (endpoint->busy) endpoint->abort.Abort();
      endpoint->wake.notify_all();
    }
  }
  for (std::thread* thread : {&receiver_, &in_.worker, &out_.worker})
    if (thread->joinable()) thread->join();
  pipes_.Close();
}

bool UsbipDevice::ReadAll(uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = recv(socket_, data + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool UsbipDevice::Send(const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(socket_, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool UsbipDevice::SendSubmit(const Header& command, int32_t status, const usbdev::Bytes& in,
                             int32_t actual) {
  Header reply;
  reply.command = kRetSubmit;
  reply.seqnum = command.seqnum;
  reply.devid = command.devid;
  reply.direction = command.direction;
  reply.ep = command.ep;
  reply.field[0] = status;
  reply.field[1] = actual;
  reply.field[3] = command.field[3];  // number of packets, as asked
  usbdev::Bytes message(kHeaderSize);
  Encode(reply, message.data());
  // Only bulk-in and control-in data travels back, never more than asked.
  if (command.direction == kDirIn && actual > 0)
    message.insert(message.end(), in.begin(), in.begin() + actual);
  std::lock_guard<std::mutex> hold(sendMutex_);
  return Send(message.data(), message.size());
}

bool UsbipDevice::SendUnlink(uint32_t seqnum, const Header& command, int32_t status) {
  Header reply;
  reply.command = kRetUnlink;
  reply.seqnum = seqnum;
  reply.devid = command.devid;
  reply.field[0] = status;
  uint8_t message[kHeaderSize];
  Encode(reply, message);
  std::lock_guard<std::mutex> hold(sendMutex_);
  return Send(message, sizeof message);
}

UsbipDevice::Endpoint* UsbipDevice::EndpointOf(const Header& command) {
  if (command.direction == kDirIn && command.ep == (usbdev::kBulkIn & 0x0f)) return &in_;
  if (command.direction == kDirOut && command.ep == (usbdev::kBulkOut & 0x0f)) return &out_;
  return nullptr;
}

void UsbipDevice::Receive() {
  uint8_t raw[kHeaderSize];
  while (ReadAll(raw, sizeof raw)) {
    Header command = Decode(raw);
    if (command.command == kCmdUnlink) {
      Unlink(command);
      continue;
    }
    if (command.command != kCmdSubmit) break;
    int32_t length = command.field[1];
    if (length < 0 || length > kMaxBuffer || command.field[3] > 0) break;  // no isochronous here
    usbdev::Bytes out;
    if (command.direction == kDirOut && length > 0) {
      out.resize(static_cast<size_t>(length));
      if (!ReadAll(out.data(), out.size())) break;
    }
    if (command.ep == 0) {
      Control(command, out);
      continue;
    }
    Endpoint* endpoint = EndpointOf(command);
    if (endpoint == nullptr) {
      SendSubmit(command, -EPIPE, {}, 0);
      continue;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    Urb urb;
    urb.seqnum = command.seqnum;
    urb.command = command;
    urb.out.swap(out);
    endpoint->queue.push_back(std::move(urb));
    endpoint->wake.notify_one();
  }
  ended_.store(true);
}

void UsbipDevice::Unlink(const Header& command) {
  uint32_t target = static_cast<uint32_t>(command.field[0]);
  std::lock_guard<std::mutex> hold(mutex_);
  for (Endpoint* endpoint : {&in_, &out_}) {
    for (auto it = endpoint->queue.begin(); it != endpoint->queue.end(); ++it) {
      if (it->seqnum != target) continue;
      endpoint->queue.erase(it);
      SendUnlink(command.seqnum, command, -ECONNRESET);
      return;
    }
    if (endpoint->busy && endpoint->flying.seqnum == target && !endpoint->flying.unlinked) {
      // Answered by the endpoint's thread once the transfer has ended.
      endpoint->flying.unlinked = true;
      endpoint->flying.unlinkSeqnum = command.seqnum;
      endpoint->abort.Abort();
      return;
    }
  }
  // Already answered (or never seen): it completed.
  SendUnlink(command.seqnum, command, 0);
}

void UsbipDevice::RunEndpoint(Endpoint* endpoint) {
  endpoint->abort.Arm();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    endpoint->wake.wait(lock, [&] { return stopping_ || !endpoint->queue.empty(); });
    if (stopping_) return;
    endpoint->flying = std::move(endpoint->queue.front());
    endpoint->queue.pop_front();
    endpoint->busy = true;
    endpoint->abort.Reset();
    const Header command = endpoint->flying.command;
    usbdev::Bytes out = std::move(endpoint->flying.out);
    lock.unlock();
    usbdev::Bytes in;
    uint32_t moved = 0;
    usbdev::Outcome outcome =
        endpoint == &in_ ? pipes_.In(static_cast<uint32_t>(command.field[1]), &in, &endpoint->abort)
                         : pipes_.Out(out.data(), static_cast<uint32_t>(out.size()), &moved,
                                      &endpoint->abort);
    if (outcome == usbdev::Outcome::kGone) printerGone_.store(true);
    int32_t actual = endpoint == &in_ ? static_cast<int32_t>(in.size()) : static_cast<int32_t>(moved);
    if (outcome != usbdev::Outcome::kDone) actual = 0;
    lock.lock();
    endpoint->busy = false;
    if (endpoint->flying.unlinked) {
      if (outcome == usbdev::Outcome::kDone) {
        SendSubmit(command, 0, in, actual);
        SendUnlink(endpoint->flying.unlinkSeqnum, command, 0);
      } else {
        SendUnlink(endpoint->flying.unlinkSeqnum, command, -ECONNRESET);
      }
    } else if (!stopping_) {
      SendSubmit(command, StatusOf(outcome), in, actual);
    }
  }
}

void UsbipDevice::Control(const Header& command, const usbdev::Bytes& out) {
  (void)out;
  const uint8_t* setup = command.setup;
  uint8_t type = setup[0], request = setup[1];
  uint16_t value = Word(setup + 2), index = Word(setup + 4), length = Word(setup + 6);
  usbdev::Bytes reply;
  bool ok = true;
  switch (type) {
    case 0x80:  // standard, device, in
      if (request == kGetDescriptor) {
        uint8_t kind = static_cast<uint8_t>(value >> 8);
        reply = kind == 1   ? usbdev::DeviceDescriptor(look_)
                : kind == 2 ? usbdev::ConfigurationDescriptor(look_)
                : kind == 3 ? usbdev::StringDescriptor(look_, static_cast<uint8_t>(value))
                            : usbdev::Bytes();
        ok = !reply.empty();
      } else if (request == kGetConfiguration) {
        reply = {configuration_};
      } else if (request == kGetStatus) {
        reply = {1, 0};  // self-powered
      } else {
        ok = false;
      }
      break;
    case 0x00:  // standard, device, out
      if (request == kSetConfiguration && value <= 1) configuration_ = static_cast<uint8_t>(value);
      else ok = request == kClearFeature || request == kSetFeature;  // remote wake-up
      break;
    case 0x81:  // standard, interface, in
      if (request == kGetStatus) reply = {0, 0};
      else if (request == kGetInterface && index == 0) reply = {0};
      else ok = false;
      break;
    case 0x01:  // standard, interface, out
      // Selecting the one alternate setting resets both endpoints.
      ok = request == kSetInterface && index == 0 && value == 0;
      if (ok) {
        pipes_.ClearHalt(usbdev::kBulkIn);
        pipes_.ClearHalt(usbdev::kBulkOut);
      }
      break;
    case 0x82:  // standard, endpoint, in
      ok = request == kGetStatus && (index == usbdev::kBulkIn || index == usbdev::kBulkOut);
      if (ok) reply = {static_cast<uint8_t>(pipes_.Halted(static_cast<uint8_t>(index)) ? 1 : 0), 0};
      break;
    case 0x02:  // standard, endpoint, out: CLEAR_FEATURE(ENDPOINT_HALT)
      ok = request == kClearFeature && value == 0 && index <= 0xff &&
           pipes_.ClearHalt(static_cast<uint8_t>(index));
      break;
    case 0xA1:  // printer class, interface, in
      if (request == kGetDeviceId) reply = usbdev::DeviceIdReply();
      else if (request == kGetPortStatus) reply = {0x18};  // selected, no error
      else ok = false;
      break;
    case 0x21:  // printer class, interface, out
      ok = request == kSoftReset;
      break;
    default:
      ok = false;
      break;
  }
  if (!ok) {
    SendSubmit(command, -EPIPE, {}, 0);  // a protocol stall
    return;
  }
  int32_t room = std::min<int32_t>(command.field[1], length);
  int32_t actual = (type & 0x80) != 0 ? std::min<int32_t>(room, static_cast<int32_t>(reply.size()))
                                      : static_cast<int32_t>(out.size());
  SendSubmit(command, 0, reply, actual);
}

}  // namespace usbip
