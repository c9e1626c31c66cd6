// The setupapi bus where no printer is needed: discovery on a system without
// printers, transfers over named pipes (opened as the class driver's pipes
// are), and aborts that must end a worker blocked in ReadFile or WriteFile.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "pipe_transfer.h"
#include "platform/thread.h"
#include "platform/usb_bus.h"
#include "test_os.h"

namespace {

namespace usb = platform::usb;
using platform::Thread;

TEST(SetupApiBus, NoPrinterIsFoundOnASystemWithoutOne) {
  char path[300] = "untouched";
  for (uint16_t index : {0, 1, 127, 65535}) {
    EXPECT_EQ(usb::EnumerateInterface(index, nullptr, 0), 0u) << index;
    EXPECT_EQ(usb::EnumerateInterface(index, path, sizeof path), 0u) << index;
  }
  EXPECT_STREQ(path, "untouched");
}

TEST(SetupApiBus, OpenOfWhatIsNotThereFails) {
  EXPECT_EQ(usb::Open(nullptr), usb::kNoHandle);
  EXPECT_EQ(usb::Open(""), usb::kNoHandle);
  EXPECT_EQ(usb::Open("\\\\?\\usb#vid_7a3d&pid_00b4#none#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"
                      "\\if000pipe000"),
            usb::kNoHandle);
  uint32_t moved = 7;
  uint8_t byte = 0;
  EXPECT_FALSE(usb::Read(usb::kNoHandle, &byte, 1, &moved, nullptr));
  EXPECT_EQ(moved, 0u);
  moved = 7;
  EXPECT_FALSE(usb::Write(usb::kNoHandle, &byte, 1, &moved, nullptr));
  EXPECT_EQ(moved, 0u);
  usb::Close(usb::kNoHandle);  // harmless
}

// A named pipe whose client end the bus opens like a printer pipe.
class PipeServer {
 public:
  explicit PipeServer(DWORD bufferSize = 4096) {
    static int serial = 0;
    name_ = "\\\\.\\pipe\\q7730-bus-test-" + std::to_string(test_os::ProcessId()) + "-" +
            std::to_string(++serial);
    server_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                               bufferSize, bufferSize, 0, nullptr);
  }
  ~PipeServer() {
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }
  bool Valid() const { return server_ != INVALID_HANDLE_VALUE; }
  const char* Name() const { return name_.c_str(); }
  bool Send(const std::string& bytes) {
    DWORD n = 0;
    return WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
           n == bytes.size();
  }
  std::string Receive(size_t size) {
    std::string bytes(size, '\0');
    DWORD n = 0;
    if (!ReadFile(server_, &bytes[0], static_cast<DWORD>(size), &n, nullptr)) return "";
    bytes.resize(n);
    return bytes;
  }

 private:
  std::string name_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
};

TEST(SetupApiBus, BytesMoveBothWaysOverAnOpenedPipe) {
  PipeServer server;
  ASSERT_TRUE(server.Valid());
  usb::Handle pipe = usb::Open(server.Name());
  ASSERT_NE(pipe, usb::kNoHandle);

  const std::string frame("\x04\xc0\x09\x00\x02", 5);
  uint32_t written = 0;
  ASSERT_TRUE(usb::Write(pipe, frame.data(), static_cast<uint32_t>(frame.size()), &written, nullptr));
  EXPECT_EQ(written, frame.size());
  EXPECT_EQ(server.Receive(64), frame);

  // Nothing is sent for a transfer of nothing.
  written = 9;
  EXPECT_TRUE(usb::Write(pipe, frame.data(), 0, &written, nullptr));
  EXPECT_EQ(written, 0u);

  ASSERT_TRUE(server.Send("reply"));
  char buffer[300] = {};
  uint32_t received = 0;
  ASSERT_TRUE(usb::Read(pipe, buffer, sizeof buffer, &received, nullptr));
  EXPECT_EQ(std::string(buffer, received), "reply");
  usb::Close(pipe);
}

// A worker that transfers on a pipe until its abort fires, as the library's
// PipeReader and PipeWriter workers do.
struct Worker {
  usb::Handle pipe = usb::kNoHandle;
  bool write = false;
  usb::TransferAbort abort;
  std::atomic<int> entered{0};
  bool result = true;
  DWORD error = 0;
  std::vector<char> bytes = std::vector<char>(256 * 1024, 'x');

  static uint32_t Run(void* raw) {
    auto* self = static_cast<Worker*>(raw);
    self->abort.Arm();
    self->entered = 1;
    uint32_t moved = 0;
    self->result = self->write ? usb::Write(self->pipe, self->bytes.data(), static_cast<uint32_t>(self->bytes.size()),
                                            &moved, &self->abort)
                               : usb::Read(self->pipe, self->bytes.data(), 300, &moved, &self->abort);
    self->error = GetLastError();
    // A procedure that returns, rather than a thread that was killed.
    return 7;
  }
};

