// PipeReader and PipeWriter: every byte to and from a printer. A timed
// transfer runs on the object's worker thread, which the caller waits for at
// most transferLimitMs; a transfer that overruns is aborted and its worker
// waited for, so it never outlives the object whose fields it writes.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/thread.h"
#include "platform/usb_bus.h"
#include "wirelet.h"

namespace wirelet {

constexpr uint32_t kTransferLimitMs = 10000;
constexpr uint32_t kReadSize = 300;       // one timed read; the largest reply frame
constexpr uint32_t kDataSize = 1024;      // the objects' data fields
constexpr uint32_t kFrameBufferSize = 260;
constexpr uint32_t kBulkPieceSize = 4096;  // bulk data moves in transfers of at most this
constexpr uint16_t kReplyHeaderSize = 10;
// Dropping late replies: each read waits this long, and at most this many
// frames are dropped.
constexpr uint32_t kLateReplyWaitMs = 100;
constexpr int kLateRepliesDropped = 8;

// The session fields that both objects work with (PortSession owns them).
struct TransferSettings {
  int32_t timedTransfers;    // non-zero: worker thread with the time limit
  uint8_t writePipeNumber;
  uint8_t readPipeNumber;
  int32_t directReadSize;
  platform::usb::Handle writePipe;
  platform::usb::Handle readPipe;
  int32_t readTimedOut;      // 1 after a timed read was abandoned
  int32_t writeTimedOut;
  uint32_t transferLimitMs;  // how long a caller waits for one transfer
};

// The timed transfers of one PipeReader or PipeWriter, one job at a time. A
// job may make several transfers (the pieces of bulk data); each has the
// whole limit from its own start. Where the abort can fire by itself at a
// time (TransferAbort::FireAfter), the job runs on the caller's thread and
// the bus ends a transfer that overruns: no thread hand-over per command.
// Elsewhere (Windows) it runs on a thread that lives from the first job until
// the object goes, so no thread is started per transfer; the thread arms the
// abort for itself, so an abort cancels its blocking I/O. Every wait for that
// thread is bounded.
class TransferWorker {
 public:
  using Job = void (*)(void* object);
  // kWorkerThread: always on the worker thread, even where the caller's
  // thread could do (the Windows way, on any system).
  enum class Placement { kCallerWherePossible, kWorkerThread };

  explicit TransferWorker(platform::usb::TransferAbort* abort,
                          Placement placement = Placement::kCallerWherePossible);
  ~TransferWorker();  // Stop
  TransferWorker(const TransferWorker&) = delete;
  TransferWorker& operator=(const TransferWorker&) = delete;

  // Runs job(object) and waits for it. 0: the job ended, and the abort ended
  // none of its transfers (one that finished late still counts as finished).
  // 1: a transfer overran limitMs and the abort ended it; or, as the last
  // resorts, the thread was killed where the system offers that, or it could
  // not be ended and was left running (Abandoned). -1: the job did not run:
  // no worker thread could be started, or one was abandoned before. Unless
  // abandoned, the job is not running when this returns.
  int Run(Job job, void* object, uint32_t limitMs);
  // For a job: the transfer it begins now has the whole limit from here.
  void TransferStarting();
  // For a job: the transfer it began has ended; ok false when it failed. A
  // failure once the abort has fired is the abort's doing.
  void TransferEnded(bool ok);
  // Ends the thread, if one runs; no job may be running.
  void Stop();
  // true once a worker that overran could be neither ended nor killed and
  // was left running: it may still write into the job's object, which must
  // then never be freed.
  bool Abandoned() const { return abandoned_; }

 private:
  enum class State { kIdle, kPending, kRunning, kDone, kOverrun };
  // What the caller shares with the worker thread, counted by both. A thread
  // killed or left running keeps its count, so its link is never freed or
  // used again (it may have been killed holding the link's lock).
  struct Link;
  static uint32_t Loop(void* link);
  static int64_t Now();
  bool StartThread();
  int EndOverrun();
  void DropLink();

  platform::usb::TransferAbort* abort_;
  Placement placement_;
  bool inThread_;     // the running job is on the caller's thread
  uint32_t limitMs_;  // and this is its limit
  // The abort ended a transfer of the running job.
  std::atomic<bool> abortEnded_;
  bool abandoned_;
  platform::Thread thread_;
  // While a thread is held. Read by its jobs too, which may still run after
  // the thread was abandoned and the worker let go of the link.
  std::atomic<Link*> link_;
};

class PipeReader {
 public:
  enum DecodeMode { kErrorMode, kStatusMode };

  explicit PipeReader(TransferSettings* owner);
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // false: it could not be set up to abort its transfers; not to be used.
  bool Ready() const { return abort_.Ready(); }
  // A worker left running may still write into this object: never free it.
  bool Abandoned() const { return worker_.Abandoned(); }

