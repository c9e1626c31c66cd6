// A built wirelet.dll against q7730-sim: loading and unloading, a whole
// controller image, and the faults that only a real bus and another process
// show (device mutex, silence, unplugging). Built once per bus: the sim-bus
// library, and the usb-bus library with the simulator's printers as USB
// devices (LIBRARY_PATH and library_bus_*.cpp say which).
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/shared_library.h"
#include "library_bus.h"
#include "platform/usb_bus.h"
#include "wirelet.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Bytes ReadBytes(const std::string& path) {
  std::string text = ReadText(path);
  return Bytes(text.begin(), text.end());
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int Finish(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunToEnd(const std::vector<std::string>& args) { return Finish(Spawn(args)); }

// The 13 exports of one load of the library.
struct Library {
  platform::LibraryHandle handle = nullptr;
  UsbFindFirstFn findFirst = nullptr;
  UsbFindNextFn findNext = nullptr;
  UsbOpenPortFn openPort = nullptr;
  UsbClosePortFn closePort = nullptr;
  UsbGetStatusFn getStatus = nullptr;
  UsbWriteDataFn writeData = nullptr;
  UsbGetFirmwareInfoFn getFirmwareInfo = nullptr;
  UsbTargetUpdateFn targetUpdate = nullptr;
  UsbUniversalCommandFn universalCommand = nullptr;
  int bound = 0;

  template <typename Fn>
  void Bind(Fn* fn, const char* name) {
    *fn = reinterpret_cast<Fn>(platform::FindSymbol(handle, name));
    if (*fn != nullptr) ++bound;
  }

  bool Load() {
    bound = 0;
    handle = platform::LoadSharedLibrary(LIBRARY_PATH);
    if (handle == nullptr) return false;
    const char* others[] = {"usb_command_send", "usb_command_recv", "usb_command_data",
                            "usb_get_id"};
    for (const char* name : others)
      if (platform::FindSymbol(handle, name) != nullptr) ++bound;
    Bind(&findFirst, "usb_find_first");
    Bind(&findNext, "usb_find_next");
    Bind(&openPort, "usb_open_port");
    Bind(&closePort, "usb_close_port");
    Bind(&getStatus, "usb_get_status");
    Bind(&writeData, "usb_write_data");
    Bind(&getFirmwareInfo, "usb_get_firmware_info");
    Bind(&targetUpdate, "usb_target_update");
    Bind(&universalCommand, "usb_universal_command");
    return bound == 13;
  }

  void Unload() {
    platform::UnloadSharedLibrary(handle);
    handle = nullptr;
  }
};

// Whether the library file is mapped into this process.
bool LibraryMapped() {
  char resolved[PATH_MAX];
  if (realpath(LIBRARY_PATH, resolved) == nullptr) return false;
  return ReadText("/proc/self/maps").find(resolved) != std::string::npos;
}

class SimLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wirelet-sim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
    // The sim bus looks for the simulator in the current directory only.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }

  void TearDown() override {
    if (library_.handle != nullptr) library_.Unload();
    librarytest::StopBus();
    StopSimulator();
    EXPECT_EQ(chdir(cwd_.c_str()), 0);
    RunToEnd({"/bin/rm", "-rf", dir_});
  }

  // Printers get instance names of their own, so that simulators of tests
  // running side by side never share a device mutex.
  void StartSimulator(int printers, const std::string& extra = "") {
    std::ostringstream scenario;
    scenario << "[sim]\nprinters = " << printers << "\n";
    for (int k = 1; k <= printers; ++k) {
      scenario << "[printer" << k << "]\ninstance = wl" << getpid() << "p" << k << "\n";
      if (k == 1) scenario << extra;
    }
    std::ofstream(dir_ + "/scenario.ini") << scenario.str();
    sim_ = Spawn({SIM_PATH, "--dir", dir_, "--printers", std::to_string(printers), "--scenario",
                  dir_ + "/scenario.ini"});
    ASSERT_GT(sim_, 0);
    ASSERT_EQ(RunToEnd({SIM_PATH, "--dir", dir_, "--wait", "10000"}), 0);
    librarytest::StartBus(dir_);
  }

  // Waits until the bus lists count printers: the simulator's plugging
  // reaches a USB bus a moment after the simulator has done it.
  bool WaitForPrinters(size_t count) {
    for (int i = 0; i < 1000; ++i) {
      size_t listed = 0;
      while (platform::usb::EnumerateInterface(static_cast<uint16_t>(listed), nullptr, 0) != 0)
        ++listed;
      if (listed == count) return true;
      platform::SleepMs(10);
    }
    return false;
  }

  void StopSimulator() {
    if (sim_ <= 0) return;
    kill(sim_, SIGTERM);
    Finish(sim_);
    sim_ = -1;
  }

  std::string PrinterFile(int printer, const std::string& name) const {
    return dir_ + "/printers/" + std::to_string(printer) + "/" + name;
  }

  int CountOut(int printer) const {
    std::string log = ReadText(PrinterFile(printer, "frames.log"));
    int n = 0;
    for (size_t at = 0; (at = log.find("out ", at)) != std::string::npos; ++at)
      if (at == 0 || log[at - 1] == '\n') ++n;
    return n;
  }

  // Opens port 1 of a fresh pass.
  void OpenFirst() {
    ASSERT_TRUE(library_.Load());
    ASSERT_EQ(library_.findFirst(), 1);
    ASSERT_EQ(library_.openPort(1), kStatusOk);
  }

  std::string dir_;
  std::string cwd_;
  pid_t sim_ = -1;
  Library library_;
};

