#include "pipe_server.h"

#include <algorithm>

namespace winebridge {
namespace {

namespace usb = platform::usb;

constexpr char kBulkIn[] = "\\if000pipe000";
constexpr char kBulkOut[] = "\\if000pipe001";
// Larger than any transfer the simulator hands out or takes.
constexpr DWORD kMaxTransfer = 1u << 20;
// How often a listener without a waiting instance tries to make one again.
constexpr DWORD kRetryMs = 100;

enum class Outcome { Done, Failed, Stopped };

// Waits for an overlapped operation started on pipe (started: the call's
// result, made after the OVERLAPPED was made fresh) or for stop; a stopped operation is cancelled and waited for, so
// the OVERLAPPED may go away afterwards. Done: *moved bytes; Failed: *error.
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
  // Two instances wait at all times, so that an open coming while the other
  // was just taken still finds one: the library opens each pipe again before
  // every command and never waits for a busy pipe.
  Listening slots[2];
  std::thread thread;
};

struct PrinterPipes::Writer {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  usb::TransferAbort abort;
  std::thread thread;
  std::atomic<bool> ended{false};
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
  // Every name has its waiting instances before Start returns, so the
  // printer never shows up without its pipes.
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
  for (auto& listener : listeners_) listener->thread = std::thread(&PrinterPipes::Listen, this, listener.get());
  pump_ = std::thread(&PrinterPipes::PumpReplies, this);
  return true;
}

void PrinterPipes::Stop() {
  if (stop_ == nullptr) return;
  SetEvent(stop_);
  pumpAbort_.Abort();
  std::vector<std::unique_ptr<Writer>> writers;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
    for (auto& writer : writers_) writer->abort.Abort();
    writers.swap(writers_);
  }
  for (auto& listener : listeners_) {
    if (listener->thread.joinable()) listener->thread.join();
    for (Listening& slot : listener->slots) slot.Cancel();
  }
  listeners_.clear();
  if (pump_.joinable()) pump_.join();
  for (auto& writer : writers)
    if (writer->thread.joinable()) writer->thread.join();
  for (HANDLE reader : readers_) Hangup(reader);
  readers_.clear();
  CloseHandle(stop_);
  if (readerArrived_ != nullptr) CloseHandle(readerArrived_);
  stop_ = readerArrived_ = nullptr;
}

void PrinterPipes::Listen(Listener* listener) {
  Listening* slots = listener->slots;
  for (;;) {
    HANDLE waits[3] = {stop_, slots[0].overlapped.value.hEvent, slots[1].overlapped.value.hEvent};
    bool missing = slots[0].pipe == INVALID_HANDLE_VALUE || slots[1].pipe == INVALID_HANDLE_VALUE;
    DWORD woke = WaitForMultipleObjects(3, waits, FALSE, missing ? kRetryMs : INFINITE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
    if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_OBJECT_0 + 2) {
      Listening& slot = slots[woke - WAIT_OBJECT_0 - 1];
      HANDLE connected = slot.pipe != INVALID_HANDLE_VALUE ? slot.Take() : INVALID_HANDLE_VALUE;
      ResetEvent(slot.overlapped.value.hEvent);
      if (connected != INVALID_HANDLE_VALUE) {
        if (listener->bulkIn) AddReader(connected);
        else StartWriter(connected);
      }
    }
    for (int i = 0; i < 2; ++i)
      if (slots[i].pipe == INVALID_HANDLE_VALUE) slots[i].Arm(listener->name);
  }
}

void PrinterPipes::StartWriter(HANDLE pipe) {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopped_) {
    Hangup(pipe);
    return;
  }
  // Writers that have ended go first, so they do not pile up.
  for (auto it = writers_.begin(); it != writers_.end();) {
    if ((*it)->ended.load()) {
      (*it)->thread.join();
      it = writers_.erase(it);
    } else {
      ++it;
    }
  }
  writers_.push_back(std::make_unique<Writer>());
  Writer* writer = writers_.back().get();
  writer->pipe = pipe;
  writer->thread = std::thread(&PrinterPipes::ServeWriter, this, writer);
}

// One client's bulk-out connection: each message it writes is one transfer
// to the printer, and the client's write completes only when the printer has
// taken it all, because the message is only then read out of the pipe.
void PrinterPipes::ServeWriter(Writer* writer) {
  HANDLE pipe = writer->pipe;
  usb::Handle sim = usb::Open((simPath_ + kBulkOut).c_str());
  std::vector<uint8_t> buffer(4096 + 64);
  Overlapped overlapped;
  while (sim != usb::kNoHandle) {
    DWORD moved = 0, error = 0;
    // A read of nothing waits for a whole message without taking it.
    OVERLAPPED* o = overlapped.Fresh();
    Outcome outcome = Finish(pipe, o, ReadFile(pipe, buffer.data(), 0, nullptr, o), stop_, &moved, &error);
    if (outcome == Outcome::Stopped) break;
    if (outcome == Outcome::Done) continue;  // an empty message, taken
    if (error != ERROR_MORE_DATA) break;     // the client closed its end
    DWORD size = 0, left = 0;
    if (!PeekNamedPipe(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &size, nullptr, &left))
      break;
    if (left > 0) {
      if (size + left > kMaxTransfer) break;
      buffer.resize(size + left);
      if (!PeekNamedPipe(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &size, nullptr, &left) ||
          left > 0)
        break;
    }
    if (size == 0) break;
    uint32_t written = 0;
    // A transfer the printer did not take whole fails the client's write:
    // its pipe breaks rather than report bytes that never arrived.
    if (!usb::Write(sim, buffer.data(), size, &written, &writer->abort) || written != size) break;
    o = overlapped.Fresh();
    outcome = Finish(pipe, o, ReadFile(pipe, buffer.data(), size, nullptr, o), stop_, &moved, &error);
    if (outcome != Outcome::Done || moved != size) break;
  }
  usb::Close(sim);
  Hangup(pipe);
  writer->ended.store(true);
}

void PrinterPipes::AddReader(HANDLE pipe) {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopped_ || broken_.load()) {
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
