// Timed and direct transfers: outcomes, the timed-out flags, and that no
// worker outlives its call. The time limit is shortened here; the one real
// 10-second wait is in the protocol tests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "fake_bus.h"
#include "pipe_transfer.h"
#include "platform/clock.h"
#include "test_os.h"

namespace {

using fakebus::Bytes;
using wirelet::PipeReader;
using wirelet::PipeWriter;
using wirelet::TransferSettings;
using wirelet::TransferWorker;

class PipeTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    fakebus::Reset();
    path_ = fakebus::ModelPath("pipes");
    fakebus::AddInterface(path_);
    settings_ = TransferSettings{};
    settings_.timedTransfers = 1;
    settings_.directReadSize = 512;
    settings_.readPipe = platform::usb::Open((path_ + "\\if000pipe000").c_str());
    settings_.writePipe = platform::usb::Open((path_ + "\\if000pipe001").c_str());
    settings_.transferLimitMs = 200;
  }
  void TearDown() override {
    platform::usb::Close(settings_.readPipe);
    platform::usb::Close(settings_.writePipe);
    fakebus::Reset();
  }

  std::string path_;
  TransferSettings settings_;
};

TEST_F(PipeTransfer, OverrunReadIsAbortedAndFlagged) {
  PipeReader reader(&settings_);
  uint8_t buffer[300];
  std::memset(buffer, 0xAB, sizeof buffer);
  uint32_t count = 77;
  StatusCode status = 0;
  EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(settings_.readTimedOut, 1);
  // The worker has ended: its read is not waiting any more, and a reply that
  // arrives now is not written into the caller's buffer.
  EXPECT_EQ(fakebus::TransfersInProgress(), 0);
  fakebus::QueueReply(path_, {1, 2, 3});
  for (uint8_t b : buffer) ASSERT_EQ(b, 0xAB);

  // The same handle is used again; a read in time clears the flag.
  EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(settings_.readTimedOut, 0);
}