TEST_F(SimLibrary, SecondLoadStartsFresh) {
  StartSimulator(2);
  ASSERT_TRUE(library_.Load());
  ASSERT_TRUE(LibraryMapped());
  EXPECT_EQ(library_.findFirst(), 1);
  EXPECT_EQ(library_.findNext(), 2);
  EXPECT_EQ(library_.openPort(2), kStatusOk);
  EXPECT_EQ(library_.closePort(2), kStatusOk);
  library_.Unload();
  EXPECT_FALSE(LibraryMapped()) << "the library stayed loaded";

  ASSERT_TRUE(library_.Load());
  // No pass has run in this load: no port is known yet.
  EXPECT_EQ(library_.openPort(1), kStatusUnknownPort);
  EXPECT_EQ(library_.findNext(), 0);
  EXPECT_EQ(library_.findFirst(), 1);
  EXPECT_EQ(library_.openPort(1), kStatusOk);
  EXPECT_EQ(library_.closePort(1), kStatusOk);
}

// A caller that unloads the library with an image half sent and its port
// still open: the printer is given back to other processes, and nothing of
// the port is left behind (no thread in code that is gone, no session).
TEST_F(SimLibrary, UnloadWithAnImageHalfSentGivesThePrinterBack) {
  StartSimulator(1);
  OpenFirst();
  StatusCode status = 0;
  Bytes image(10000, 0x5a);
  ASSERT_EQ(library_.targetUpdate(1, 1, 0, static_cast<int>(image.size()), &status), 1);
  ASSERT_EQ(library_.writeData(1, image.data(), 4096, &status), 1);
  library_.Unload();
  EXPECT_FALSE(LibraryMapped());
  char path[300] = {};
  ASSERT_GT(platform::usb::EnumerateInterface(0, path, sizeof path), 4u);
  std::string ready = dir_ + "/held";
  pid_t holder = Spawn({HOLDER_PATH, path + 4, "0", ready});
  ASSERT_GT(holder, 0);
  for (int i = 0; i < 1000 && !Exists(ready); ++i) platform::SleepMs(5);
  EXPECT_TRUE(Exists(ready)) << "the unloaded library still holds the printer";
  if (!Exists(ready)) kill(holder, SIGKILL);
  Finish(holder);
  // Alive, and the image never counts as stored.
  platform::SleepMs(100);
  EXPECT_FALSE(Exists(PrinterFile(1, "stored/target-1.bin")));
}

