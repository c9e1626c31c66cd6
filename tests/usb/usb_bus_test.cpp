// The usb bus against the simulator's printers as USB devices under
// umockdev: the paths and their order, one claim shared by every handle of a
// printer, the kernel driver given back, transfers that are cancelled or
// lose their device.
#include <dirent.h>
#include <sys/wait.h>
#include <libusb.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "platform/usb_bus.h"
#include "sim_harness.h"
#include "usb_context.h"
#include "usb_devices.h"
#include "usb_testbed.h"

namespace {

using platform::usb::Handle;
using platform::usb::kNoHandle;
using simtest::Bytes;
using simtest::PrinterLink;
using simtest::StatusRequest;
using usbtest::UsbPrinterPath;

uint32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - since)
                                   .count());
}

class UsbBus : public simtest::SimTest {
 protected:
  void TearDown() override {
    platform::usb::CloseBus();
    testbed_.Stop();
    SimTest::TearDown();
  }

  void StartBridge(const std::vector<std::string>& options = {}) {
    std::string error;
    ASSERT_TRUE(testbed_.Start(USB_BRIDGE_PATH, dir_, options, &error)) << error;
  }

  // How many of this process's descriptors are open on bus 1's device nodes.
  int OpenNodes() {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    char target[4096];
    while (dirent* entry = readdir(fds)) {
      std::string link = std::string("/proc/self/fd/") + entry->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      if (std::strstr(target, "/dev/bus/usb/001/") != nullptr) ++count;
    }
    closedir(fds);
    return count;
  }

  // Whether the kernel's printer driver holds interface 0 of the printer at
  // port chain ports, as a second libusb user of this machine sees it.
  int DriverActive(const std::string& ports) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return -1;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    int result = -2;
    for (ssize_t i = 0; i < count; ++i) {
      uint8_t numbers[7];
      int n = libusb_get_port_numbers(list[i], numbers, 7);
      std::string chain;
      for (int k = 0; k < n; ++k) chain += (k ? "." : "") + std::to_string(numbers[k]);
      if (n <= 0 || chain != ports) continue;
      libusb_device_handle* handle = nullptr;
      if (libusb_open(list[i], &handle) == 0) {
        result = libusb_kernel_driver_active(handle, 0);
        libusb_close(handle);
      }
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return result;
  }

  usbtest::UsbTestbed testbed_;
};

