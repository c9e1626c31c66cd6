#include "pipe_transfer.h"

#include <chrono>
#include <cstring>

#include "status_out.h"

namespace wirelet {

using platform::Thread;

namespace {

// How long an aborted worker gets to end before the last resort.
constexpr uint32_t kAbortGraceMs = 2000;

}  // namespace

// ---- TransferWorker ---------------------------------------------------------

TransferWorker::TransferWorker(platform::usb::TransferAbort* abort)
    : abort_(abort),
      inThread_(false),
      limitMs_(0),
      state_(State::kIdle),
      quit_(false),
      job_(nullptr),
      object_(nullptr),
      transferStart_(0) {}

TransferWorker::~TransferWorker() { Stop(); }

int64_t TransferWorker::Now() {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

uint32_t TransferWorker::Loop(void* raw) {
  TransferWorker* worker = static_cast<TransferWorker*>(raw);
  worker->abort_->Arm();
  std::unique_lock<std::mutex> hold(worker->mutex_);
  for (;;) {
    // A job given up before it began ends this thread as well.
    worker->changed_.wait(hold, [worker] {
      return worker->quit_ || worker->state_ == State::kPending ||
             worker->state_ == State::kOverrun;
    });
    if (worker->state_ != State::kPending) break;
    worker->state_ = State::kRunning;
    Job job = worker->job_;
    void* object = worker->object_;
    hold.unlock();
    job(object);
    hold.lock();
    // An aborted job ends its thread: the abort then sees the thread end
    // instead of trying to cancel I/O that it no longer makes.
    if (worker->state_ == State::kOverrun) break;
    worker->state_ = State::kDone;
    worker->changed_.notify_all();
  }
  return 0;
}

int TransferWorker::Run(Job job, void* object, uint32_t limitMs) {
  abort_->Reset();
  if (abort_->FireAfter(limitMs)) {
    inThread_ = true;
    limitMs_ = limitMs;
    job(object);
    inThread_ = false;
    bool overran = abort_->Expired();
    abort_->Reset();
    return overran ? 1 : 0;
  }
  if (!thread_.Started()) {
    state_ = State::kIdle;
    quit_ = false;
    if (!thread_.Start(&Loop, this)) return -1;
  }
  const int64_t limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::milliseconds(limitMs))
                            .count();
  std::unique_lock<std::mutex> hold(mutex_);
  job_ = job;
  object_ = object;
  transferStart_.store(Now());
  state_ = State::kPending;
  changed_.notify_all();
  for (;;) {
    if (state_ == State::kDone) {
      state_ = State::kIdle;
      return 0;
    }
    // The job moves the start on as it begins each transfer, so the wait is
    // only cut short by one transfer that overran.
    int64_t deadline = transferStart_.load() + limit;
    if (Now() >= deadline) break;
    changed_.wait_until(hold, std::chrono::steady_clock::time_point(
                                  std::chrono::steady_clock::duration(deadline)));
  }
  state_ = State::kOverrun;
  changed_.notify_all();
  hold.unlock();
  EndOverrun();
  return 1;
}

void TransferWorker::TransferStarting() {
  if (inThread_) abort_->FireAfter(limitMs_);
  else transferStart_.store(Now());
}

void TransferWorker::EndOverrun() {
  abort_->Abort();
  if (thread_.Wait(kAbortGraceMs) != Thread::WaitResult::Ended) {
    // Killing a thread in the middle of I/O is the last resort, and only
    // where the system offers it; elsewhere the abort is what ends the
    // transfer.
    if (thread_.Terminate()) thread_.Wait(0);
    else thread_.Wait(platform::kInfinite);
  }
  state_ = State::kIdle;
}

void TransferWorker::Stop() {
  if (!thread_.Started()) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    quit_ = true;
    changed_.notify_all();
  }
  thread_.Wait(platform::kInfinite);
  state_ = State::kIdle;
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
  if (platform::usb::Read(reader->owner_->readPipe, staging, kReadSize, &received,
                          &reader->abort_) &&
      received != 0 && received <= kReadSize) {
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
  if (writer->count_ != 0 &&
      platform::usb::Write(writer->owner_->writePipe, writer->data_, writer->count_, &written,
                           &writer->abort_) &&
      written != 0) {
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
    uint32_t moved = 0;
    bool ok = (abort == nullptr || !abort->Aborted()) &&
              platform::usb::Write(owner_->writePipe, source_ + sent, piece, &moved, abort);
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
      int overran = worker_.Run(&BulkJob, this, owner_->transferLimitMs);
      if (overran >= 0) owner_->writeTimedOut = overran;
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
