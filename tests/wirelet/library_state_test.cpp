// Discovery, port numbering, opening and closing, the device mutex and the
// watcher, through the exports over the scripted bus.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "failing_new.h"
#include "library_fixture.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "port_session.h"
#include "test_os.h"

namespace {

using wirelet::gLibrary;
using wirelet_test::Bytes;
using wirelet_test::ErrorReply;
using wirelet_test::PlainReply;
using wirelet_test::StatusReply;

class Ports : public wirelet_test::LibraryTest {};

TEST_F(Ports, NoPrinter) {
  EXPECT_EQ(usb_find_first(), 0);
  EXPECT_EQ(usb_find_next(), 0);
  EXPECT_EQ(usb_open_port(1), kStatusUnknownPort);
  EXPECT_EQ(usb_close_port(1), kStatusUnknownPort);
}

TEST_F(Ports, TwoPrintersAreNumberedInOrder) {
  AddPrinters(2);
  EXPECT_EQ(usb_find_first(), 1);
  EXPECT_EQ(usb_find_next(), 2);
  EXPECT_EQ(usb_find_next(), 0);
  EXPECT_EQ(usb_find_next(), 0);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(7, &status), 0);
  EXPECT_EQ(status, kStatusUnknownPort);
  EXPECT_EQ(usb_get_status(0, &status), 0);
  EXPECT_EQ(status, kStatusUnknownPort);
}

// Each member index is a query of its own, so a printer that arrives in the
// middle of a pass shifts the ones after it: the printer after the newcomer
// comes again at the next index. One printer gets one port number per pass,
// or two workers would update it at once.
TEST_F(Ports, APrinterSeenTwiceInOnePassIsNumberedOnce) {
  std::vector<std::string> paths = AddPrinters(2);
  fakebus::AddInterface(paths[1]);
  EXPECT_EQ(usb_find_first(), 1);
  EXPECT_EQ(usb_find_next(), 2);
  EXPECT_EQ(usb_find_next(), 0);
  EXPECT_EQ(gLibrary.portEntry[1], 1);
  EXPECT_EQ(gLibrary.portEntry[2], wirelet::kNone);
  ASSERT_EQ(usb_open_port(2), kStatusOk);
  EXPECT_EQ(usb_open_port(3), kStatusUnknownPort);
}

TEST_F(Ports, FindNextWrapsAroundWithinTheList) {
  AddPrinters(3);
  EXPECT_EQ(usb_find_first(), 1);
  // Positions 1..127, then from position 1 again.
  std::vector<int> seen;
  for (int i = 0; i < 129; ++i) seen.push_back(usb_find_next());
  EXPECT_EQ(seen[0], 2);
  EXPECT_EQ(seen[1], 3);
  for (int i = 2; i < 127; ++i) EXPECT_EQ(seen[i], 0) << i;
  EXPECT_EQ(seen[127], 2);
  EXPECT_EQ(seen[128], 3);
}

TEST_F(Ports, OtherMakesAreNeitherOpenedNorNumbered) {
  const std::string others[3] = {
      "\\\\?\\usb#vid_1234&pid_00b4#x#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_0001#y#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7A3D&pid_00b4#z#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
  };
  for (const std::string& path : others) fakebus::AddInterface(path);
  std::string printer = AddPrinters(1)[0];
  EXPECT_EQ(usb_find_first(), 1);
  EXPECT_EQ(usb_find_next(), 0);
  for (const std::string& path : others) EXPECT_EQ(fakebus::DeviceOpens(path), 0) << path;
  EXPECT_EQ(fakebus::DeviceOpens(printer), 1);
  EXPECT_EQ(gLibrary.portEntry[0], 0);
  // The pass closes what it opened to register the printer.
  EXPECT_EQ(fakebus::OpenHandles(), 0);
  // A second pass finds it again without opening it again.
  EXPECT_EQ(usb_find_first(), 1);
  EXPECT_EQ(fakebus::DeviceOpens(printer), 1);
}

TEST_F(Ports, OpenTwiceAndClose) {
  std::string path = AddPrinters(1)[0];
  ASSERT_EQ(usb_find_first(), 1);
  EXPECT_EQ(usb_close_port(1), kStatusOk);  // listed but not open
  EXPECT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_EQ(usb_open_port(1), kStatusPortAlreadyOpen);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 0), 1);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 1), 1);
  EXPECT_EQ(usb_close_port(0), kStatusUnknownPort);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
  EXPECT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
}

