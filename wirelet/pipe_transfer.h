// PipeReader and PipeWriter: every byte to and from a printer. A timed
// transfer runs on a worker thread that the caller waits for at most
// transferLimitMs; a worker that overruns has its blocked transfer aborted and
// is waited for, so it never outlives the object whose fields it writes.
#pragma once
#include <cstdint>

#include "platform/thread.h"
#include "platform/usb_bus.h"
#include "wirelet.h"

namespace wirelet {

constexpr uint32_t kTransferLimitMs = 10000;
constexpr uint32_t kReadSize = 300;       // one timed read; the largest reply frame
constexpr uint32_t kDataSize = 1024;      // the objects' data fields
constexpr uint32_t kFrameBufferSize = 260;
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
  uint32_t transferLimitMs;  // how long a caller waits for a worker
};

// Stops an overrunning worker: abort its transfer, then wait until it ends.
void EndOverrunWorker(platform::Thread* worker, platform::usb::TransferAbort* abort);

class PipeReader {
 public:
  enum DecodeMode { kErrorMode, kStatusMode };

  explicit PipeReader(TransferSettings* owner);
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // false: it could not be set up to abort its transfers; not to be used.
  bool Ready() const { return abort_.Ready(); }

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
  static uint32_t ReaderThread(void* reader);
  // Reads a frame into a cleared kReadSize buffer and checks its length
  // against its header: 1 well-formed, 0 not (status 2600), -1 the read
  // failed (nothing to decode). Bytes a short frame lacks read as 0.
  int ReadFrame(uint8_t* frame, uint32_t* received, StatusCode* status);

  TransferSettings* owner_;
  platform::Thread worker_;
  platform::usb::TransferAbort abort_;
  uint8_t succeeded_;
  uint8_t data_[kDataSize];
  uint32_t count_;
  bool lateReplyPossible_;  // a read was abandoned since the last drop
};

class PipeWriter {
 public:
  explicit PipeWriter(TransferSettings* owner);
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  bool Ready() const { return abort_.Ready(); }

  // n at most kDataSize; a larger count sends nothing and fails.
  int WriteTimed(const uint8_t* source, uint32_t n, uint32_t* written, StatusCode* status);
  // Success needs a write of at least one byte.
  int WriteDirect(const uint8_t* source, uint32_t n, uint32_t* written, StatusCode* status);
  // One piece of bulk data straight from the caller's buffer, on a worker
  // with the same limit as WriteTimed: a printer that stops taking data
  // fails the piece with 2600 instead of holding the library for ever. The
  // worker has ended when this returns, so source is not read afterwards.
  int WriteBounded(const uint8_t* source, uint32_t n, uint32_t* written, StatusCode* status);

  // The command frames; each is sent whole by one transfer.
  int SendRaw(const uint8_t* data, uint8_t n, StatusCode* status);
  int SendUniversal(const uint8_t* data, uint8_t n, StatusCode* status);
  int SendStatusRequest(StatusCode* status);
  int SendFirmwareInfoRequest(uint8_t component, StatusCode* status);
  int SendTargetUpdateShort(uint8_t a, uint16_t b, uint16_t c, StatusCode* status);
  int SendTargetUpdateLong(uint8_t a, uint32_t b, uint32_t c, StatusCode* status);

 private:
  static uint32_t WriterThread(void* writer);
  // Runs the prepared transfer on the worker and reports it.
  int RunWrite(uint32_t* written, StatusCode* status);
  int SendFrame(const uint8_t* frame, uint32_t n, StatusCode* status);

  TransferSettings* owner_;
  platform::Thread worker_;
  platform::usb::TransferAbort abort_;
  uint8_t data_[kDataSize];
  uint8_t succeeded_;
  uint32_t count_;
  uint32_t written_;
  const uint8_t* source_;  // WriteBounded's caller buffer; null: data_
};

}  // namespace wirelet