  // One reply frame into destination (room for kReadSize bytes). 1: *count
  // bytes stored, status 0. 0: *count 0, status 2600.
  int ReadTimed(uint8_t* destination, uint32_t* count, StatusCode* status);
  // In the calling thread; a successful read of 0 bytes is a success.
  int ReadDirect(uint8_t* destination, uint32_t* count, StatusCode* status);
  int Read(uint8_t* destination, uint32_t* count, StatusCode* status);

  // After a read was abandoned its reply may still come, and would be taken
  // as the answer to the next command: reads and drops the frames waiting on
  // the pipe, for a short bounded time. Does nothing otherwise.
  void DropLateReplies();

  // The replies of the command protocol; each reads one frame.
  int ReadUpdateReply(StatusCode* status);
  int ReadStatusReply(StatusCode* status);
  // payload: room for 290 bytes.
  int ReadFirmwareInfoReply(uint8_t* payload, StatusCode* status);
  // *length: the payload length mod 256.
  int ReadReplyPayload(uint8_t* payload, uint8_t* length, StatusCode* status);

  static int DecodeReply(DecodeMode mode, const uint8_t* frame, StatusCode* status);
  static int DecodeErrorGroup(const uint8_t* frame, StatusCode* status);
  static int DecodeErrorDetail(const uint8_t* frame, StatusCode* status);

 private:
  // The job of a timed read, on the worker.
  static void ReadJob(void* reader);
  // Reads a frame into a cleared kReadSize buffer and checks its length
  // against its header: 1 well-formed, 0 not (status 2600), -1 the read
  // failed (nothing to decode). Bytes a short frame lacks read as 0.
  int ReadFrame(uint8_t* frame, uint32_t* received, StatusCode* status);

  TransferSettings* owner_;
  platform::usb::TransferAbort abort_;
  uint8_t succeeded_;
  uint8_t data_[kDataSize];
  uint32_t count_;
  bool lateReplyPossible_;  // a read was abandoned since the last drop
  TransferWorker worker_;   // last: it ends before the fields it writes go
};

class PipeWriter {
 public:
  explicit PipeWriter(TransferSettings* owner);
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  bool Ready() const { return abort_.Ready(); }
  bool Abandoned() const { return worker_.Abandoned(); }

  // n at most kDataSize; a larger count sends nothing and fails.
  int WriteTimed(const uint8_t* source, uint32_t n, uint32_t* written, StatusCode* status);
  // Success needs a write of at least one byte.
  int WriteDirect(const uint8_t* source, uint32_t n, uint32_t* written, StatusCode* status);
  // Bulk data straight from the caller's buffer, in transfers of
  // kBulkPieceSize bytes (the last one carries the rest). Timed, the pieces
  // go out on the worker, each with the whole limit: a printer that stops
  // taking data fails the piece with 2600 (writeTimedOut 1) instead of holding
  // the library for ever; bulk data never sets writeTimedOut back to 0. 1
  // and status 0 when every piece went whole; 0 and 2600 at the first piece
  // that fails or goes only in part, after which nothing more is sent. *sent (may be null): the bytes of the pieces that
  // went whole. n 0 sends nothing and fails. Nothing reads source once this
  // has returned.
  int WriteBulk(const uint8_t* source, uint32_t n, uint32_t* sent, StatusCode* status);

  // The command frames; each is sent whole by one transfer.
  int SendRaw(const uint8_t* data, uint8_t n, StatusCode* status);
  int SendUniversal(const uint8_t* data, uint8_t n, StatusCode* status);
  int SendStatusRequest(StatusCode* status);
  int SendFirmwareInfoRequest(uint8_t component, StatusCode* status);
  int SendTargetUpdateShort(uint8_t a, uint16_t b, uint16_t c, StatusCode* status);
  int SendTargetUpdateLong(uint8_t a, uint32_t b, uint32_t c, StatusCode* status);

 private:
  // The jobs of a timed frame and of timed bulk data, on the worker.
  static void WriteJob(void* writer);
  static void BulkJob(void* writer);
  // Sends the pieces of source_ and count_; timing is the worker (null: in
  // the calling thread, without a limit). Sets written_ and succeeded_.
  void SendPieces(TransferWorker* timing, platform::usb::TransferAbort* abort);
  int SendFrame(const uint8_t* frame, uint32_t n, StatusCode* status);

  TransferSettings* owner_;
  platform::usb::TransferAbort abort_;
  uint8_t data_[kDataSize];
  uint8_t succeeded_;
  uint32_t count_;
  uint32_t written_;
  const uint8_t* source_;  // WriteBulk's caller buffer
  TransferWorker worker_;  // last: it ends before the fields it writes go
};

}  // namespace wirelet