TEST_F(Ports, CommandsOnAPortThatIsNotOpen) {
  AddPrinters(1);
  ASSERT_EQ(usb_find_first(), 1);
  const uint8_t byte = 0;
  StatusCode status = 0;
  int first = -1;
  int second = -1;
  EXPECT_EQ(usb_write_data(1, &byte, 1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(usb_get_id(1, &first, &second), kStatusDeviceNotAvailable);
  EXPECT_EQ(usb_command_send(1, &byte, 1), kStatusDeviceNotAvailable);
  EXPECT_EQ(usb_get_id(2, &first, &second), kStatusUnknownPort);
  EXPECT_EQ(first, -1);
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_EQ(usb_get_id(1, &first, &second), kStatusOk);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
}

TEST_F(Ports, PrinterThatCannotBeClaimed) {
  std::string path = AddPrinters(1)[0];
  ASSERT_EQ(usb_find_first(), 1);
  fakebus::SetPresent(path, false);
  EXPECT_EQ(usb_open_port(1), kStatusDeviceNotAvailable);
  EXPECT_EQ(gLibrary.openPort[0], -1);
  EXPECT_EQ(gLibrary.sessions[0], nullptr);
  fakebus::SetPresent(path, true);
  EXPECT_EQ(usb_open_port(1), kStatusOk);
}

TEST_F(Ports, HalfAClaimClosesTheOpenedPipe) {
  std::string path = AddPrinters(1)[0];
  ASSERT_EQ(usb_find_first(), 1);
  fakebus::FailPipeOpen(path, 1, true);
  EXPECT_EQ(usb_open_port(1), kStatusDeviceNotAvailable);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
  fakebus::FailPipeOpen(path, 1, false);
  fakebus::FailPipeOpen(path, 0, true);
  EXPECT_EQ(usb_open_port(1), kStatusDeviceNotAvailable);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
}

TEST_F(Ports, UnplugBetweenCommands) {
  std::string path = OpenOnePrinter();
  StatusCode status = 0;
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  fakebus::SetPresent(path, false);
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(fakebus::Written(path).size(), 1u);
  // The probe opened nothing that stays open, and the mutex was given back.
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 0), 1);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 1), 1);
  fakebus::SetPresent(path, true);
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
}

TEST_F(Ports, AProbeThatOpensOnlyOnePipeClosesIt) {
  std::string path = OpenOnePrinter();
  fakebus::FailPipeOpen(path, 1, true);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 0), 1);
}

TEST_F(Ports, LaterPassReachesThePrintersOfThatPass) {
  std::vector<std::string> paths = AddPrinters(2);
  ASSERT_EQ(usb_find_first(), 1);
  // The first printer leaves the bus; the second is now the only one.
  fakebus::Reset();
  fakebus::AddInterface(paths[1]);
  ASSERT_EQ(usb_find_first(), 1);
  EXPECT_EQ(usb_find_next(), 0);
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  fakebus::QueueReply(paths[1], StatusReply(0));
  StatusCode status = 0xFFFF;
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(fakebus::Written(paths[1]).size(), 1u);
  EXPECT_EQ(fakebus::Written(paths[0]).size(), 0u);
}

TEST_F(Ports, ReplugKeepsTheSlotAndANewPathTakesTheNext) {
  std::vector<std::string> paths = AddPrinters(1);
  ASSERT_EQ(usb_find_first(), 1);
  fakebus::Reset();
  std::string newcomer = fakebus::ModelPath("newcomer");
  fakebus::AddInterface(newcomer);
  fakebus::AddInterface(paths[0]);
  ASSERT_EQ(usb_find_first(), 1);
  EXPECT_EQ(usb_find_next(), 2);
  EXPECT_EQ(gLibrary.portEntry[0], 1);
  EXPECT_EQ(gLibrary.portEntry[1], 0);
  ASSERT_EQ(usb_open_port(2), kStatusOk);
  fakebus::QueueReply(paths[0], StatusReply(0));
  StatusCode status = 0xFFFF;
  EXPECT_EQ(usb_get_status(2, &status), 1);
  EXPECT_EQ(fakebus::Written(paths[0]).size(), 1u);
}

