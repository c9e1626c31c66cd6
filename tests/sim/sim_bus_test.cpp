// The sim bus against a running simulator: enumeration, opening, transfers,
// aborts and device-change notices.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/lock.h"
#include "sim_harness.h"

namespace simtest {
namespace {

namespace usb = platform::usb;
using Clock = std::chrono::steady_clock;

const char kGuid[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
  closedir(dir);
  return n;
}

TEST_F(SimTest, NoSimulatorMeansNoPrinters) {
  // No port file at all.
  EXPECT_EQ(usb::EnumerateInterface(0, nullptr, 0), 0u);
  EXPECT_EQ(usb::Open("\\\\?\\usb#vid_7a3d&pid_00b4#sim0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"),
            kNoHandle);
  usb::ChangeSource* source = usb::OpenChangeSource();
  EXPECT_FALSE(usb::TakeChange(source));
  usb::CloseChangeSource(source);

  // A port file left behind by a simulator that is gone: a port nobody
  // listens on. Still no printers, and no hang.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  WriteText(dir_ + "/q7730-sim.port", std::to_string(ntohs(address.sin_port)) + "\n");
  EXPECT_EQ(usb::EnumerateInterface(0, nullptr, 0), 0u);
  WriteText(dir_ + "/q7730-sim.port", "not a port\n");
  EXPECT_EQ(usb::EnumerateInterface(0, nullptr, 0), 0u);
}

TEST_F(SimTest, EnumeratesPrintersInBusOrderWithWindowsShapedPaths) {
  StartSim(0, "[sim]\nprinters = 3\n[printer2]\nvendor = 04b8\nproduct = 0e2b\n");
  std::vector<std::string> paths = Enumerate();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[0], std::string("\\\\?\\usb#vid_7a3d&pid_00b4#sim0001") + kGuid);
  EXPECT_EQ(paths[2], std::string("\\\\?\\usb#vid_7a3d&pid_00b4#sim0003") + kGuid);
  EXPECT_EQ(paths[0].substr(12, 4), "7a3d");
  EXPECT_EQ(paths[0].substr(21, 4), "00b4");
  // The other make sits on the same bus with its own digits.
  EXPECT_EQ(paths[1].substr(12, 4), "04b8");
  EXPECT_EQ(paths[1].substr(21, 4), "0e2b");

