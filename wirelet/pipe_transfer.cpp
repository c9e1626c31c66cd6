#include "pipe_transfer.h"

#include <cstring>

#include "status_out.h"

namespace wirelet {

using platform::Thread;

namespace {

// How long an aborted worker gets to end before the last resort.
constexpr uint32_t kAbortGraceMs = 2000;

// Runs procedure on worker and waits at most limitMs. Returns the flag value
// for the pipe: 1 when the worker overran (it has been stopped by now), 0 when
// it ended in time, -1 when the wait failed (flag unchanged).
int RunWorker(Thread* worker, platform::usb::TransferAbort* abort, Thread::Procedure procedure,
              void* object, uint32_t limitMs) {
  abort->Reset();
  if (!worker->Start(procedure, object)) return -1;
  switch (worker->Wait(limitMs)) {
    case Thread::WaitResult::Ended:
      return 0;
    case Thread::WaitResult::TimedOut:
      EndOverrunWorker(worker, abort);
      return 1;
    case Thread::WaitResult::Failed:
      break;
  }
  // Whatever went wrong with the wait, the worker must not outlive us.
  EndOverrunWorker(worker, abort);
  return -1;
}

}  // namespace

void EndOverrunWorker(Thread* worker, platform::usb::TransferAbort* abort) {
  abort->Abort();
  if (worker->Wait(kAbortGraceMs) == Thread::WaitResult::Ended) return;
  // Killing a thread in the middle of I/O is the last resort, and only where
  // the system offers it; elsewhere the abort is what ends the transfer.
  if (worker->Terminate()) {
    worker->Wait(0);
    return;
  }
  worker->Wait(platform::kInfinite);
}

PipeReader::PipeReader(TransferSettings* owner)
    : owner_(owner), succeeded_(0), count_(0), lateReplyPossible_(false) {
  std::memset(data_, 0, sizeof data_);
}

uint32_t PipeReader::ReaderThread(void* raw) {
  PipeReader* reader = static_cast<PipeReader*>(raw);
  reader->abort_.Arm();
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
  return 0;
}

int PipeReader::ReadTimed(uint8_t* destination, uint32_t* count, StatusCode* status) {
  count_ = 0;
  succeeded_ = 0;
  std::memset(data_, 0, sizeof data_);
  int overran = RunWorker(&worker_, &abort_, &ReaderThread, this, owner_->transferLimitMs);
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
    if (RunWorker(&worker_, &abort_, &ReaderThread, this, kLateReplyWaitMs) != 0) break;
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

PipeWriter::PipeWriter(TransferSettings* owner)
    : owner_(owner), succeeded_(0), count_(0), written_(0), source_(nullptr) {
  std::memset(data_, 0, sizeof data_);
}

uint32_t PipeWriter::WriterThread(void* raw) {
  PipeWriter* writer = static_cast<PipeWriter*>(raw);
  writer->abort_.Arm();
  uint32_t written = 0;
  if (writer->count_ != 0 &&
      platform::usb::Write(writer->owner_->writePipe,
                           writer->source_ != nullptr ? writer->source_ : writer->data_,
                           writer->count_, &written, &writer->abort_) &&
      written != 0) {
    writer->written_ = written;
    writer->succeeded_ = 1;
  } else {
    writer->written_ = 0;
    writer->succeeded_ = 0;
  }
  return 0;
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
  return RunWrite(written, status);
}

int PipeWriter::RunWrite(uint32_t* written, StatusCode* status) {
  int overran = RunWorker(&worker_, &abort_, &WriterThread, this, owner_->transferLimitMs);
  if (overran >= 0) owner_->writeTimedOut = overran;
  if (succeeded_ == 1) {
    if (written != nullptr) *written = written_;
    SetStatus(status, kStatusOk);
    return 1;
  }
  SetStatus(status, kStatusTransferFailed);
  return 0;
}

int PipeWriter::WriteBounded(const uint8_t* source, uint32_t n, uint32_t* written,
                             StatusCode* status) {
  count_ = 0;
  written_ = 0;
  succeeded_ = 0;
  if (written != nullptr) *written = 0;
  if (source == nullptr || n == 0) {
    SetStatus(status, kStatusTransferFailed);
    return 0;
  }
  count_ = n;
  source_ = source;
  int result = RunWrite(written, status);
  source_ = nullptr;
  return result;
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