TEST_F(Ports, EmptyPassKeepsThePortCount) {
  AddPrinters(3);
  ASSERT_EQ(usb_find_first(), 1);
  EXPECT_EQ(gLibrary.portCount.load(), 3u);
  fakebus::Reset();
  EXPECT_EQ(usb_find_first(), 0);
  EXPECT_EQ(gLibrary.portCount.load(), 3u);
  EXPECT_EQ(usb_open_port(1), kStatusUnknownPort);
}

// Holds the device mutex of a printer through a handle of its own, as another
// process would.
class OtherOwner {
 public:
  explicit OtherOwner(const std::string& path) {
    EXPECT_TRUE(mutex_.Create(path.c_str() + 4, false, nullptr));
  }
  platform::NamedMutex& mutex() { return mutex_; }

 private:
  platform::NamedMutex mutex_;
};

// Whether another owner could take the printer's device mutex right now.
bool OthersMayTake(OtherOwner& other) {
  bool obtained = false;
  std::thread probe([&] {
    obtained = other.mutex().Wait(0) == platform::NamedMutex::WaitResult::Obtained;
    if (obtained) other.mutex().Release();
  });
  probe.join();
  return obtained;
}

TEST_F(Ports, AnnouncedImageKeepsThePrinterUntilItsLastByte) {
  std::string path = OpenOnePrinter();
  OtherOwner other(path);
  EXPECT_TRUE(OthersMayTake(other));
  StatusCode status = 0;
  fakebus::QueueReply(path, PlainReply({}));
  ASSERT_EQ(usb_target_update(1, 1, 0, 10000, &status), 1);
  // No other process's command can fall between the announcement and the
  // image, or between its pieces, and be taken as image data.
  EXPECT_FALSE(OthersMayTake(other));
  Bytes image(10000, 7);
  ASSERT_EQ(usb_write_data(1, image.data(), 6000, &status), 1);
  EXPECT_FALSE(OthersMayTake(other));
  // This process's own commands still go through, and the hold stays.
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_FALSE(OthersMayTake(other));
  ASSERT_EQ(usb_command_data(1, image.data() + 6000, 4000), kStatusOk);
  EXPECT_TRUE(OthersMayTake(other));

  // The controller image: the size the printer was told is the low 16 bits.
  fakebus::QueueReply(path, PlainReply({}));
  ASSERT_EQ(usb_target_update(1, 6, 0, 70000, &status), 1);
  ASSERT_EQ(usb_write_data(1, image.data(), 4096, &status), 1);
  EXPECT_FALSE(OthersMayTake(other));
  ASSERT_EQ(usb_write_data(1, image.data(), 70000 - 65536 - 4096, &status), 1);
  EXPECT_TRUE(OthersMayTake(other));
}

TEST_F(Ports, ImageHoldEndsWithAFailureOrTheClose) {
  std::string path = OpenOnePrinter();
  OtherOwner other(path);
  StatusCode status = 0;
  Bytes image(9000, 7);
  // A refused announcement holds nothing.
  fakebus::QueueReply(path, ErrorReply(0x35));
  EXPECT_EQ(usb_target_update(1, 0, 0, 9000, &status), 0);
  EXPECT_TRUE(OthersMayTake(other));
  // A piece that fails ends the image and its hold.
  fakebus::QueueReply(path, PlainReply({}));
  ASSERT_EQ(usb_target_update(1, 0, 0, 9000, &status), 1);
  fakebus::FailWrite(path, static_cast<int>(fakebus::Written(path).size()) + 1);
  EXPECT_EQ(usb_write_data(1, image.data(), 9000, &status), 0);
  EXPECT_TRUE(OthersMayTake(other));
  // A second announcement before the first image was sent is held once.
  fakebus::QueueReply(path, PlainReply({}));
  fakebus::QueueReply(path, PlainReply({}));
  ASSERT_EQ(usb_target_update(1, 1, 0, 9000, &status), 1);
  ASSERT_EQ(usb_target_update(1, 2, 0, 100, &status), 1);
  ASSERT_EQ(usb_write_data(1, image.data(), 100, &status), 1);
  EXPECT_TRUE(OthersMayTake(other));
  // Closing gives it back too, and not as abandoned.
  fakebus::QueueReply(path, PlainReply({}));
  ASSERT_EQ(usb_target_update(1, 1, 0, 9000, &status), 1);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_TRUE(OthersMayTake(other));
}