TEST_F(UsbBus, PrinterInterfacesInPortOrderUnderPathsOfTheirPlace) {
  // Five printers, the second of another make, and a device with the
  // model's ids whose interface is no printer interface.
  StartSim(5, "[printer2]\nvendor = 04b8\n");
  StartBridge({"--other", "7a3d:00b4"});
  std::vector<std::string> expected = {
      UsbPrinterPath(1, "1"), UsbPrinterPath(1, "2", "04b8&pid_00b4"), UsbPrinterPath(1, "3"),
      UsbPrinterPath(1, "4.1"), UsbPrinterPath(1, "4.2")};
  EXPECT_EQ(Enumerate(), expected);
  EXPECT_EQ(Path(5), "");

  // The size comes first; a buffer too small receives nothing.
  size_t needed = platform::usb::EnumerateInterface(0, nullptr, 0);
  EXPECT_EQ(needed, expected[0].size() + 1);
  std::vector<char> small(needed - 1, 'x');
  EXPECT_EQ(platform::usb::EnumerateInterface(0, small.data(), small.size()), needed);
  EXPECT_EQ(small[0], 'x');

  // Plugged in again the printer has a new device number, but its port and
  // so its path and its place in the order stay.
  ASSERT_EQ(RunSim({"--unplug", "1"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(4));
  EXPECT_EQ(Path(0), expected[1]);
  ASSERT_EQ(RunSim({"--plug", "1"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(5));
  EXPECT_EQ(Enumerate(), expected);
  PrinterLink link;
  ASSERT_TRUE(link.Open(expected[0]));
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
}

TEST_F(UsbBus, PrintersWithOneSerialNumberKeepPathsOfTheirOwn) {
  StartSim(2);
  StartBridge({"--serial", "000000000001"});
  EXPECT_EQ(simtest::ReadText("/sys/bus/usb/devices/1-1/serial"), "000000000001\n");
  EXPECT_EQ(simtest::ReadText("/sys/bus/usb/devices/1-2/serial"), "000000000001\n");
  std::vector<std::string> paths = Enumerate();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0], paths[1]);
  // Each path reaches its own printer.
  PrinterLink second;
  ASSERT_TRUE(second.Open(paths[1]));
  EXPECT_EQ(second.Exchange(StatusRequest()).size(), 50u);
  EXPECT_EQ(FramesLog(1), "");
  EXPECT_NE(FramesLog(2).find("out 4 01000000"), std::string::npos);
}

TEST_F(UsbBus, EveryHandleOfAPrinterSharesOneDeviceHandleAndOneClaim) {
  StartSim(1);
  StartBridge();
  std::string path = Path(0);
  EXPECT_EQ(DriverActive("1"), 1) << "the printer driver should hold an unused printer";
  PrinterLink claim;
  ASSERT_TRUE(claim.Open(path));
  Handle presence = platform::usb::Open(path.c_str());
  ASSERT_NE(presence, kNoHandle);
  EXPECT_EQ(OpenNodes(), 1);
  EXPECT_EQ(DriverActive("1"), 0) << "the interface should be ours while claimed";

  // A command's probe opens both pipes afresh and closes them again; the
  // claim stays and the claim's pipes keep working.
  for (int i = 0; i < 3; ++i) {
    PrinterLink probe;
    ASSERT_TRUE(probe.Open(path));
    EXPECT_EQ(OpenNodes(), 1);
  }
  EXPECT_EQ(DriverActive("1"), 0);
  EXPECT_EQ(claim.Exchange(StatusRequest()).size(), 50u);

  // The last pipe gives the interface back, and the driver returns, even
  // while the device itself is still open.
  claim.Close();
  EXPECT_EQ(DriverActive("1"), 1) << "the printer driver was not given back";
  platform::usb::Close(presence);
  EXPECT_EQ(OpenNodes(), 0);
}

TEST_F(UsbBus, AbortCancelsTheTransferAndTheNextOneWorks) {
  StartSim(1, "[printer1]\nfault_status = noreply @1\n");
  StartBridge();
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  ASSERT_TRUE(link.Write(StatusRequest()));
  platform::usb::TransferAbort abort;
  auto start = std::chrono::steady_clock::now();
  auto read = std::async(std::launch::async, [&] {
    Bytes reply;
    return link.Read(&reply, 300, &abort);
  });
  EXPECT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "a printer that never answers ended the read";
  abort.Abort();
  EXPECT_FALSE(read.get());
  EXPECT_LT(ElapsedMs(start), 5000u) << "the cancelled read waited for more than its cancellation";
  // The cancelled URB is gone; the next request gets its own reply.
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
}

TEST_F(UsbBus, AbortCancelsAWriteThePrinterNeverTakes) {
  StartSim(1, "[printer1]\nstall_after_bytes = 100\n");
  StartBridge();
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  ASSERT_EQ(link.Exchange(simtest::LongAnnouncement(1, 0, 10000)).size(), 10u);
  Bytes block = simtest::Pattern(4096, 3);
  platform::usb::TransferAbort abort;
  auto write = std::async(std::launch::async, [&] {
    uint32_t written = 99;
    bool ok = platform::usb::Write(link.out(), block.data(), 4096, &written, &abort);
    return ok || written != 0;
  });
  EXPECT_EQ(write.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  abort.Abort();
  ASSERT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "the aborted write did not return";
  EXPECT_FALSE(write.get());
}

TEST_F(UsbBus, PrinterUnpluggedUnderATransferFailsItAndIsNoticed) {
  StartSim(1, "[printer1]\nfault_status = noreply\n");
  StartBridge();
  std::string path = Path(0);
  platform::usb::ChangeSource* changes = platform::usb::OpenChangeSource();
  ASSERT_NE(changes, nullptr);
  EXPECT_FALSE(platform::usb::TakeChange(changes));
  PrinterLink link;
  ASSERT_TRUE(link.Open(path));
  ASSERT_TRUE(link.Write(StatusRequest()));
  // No abort: only the device going away can end this read.
  auto read = std::async(std::launch::async, [&] {
    Bytes reply;
    return link.Read(&reply);
  });
  ASSERT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ASSERT_EQ(RunSim({"--unplug", "1"}).exitCode, 0);
  ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the read hung on a printer that went away";
  EXPECT_FALSE(read.get());
  EXPECT_FALSE(link.Write(StatusRequest()));
  EXPECT_EQ(platform::usb::Open(path.c_str()), kNoHandle);
  EXPECT_TRUE(WaitForCount(0));
  bool noticed = false;
  for (int i = 0; i < 1000 && !(noticed = platform::usb::TakeChange(changes)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(noticed);
  link.Close();
  platform::usb::CloseChangeSource(changes);
}

TEST_F(UsbBus, WithoutHotplugAComparisonOfTheDeviceListNoticesPlugging) {
  StartSim(2);
  StartBridge();
  ASSERT_EQ(Enumerate().size(), 2u);
  platform::usb::ChangeSource* changes = platform::usb::OpenChangeSourceUsing(false);
  ASSERT_NE(changes, nullptr);
  EXPECT_FALSE(platform::usb::TakeChange(changes));
  auto noticed = [&] {
    for (int i = 0; i < 1000; ++i) {
      if (platform::usb::TakeChange(changes)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  ASSERT_EQ(RunSim({"--unplug", "2"}).exitCode, 0);
  EXPECT_TRUE(noticed());
  EXPECT_FALSE(platform::usb::TakeChange(changes)) << "one change, one notice";
  // Plugged in again it comes back with a new address: a change too.
  ASSERT_EQ(RunSim({"--plug", "2"}).exitCode, 0);
  EXPECT_TRUE(noticed());
  platform::usb::CloseChangeSource(changes);
}

TEST_F(UsbBus, OnlyTheTwoPipesOfAPrinterInterfaceOpen) {
  StartSim(1);
  StartBridge({"--other", "7a3d:00b4"});
  std::string path = Path(0);
  for (const char* suffix : {"\\if000pipe002", "\\if001pipe000", "\\if000pipe00", "x", "\\"})
    EXPECT_EQ(platform::usb::Open((path + suffix).c_str()), kNoHandle) << suffix;
  // The other device has the model's ids but no printer interface.
  std::string other = UsbPrinterPath(1, "2");
  EXPECT_EQ(platform::usb::Open(other.c_str()), kNoHandle);
  EXPECT_EQ(platform::usb::Open((other + "\\if000pipe001").c_str()), kNoHandle);
  // Nothing at a port, or ids that differ from what is there.
  EXPECT_EQ(platform::usb::Open(UsbPrinterPath(1, "3").c_str()), kNoHandle);
  EXPECT_EQ(platform::usb::Open(UsbPrinterPath(1, "1", "7a3d&pid_00b5").c_str()), kNoHandle);

  PrinterLink link;
  ASSERT_TRUE(link.Open(path));
  uint8_t buffer[4097] = {};
  uint32_t moved = 7;
  EXPECT_FALSE(platform::usb::Read(link.out(), buffer, 300, &moved, nullptr));
  EXPECT_EQ(moved, 0u);
  EXPECT_FALSE(platform::usb::Write(link.in(), buffer, 4, &moved, nullptr));
  EXPECT_FALSE(platform::usb::Write(link.out(), buffer, sizeof buffer, &moved, nullptr));
  EXPECT_TRUE(platform::usb::Write(link.out(), buffer, 0, &moved, nullptr));
  EXPECT_EQ(FramesLog(1), "") << "a refused transfer reached the printer";
}

// A bulk-out endpoint that stalled answers every later transfer with a
// stall until it is cleared: the bus clears it and reports the failure.
TEST_F(UsbBus, StalledBulkOutIsClearedSoTheNextCommandIsAnswered) {
  StartSim(1, "[printer1]\nfault_status = stall @1\n");
  StartBridge();
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  EXPECT_FALSE(link.Write(StatusRequest()));
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u) << "the endpoint stayed halted";
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
}

// Asked for 300 bytes, a transfer of less than a packet would make a
// 400-byte reply babble, and the device sends that packet again and again.
// Whole packets take it: an overflow for the read, and the next reply comes.
TEST_F(UsbBus, AReplyLongerThanAskedForIsAnOverflowAndTheNextReplyComes) {
  StartSim(1, "[printer1]\nfault_status = garbage 400 @1\n");
  StartBridge();
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  ASSERT_TRUE(link.Write(StatusRequest()));
  Bytes reply;
  EXPECT_FALSE(link.Read(&reply, 300));
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u) << "the long reply blocked the pipe";
  // Room for it: it comes whole.
  StopSim();
}

TEST_F(UsbBus, AReplyThatFitsItsReadComesWholeFromAPacketSizedTransfer) {
  StartSim(1, "[printer1]\nfault_status = garbage 1000 @1\n");
  StartBridge();
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  ASSERT_TRUE(link.Write(StatusRequest()));
  Bytes reply;
  // 1000 bytes in two packets: the first fills a 512-byte read; the read of
  // 4096 then gets the short rest.
  uint8_t buffer[4096];
  uint32_t got = 0;
  ASSERT_TRUE(platform::usb::Read(link.in(), buffer, 512, &got, nullptr));
  EXPECT_EQ(got, 512u);
  ASSERT_TRUE(platform::usb::Read(link.in(), buffer, 4096, &got, nullptr));
  EXPECT_EQ(got, 488u);
  EXPECT_EQ(buffer[0], static_cast<uint8_t>(0xA5 ^ (512 & 0xff)));
}

// Pulled and plugged back into the same port between two looks: the path
// answers again, but the claimed handles belong to the device that went.
TEST_F(UsbBus, APrinterPluggedBackIntoItsPortIsAnotherDevice) {
  StartSim(1);
  StartBridge();
  std::string path = Path(0);
  PrinterLink claim;
  ASSERT_TRUE(claim.Open(path));
  EXPECT_TRUE(platform::usb::StillAttached(claim.in()));
  ASSERT_EQ(RunSim({"--unplug", "1"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(0));
  ASSERT_EQ(RunSim({"--plug", "1"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(1));
  Handle presence = platform::usb::Open(path.c_str());
  EXPECT_NE(presence, kNoHandle) << "the printer is back at its path";
  EXPECT_FALSE(platform::usb::StillAttached(claim.in()));
  EXPECT_FALSE(platform::usb::StillAttached(claim.out()));
  EXPECT_TRUE(platform::usb::StillAttached(presence));
  platform::usb::Close(presence);
  claim.Close();
  PrinterLink fresh;
  ASSERT_TRUE(fresh.Open(path));
  EXPECT_TRUE(platform::usb::StillAttached(fresh.in()));
  EXPECT_EQ(fresh.Exchange(StatusRequest()).size(), 50u);
  EXPECT_FALSE(platform::usb::StillAttached(kNoHandle));
}

// A host controller slow to give back what was cancelled: a read left
// behind keeps its pipe, so later reads submit nothing until it has called
// back, and no transfers pile up; the other pipe is not held up.
TEST_F(UsbBus, ACancelledReadThatHasNotCalledBackKeepsItsPipe) {
  StartSim(1, "[printer1]\nfault_status = noreply @1\n");
  StartBridge({"--late-discard", "30000"});
  PrinterLink link;
  ASSERT_TRUE(link.Open(Path(0)));
  std::atomic<int>& transfers = platform::usb::FromHandle(link.in())->device->transfers;
  ASSERT_TRUE(link.Write(StatusRequest()));
  Bytes reply;
  for (int read = 0; read < 3; ++read) {
    platform::usb::TransferAbort abort;
    abort.Arm();
    ASSERT_TRUE(abort.FireAfter(200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.Read(&reply, 300, &abort)) << "read " << read;
    EXPECT_LT(ElapsedMs(start), 5000u);
    EXPECT_EQ(transfers.load(), 1) << "after read " << read << ", transfers are piling up";
  }
  // A read without a limit cannot wait for the one left behind either.
  EXPECT_FALSE(link.Read(&reply, 300, nullptr));
  uint32_t written = 0;
  EXPECT_TRUE(platform::usb::Write(link.out(), StatusRequest().data(), 4, &written, nullptr));
  // The printer goes: the transfer left behind is given back at the next look
  // the watcher takes at the bus, and the pipe is free.
  ASSERT_EQ(RunSim({"--unplug", "1"}).exitCode, 0);
  platform::usb::ChangeSource* changes = platform::usb::OpenChangeSource();
  ASSERT_NE(changes, nullptr);
  for (int i = 0; i < 500 && transfers.load() != 0; ++i) {
    platform::usb::TakeChange(changes);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  platform::usb::CloseChangeSource(changes);
  EXPECT_EQ(transfers.load(), 0);
}

#ifdef EXIT_HELPER
// A program that ends without unloading the library: the bus may close only
// after the watcher has stopped, since the watcher, waiting for the library
// while a command runs, then still uses the bus and its devices.
TEST_F(UsbBus, AProgramEndingWithoutUnloadingClosesTheBusAfterItsWatcher) {
  StartSim(2, "[printer2]\nfault_status = noreply\n");
  auto start = std::chrono::steady_clock::now();
  // A program that ends while a thread is inside a call leaves that call's
  // port as it is (nothing in use is freed under it), so the leak checker of
  // a sanitizer build would turn the exit status into 1: not what this asks.
  std::string command = "cd '" + dir_ + "' && ASAN_OPTIONS=detect_leaks=0 timeout 60 " +
                        USB_BRIDGE_PATH + " --bus 3 -- " + EXIT_HELPER + " " + USB_LIBRARY + " " +
                        Q7730_SIM + " >exit.out 2>&1";
  int status = std::system(command.c_str());
  std::string output = simtest::ReadText(dir_ + "/exit.out");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << output;
  EXPECT_NE(output.find("ending"), std::string::npos) << output;
  EXPECT_LT(ElapsedMs(start), 40000u);
}
#endif

}  // namespace