void ExpectAbortEndsTheWorker(bool write, bool abortAtOnce) {
  PipeServer server(write ? 1 : 4096);
  ASSERT_TRUE(server.Valid());
  Worker worker;
  worker.write = write;
  worker.pipe = usb::Open(server.Name());
  ASSERT_NE(worker.pipe, usb::kNoHandle);
  Thread thread;
  ASSERT_TRUE(thread.Start(&Worker::Run, &worker));
  if (!abortAtOnce) {
    // Still inside its call after a while: nothing arrives, nothing is taken.
    while (worker.entered == 0) Sleep(1);
    EXPECT_EQ(thread.Wait(200), Thread::WaitResult::TimedOut);
  }
  worker.abort.Abort();
  ASSERT_EQ(thread.Wait(5000), Thread::WaitResult::Ended) << "the abort did not end the transfer";
  EXPECT_EQ(thread.ExitCode(), 7u);
  EXPECT_FALSE(worker.result);
  if (!abortAtOnce) {
    EXPECT_EQ(worker.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }

  // The pipe stays usable once the flag is cleared.
  worker.abort.Reset();
  if (!write) {
    ASSERT_TRUE(server.Send("late"));
    char buffer[16];
    uint32_t received = 0;
    EXPECT_TRUE(usb::Read(worker.pipe, buffer, sizeof buffer, &received, &worker.abort));
    EXPECT_EQ(std::string(buffer, received), "late");
  }
  usb::Close(worker.pipe);
}

TEST(SetupApiBus, AbortEndsAReadBlockedInReadFile) { ExpectAbortEndsTheWorker(false, false); }

TEST(SetupApiBus, AbortEndsAWriteBlockedInWriteFile) { ExpectAbortEndsTheWorker(true, false); }

// The abort may come before the worker is inside its call, or just as it
// goes in: it must end the transfer all the same.
TEST(SetupApiBus, AbortThatComesBeforeTheCallStillEndsIt) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ExpectAbortEndsTheWorker(false, true);
  }
}

// The abort comes after the worker looked at the flag but before it is
// inside ReadFile: Abort keeps trying until the call is there to cancel.
struct LateCaller {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  usb::TransferAbort abort;
  std::atomic<int> armed{0};
  DWORD error = 0;

  static uint32_t Run(void* raw) {
    auto* self = static_cast<LateCaller*>(raw);
    self->abort.Arm();
    self->armed = 1;
    Sleep(100);
    char buffer[16];
    DWORD n = 0;
    self->error = ReadFile(self->pipe, buffer, sizeof buffer, &n, nullptr) ? 0 : GetLastError();
    return 0;
  }
};

TEST(SetupApiBus, AbortBeforeTheWorkerIsInsideItsCallKeepsTrying) {
  PipeServer server;
  ASSERT_TRUE(server.Valid());
  LateCaller caller;
  usb::Handle pipe = usb::Open(server.Name());
  ASSERT_NE(pipe, usb::kNoHandle);
  caller.pipe = reinterpret_cast<HANDLE>(pipe);
  Thread thread;
  ASSERT_TRUE(thread.Start(&LateCaller::Run, &caller));
  while (caller.armed == 0) Sleep(1);
  caller.abort.Abort();
  ASSERT_EQ(thread.Wait(5000), Thread::WaitResult::Ended);
  EXPECT_EQ(caller.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  usb::Close(pipe);
}

// Through the library's timed read: a printer that never answers costs the
// limit, and the worker is ended by the abort, not killed.
TEST(SetupApiBus, TimedReadOfASilentPipeFailsAfterTheLimit) {
  PipeServer server;
  ASSERT_TRUE(server.Valid());
  wirelet::TransferSettings settings = {};
  settings.timedTransfers = 1;
  settings.readPipe = usb::Open(server.Name());
  settings.writePipe = usb::kNoHandle;
  settings.transferLimitMs = 200;
  ASSERT_NE(settings.readPipe, usb::kNoHandle);
  wirelet::PipeReader reader(&settings);
  uint8_t frame[wirelet::kReadSize];
  uint32_t count = 5;
  StatusCode status = 0;
  EXPECT_EQ(reader.ReadTimed(frame, &count, &status), 0);
  EXPECT_EQ(status, 2600);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(settings.readTimedOut, 1);

  // The same handle then reads what the printer sends.
  ASSERT_TRUE(server.Send(std::string("\x01\x02\x03", 3)));
  EXPECT_EQ(reader.ReadTimed(frame, &count, &status), 1);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(settings.readTimedOut, 0);
  usb::Close(settings.readPipe);
}

}  // namespace
