#include "pipe_server.h"

namespace winebridge {
namespace {

namespace usb = platform::usb;

constexpr char kBulkIn[] = "\\if000pipe000";
constexpr char kBulkOut[] = "\\if000pipe001";
// Larger than any transfer the simulator hands out or takes.
constexpr DWORD kMaxTransfer = 1u << 20;
// How often a listener without a waiting instance tries to make one again.
constexpr DWORD kRetryMs = 100;
// Instances of each name that wait for a client. The library opens both
// pipes again before every command, without waiting for a busy pipe, so an
// open must find one waiting even when the previous few were just taken.
constexpr int kSpareInstances = 4;
// Bulk-out connections served at once: a wait takes at most 64 objects,
// and the stop event and 4 names' instances come first.
constexpr size_t kMaxSenders = 64 - 1 - 4 * kSpareInstances;

enum class Outcome { Done, Failed, Stopped };

// Waits for an overlapped operation started on pipe (started: the call's
// result, made after the OVERLAPPED was made fresh) or for stop; a stopped
// operation is cancelled and waited for, so the OVERLAPPED may go away
// afterwards. Done: *moved bytes; Failed: *error.
Outcome Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, HANDLE stop, DWORD* moved,
               DWORD* error) {
  *moved = 0;
  *error = ERROR_SUCCESS;
  if (!started) {
    *error = GetLastError();
    if (*error != ERROR_IO_PENDING) return Outcome::Failed;
    HANDLE waits[2] = {overlapped->hEvent, stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, overlapped);
      GetOverlappedResult(pipe, overlapped, moved, TRUE);
      return Outcome::Stopped;
    }
  }
  if (!GetOverlappedResult(pipe, overlapped, moved, TRUE)) {
    *error = GetLastError();
    return Outcome::Failed;
  }
  return Outcome::Done;
}

struct Overlapped {
  OVERLAPPED value{};
  Overlapped() { value.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (value.hEvent != nullptr) CloseHandle(value.hEvent);
  }
  OVERLAPPED* Fresh() {
    HANDLE event = value.hEvent;
    value = OVERLAPPED{};
    value.hEvent = event;
    ResetEvent(event);
    return &value;
  }
};

// Ends a connection: the client's pending and later transfers fail.
void Hangup(HANDLE pipe) {
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
}

// true while the client end of a connected instance is still open.
bool ClientOpen(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != FALSE;
}

// An instance waiting for a client. connected: a client came between its
// creation and the wait. Its event is set when a client has come.
struct Listening {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  Overlapped overlapped;
  bool connected = false;

  // false: no instance could be made (the caller tries again later).
  bool Arm(const std::string& name) {
    // No buffer of our own either way: a client's write completes only when
    // it has been taken, and our write only when the client has read it.
    pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    connected = false;
    OVERLAPPED* o = overlapped.Fresh();
    if (!ConnectNamedPipe(pipe, o)) {
      DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
        SetEvent(o->hEvent);
      } else if (error != ERROR_IO_PENDING) {
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
        return false;
      }
    }
    return true;
  }
  // The waiting instance, connected, or INVALID_HANDLE_VALUE.
  HANDLE Take() {
    DWORD moved = 0;
    HANDLE taken = pipe;
    pipe = INVALID_HANDLE_VALUE;
    if (!connected && !GetOverlappedResult(taken, &overlapped.value, &moved, TRUE) &&
        GetLastError() != ERROR_PIPE_CONNECTED) {
      CloseHandle(taken);
      return INVALID_HANDLE_VALUE;
    }
    return taken;
  }
  void Cancel() {
    if (pipe == INVALID_HANDLE_VALUE) return;
    DWORD moved = 0;
    CancelIoEx(pipe, &overlapped.value);
    GetOverlappedResult(pipe, &overlapped.value, &moved, TRUE);
    CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
  }
};

}  // namespace

struct PrinterPipes::Listener {
  std::string name;
  bool bulkIn = false;
  Listening slots[kSpareInstances];
};

// A client's bulk-out connection, waiting for its next message.
struct PrinterPipes::Sender {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  Overlapped overlapped;
  bool waiting = false;
};

PrinterPipes::PrinterPipes(std::string simPath, std::vector<std::string> pipeFolders)
    : simPath_(std::move(simPath)), folders_(std::move(pipeFolders)) {}

PrinterPipes::~PrinterPipes() { Stop(); }