TEST_F(PipeTransfer, OverrunWriteIsAbortedAndFlagged) {
  PipeWriter writer(&settings_);
  fakebus::SetWritesHang(path_, true);
  StatusCode status = 0;
  EXPECT_EQ(writer.SendStatusRequest(&status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(settings_.writeTimedOut, 1);
  EXPECT_EQ(settings_.readTimedOut, 0);
  EXPECT_EQ(fakebus::TransfersInProgress(), 0);
  fakebus::SetWritesHang(path_, false);
  EXPECT_EQ(writer.SendStatusRequest(&status), 1);
  EXPECT_EQ(settings_.writeTimedOut, 0);
  EXPECT_EQ(fakebus::Written(path_).size(), 1u);
}

TEST_F(PipeTransfer, StalledBulkPieceFailsWithinTheLimit) {
  PipeWriter writer(&settings_);
  Bytes piece(4096, 0x5A);
  uint32_t written = 1;
  StatusCode status = 0;
  fakebus::SetWritesHang(path_, true);
  EXPECT_EQ(writer.WriteBulk(piece.data(), 4096, &written, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(settings_.writeTimedOut, 1);
  // The worker is gone before the call returned: the buffer is the caller's again.
  EXPECT_EQ(fakebus::TransfersInProgress(), 0);

  fakebus::SetWritesHang(path_, false);
  EXPECT_EQ(writer.WriteBulk(piece.data(), 4096, &written, &status), 1);
  EXPECT_EQ(written, 4096u);
  // Bulk data never clears the mark of the abandoned piece.
  EXPECT_EQ(settings_.writeTimedOut, 1);
  ASSERT_EQ(fakebus::Written(path_).size(), 1u);
  EXPECT_EQ(fakebus::Written(path_)[0], piece);
}

// Bulk data moves as one job on the writer's worker: each piece is its own
// transfer with the whole limit, so a long image is no overrun, but one piece
// that stalls ends the image there.
TEST_F(PipeTransfer, BulkDataPieceByPieceEachWithTheWholeLimit) {
  PipeWriter writer(&settings_);
  Bytes image(4 * 4096 + 100);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  uint32_t sent = 1;
  StatusCode status = 0xFFFF;

  // Five pieces of 60 ms each outlast a 200 ms limit together, not alone.
  fakebus::SetWriteDelay(path_, 60);
  uint32_t start = platform::SystemTickCount();
  EXPECT_EQ(writer.WriteBulk(image.data(), static_cast<uint32_t>(image.size()), &sent, &status), 1);
  EXPECT_GE(platform::SystemTickCount() - start, 300u);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(sent, image.size());
  EXPECT_EQ(settings_.writeTimedOut, 0);
  std::vector<Bytes> pieces = fakebus::Written(path_);
  ASSERT_EQ(pieces.size(), 5u);
  Bytes joined;
  for (const Bytes& piece : pieces) {
    EXPECT_LE(piece.size(), 4096u);
    joined.insert(joined.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(pieces.back().size(), 100u);
  EXPECT_EQ(joined, image);

  // The printer stops taking data at the third piece of the next image.
  fakebus::SetWriteDelay(path_, 0);
  fakebus::HangFromWrite(path_, 5 + 2);
  start = platform::SystemTickCount();
  EXPECT_EQ(writer.WriteBulk(image.data(), static_cast<uint32_t>(image.size()), &sent, &status), 0);
  uint32_t took = platform::SystemTickCount() - start;
  EXPECT_GE(took, 200u);
  EXPECT_LT(took, 2000u);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(sent, 2u * 4096);
  EXPECT_EQ(settings_.writeTimedOut, 1);
  EXPECT_EQ(fakebus::Written(path_).size(), 5u + 2);
  // Nothing of the image is read any more once the call has returned.
  EXPECT_EQ(fakebus::TransfersInProgress(), 0);

  // A new worker takes the next image; the flag still speaks of the
  // abandoned piece.
  fakebus::HangFromWrite(path_, -1);
  EXPECT_EQ(writer.WriteBulk(image.data(), 4096, &sent, &status), 1);
  EXPECT_EQ(sent, 4096u);
  EXPECT_EQ(settings_.writeTimedOut, 1);
  EXPECT_EQ(writer.WriteBulk(image.data(), 0, &sent, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(sent, 0u);
}

TEST_F(PipeTransfer, DirectBulkDataStopsAtAPieceTakenInPart) {
  settings_.timedTransfers = 0;
  PipeWriter writer(&settings_);
  Bytes image(3 * 4096, 0x33);
  uint32_t sent = 0;
  StatusCode status = 0xFFFF;
  EXPECT_EQ(writer.WriteBulk(image.data(), static_cast<uint32_t>(image.size()), &sent, &status), 1);
  EXPECT_EQ(sent, image.size());
  fakebus::SetWriteLimit(path_, 1000);
  EXPECT_EQ(writer.WriteBulk(image.data(), static_cast<uint32_t>(image.size()), &sent, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(sent, 0u);
  EXPECT_EQ(fakebus::Written(path_).size(), 3u + 1);
}

// Each object's worker lives from its first timed transfer until the object
// goes, and goes with it; an overrun worker is replaced, not piled up.
TEST_F(PipeTransfer, WorkersEndWithTheirObjects) {
  // A thread started and ended first, so a runtime's own helper threads
  // (the thread sanitizer's starts with the first thread) are in the count.
  {
    platform::Thread warmUp;
    ASSERT_TRUE(warmUp.Start([](void*) -> uint32_t { return 0; }, nullptr));
    ASSERT_EQ(warmUp.Wait(platform::kInfinite), platform::Thread::WaitResult::Ended);
  }
  int before = test_os::ThreadCount();
  ASSERT_GT(before, 0);
  // Where an abort can fire by itself, a timed transfer needs no thread.
  platform::usb::TransferAbort probe;
  const int worker = probe.FireAfter(1000) ? 0 : 1;
  {
    PipeReader reader(&settings_);
    PipeWriter writer(&settings_);
    StatusCode status = 0;
    for (int i = 0; i < 3; ++i) {
      fakebus::QueueReply(path_, {1, 2, 3});
      ASSERT_EQ(writer.SendStatusRequest(&status), 1);
      uint8_t buffer[300];
      uint32_t count = 0;
      ASSERT_EQ(reader.ReadTimed(buffer, &count, &status), 1);
    }
    EXPECT_EQ(test_os::ThreadCount(), before + 2 * worker);
    uint8_t buffer[300];
    uint32_t count = 0;
    EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 0);  // no reply: overrun
    EXPECT_EQ(settings_.readTimedOut, 1);
    EXPECT_EQ(test_os::ThreadCount(), before + worker);
    fakebus::QueueReply(path_, {4});
    EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 1);
    EXPECT_EQ(test_os::ThreadCount(), before + 2 * worker);
  }
  EXPECT_EQ(test_os::ThreadCount(), before);
}

// An overrun is what the abort did, not what the clock says once the job
// is over: a transfer that finished, however late, abandoned nothing, so its
// handle is closed at close and no reply of it waits to be dropped.
TEST_F(PipeTransfer, TransferThatFinishesLateIsNoOverrun) {
  PipeReader reader(&settings_);
  PipeWriter writer(&settings_);
  fakebus::SetReadDelay(path_, 300);
  fakebus::SetWriteDelay(path_, 300);
  fakebus::QueueReply(path_, {1, 2, 3});
  uint8_t buffer[300];
  uint32_t count = 0;
  StatusCode status = 0xFFFF;
  EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Bytes(buffer, buffer + count), (Bytes{1, 2, 3}));
  EXPECT_EQ(settings_.readTimedOut, 0);
  const int reads = fakebus::ReadsStarted(path_);
  reader.DropLateReplies();
  EXPECT_EQ(fakebus::ReadsStarted(path_), reads);

  EXPECT_EQ(writer.SendStatusRequest(&status), 1);
  EXPECT_EQ(settings_.writeTimedOut, 0);
  // Bulk pieces that each finish late: where the transfers run on the
  // caller's thread each next piece has its whole limit and the image goes
  // whole; a worker thread's waiter gives up at the limit and sends no more.
  // Neither abandoned a transfer.
  platform::usb::TransferAbort probe;
  const bool onCallersThread = probe.FireAfter(1000);
  Bytes image(2 * 4096 + 10, 0x21);
  uint32_t sent = 0;
  EXPECT_EQ(writer.WriteBulk(image.data(), static_cast<uint32_t>(image.size()), &sent, &status),
            onCallersThread ? 1 : 0);
  EXPECT_EQ(sent, onCallersThread ? image.size() : 4096u);
  EXPECT_EQ(settings_.writeTimedOut, 0);
}

TEST_F(PipeTransfer, EmptyReadFailsTimedButNotDirect) {
  PipeReader reader(&settings_);
  fakebus::SetEmptyReads(path_, true);
  uint8_t buffer[300];
  uint32_t count = 9;
  StatusCode status = 0;
  EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(settings_.readTimedOut, 0);
  count = 9;
  status = 0xFFFF;
  EXPECT_EQ(reader.ReadDirect(buffer, &count, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(PipeTransfer, DirectTransfers) {
  settings_.timedTransfers = 0;
  PipeReader reader(&settings_);
  PipeWriter writer(&settings_);
  StatusCode status = 0xFFFF;
  EXPECT_EQ(writer.SendFirmwareInfoRequest(3, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(fakebus::Written(path_)[0], (Bytes{0x03, 0xC0, 0x01, 0x00, 0x03}));
  fakebus::QueueReply(path_, Bytes(300, 5));
  uint8_t buffer[300];
  uint32_t count = 0;
  EXPECT_EQ(reader.Read(buffer, &count, &status), 1);
  EXPECT_EQ(count, 300u);
  // More than one reply frame is more than the caller has room for.
  fakebus::QueueReply(path_, Bytes(301, 5));
  EXPECT_EQ(reader.Read(buffer, &count, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(count, 0u);
  uint32_t written = 5;
  EXPECT_EQ(writer.WriteDirect(buffer, 0, &written, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(written, 0u);
}

TEST_F(PipeTransfer, FramesLimits) {
  PipeWriter writer(&settings_);
  uint8_t data[2048] = {};
  uint32_t written = 7;
  StatusCode status = 0;
  // More than the data field holds is refused unsent.
  EXPECT_EQ(writer.WriteTimed(data, 1025, &written, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(writer.WriteTimed(data, 1024, &written, &status), 1);
  EXPECT_EQ(written, 1024u);
  // A frame of nothing reaches no printer.
  EXPECT_EQ(writer.SendRaw(data, 0, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(writer.SendUniversal(data, 0, &status), 0);
  EXPECT_EQ(status, kStatusBadCommandLength);
  EXPECT_EQ(writer.SendUniversal(data, 248, &status), 0);
  EXPECT_EQ(status, kStatusBadCommandLength);
  EXPECT_EQ(fakebus::Written(path_).size(), 1u);
  EXPECT_EQ(writer.SendTargetUpdateLong(0, 0, 0xFFFFFFFFu, &status), 1);
  EXPECT_EQ(fakebus::Written(path_)[1],
            (Bytes{0x04, 0xC0, 0x09, 0x00, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(PipeTransfer, FailedTransferOnABrokenHandle) {
  PipeReader reader(&settings_);
  PipeWriter writer(&settings_);
  fakebus::SetPresent(path_, false);
  uint8_t buffer[300];
  uint32_t count = 3;
  StatusCode status = 0;
  EXPECT_EQ(reader.ReadTimed(buffer, &count, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(settings_.readTimedOut, 0);
  EXPECT_EQ(writer.SendStatusRequest(&status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(settings_.writeTimedOut, 0);
}

// A job that pays no heed to the abort, as a transfer that the system cannot
// cancel: it runs until the test releases it.
struct Stubborn {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
};

void StubbornJob(void* raw) {
  auto* stubborn = static_cast<Stubborn*>(raw);
  while (!stubborn->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stubborn->finished = true;
}

void CountingJob(void* raw) { static_cast<std::atomic<int>*>(raw)->fetch_add(1); }

// The last resorts, bounded: a worker that ignores cancellation is killed
// where the system offers that, and is otherwise left running with what it
// may still touch; the caller is never held without end.
TEST(TransferWorkerTest, WorkerThatIgnoresCancellationIsNeverWaitedForWithoutEnd) {
  platform::usb::TransferAbort abort;
  ASSERT_TRUE(abort.Ready());
  Stubborn stubborn;
  std::atomic<int> counted{0};
  bool abandoned = false;
  {
    TransferWorker worker(&abort, TransferWorker::Placement::kWorkerThread);
    ASSERT_EQ(worker.Run(&CountingJob, &counted, 1000), 0);

    // On a thread of its own, so that a hang fails the test instead of stopping it.
    std::atomic<int> result{-2};
    const uint32_t start = platform::SystemTickCount();
    std::thread caller([&] { result = worker.Run(&StubbornJob, &stubborn, 100); });
    while (result == -2 && platform::SystemTickCount() - start < 20000) platform::SystemSleepMs(10);
    const uint32_t took = platform::SystemTickCount() - start;
    stubborn.release = result == -2;  // only to end the test
    caller.join();
    ASSERT_LT(took, 20000u) << "the overrun worker was waited for without end";
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(stubborn.finished);

    abandoned = worker.Abandoned();
    if (abandoned) {
      // Left running: nothing more runs on this worker.
      EXPECT_EQ(worker.Run(&CountingJob, &counted, 1000), -1);
      EXPECT_EQ(counted, 1);
    } else {
      // Killed: the next job gets a thread and a link of its own.
      EXPECT_EQ(worker.Run(&CountingJob, &counted, 1000), 0);
      EXPECT_EQ(counted, 2);
    }
  }
  // An abandoned job still ends by itself once it may.
  stubborn.release = true;
  if (abandoned) {
    while (!stubborn.finished) platform::SystemSleepMs(5);
  }
}

}  // namespace
