// The sim bus: the USB printer bus played by q7730-sim over loopback TCP.
// The simulator is found only through its port file in the current
// directory; without it there are simply no printers.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/usb_bus.h"
#include "sim_socket.h"
#include "sim_wire.h"

namespace platform {
namespace usb {
namespace {

using simsock::Io;
using simsock::kForever;
using simsock::kNoSocket;
using simsock::Socket;

// Limits that keep a missing or stuck simulator from hanging a caller that
// only asks what is there.
constexpr uint32_t kConnectMs = 1000;
constexpr uint32_t kAnswerMs = 3000;
constexpr uint32_t kSendMs = 10000;
constexpr size_t kMaxName = 4096;

// Bytes received but not yet taken as whole messages; kept per connection so
// that a wait aborted in the middle of a message loses nothing.
struct Inbox {
  std::vector<uint8_t> bytes;
};

struct Message {
  uint8_t type = 0;
  std::vector<uint8_t> body;
};

uint16_t SimulatorPort() {
  FILE* file = std::fopen(simwire::kPortFileName, "r");
  if (file == nullptr) return 0;
  char text[32] = {};
  size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  unsigned long port = 0;
  size_t i = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    port = port * 10 + static_cast<unsigned long>(text[i] - '0');
    if (port > 65535) return 0;
  }
  if (i == 0) return 0;
  return static_cast<uint16_t>(port);
}

Io SendMessage(Socket socket, uint8_t type, const void* body, size_t size) {
  if (size > simwire::kMaxBody) return Io::Failed;
  std::vector<uint8_t> message(simwire::kHeaderSize + size);
  message[0] = type;
  simwire::PutU32(&message[1], static_cast<uint32_t>(size));
  if (size > 0) std::memcpy(&message[simwire::kHeaderSize], body, size);
  // Requests go out whole, never cut by an abort, so the stream stays in step.
  return simsock::SendAll(socket, message.data(), message.size(), nullptr, kSendMs);
}

// Takes the next whole message, receiving as needed. timeoutMs 0: only what
// has already arrived.
Io NextMessage(Socket socket, Inbox* inbox, TransferAbort* abort, uint32_t timeoutMs,
               Message* message) {
  uint32_t start = SystemTickCount();
  for (;;) {
    std::vector<uint8_t>& bytes = inbox->bytes;
    if (bytes.size() >= simwire::kHeaderSize) {
      uint32_t length = simwire::GetU32(&bytes[1]);
      if (length > simwire::kMaxBody) return Io::Failed;
      if (bytes.size() >= simwire::kHeaderSize + length) {
        message->type = bytes[0];
        message->body.assign(bytes.begin() + simwire::kHeaderSize,
                             bytes.begin() + simwire::kHeaderSize + length);
        bytes.erase(bytes.begin(), bytes.begin() + simwire::kHeaderSize + length);
        return Io::Ok;
      }
    }
    uint32_t left = timeoutMs;
    if (timeoutMs != kForever && timeoutMs != 0) {
      uint32_t spent = SystemTickCount() - start;
      if (spent >= timeoutMs) return Io::TimedOut;
      left = timeoutMs - spent;
    }
    uint8_t chunk[4096];
    size_t got = 0;
    Io io = simsock::ReceiveSome(socket, chunk, sizeof chunk, &got, abort, left);
    if (io != Io::Ok) return io;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
}

// One request and its answer on a fresh connection. rest (may be null)
// keeps what arrived behind the answer, as a change can right after a
// subscription; without it such bytes break the connection's step.
Socket Request(uint8_t type, const void* body, size_t size, Message* answer,
               Inbox* rest = nullptr) {
  uint16_t port = SimulatorPort();
  if (port == 0) return kNoSocket;
  Socket socket = simsock::Connect(port, kConnectMs);
  if (socket == kNoSocket) return kNoSocket;
  Inbox inbox;
  if (SendMessage(socket, type, body, size) != Io::Ok ||
      NextMessage(socket, &inbox, nullptr, kAnswerMs, answer) != Io::Ok ||
      answer->type != simwire::kAnswer || (rest == nullptr && !inbox.bytes.empty())) {
    simsock::CloseSocket(socket);
    return kNoSocket;
  }
  if (rest != nullptr) rest->bytes.swap(inbox.bytes);
  return socket;
}

struct SimHandle {
  Socket socket = kNoSocket;
  uint16_t port = 0;  // the simulator's, when it was opened
  Inbox inbox;
  // A read request whose frame has not been taken yet.
  bool readPending = false;
  // A frame that came for a read already aborted: the next read takes it.
  bool hasLateFrame = false;
  std::vector<uint8_t> lateFrame;
  // Writes whose acknowledgement has not been taken yet (aborted ones too).
  uint32_t acksPending = 0;
  // The connection broke or lost step: every later transfer fails.
  bool broken = false;
};

// Connections whose handle was closed in step, kept for the next Open: the
// library opens both pipes afresh before every command, and an open on a
// kept connection is one request where a new one is a connection as well.
class IdleConnections {
 public:
  ~IdleConnections() {
    for (Socket socket : idle_) simsock::CloseSocket(socket);
  }
  Socket Take(uint16_t port) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (port != port_ || idle_.empty()) return kNoSocket;
    Socket socket = idle_.back();
    idle_.pop_back();
    return socket;
  }
  void Give(uint16_t port, Socket socket) {
    std::lock_guard<std::mutex> hold(mutex_);
    // A simulator started anew makes the kept connections worthless.
    if (port != port_) {
      for (Socket old : idle_) simsock::CloseSocket(old);
      idle_.clear();
      port_ = port;
    }
    if (idle_.size() < kKept) idle_.push_back(socket);
    else simsock::CloseSocket(socket);
  }

 private:
  static constexpr size_t kKept = 8;
  std::mutex mutex_;
  uint16_t port_ = 0;
  std::vector<Socket> idle_;
};

IdleConnections gIdle;

// Opens name on a kept connection. Ok: *opened tells the answer (an absent
// name's connection is closed). Otherwise there was none that worked.
bool OpenOnKept(uint16_t port, const char* name, size_t length, Socket* socket, bool* opened) {
  for (;;) {
    Socket kept = gIdle.Take(port);
    if (kept == kNoSocket) return false;
    Inbox inbox;
    Message answer;
    // A kept connection the simulator has since closed fails here; the next
    // one is tried, then a new connection.
    if (SendMessage(kept, simwire::kOpen, name, length) != Io::Ok ||
        NextMessage(kept, &inbox, nullptr, kAnswerMs, &answer) != Io::Ok ||
        answer.type != simwire::kAnswer || !inbox.bytes.empty() || answer.body.size() != 1) {
      simsock::CloseSocket(kept);
      continue;
    }
    *opened = answer.body[0] == 1;
    if (*opened) *socket = kept;
    else simsock::CloseSocket(kept);
    return true;
  }
}

SimHandle* FromHandle(Handle handle) {
  if (handle == kNoHandle || handle == 0) return nullptr;
  return reinterpret_cast<SimHandle*>(handle);
}

// Waits for the next answer to a transfer; acknowledgements of earlier,
// aborted writes are taken on the way.
Io NextTransferAnswer(SimHandle* h, TransferAbort* abort, Message* message) {
  for (;;) {
    Io io = NextMessage(h->socket, &h->inbox, abort, kForever, message);
    if (io == Io::Aborted) return io;
    if (io != Io::Ok) {
      h->broken = true;
      return io;
    }
    if (message->type == simwire::kAck && h->acksPending > 0) {
      --h->acksPending;
      if (h->acksPending > 0) continue;
      return Io::Ok;
    }
    if (message->type == simwire::kFrame && h->readPending) {
      h->readPending = false;
      return Io::Ok;
    }
    if (message->type == simwire::kRefused) {
      if (h->readPending) h->readPending = false;
      else if (h->acksPending > 0) --h->acksPending;
      return Io::Ok;
    }
    h->broken = true;
    return Io::Failed;
  }
}

// The simulator hands a printer's next reply to the oldest read asked for,
// even one on a handle the library has since forgotten: an aborted read is
// withdrawn there, as a cancelled USB transfer leaves nothing behind. A frame
// the simulator sent before it saw the withdrawal stays for the next read.
void CancelRead(SimHandle* h) {
  if (!h->readPending) return;
  if (SendMessage(h->socket, simwire::kCancel, nullptr, 0) != Io::Ok) {
    h->broken = true;
    return;
  }
  for (;;) {
    Message message;
    if (NextMessage(h->socket, &h->inbox, nullptr, kAnswerMs, &message) != Io::Ok) {
      h->broken = true;
      return;
    }
    if (message.type == simwire::kAnswer) {
      h->readPending = false;
      return;
    }
    if (message.type != simwire::kFrame || h->hasLateFrame) {
      h->broken = true;
      return;
    }
    h->lateFrame.swap(message.body);
    h->hasLateFrame = true;
  }
}

}  // namespace

size_t EnumerateInterface(uint16_t index, char* buffer, size_t size) {
  uint8_t body[2] = {static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8)};
  Message answer;
  Socket socket = Request(simwire::kEnumerate, body, sizeof body, &answer);
  if (socket == kNoSocket) return 0;
  simsock::CloseSocket(socket);
  const std::vector<uint8_t>& path = answer.body;
  if (path.empty() || path.size() > kMaxName) return 0;
  if (std::memchr(path.data(), 0, path.size()) != nullptr) return 0;
  size_t needed = path.size() + 1;
  if (buffer != nullptr && size >= needed) {
    std::memcpy(buffer, path.data(), path.size());
    buffer[path.size()] = '\0';
  }
  return needed;
}

