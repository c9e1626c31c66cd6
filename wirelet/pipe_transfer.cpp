#include "pipe_transfer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "status_out.h"

namespace wirelet {

using platform::Thread;

namespace {

// How long an aborted worker gets to end before the last resort, and an idle
// one asked to stop.
constexpr uint32_t kAbortGraceMs = 2000;

}  // namespace

// ---- TransferWorker ---------------------------------------------------------

struct TransferWorker::Link {
  std::mutex mutex;  // guards everything below but transferStart
  std::condition_variable changed;
  State state = State::kIdle;
  bool quit = false;
  Job job = nullptr;
  void* object = nullptr;
  platform::usb::TransferAbort* abort = nullptr;
  // steady-clock ticks at which the running transfer began
  std::atomic<int64_t> transferStart{0};
  std::atomic<int> references{2};  // the worker's and the thread's

  void Drop() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

TransferWorker::TransferWorker(platform::usb::TransferAbort* abort, Placement placement)
    : abort_(abort),
      placement_(placement),
      inThread_(false),
      limitMs_(0),
      abortEnded_(false),
      abandoned_(false),
      link_(nullptr) {}

TransferWorker::~TransferWorker() { Stop(); }

int64_t TransferWorker::Now() {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

uint32_t TransferWorker::Loop(void* raw) {
  Link* link = static_cast<Link*>(raw);
  link->abort->Arm();
  {
    std::unique_lock<std::mutex> hold(link->mutex);
    for (;;) {
      // A job given up before it began ends this thread as well.
      link->changed.wait(hold, [link] {
        return link->quit || link->state == State::kPending || link->state == State::kOverrun;
      });
      if (link->state != State::kPending) break;
      link->state = State::kRunning;
      Job job = link->job;
      void* object = link->object;
      hold.unlock();
      job(object);
      hold.lock();
      // An aborted job ends its thread: the abort then sees the thread end
      // instead of trying to cancel I/O that it no longer makes.
      if (link->state == State::kOverrun) break;
      link->state = State::kDone;
      link->changed.notify_all();
    }
  }
  link->Drop();
  return 0;
}

bool TransferWorker::StartThread() {
  Link* link = new (std::nothrow) Link;
  if (link == nullptr) return false;
  link->abort = abort_;
  if (!thread_.Start(&Loop, link)) {
    delete link;
    return false;
  }
  link_.store(link);
  return true;
}

void TransferWorker::DropLink() {
  Link* link = link_.exchange(nullptr);
  if (link != nullptr) link->Drop();
}

int TransferWorker::Run(Job job, void* object, uint32_t limitMs) {
  // Its thread may still be inside the job's object: nothing more runs on it.
  if (abandoned_) return -1;
  abort_->Reset();
  abortEnded_.store(false);
  if (placement_ == Placement::kCallerWherePossible && abort_->FireAfter(limitMs)) {
    inThread_ = true;
    limitMs_ = limitMs;
    job(object);
    inThread_ = false;
    abort_->Reset();
    return abortEnded_.load() ? 1 : 0;
  }
  if (!thread_.Started() && !StartThread()) return -1;
  const int64_t limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::milliseconds(limitMs))
                            .count();
  Link* link = link_.load();
  std::unique_lock<std::mutex> hold(link->mutex);
  link->job = job;
  link->object = object;
  link->transferStart.store(Now());
  link->state = State::kPending;
  link->changed.notify_all();
  for (;;) {
    if (link->state == State::kDone) {
      link->state = State::kIdle;
      return abortEnded_.load() ? 1 : 0;
    }
    // The job moves the start on as it begins each transfer, so the wait is
    // only cut short by one transfer that overran.
    int64_t deadline = link->transferStart.load() + limit;
    if (Now() >= deadline) break;
    link->changed.wait_until(hold, std::chrono::steady_clock::time_point(
                                       std::chrono::steady_clock::duration(deadline)));
  }
  link->state = State::kOverrun;
  link->changed.notify_all();
  hold.unlock();
  return EndOverrun();
}

void TransferWorker::TransferStarting() {
  if (inThread_) {
    // A transfer that finished, however late, leaves the next one its whole limit.
    abort_->Reset();
    abort_->FireAfter(limitMs_);
  } else if (Link* link = link_.load()) {
    // The thread holds its own count of the link, so it is there while the job runs.
    link->transferStart.store(Now());
  }
}

void TransferWorker::TransferEnded(bool ok) {
  if (!ok && abort_->Aborted()) abortEnded_.store(true);
}

int TransferWorker::EndOverrun() {
  abort_->Abort();
  if (thread_.Wait(kAbortGraceMs) == Thread::WaitResult::Ended) {
    // Its transfer may have finished just before the abort came.
    DropLink();
    return abortEnded_.load() ? 1 : 0;
  }
  // Killing a thread in the middle of I/O is the last resort, and only where
  // the system offers it; Terminate waits for the end a bounded time too.
  if (!thread_.Terminate() || thread_.Wait(0) != Thread::WaitResult::Ended) {
    // Neither ended nor killed: left to run, with its link and the job's
    // object, rather than waited for without end.
    thread_.Detach();
    abandoned_ = true;
  }
  DropLink();
  return 1;
}

void TransferWorker::Stop() {
  if (thread_.Started()) {
    Link* link = link_.load();
    {
      std::lock_guard<std::mutex> hold(link->mutex);
      link->quit = true;
      link->changed.notify_all();
    }
    // Idle, it ends at once; one that does not is left to end by itself.
    if (thread_.Wait(kAbortGraceMs) != Thread::WaitResult::Ended) thread_.Detach();
  }
  DropLink();
}

// ---- PipeReader -------------------------------------------------------------

PipeReader::PipeReader(TransferSettings* owner)
    : owner_(owner), succeeded_(0), count_(0), lateReplyPossible_(false), worker_(&abort_) {
  std::memset(data_, 0, sizeof data_);
}

void PipeReader::ReadJob(void* raw) {
  PipeReader* reader = static_cast<PipeReader*>(raw);
  uint8_t staging[kReadSize];
  uint32_t received = 0;
  bool read = platform::usb::Read(reader->owner_->readPipe, staging, kReadSize, &received,
                                  &reader->abort_);
  reader->worker_.TransferEnded(read);
  if (read && received != 0 && received <= kReadSize) {
    std::memcpy(reader->data_, staging, received);
    reader->count_ = received;
    reader->succeeded_ = 1;
  } else {
    reader->succeeded_ = 0;
  }
}

int PipeReader::ReadTimed(uint8_t* destination, uint32_t* count, StatusCode* status) {
  count_ = 0;
  succeeded_ = 0;
  std::memset(data_, 0, sizeof data_);
  int overran = worker_.Run(&ReadJob, this, owner_->transferLimitMs);
  if (overran >= 0) owner_->readTimedOut = overran;
  if (overran != 0) lateReplyPossible_ = true;
  if (succeeded_ == 1) {
    if (destination != nullptr) std::memcpy(destination, data_, count_);
    if (count != nullptr) *count = count_;
    SetStatus(status, kStatusOk);
    return 1;
  }
  if (count != nullptr) *count = 0;
  SetStatus(status, kStatusTransferFailed);
  return 0;
}

void PipeReader::DropLateReplies() {
  if (!lateReplyPossible_) return;
  lateReplyPossible_ = false;
  // The timed-out flag keeps speaking of the abandoned read: these reads
  // only look for what is already there.
  for (int dropped = 0; dropped < kLateRepliesDropped; ++dropped) {
    count_ = 0;
    succeeded_ = 0;
    if (worker_.Run(&ReadJob, this, kLateReplyWaitMs) != 0) break;
    if (succeeded_ != 1) break;
  }
  count_ = 0;
  succeeded_ = 0;
}

int PipeReader::ReadDirect(uint8_t* destination, uint32_t* count, StatusCode* status) {
  uint32_t size = owner_->directReadSize < 0 ? 0 : static_cast<uint32_t>(owner_->directReadSize);
  if (size > kDataSize) size = kDataSize;
  uint32_t received = 0;
  bool ok = platform::usb::Read(owner_->readPipe, data_, size, &received, nullptr);
  // Callers have room for one whole reply frame and no more.
  if (ok && received <= kReadSize) {
    if (destination != nullptr && received != 0) std::memcpy(destination, data_, received);
    if (count != nullptr) *count = received;
    SetStatus(status, kStatusOk);
    return 1;
  }
  if (count != nullptr) *count = 0;
  SetStatus(status, kStatusTransferFailed);
  return 0;
}

int PipeReader::Read(uint8_t* destination, uint32_t* count, StatusCode* status) {
  if (owner_->timedTransfers != 0) return ReadTimed(destination, count, status);
  return ReadDirect(destination, count, status);
}

// ---- PipeWriter -------------------------------------------------------------

PipeWriter::PipeWriter(TransferSettings* owner)
    : owner_(owner), succeeded_(0), count_(0), written_(0), source_(nullptr), worker_(&abort_) {
  std::memset(data_, 0, sizeof data_);
}

void PipeWriter::WriteJob(void* raw) {
  PipeWriter* writer = static_cast<PipeWriter*>(raw);
  uint32_t written = 0;
  bool wrote = writer->count_ != 0 &&
               platform::usb::Write(writer->owner_->writePipe, writer->data_, writer->count_,
                                    &written, &writer->abort_);
  if (writer->count_ != 0) writer->worker_.TransferEnded(wrote);
  if (wrote && written != 0) {
    writer->written_ = written;
    writer->succeeded_ = 1;
  } else {
    writer->written_ = 0;
    writer->succeeded_ = 0;
  }
}

void PipeWriter::BulkJob(void* raw) {
  PipeWriter* writer = static_cast<PipeWriter*>(raw);
  writer->SendPieces(&writer->worker_, &writer->abort_);
}

void PipeWriter::SendPieces(TransferWorker* timing, platform::usb::TransferAbort* abort) {
  uint32_t sent = 0;
  while (sent < count_) {
    uint32_t piece = count_ - sent < kBulkPieceSize ? count_ - sent : kBulkPieceSize;
    if (timing != nullptr && sent != 0) timing->TransferStarting();
    // Given up on while the piece before went out late: nothing more goes.
    if (abort != nullptr && abort->Aborted()) break;
    uint32_t moved = 0;
    bool ok = platform::usb::Write(owner_->writePipe, source_ + sent, piece, &moved, abort);
    if (timing != nullptr) timing->TransferEnded(ok);
    // A piece the printer took only in part would shift the rest of the
    // image: stop there rather than send what follows out of place.
    if (!ok || moved != piece) break;
    sent += piece;
  }
  written_ = sent;
  succeeded_ = sent == count_ ? 1 : 0;
}

int PipeWriter::WriteTimed(const uint8_t* source, uint32_t n, uint32_t* written,
                           StatusCode* status) {
  count_ = 0;
  written_ = 0;
  succeeded_ = 0;
  std::memset(data_, 0, sizeof data_);
  if (written != nullptr) *written = 0;
  if (n > kDataSize || (source == nullptr && n != 0)) {
    SetStatus(status, kStatusTransferFailed);
    return 0;
  }
  count_ = n;
  if (n != 0) std::memcpy(data_, source, n);
  int overran = worker_.Run(&WriteJob, this, owner_->transferLimitMs);
  if (overran >= 0) owner_->writeTimedOut = overran;
  if (succeeded_ == 1) {
    if (written != nullptr) *written = written_;
    SetStatus(status, kStatusOk);
    return 1;
  }
  SetStatus(status, kStatusTransferFailed);
  return 0;
}

int PipeWriter::WriteBulk(const uint8_t* source, uint32_t n, uint32_t* sent, StatusCode* status) {
  count_ = n;
  written_ = 0;
  succeeded_ = 0;
  source_ = source;
  if (source != nullptr && n != 0) {
    if (owner_->timedTransfers != 0) {
      // Only ever set here: clearing it would erase the mark of a frame
      // write abandoned before, and that handle would then be closed.
      if (worker_.Run(&BulkJob, this, owner_->transferLimitMs) == 1) owner_->writeTimedOut = 1;
    } else {
      SendPieces(nullptr, nullptr);
    }
  }
  source_ = nullptr;
  if (sent != nullptr) *sent = written_;
  SetStatus(status, succeeded_ == 1 ? kStatusOk : kStatusTransferFailed);
  return succeeded_ == 1 ? 1 : 0;
}

int PipeWriter::WriteDirect(const uint8_t* source, uint32_t n, uint32_t* written,
                            StatusCode* status) {
  uint32_t moved = 0;
  // A transfer of nothing reaches no printer, and so cannot succeed.
  bool ok = n != 0 && source != nullptr &&
            platform::usb::Write(owner_->writePipe, source, n, &moved, nullptr) && moved != 0;
  if (written != nullptr) *written = ok ? moved : 0;
  SetStatus(status, ok ? kStatusOk : kStatusTransferFailed);
  return ok ? 1 : 0;
}

}  // namespace wirelet
