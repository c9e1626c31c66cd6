// The two phases of the driver against the scripted library: which printers
// are updated, in what order, and what each phase returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

#include "device_library.h"
#include "driver.h"
#include "engine_update.h"
#include "support/updater_fixture.h"

using testing_support::CountOf;
using testing_support::FakeCall;

namespace {

using Texts = std::vector<std::string>;

class UpdatePhaseTest : public testing_support::UpdaterFixture {
 protected:
  void SetUp() override {
    WritePackage();
    Load();
    delete writeLock;  // the engine phase makes its own
    writeLock = nullptr;
  }
};

TEST_F(UpdatePhaseTest, ControllerPhaseUpdatesPrintersOneAfterTheOther) {
  fake.ports = {2, 1};
  EXPECT_EQ(0, RunControllerPhase());
  Texts calls = fake.Texts();
  ASSERT_EQ(15u, calls.size());
  EXPECT_EQ((Texts{"find_first", "find_next", "find_next", "open 2"}), Texts(calls.begin(), calls.begin() + 4));
  EXPECT_EQ("close 2", calls[8]);
  EXPECT_EQ("open 1", calls[9]);
  EXPECT_EQ("close 1", calls[14]);
  EXPECT_EQ(0u, console.Text().find("Detected 2 printer(s)\n"));
  EXPECT_EQ(2, CountOf(console.Text(), "USB Firmware download complete"));
  // Released at the end of the phase.
  EXPECT_EQ(0, deviceLibrary.loaded);
}

TEST_F(UpdatePhaseTest, SinglePrinterWhoseControllerUpdateFailsEndsTheRun) {
  fake.printers[1].targetStatus[6] = 2600;
  int printers = -5;
  EXPECT_EQ(-1, RunControllerPhase(&printers));
  EXPECT_EQ(1, printers);
}

// With several printers the engine phase runs whatever happened here, but
// the phase does not report a printer that was not updated as done.
TEST_F(UpdatePhaseTest, ControllerPhaseWithSeveralPrintersGoesOnButReportsEachFailure) {
  fake.ports = {1, 2};
  fake.printers[1].targetStatus[6] = 2600;
  fake.printers[2].targetStatus[6] = 2600;
  int printers = 0;
  EXPECT_EQ(1, RunControllerPhase(&printers));
  EXPECT_EQ(2, printers);
  EXPECT_EQ(2, CountOf(console.Text(), "USB Firmware download failed (2600)"));

  // One printer refused for its program, the other done.
  fake.Bind();
  console.Clear();
  fake.printers[1].targetStatus.clear();
  fake.printers[2].targetStatus.clear();
  fake.printers[2].component2 = "E0000000";
  EXPECT_EQ(1, RunControllerPhase());
  EXPECT_EQ(1, CountOf(console.Text(), "USB Firmware download complete... #printer 01"));
  EXPECT_EQ(1, CountOf(console.Text(), "USB Firmware download failed (0)... #printer 02"));
  fake.printers[2].component2 = "E0211600";
  fake.Bind();
  EXPECT_EQ(0, RunControllerPhase());
}

// A port that cannot be opened does not end a run of one printer, but the
// printer was not updated.
TEST_F(UpdatePhaseTest, UnopenedPrinterGoesOnToTheEnginePhaseAsNotDone) {
  fake.printers[1].openStatus = 1000;
  EXPECT_EQ(1, RunControllerPhase());
  fake.Bind();
  EXPECT_EQ(1, RunEnginePhase());
  EXPECT_EQ("Detected 1 printer(s)\nusb_open_port = 1000 \nDetected 1 printer(s)\nusb_open_port = 1000 \n",
            console.Text());
}

TEST_F(UpdatePhaseTest, NoPrinterEndsEitherPhase) {
  fake.ports = {};
  EXPECT_EQ(-1, RunControllerPhase());
  EXPECT_EQ("The printer is not connected. \n", console.Text());
  EXPECT_EQ(1, deviceLibrary.loaded);  // the program ends right after
  console.Clear();
  EXPECT_EQ(-1, RunEnginePhase());
  EXPECT_EQ("The printer is not connected. \n", console.Text());
  EXPECT_EQ(nullptr, writeLock);
}

TEST_F(UpdatePhaseTest, EnginePhaseRunsEveryPrinterAtOnceAndCleansUp) {
  fake.ports = {1, 2, 3};
  // Each transfer takes real time, so transfers that overlapped would show.
  fake.writeHoldMicroseconds = 20000;
  EXPECT_EQ(0, RunEnginePhase());
  EXPECT_EQ(1, fake.MostConcurrentWrites());
  for (int port : {1, 2, 3}) {
    Texts calls = fake.Texts(port);
    ASSERT_EQ(14u, calls.size()) << port;
    EXPECT_EQ("open " + std::to_string(port), calls.front());
    EXPECT_EQ("close " + std::to_string(port), calls.back());
  }
  std::string text = console.Text();
  EXPECT_EQ(0u, text.find("Detected 3 printer(s)\n"));
  for (const char* line : {"Firmware download complete... #printer 01", "Firmware download complete... #printer 02",
                           "Firmware download complete... #printer 03"})
    EXPECT_EQ(1, CountOf(text, line)) << line;
  EXPECT_EQ(nullptr, writeLock);
  EXPECT_EQ(0, deviceLibrary.loaded);
}

// A virtual clock that also keeps every pause, in order, with its thread.
class PauseLog : public platform::Clock {
 public:
  struct Pause {
    std::thread::id thread;
    uint32_t ms;
  };
  PauseLog() { platform::SetClock(this); }
  ~PauseLog() override { platform::SetClock(nullptr); }
  uint32_t Tick() override { return now_.load(); }
  void Sleep(uint32_t ms) override {
    std::lock_guard<std::mutex> hold(mutex_);
    pauses_.push_back({std::this_thread::get_id(), ms});
    now_ += ms;
  }
  std::vector<Pause> Pauses() {
    std::lock_guard<std::mutex> hold(mutex_);
    return pauses_;
  }