Handle Open(const char* name) {
  if (name == nullptr) return kNoHandle;
  size_t length = std::strlen(name);
  if (length == 0 || length > kMaxName) return kNoHandle;
  uint16_t port = SimulatorPort();
  if (port == 0) return kNoHandle;
  Socket socket = kNoSocket;
  bool opened = false;
  if (!OpenOnKept(port, name, length, &socket, &opened)) {
    Message answer;
    socket = Request(simwire::kOpen, name, length, &answer);
    if (socket == kNoSocket) return kNoHandle;
    opened = answer.body.size() == 1 && answer.body[0] == 1;
    if (!opened) simsock::CloseSocket(socket);
  }
  if (!opened) return kNoHandle;
  SimHandle* h = new (std::nothrow) SimHandle;
  if (h == nullptr) {
    simsock::CloseSocket(socket);
    return kNoHandle;
  }
  h->socket = socket;
  h->port = port;
  return reinterpret_cast<Handle>(h);
}

void Close(Handle handle) {
  SimHandle* h = FromHandle(handle);
  if (h == nullptr) return;
  // Only a connection with nothing owed either way is kept.
  bool inStep = !h->broken && !h->readPending && h->acksPending == 0 && !h->hasLateFrame &&
                h->inbox.bytes.empty();
  if (inStep && SendMessage(h->socket, simwire::kRelease, nullptr, 0) == Io::Ok)
    gIdle.Give(h->port, h->socket);
  else
    simsock::CloseSocket(h->socket);
  delete h;
}