  // The size query, and a buffer too small receives nothing.
  size_t needed = usb::EnumerateInterface(0, nullptr, 0);
  EXPECT_EQ(needed, paths[0].size() + 1);
  char small[16];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(usb::EnumerateInterface(0, small, sizeof small), needed);
  EXPECT_EQ(small[0], 'x');
  EXPECT_EQ(usb::EnumerateInterface(3, nullptr, 0), 0u);
  EXPECT_EQ(usb::EnumerateInterface(65535, nullptr, 0), 0u);
}

TEST_F(SimTest, OpensDevicesAndTheirTwoPipesOnly) {
  StartSim(2);
  std::string path = Path(1);
  Handle device = usb::Open(path.c_str());
  ASSERT_NE(device, kNoHandle);
  // Several handles to one printer at once.
  Handle again = usb::Open(path.c_str());
  EXPECT_NE(again, kNoHandle);
  usb::Close(again);
  Handle in = usb::Open((path + "\\if000pipe000").c_str());
  Handle out = usb::Open((path + "\\if000pipe001").c_str());
  EXPECT_NE(in, kNoHandle);
  EXPECT_NE(out, kNoHandle);
  for (const char* bad : {"\\if000pipe002", "\\if001pipe000", "\\IF000PIPE000", "x", "\\"}) {
    EXPECT_EQ(usb::Open((path + bad).c_str()), kNoHandle) << bad;
  }
  EXPECT_EQ(usb::Open(path.substr(0, path.size() - 1).c_str()), kNoHandle);
  EXPECT_EQ(usb::Open(""), kNoHandle);
  EXPECT_EQ(usb::Open(nullptr), kNoHandle);

  // A device handle moves no data.
  uint8_t buffer[300];
  uint32_t count = 7;
  EXPECT_FALSE(usb::Read(device, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(count, 0u);
  usb::Close(device);
  usb::Close(in);
  usb::Close(out);
  usb::Close(kNoHandle);
}

// A handle closed in step leaves its connection for the next open, which
// may be of another printer or pipe; what the connection was must not leak
// into what it becomes.
TEST_F(SimTest, ClosedHandlesLeaveTheirConnectionsForLaterOpens) {
  StartSim(2);
  std::string first = Path(0), second = Path(1);
  {
    PrinterLink link;
    ASSERT_TRUE(link.Open(first));
    ASSERT_EQ(link.Exchange(StatusRequest()).size(), 50u);
  }
  // The old bulk-in connection may now be a bulk-out pipe of the other
  // printer: it takes writes, refuses reads, and its replies are that
  // printer's.
  {
    PrinterLink link;
    ASSERT_TRUE(link.Open(second));
    uint8_t buffer[300];
    uint32_t count = 0;
    EXPECT_FALSE(usb::Read(link.out(), buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(link.Exchange(InfoRequest(1)).size(), 48u);
  }
  EXPECT_EQ(FramesLog(1).find("! read on the bulk-out pipe"), std::string::npos);
  EXPECT_NE(FramesLog(2).find("! read on the bulk-out pipe"), std::string::npos);
  // An absent name on a kept connection is absent; the next open still works.
  EXPECT_EQ(usb::Open((first + "\\if000pipe002").c_str()), kNoHandle);
  Handle device = usb::Open(first.c_str());
  ASSERT_NE(device, kNoHandle);
  usb::Close(device);

  // Kept connections belong to no printer: pulling one out leaves them be,
  // and its path opens nothing until it is back.
  ASSERT_EQ(RunSim({"--unplug", "1"}).exitCode, 0);
  EXPECT_EQ(usb::Open(first.c_str()), kNoHandle);
  {
    PrinterLink link;
    ASSERT_TRUE(link.Open(second));
    EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
  }
  ASSERT_EQ(RunSim({"--plug", "1"}).exitCode, 0);
  {
    PrinterLink link;
    ASSERT_TRUE(link.Open(first));
    EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
  }

  // Opening and closing for ever keeps only a few connections.
  int before = OpenDescriptors();
  for (int i = 0; i < 50; ++i) {
    PrinterLink link;
    ASSERT_TRUE(link.Open(i % 2 == 0 ? first : second));
  }
  EXPECT_LE(OpenDescriptors(), before + 8);

  // A new simulator: the connections kept for the old one are worth nothing.
  StopSim();
  StartSim(1);
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
}

TEST_F(SimTest, WrongDirectionIsRefusedAndLogged) {
  StartSim(1);
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  uint8_t buffer[300];
  uint32_t count = 0;
  EXPECT_FALSE(usb::Read(link.out(), buffer, sizeof buffer, &count, nullptr));
  Bytes status = StatusRequest();
  EXPECT_FALSE(usb::Write(link.in(), status.data(), 4, &count, nullptr));
  // Both handles still work the right way round.
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
  std::string log = FramesLog(1);
  EXPECT_NE(log.find("! read on the bulk-out pipe"), std::string::npos) << log;
  EXPECT_NE(log.find("! write on the bulk-in pipe"), std::string::npos) << log;
}

TEST_F(SimTest, ReadReturnsOneWholeFrameAndRejectsASmallerBuffer) {
  StartSim(1);
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  ASSERT_TRUE(link.Write(StatusRequest()));
  Bytes reply;
  // 50 bytes do not fit 20: an overflow, and the frame is gone.
  EXPECT_FALSE(link.Read(&reply, 20));
  ASSERT_TRUE(link.Write(InfoRequest(1)));
  ASSERT_TRUE(link.Read(&reply, 512));
  EXPECT_EQ(reply.size(), 48u);
  EXPECT_EQ(std::string(reply.begin() + 10, reply.begin() + 18), "E0208000");

  // A zero-length write moves nothing and reaches no printer.
  uint32_t written = 9;
  EXPECT_TRUE(usb::Write(link.out(), "", 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(FramesLog(1).find("out 0"), std::string::npos);
}

TEST_F(SimTest, AbortedReadReturnsPromptlyAndLeavesTheHandleUsable) {
  StartSim(1);
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  usb::TransferAbort abort;
  uint8_t buffer[300];
  std::memset(buffer, 0xEE, sizeof buffer);
  std::atomic<bool> returned{false};
  bool result = true;
  Clock::time_point aborted;
  std::thread reader([&] {
    abort.Arm();
    uint32_t count = 0;
    // Nothing was asked, so nothing comes until the abort.
    result = usb::Read(link.in(), buffer, sizeof buffer, &count, &abort);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  aborted = Clock::now();
  abort.Abort();
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_LT(Clock::now() - aborted, std::chrono::seconds(5));
  EXPECT_TRUE(abort.Aborted());

  // Still aborted: later transfers fail at once until Reset.
  uint32_t count = 0;
  EXPECT_FALSE(usb::Read(link.in(), buffer, sizeof buffer, &count, &abort));
  abort.Reset();
  EXPECT_FALSE(abort.Aborted());

  // The reply to the next request arrives on the same handle, whole; the
  // aborted call's buffer was never written.
  ASSERT_TRUE(link.Write(StatusRequest()));
  Bytes reply;
  ASSERT_TRUE(link.Read(&reply, 300, &abort));
  EXPECT_EQ(reply.size(), 50u);
  EXPECT_EQ(reply[0], 1);
  for (uint8_t b : buffer) ASSERT_EQ(b, 0xEE);
  // And the stream stays in step afterwards.
  EXPECT_EQ(link.Exchange(InfoRequest(2)).size(), 48u);
}

TEST_F(SimTest, AbortedReadLeavesNoRequestBehind) {
  StartSim(1);
  // A read aborted on a handle that is then forgotten, never closed, as the
  // library forgets a pipe whose transfer it abandoned.
  PrinterLink forgotten;
  ASSERT_TRUE(forgotten.Open(Path(0)));
  usb::TransferAbort abort;
  std::thread reader([&] {
    abort.Arm();
    Bytes reply;
    EXPECT_FALSE(forgotten.Read(&reply, 300, &abort));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  abort.Abort();
  reader.join();
  // The printer's next reply goes to whoever asks next, not to that request.
  PrinterLink fresh;
  ASSERT_TRUE(fresh.Open(Path(0)));
  usb::TransferAbort guard;
  platform::Event answered;
  std::thread watchdog([&] {
    if (!answered.Wait(5000)) guard.Abort();
  });
  ASSERT_TRUE(fresh.Write(StatusRequest()));
  Bytes reply;
  EXPECT_TRUE(fresh.Read(&reply, 300, &guard));
  EXPECT_EQ(reply.size(), 50u);
  answered.Set();
  watchdog.join();
  // The aborted handle still works: its next transfer opens a new connection.
  abort.Reset();
  EXPECT_EQ(forgotten.Exchange(InfoRequest(1)).size(), 48u);
}

TEST_F(SimTest, AbortedWriteOfAStalledPrinterLeavesTheHandleInStep) {
  StartSim(1, "[printer1]\nstall_after_bytes = 4096\n");
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  ASSERT_EQ(link.Exchange(LongAnnouncement(1, 0, 10000)).size(), 10u);
  ASSERT_TRUE(link.Write(Pattern(4096, 1)));
  usb::TransferAbort abort;
  Bytes piece = Pattern(4096, 2);
  bool result = true;
  std::thread writer([&] {
    abort.Arm();
    uint32_t written = 0;
    result = usb::Write(link.out(), piece.data(), 4096, &written, &abort);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  abort.Abort();
  writer.join();
  EXPECT_FALSE(result);
  EXPECT_NE(FramesLog(1).find("! write of 4096 bytes not acknowledged (stalled)"), std::string::npos);
  EXPECT_FALSE(FileExists(StoredPath(1, 1)));
}

TEST_F(SimTest, UnplugAndPlugAreNoticedAndEndBlockedReads) {
  StartSim(2);
  std::string second = Path(1);
  usb::ChangeSource* source = usb::OpenChangeSource();
  ASSERT_NE(source, nullptr);
  EXPECT_FALSE(usb::TakeChange(source));

  PrinterLink link;
  ASSERT_TRUE(link.Open(second));
  bool result = true;
  std::thread reader([&] {
    Bytes reply;
    result = link.Read(&reply);
  });
  RunResult unplug = RunSim({"--unplug", "2"});
  EXPECT_EQ(unplug.exitCode, 0) << unplug.output;
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(link.Write(StatusRequest()));

  // One notice per change, and the printer is gone from the bus.
  for (int i = 0; i < 500 && !usb::TakeChange(source); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_LT(i, 499) << "no change notice";
  }
  EXPECT_FALSE(usb::TakeChange(source));
  EXPECT_EQ(Enumerate().size(), 1u);
  EXPECT_EQ(usb::Open(second.c_str()), kNoHandle);
  EXPECT_NE(RunSim({"--unplug", "2"}).exitCode, 0);

  EXPECT_EQ(RunSim({"--plug", "2"}).exitCode, 0);
  EXPECT_NE(RunSim({"--plug", "2"}).exitCode, 0);
  EXPECT_NE(RunSim({"--plug", "3"}).exitCode, 0);
  for (int i = 0; i < 500 && !usb::TakeChange(source); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_LT(i, 499) << "no change notice";
  }
  EXPECT_FALSE(usb::TakeChange(source));
  // Back with the same path; fresh handles work.
  EXPECT_EQ(Path(1), second);
  ASSERT_TRUE(link.Open(second));
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
  usb::CloseChangeSource(source);
}

TEST_F(SimTest, ASimulatorThatEndsIsOneLastChange) {
  StartSim(1);
  usb::ChangeSource* source = usb::OpenChangeSource();
  ASSERT_NE(source, nullptr);
  StopSim();
  bool noticed = false;
  for (int i = 0; i < 500 && !noticed; ++i) {
    noticed = usb::TakeChange(source);
    if (!noticed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(noticed);
  EXPECT_FALSE(usb::TakeChange(source));
  EXPECT_EQ(usb::EnumerateInterface(0, nullptr, 0), 0u);
  usb::CloseChangeSource(source);
}

TEST_F(SimTest, AChangeArrivingWithTheSubscribeAnswerIsKept) {
  // A stand-in simulator that answers the subscription and reports a change
  // in the same write, as a plug right after subscribing can arrive.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  WriteText(dir_ + "/q7730-sim.port", std::to_string(ntohs(address.sin_port)) + "\n");
  int peer = -1;
  std::thread fake([&] {
    peer = accept(listener, nullptr, nullptr);
    if (peer < 0) return;
    uint8_t request[5];
    size_t got = 0;
    while (got < sizeof request) {
      ssize_t n = recv(peer, request + got, sizeof request - got, 0);
      if (n <= 0) return;
      got += static_cast<size_t>(n);
    }
    const uint8_t reply[] = {'A', 1, 0, 0, 0, 1, 'G', 0, 0, 0, 0};
    send(peer, reply, sizeof reply, MSG_NOSIGNAL);
  });
  usb::ChangeSource* source = usb::OpenChangeSource();
  fake.join();
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(usb::TakeChange(source));
  // The connection is still open: nothing more to report.
  EXPECT_FALSE(usb::TakeChange(source));
  usb::CloseChangeSource(source);
  if (peer >= 0) close(peer);
  close(listener);
}

TEST_F(SimTest, SeveralPrintersWorkAtOnce) {
  StartSim(4);
  std::vector<std::string> paths = Enumerate();
  ASSERT_EQ(paths.size(), 4u);
  std::vector<Bytes> images;
  for (int k = 0; k < 4; ++k) images.push_back(Pattern(20000 + 1000 * k, static_cast<uint8_t>(k)));
  std::vector<int> ok(4, 0);
  std::vector<std::thread> workers;
  for (int k = 0; k < 4; ++k) {
    workers.emplace_back([&, k] {
      PrinterLink link;
      if (!link.Open(paths[k])) return;
      if (link.Exchange(InfoRequest(1)).size() != 48) return;
      if (!link.SendImage(LongAnnouncement(2, 0, static_cast<uint32_t>(images[k].size())), images[k]))
        return;
      ok[k] = link.Exchange(StatusRequest()).size() == 50;
    });
  }
  for (std::thread& t : workers) t.join();
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(ok[k]) << "printer " << k + 1;
    std::string stored = ReadText(StoredPath(k + 1, 2));
    EXPECT_EQ(Bytes(stored.begin(), stored.end()), images[k]) << "printer " << k + 1;
  }
}

TEST_F(SimTest, TwoClientsContendingForOnePrinter) {
  StartSim(1);
  std::string path = Path(0);
  // Like the library's device mutex: one exchange at a time, from two
  // clients with handles of their own. Every reply reaches the one who asked.
  std::mutex device;
  std::atomic<int> wrong{0};
  auto client = [&](bool statusClient) {
    PrinterLink link;
    if (!link.Open(path)) {
      ++wrong;
      return;
    }
    for (int i = 0; i < 50; ++i) {
      std::lock_guard<std::mutex> hold(device);
      // A probe opened and closed beside the exchange, as the library does.
      Handle probe = usb::Open((path + "\\if000pipe000").c_str());
      usb::Close(probe);
      Bytes reply = link.Exchange(statusClient ? StatusRequest() : InfoRequest(2));
      bool right = statusClient ? reply.size() == 50 && reply[0] == 1
                                : reply.size() == 48 &&
                                      std::string(reply.begin() + 10, reply.begin() + 18) == "E0211600";
      if (!right) ++wrong;
    }
  };
  std::thread a(client, true), b(client, false);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);

  // Without the lock replies go to whichever read came first, but none is
  // lost or cut: 2 x 30 requests, 60 whole replies.
  std::atomic<int> replies{0};
  auto racer = [&] {
    PrinterLink link;
    if (!link.Open(path)) return;
    for (int i = 0; i < 30; ++i) {
      Bytes reply = link.Exchange(StatusRequest());
      if (reply.size() == 50) ++replies;
    }
  };
  std::thread c(racer), d(racer);
  c.join();
  d.join();
  EXPECT_EQ(replies.load(), 60);
}

}  // namespace
}  // namespace simtest