// Runs call on a thread of its own, as another thread of the same caller.
template <typename Call>
void OnAnotherThread(Call call) {
  std::thread other(call);
  other.join();
}

// The hold belongs to the port, not to the thread that announced: another
// thread's commands go through meanwhile, and its last byte of the image or
// its close gives the printer back to other processes.
TEST_F(Ports, ImageHoldBelongsToThePortNotToTheAnnouncingThread) {
  std::string path = OpenOnePrinter();
  OtherOwner other(path);
  Bytes image(10000, 7);
  fakebus::QueueReply(path, PlainReply({}));
  OnAnotherThread([&] {
    StatusCode status = 0;
    EXPECT_EQ(usb_target_update(1, 1, 0, 10000, &status), 1);
  });
  EXPECT_FALSE(OthersMayTake(other));
  StatusCode status = 0xFFFF;
  fakebus::QueueReply(path, StatusReply(0));
  uint32_t start = platform::SystemTickCount();
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_LT(platform::SystemTickCount() - start, 400u);
  EXPECT_FALSE(OthersMayTake(other));
  EXPECT_EQ(usb_write_data(1, image.data(), 6000, &status), 1);
  EXPECT_FALSE(OthersMayTake(other));
  EXPECT_EQ(usb_write_data(1, image.data() + 6000, 4000, &status), 1);
  EXPECT_TRUE(OthersMayTake(other));
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);

  // Announced on one thread, the port closed on another.
  fakebus::QueueReply(path, PlainReply({}));
  OnAnotherThread([&] {
    StatusCode announced = 0;
    EXPECT_EQ(usb_target_update(1, 2, 0, 100, &announced), 1);
  });
  EXPECT_FALSE(OthersMayTake(other));
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_TRUE(OthersMayTake(other));
}

TEST_F(Ports, BusyDeviceMutexSendsNothing) {
  std::string path = OpenOnePrinter();
  OtherOwner other(path);
  // Held by another thread, which excludes this one on every system.
  std::atomic<int> step{0};
  std::thread owner([&] {
    if (other.mutex().Wait(0) != platform::NamedMutex::WaitResult::Obtained) {
      step = -1;
      return;
    }
    step = 1;
    while (step == 1) std::this_thread::yield();
    other.mutex().Release();
    step = 3;
  });
  while (step == 0) std::this_thread::yield();
  ASSERT_EQ(step, 1);
  StatusCode status = 0;
  uint32_t start = platform::SystemTickCount();
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_GE(platform::SystemTickCount() - start, 490u);
  EXPECT_EQ(status, kStatusDeviceBusy);
  const uint8_t bytes[2] = {1, 2};
  EXPECT_EQ(usb_command_send(1, bytes, 2), kStatusDeviceBusy);
  EXPECT_TRUE(fakebus::Written(path).empty());
  // Bulk data does not wait for the device mutex.
  EXPECT_EQ(usb_write_data(1, bytes, 2, &status), 1);
  step = 2;
  owner.join();
  EXPECT_EQ(step, 3);
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
}

TEST_F(Ports, AbandonedDeviceMutexIsBusyOnceThenFree) {
  if (!test_os::NamedMutexOfThisSystem().closeWhileOwnedAbandons) GTEST_SKIP() << "Close gives back what it obtained";
  std::string path = OpenOnePrinter();
  {
    OtherOwner other(path);
    ASSERT_EQ(other.mutex().Wait(0), platform::NamedMutex::WaitResult::Obtained);
    other.mutex().Close();  // ends without releasing
  }
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceBusy);
  EXPECT_TRUE(fakebus::Written(path).empty());
  // The ownership that came with the abandoned mutex was given back.
  OtherOwner later(path);
  EXPECT_EQ(later.mutex().Wait(0), platform::NamedMutex::WaitResult::Obtained);
  EXPECT_TRUE(later.mutex().Release());
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);
}

TEST_F(Ports, ClaimWaitsForTheOtherOwner) {
  std::string path = AddPrinters(1)[0];
  ASSERT_EQ(usb_find_first(), 1);
  std::atomic<bool> held{false};
  std::atomic<bool> released{false};
  std::thread owner([&] {
    OtherOwner other(path);
    EXPECT_EQ(other.mutex().Wait(0), platform::NamedMutex::WaitResult::Obtained);
    held = true;
    platform::SleepMs(300);
    released = true;
    other.mutex().Release();
  });
  while (!held) platform::SleepMs(1);
  EXPECT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_TRUE(released);
  owner.join();
}