// A connection closed on an unplug is only seen on its next transfer.
bool StillAttached(Handle handle) { return FromHandle(handle) != nullptr; }

// Connections kept for reuse live as long as the process: nothing to end.
void CloseBus() {}

bool Read(Handle handle, void* buffer, uint32_t size, uint32_t* received, TransferAbort* abort) {
  if (received != nullptr) *received = 0;
  SimHandle* h = FromHandle(handle);
  if (h == nullptr || h->broken) return false;
  if (abort != nullptr && abort->Aborted()) return false;
  Message answer;
  if (h->hasLateFrame) {
    h->hasLateFrame = false;
    answer.type = simwire::kFrame;
    answer.body.swap(h->lateFrame);
  } else {
    if (!h->readPending) {
      uint8_t body[4];
    simwire::PutU32(body, size);
      if (SendMessage(h->socket, simwire::kRead, body, sizeof body) != Io::Ok) {
        h->broken = true;
        return false;
      }
      h->readPending = true;
    }
    Io io = NextTransferAnswer(h, abort, &answer);
    if (io == Io::Aborted) CancelRead(h);
    if (io != Io::Ok) return false;
  }
  if (answer.type != simwire::kFrame) return false;
  // A frame longer than the buffer is an overflow, as on USB: it is lost.
  if (answer.body.size() > size) return false;
  if (!answer.body.empty()) std::memcpy(buffer, answer.body.data(), answer.body.size());
  if (received != nullptr) *received = static_cast<uint32_t>(answer.body.size());
  return true;
}

bool Write(Handle handle, const void* data, uint32_t size, uint32_t* written,
           TransferAbort* abort) {
  if (written != nullptr) *written = 0;
  SimHandle* h = FromHandle(handle);
  if (h == nullptr || h->broken) return false;
  if (abort != nullptr && abort->Aborted()) return false;
  // A zero-length transfer moves nothing and reaches no printer.
  if (size == 0) return true;
  if (size > simwire::kMaxBody) return false;
  Message answer;
  // Acknowledgements of earlier aborted writes come first.
  while (h->acksPending > 0) {
    if (NextTransferAnswer(h, abort, &answer) != Io::Ok) return false;
  }
  if (SendMessage(h->socket, simwire::kWrite, data, size) != Io::Ok) {
    h->broken = true;
    return false;
  }
  h->acksPending = 1;
  if (NextTransferAnswer(h, abort, &answer) != Io::Ok) return false;
  if (answer.type != simwire::kAck || answer.body.size() != 4) return false;
  uint32_t accepted = simwire::GetU32(answer.body.data());
  if (accepted > size) return false;
  if (written != nullptr) *written = accepted;
  return accepted > 0;
}

struct ChangeSource {
  Socket socket = kNoSocket;
  Inbox inbox;
  uint32_t pending = 0;
};

// The simulator tells its subscribers; there is nothing to own.
ChangeSource* OpenChangeSource(void* /*ownerInstance*/) {
  ChangeSource* source = new (std::nothrow) ChangeSource;
  if (source == nullptr) return nullptr;
  Message answer;
  // Without a simulator the source simply never reports.
  source->socket = Request(simwire::kSubscribe, nullptr, 0, &answer, &source->inbox);
  return source;
}

bool TakeChange(ChangeSource* source) {
  if (source == nullptr) return false;
  while (source->socket != kNoSocket) {
    Message message;
    Io io = NextMessage(source->socket, &source->inbox, nullptr, 0, &message);
    if (io == Io::TimedOut) break;
    if (io == Io::Ok && message.type == simwire::kChange) {
      ++source->pending;
      continue;
    }
    // The simulator went away: every printer went with it.
    simsock::CloseSocket(source->socket);
    source->socket = kNoSocket;
    ++source->pending;
  }
  if (source->pending == 0) return false;
  --source->pending;
  return true;
}

void CloseChangeSource(ChangeSource* source) {
  if (source == nullptr) return;
  simsock::CloseSocket(source->socket);
  delete source;
}

}  // namespace usb
}  // namespace platform