bool PrinterPipes::Start(std::string* error) {
  stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  readerArrived_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (stop_ == nullptr || readerArrived_ == nullptr) {
    *error = "cannot create events";
    Stop();
    return false;
  }
  for (const std::string& folder : folders_) {
    for (bool bulkIn : {true, false}) {
      auto listener = std::make_unique<Listener>();
      listener->name = folder + (bulkIn ? kBulkIn : kBulkOut);
      listener->bulkIn = bulkIn;
      for (Listening& slot : listener->slots) {
        if (!slot.Arm(listener->name)) {
          *error = "cannot create the pipe " + listener->name + " (error " + std::to_string(GetLastError()) + ")";
          for (Listening& armed : listener->slots) armed.Cancel();
          Stop();
          return false;
        }
      }
      listeners_.push_back(std::move(listener));
    }
  }
  pump_ = std::thread(&PrinterPipes::PumpReplies, this);
  connections_ = std::thread(&PrinterPipes::ServeConnections, this);
  return true;
}

void PrinterPipes::Stop() {
  if (stop_ == nullptr) return;
  SetEvent(stop_);
  pumpAbort_.Abort();
  sendAbort_.Abort();
  if (pump_.joinable()) pump_.join();
  if (connections_.joinable()) connections_.join();
  for (auto& listener : listeners_)
    for (Listening& slot : listener->slots) slot.Cancel();
  listeners_.clear();
  for (HANDLE reader : readers_) Hangup(reader);
  readers_.clear();
  for (HANDLE* event : {&stop_, &readerArrived_}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
}

// Every new connection and every client's bulk-out connection, on one
// thread. A new connection's instance is replaced before anything else is
// done: the library opens both pipes again before every command without
// waiting for a busy pipe, and since the command's transfer passes this
// thread after those opens, the next command always finds an instance.
// Each message a client writes is one transfer to the printer, and the
// client's write completes only when the printer has taken it all, because
// the message is only then read out of the pipe. Most connections only prove
// that the pipe is there and close again without a word, so the printer's own
// connection is opened when the first transfer comes.
void PrinterPipes::ServeConnections() {
  std::vector<std::unique_ptr<Sender>> senders;
  usb::Handle sim = usb::kNoHandle;
  std::vector<uint8_t> buffer(4096 + 64);
  for (;;) {
    // A read of nothing waits for a whole message without taking it.
    for (auto it = senders.begin(); it != senders.end();) {
      Sender& sender = **it;
      if (!sender.waiting) {
        OVERLAPPED* o = sender.overlapped.Fresh();
        BOOL done = ReadFile(sender.pipe, buffer.data(), 0, nullptr, o);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (done || error == ERROR_MORE_DATA) SetEvent(o->hEvent);
        if (done || error == ERROR_MORE_DATA || error == ERROR_IO_PENDING) {
          sender.waiting = true;
        } else {
          Hangup(sender.pipe);
          it = senders.erase(it);
          continue;
        }
      }
      ++it;
    }
    // Instances first: of several ready objects the wait names the first.
    std::vector<HANDLE> waits = {stop_};
    std::vector<std::pair<Listener*, Listening*>> slots;
    bool missing = false;
    for (auto& listener : listeners_) {
      for (Listening& slot : listener->slots) {
        if (slot.pipe == INVALID_HANDLE_VALUE && !slot.Arm(listener->name)) {
          missing = true;
          continue;
        }
        waits.push_back(slot.overlapped.value.hEvent);
        slots.emplace_back(listener.get(), &slot);
      }
    }
    const size_t firstSender = waits.size();
    for (auto& sender : senders) waits.push_back(sender->overlapped.value.hEvent);
    DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                        missing ? kRetryMs : INFINITE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
    if (woke == WAIT_TIMEOUT || woke >= WAIT_OBJECT_0 + waits.size()) continue;
    size_t index = woke - WAIT_OBJECT_0;
    if (index < firstSender) {
      Listener* listener = slots[index - 1].first;
      Listening& slot = *slots[index - 1].second;
      HANDLE connected = slot.Take();
      slot.Arm(listener->name);  // a failure is tried again next pass
      if (connected == INVALID_HANDLE_VALUE) continue;
      if (listener->bulkIn) {
        AddReader(connected);
      } else if (senders.size() < kMaxSenders) {
        senders.push_back(std::make_unique<Sender>());
        senders.back()->pipe = connected;
      } else {
        Hangup(connected);
      }
      continue;
    }
    Sender* sender = senders[index - firstSender].get();
    sender->waiting = false;
    DWORD moved = 0;
    BOOL done = GetOverlappedResult(sender->pipe, &sender->overlapped.value, &moved, FALSE);
    if (done) continue;  // an empty message, taken
    if (GetLastError() == ERROR_MORE_DATA && Transfer(sender, &sim, &buffer)) continue;
    // The client closed its end, or its transfer failed.
    Hangup(sender->pipe);
    senders.erase(senders.begin() + static_cast<long>(index - firstSender));
  }
  for (auto& sender : senders) {
    DWORD moved = 0;
    if (sender->waiting) {
      CancelIoEx(sender->pipe, &sender->overlapped.value);
      GetOverlappedResult(sender->pipe, &sender->overlapped.value, &moved, TRUE);
    }
    Hangup(sender->pipe);
  }
  usb::Close(sim);
}

// One transfer: the message waiting on sender's connection, to the printer.
// false: it failed, and the client's write with it.
bool PrinterPipes::Transfer(Sender* sender, usb::Handle* sim, std::vector<uint8_t>* buffer) {
  DWORD size = 0, left = 0;
  if (!PeekNamedPipe(sender->pipe, buffer->data(), static_cast<DWORD>(buffer->size()), &size, nullptr, &left))
    return false;
  if (left > 0) {
    if (size + left > kMaxTransfer) return false;
    buffer->resize(size + left);
    if (!PeekNamedPipe(sender->pipe, buffer->data(), static_cast<DWORD>(buffer->size()), &size, nullptr, &left) ||
        left > 0)
      return false;
  }
  if (size == 0) return false;
  if (*sim == usb::kNoHandle) *sim = usb::Open((simPath_ + kBulkOut).c_str());
  uint32_t written = 0;
  // A transfer the printer did not take whole fails the client's write:
  // its pipe breaks rather than report bytes that never arrived.
  if (*sim == usb::kNoHandle || !usb::Write(*sim, buffer->data(), size, &written, &sendAbort_) ||
      written != size) {
    usb::Close(*sim);
    *sim = usb::kNoHandle;
    return false;
  }
  DWORD moved = 0, error = 0;
  OVERLAPPED* o = sender->overlapped.Fresh();
  return Finish(sender->pipe, o, ReadFile(sender->pipe, buffer->data(), size, nullptr, o), stop_, &moved,
                &error) == Outcome::Done &&
         moved == size;
}

// A new bulk-in connection, last in line for replies.
void PrinterPipes::AddReader(HANDLE pipe) {
  std::lock_guard<std::mutex> hold(lock_);
  if (broken_.load()) {
    Hangup(pipe);
    return;
  }
  // Connections whose clients have closed go now, all but the oldest, which
  // the pump may be handing a reply to; it finds out itself.
  for (auto it = readers_.size() > 1 ? readers_.begin() + 1 : readers_.end(); it != readers_.end();) {
    if (!ClientOpen(*it)) {
      Hangup(*it);
      it = readers_.erase(it);
    } else {
      ++it;
    }
  }
  readers_.push_back(pipe);
  SetEvent(readerArrived_);
}

// Every bulk-in connection fails, as a USB device's reads do when it goes.
void PrinterPipes::BreakReaders() {
  std::lock_guard<std::mutex> hold(lock_);
  for (HANDLE reader : readers_) Hangup(reader);
  readers_.clear();
}

// The printer's replies, taken as they come (one read always waits at the
// printer while anyone has the bulk-in pipe open) and handed out in order.
void PrinterPipes::PumpReplies() {
  usb::Handle sim = usb::kNoHandle;
  std::vector<uint8_t> frame(64 * 1024);
  for (;;) {
    bool anyone = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      anyone = !readers_.empty();
    }
    if (!anyone) {
      HANDLE waits[2] = {stop_, readerArrived_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
      continue;
    }
    if (sim == usb::kNoHandle) sim = usb::Open((simPath_ + kBulkIn).c_str());
    uint32_t size = 0;
    if (sim == usb::kNoHandle ||
        !usb::Read(sim, frame.data(), static_cast<uint32_t>(frame.size()), &size, &pumpAbort_)) {
      if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) break;
      // The printer went: so do its clients' pipes, as with a USB device.
      broken_.store(true);
      BreakReaders();
      WaitForSingleObject(stop_, INFINITE);
      break;
    }
    if (!Deliver(frame.data(), size)) break;
  }
  usb::Close(sim);
}

// false: stopped before the reply could be handed over.
bool PrinterPipes::Deliver(const uint8_t* frame, DWORD size) {
  Overlapped overlapped;
  for (;;) {
    HANDLE reader = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!readers_.empty()) reader = readers_.front();
    }
    if (reader == nullptr) {
      HANDLE waits[2] = {stop_, readerArrived_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
      continue;
    }
    DWORD moved = 0, error = 0;
    OVERLAPPED* o = overlapped.Fresh();
    Outcome outcome = Finish(reader, o, WriteFile(reader, frame, size, nullptr, o), stop_, &moved, &error);
    if (outcome == Outcome::Stopped) return false;
    if (outcome == Outcome::Done && moved == size) return true;
    // That client has gone; the next one gets the reply.
    std::lock_guard<std::mutex> hold(lock_);
    if (!readers_.empty() && readers_.front() == reader) {
      readers_.pop_front();
      Hangup(reader);
    }
  }
}

}  // namespace winebridge