 private:
  std::atomic<uint32_t> now_{100000};
  std::mutex mutex_;
  std::vector<Pause> pauses_;
};

TEST_F(UpdatePhaseTest, EngineWorkersStart300msApartInTableOrderAndOpenAfter5000ms) {
  fake.ports = {3, 1, 2};
  std::vector<PauseLog::Pause> pauses;
  {
    PauseLog log;
    EXPECT_EQ(0, RunEnginePhase());
    pauses = log.Pauses();
  }
  platform::SetClock(&clock);
  // The driver pauses 300 ms after starting each worker, and for nothing else.
  const std::thread::id driver = std::this_thread::get_id();
  std::vector<size_t> driverPauses;
  for (size_t i = 0; i < pauses.size(); ++i) {
    if (pauses[i].thread != driver) continue;
    EXPECT_EQ(300u, pauses[i].ms);
    driverPauses.push_back(i);
  }
  ASSERT_EQ(3u, driverPauses.size());
  std::vector<FakeCall> calls = fake.Calls();
  for (size_t index = 0; index < fake.ports.size(); ++index) {
    std::string open = "open " + std::to_string(fake.ports[index]);
    auto call = std::find_if(calls.begin(), calls.end(), [&](const FakeCall& c) { return c.text == open; });
    ASSERT_NE(calls.end(), call) << open;
    // Its worker's first pause is the 5000 ms start delay, its first call the open...
    auto first = std::find_if(pauses.begin(), pauses.end(),
                              [&](const PauseLog::Pause& p) { return p.thread == call->thread; });
    ASSERT_NE(pauses.end(), first) << open;
    EXPECT_EQ(5000u, first->ms) << open;
    auto firstCall = std::find_if(calls.begin(), calls.end(), [&](const FakeCall& c) { return c.thread == call->thread; });
    EXPECT_EQ(open, firstCall->text);
    // ... and it cannot have started before the driver's pauses for the
    // workers ahead of it in the table.
    if (index > 0) {
      EXPECT_GT(static_cast<size_t>(first - pauses.begin()), driverPauses[index - 1]) << open;
    }
  }
}

TEST_F(UpdatePhaseTest, OnePrintersFailureLeavesTheOthersRunning) {
  fake.ports = {1, 2, 3};
  fake.printers[2].targetStatus[0] = 2600;  // DSP refused
  fake.printers[3].statuses = {2102};       // busy at the start
  EXPECT_EQ(1, RunEnginePhase());
  std::string text = console.Text();
  EXPECT_EQ(1, CountOf(text, "Firmware download complete... #printer 01"));
  EXPECT_EQ(1, CountOf(text, "Firmware download failed (2600)... #printer 02"));
  EXPECT_EQ(1, CountOf(text, "Firmware download failed (2102)... #printer 03"));
  EXPECT_EQ(14u, fake.Texts(1).size());
}

// Only complete lines make a phase done: every printer failing, or one
// printer that no longer answers, reports the phase not done.
TEST_F(UpdatePhaseTest, EnginePhaseIsDoneOnlyWhenEveryPrinterIsComplete) {
  fake.ports = {1, 2};
  fake.printers[1].universal = {{0, 2600}};
  fake.printers[2].universal = {{0, 2600}};
  EXPECT_EQ(1, RunEnginePhase());
  EXPECT_EQ(2, CountOf(console.Text(), "Firmware download failed"));

  fake.printers[1].universal.clear();
  fake.printers[2].universal.clear();
  fake.printers[2].openStatus = 1000;
  fake.Bind();
  EXPECT_EQ(1, RunEnginePhase());
  fake.printers[2].openStatus = 0;
  fake.Bind();
  EXPECT_EQ(0, RunEnginePhase());
}

// A printer the controller phase worked on that the engine phase no longer
// finds was not updated, though every printer found ends complete.
TEST_F(UpdatePhaseTest, PrinterMissingSinceTheControllerPhaseIsNotDone) {
  fake.ports = {1, 2};
  EXPECT_EQ(1, RunEnginePhase(3));
  EXPECT_EQ(2, CountOf(console.Text(), "Firmware download complete..."));
  fake.Bind();
  EXPECT_EQ(0, RunEnginePhase(2));
  // A printer plugged in between the phases gets its engine update only.
  fake.Bind();
  EXPECT_EQ(0, RunEnginePhase(1));
}

TEST_F(UpdatePhaseTest, EnginePhaseTakesTheFirstTenPrinters) {
  fake.ports = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(0, RunEnginePhase());
  EXPECT_EQ(0u, console.Text().find("Detected 10 printer(s)\n"));
  EXPECT_EQ(10, CountOf(console.Text(), "Firmware download complete..."));
  EXPECT_TRUE(fake.Texts(11).empty());
}

TEST_F(UpdatePhaseTest, LibraryThatCannotBeLoadedEndsEitherPhase) {
  deviceLibrary = DeviceLibrary{};  // unbound, and no wirelet.dll here
  EXPECT_EQ(-1, RunControllerPhase());
  EXPECT_EQ(-1, RunEnginePhase());
  EXPECT_EQ("SDK Load Failed Error. \nSDK Load Failed Error. \n", console.Text());
  EXPECT_TRUE(fake.Calls().empty());
}

}  // namespace