// Waits until the watcher has marked port 1 not open (an open then succeeds).
void WaitForWatcher() {
  for (int i = 0; i < 500; ++i) {
    {
      platform::LockHolder hold(*gLibrary.lock);
      if (gLibrary.openPort[0] == -1) return;
    }
    platform::SleepMs(10);
  }
  FAIL() << "the watcher never handled the notice";
}

TEST_F(Ports, NoticeWithThePrinterStillThereLeavesItUsable) {
  std::string path = OpenOnePrinter();
  fakebus::Notify();
  WaitForWatcher();
  StatusCode status = 0;
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  // Opened again on the same session: the earlier claim is let go first.
  EXPECT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 0), 1);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 1), 1);
  fakebus::QueueReply(path, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
}

TEST_F(Ports, ReopenAfterAnAbandonedReadClosesTheNewPipesAtClose) {
  std::string path = OpenOnePrinter();
  gLibrary.sessions[0]->settings.transferLimitMs = 200;
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);  // no reply: the read is abandoned
  EXPECT_EQ(gLibrary.sessions[0]->settings.readTimedOut, 1);
  fakebus::Notify();
  WaitForWatcher();
  // The new claim lets go of the old one, whose abandoned read pipe stays
  // open, and opens pipes on which nothing has been abandoned.
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 0), 2);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 0), 1);
  EXPECT_EQ(fakebus::OpenPipeHandles(path, 1), 0);
}

TEST_F(Ports, NoticeAfterUnplugLetsThePrinterGo) {
  std::string path = OpenOnePrinter();
  fakebus::SetPresent(path, false);
  fakebus::Notify();
  WaitForWatcher();
  EXPECT_EQ(fakebus::OpenHandles(), 0);
  EXPECT_EQ(gLibrary.slotEntry[0], -1);
  EXPECT_EQ(gLibrary.slotMutex[0], nullptr);
  // Even with the printer back, the port's commands report it gone until reopened.
  fakebus::SetPresent(path, true);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(gLibrary.sessions[0], nullptr);
}