TEST_F(SimLibrary, ControllerImageEndToEnd) {
  StartSimulator(1);
  OpenFirst();
  uint8_t record[300] = {};
  StatusCode status = 0xFFFF;
  ASSERT_EQ(library_.getFirmwareInfo(1, record, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(record[0], 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record + 1), 8), "E0208000");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record + 39), 8), "E0211600");

  Bytes image(9000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
  ASSERT_EQ(library_.targetUpdate(1, 6, 0, static_cast<int>(image.size()), &status), 1);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(library_.writeData(1, image.data(), static_cast<int>(image.size()), &status), 1);
  EXPECT_EQ(status, 0);
  // Busy while storing, ready afterwards.
  int result = 0;
  for (int i = 0; i < 100 && (result = library_.getStatus(1, &status)) == 0; ++i) {
    EXPECT_TRUE(status >= kStatusBusyFirst && status <= kStatusBusyLast) << status;
    platform::SleepMs(50);
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ReadBytes(PrinterFile(1, "stored/target-6.bin")), image);

  const uint8_t premain[4] = {0x03, 0xF1, 0x3E, 0xA5};
  uint8_t reply[255];
  uint8_t replyLength = 0;
  EXPECT_EQ(library_.universalCommand(1, premain, 4, reply, &replyLength, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_NE(ReadText(PrinterFile(1, "frames.log")).find("out 8 ffc0040003f13ea5"),
            std::string::npos);
  EXPECT_EQ(ReadText(PrinterFile(1, "frames.log")).find("!"), std::string::npos)
      << "the printer rejected a frame:\n"
      << ReadText(PrinterFile(1, "frames.log"));
  EXPECT_EQ(library_.closePort(1), kStatusOk);
}

TEST_F(SimLibrary, DeviceMutexHeldByAnotherProcess) {
  StartSimulator(1);
  OpenFirst();
  char path[300] = {};
  ASSERT_GT(platform::usb::EnumerateInterface(0, path, sizeof path), 4u);
  std::string ready = dir_ + "/held";
  pid_t holder = Spawn({HOLDER_PATH, path + 4, "1500", ready});
  ASSERT_GT(holder, 0);
  for (int i = 0; i < 1000 && !Exists(ready); ++i) platform::SleepMs(5);
  ASSERT_TRUE(Exists(ready));
  int before = CountOut(1);
  StatusCode status = 0;
  EXPECT_EQ(library_.getStatus(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceBusy);
  EXPECT_EQ(CountOut(1), before) << "a frame went out while another process held the printer";
  EXPECT_EQ(Finish(holder), 0);
  EXPECT_EQ(library_.getStatus(1, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(CountOut(1), before + 1);
  EXPECT_EQ(library_.closePort(1), kStatusOk);
}

TEST_F(SimLibrary, PrinterThatNeverAnswers) {
  StartSimulator(1, "fault_status = noreply @1\n");
  OpenFirst();
  StatusCode status = 0;
  uint32_t start = platform::SystemTickCount();
  EXPECT_EQ(library_.getStatus(1, &status), 0);
  EXPECT_GE(platform::SystemTickCount() - start, 9900u);
  EXPECT_EQ(status, kStatusTransferFailed);
  // The pipe whose read was abandoned stays in use.
  EXPECT_EQ(library_.getStatus(1, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(library_.closePort(1), kStatusOk);
}

TEST_F(SimLibrary, UnplugBetweenCommands) {
  StartSimulator(1);
  OpenFirst();
  StatusCode status = 0;
  EXPECT_EQ(library_.getStatus(1, &status), 1);
  ASSERT_EQ(RunToEnd({SIM_PATH, "--dir", dir_, "--unplug", "1"}), 0);
  ASSERT_TRUE(WaitForPrinters(0));
  EXPECT_EQ(library_.getStatus(1, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(library_.closePort(1), kStatusOk);
  // Gone from the next pass.
  EXPECT_EQ(library_.findFirst(), 0);
}

}  // namespace