TEST_F(Ports, ClosingAnyPortStopsTheWatcher) {
  std::vector<std::string> paths = AddPrinters(2);
  ASSERT_EQ(usb_find_first(), 1);
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  ASSERT_EQ(usb_open_port(2), kStatusOk);
  EXPECT_NE(gLibrary.watcher, nullptr);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(gLibrary.watcher, nullptr);
  EXPECT_EQ(gLibrary.staleWatchers, nullptr);
  // Unnoticed now: the next command finds the printer gone by its probe.
  fakebus::SetPresent(paths[1], false);
  fakebus::Notify();
  platform::SleepMs(300);
  EXPECT_EQ(gLibrary.openPort[1], 2);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(2, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  // A new open starts a new watcher.
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  EXPECT_NE(gLibrary.watcher, nullptr);
}

TEST_F(Ports, CloseWhileTheWatcherWaitsForTheLock) {
  std::string path = OpenOnePrinter();
  fakebus::SetPresent(path, false);
  std::atomic<bool> locked{false};
  // Another call holds the library lock when the notice arrives, so the
  // watcher is waiting for the lock when the close asks it to stop.
  std::thread busy([&] {
    platform::LockHolder hold(*gLibrary.lock);
    fakebus::Notify();
    locked = true;
    platform::SleepMs(600);
  });
  while (!locked) platform::SleepMs(1);
  platform::SleepMs(300);
  uint32_t start = platform::SystemTickCount();
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  uint32_t spent = platform::SystemTickCount() - start;
  busy.join();
  // The watcher got the lock, did its work and ended; nothing is left running.
  EXPECT_LT(spent, 4000u);
  EXPECT_EQ(gLibrary.watcher, nullptr);
  EXPECT_EQ(gLibrary.staleWatchers, nullptr);
}

TEST_F(Ports, AllocationFailureWhileOpeningIsReportedNotThrown) {
  AddPrinters(1);
  ASSERT_EQ(usb_find_first(), 1);
  int reported1100 = 0;
  bool allSucceeded = false;
  for (int n = 0; n < 64 && !allSucceeded; ++n) {
    failing_new::FailAt(n);
    StatusCode code = usb_open_port(1);
    bool failed = failing_new::Fired();
    failing_new::FailAt(-1);
    if (!failed) {
      allSucceeded = true;
      EXPECT_EQ(code, kStatusOk);
    } else {
      // Only the watcher may go missing without the open failing.
      EXPECT_TRUE(code == kStatusOk || code == kStatusNoReaderWriter ||
                  code == kStatusDeviceNotAvailable)
          << "allocation " << n << ": " << code;
      if (code == kStatusNoReaderWriter) ++reported1100;
    }
    EXPECT_EQ(usb_close_port(1), kStatusOk);
    EXPECT_EQ(fakebus::OpenHandles(), 0) << "allocation " << n;
  }
  EXPECT_TRUE(allSucceeded);
  // The session, the writer, the reader and what each needs to abort.
  EXPECT_GE(reported1100, 5);
}

TEST_F(Ports, PrinterPulledDuringTheClaimIsNoticed) {
  std::string path = AddPrinters(1)[0];
  ASSERT_EQ(usb_find_first(), 1);
  // Gone, with its notice, right after the claim opened its write pipe:
  // before the open has returned.
  fakebus::UnplugAfterPipeOpen(path, 1);
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  WaitForWatcher();
  EXPECT_EQ(gLibrary.slotEntry[0], -1);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
}

TEST_F(Ports, FailedOpenLeavesNoWatcher) {
  std::string path = AddPrinters(1)[0];
  ASSERT_EQ(usb_find_first(), 1);
  fakebus::FailPipeOpen(path, 1, true);
  EXPECT_EQ(usb_open_port(1), kStatusDeviceNotAvailable);
  EXPECT_EQ(gLibrary.watcher, nullptr);
  EXPECT_EQ(fakebus::OpenChangeSources(), 0);
  EXPECT_EQ(fakebus::OpenHandles(), 0);
}

TEST_F(Ports, NoticeTestsEachOpenPrinterOnce) {
  std::vector<std::string> paths = AddPrinters(2);
  ASSERT_EQ(usb_find_first(), 1);
  ASSERT_EQ(usb_open_port(1), kStatusOk);
  ASSERT_EQ(usb_open_port(2), kStatusOk);
  int before[2] = {fakebus::DeviceOpens(paths[0]), fakebus::DeviceOpens(paths[1])};
  fakebus::Notify();
  WaitForWatcher();  // both ports are handled in one pass
  // One presence test each: a printer that came back between two tests
  // would keep its claim with closed pipes.
  EXPECT_EQ(fakebus::DeviceOpens(paths[0]) - before[0], 1);
  EXPECT_EQ(fakebus::DeviceOpens(paths[1]) - before[1], 1);
}

TEST_F(Ports, IdsAreReadUnderTheLibraryLock) {
  OpenOnePrinter();
  std::atomic<bool> done{false};
  std::thread reader;
  {
    platform::LockHolder hold(*gLibrary.lock);
    reader = std::thread([&] {
      int first = -1, second = -1;
      EXPECT_EQ(usb_get_id(1, &first, &second), kStatusOk);
      EXPECT_EQ(first, 0);
      EXPECT_EQ(second, 0);
      done = true;
    });
    platform::SleepMs(100);
    EXPECT_FALSE(done);  // a close on this thread could not delete the session under it
  }
  reader.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(usb_get_id(0, nullptr, nullptr), kStatusUnknownPort);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(usb_get_id(1, nullptr, nullptr), kStatusDeviceNotAvailable);
}

TEST_F(Ports, UnloadEndsEveryWatcher) {
  for (wirelet::WatcherEnd how : {wirelet::WatcherEnd::kJoin, wirelet::WatcherEnd::kTerminateWhenFinished}) {
    OpenOnePrinter();
    ASSERT_EQ(fakebus::OpenChangeSources(), 1);
    // The port is left open, as a careless caller would leave it.
    wirelet::StopAllWatchers(how);
    EXPECT_EQ(gLibrary.watcher, nullptr);
    EXPECT_EQ(gLibrary.staleWatchers, nullptr);
    EXPECT_EQ(fakebus::OpenChangeSources(), 0);
    EXPECT_EQ(usb_close_port(1), kStatusOk);
  }
}

}  // namespace
