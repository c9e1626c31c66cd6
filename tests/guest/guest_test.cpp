// Real printers on a real kernel: each test boots Debian's own kernel under
// QEMU with the simulator's printers plugged in as USB devices through
// USB/IP (q7730-usbip), runs the real Q7730upgrade, q7730-probe and the
// default libusb wirelet.dll there, and compares on this side what every
// printer stored and logged.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>

#include "e2e_support.h"
#include "printer_logs.h"

namespace e2e {
namespace {

constexpr int kBootLimitSeconds = 150;

struct GuestRun {
  bool finished = false;   // the guest ran its scenario to the end
  std::string console;     // its serial console
  std::string runnerOutput;

  // The exit status the guest recorded for run NAME; -1 when none.
  int StatusOf(const std::string& name) const {
    std::string key = "q7730-guest: status " + name + " ";
    size_t at = console.find(key);
    return at == std::string::npos ? -1 : std::atoi(console.c_str() + at + key.size());
  }
};

class GuestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_.WritePackage(newSet_, oldSet_);
    // The guest's own libusb wirelet.dll is copied in by the scenario.
    std::remove((bench_.dir() + "/wirelet.dll").c_str());
  }

  // Boots the guest with run.sh = script (see guest-init.sh for the helpers)
  // and scenario.ini for printers.
  GuestRun Boot(const std::string& script, const std::string& scenario) {
    WriteFile(bench_.dir() + "/run.sh", script);
    if (!scenario.empty()) WriteFile(bench_.dir() + "/scenario.ini", scenario);
    RunResult run = e2e::Run({"bash", GUEST_RUN, "--image", GUEST_IMAGE, "--scenario", bench_.dir(),
                         "--timeout", std::to_string(kBootLimitSeconds)},
                        bench_.dir(), kBootLimitSeconds + 30);
    GuestRun guest;
    guest.finished = run.status == 0;
    guest.runnerOutput = run.output;
    guest.console = ReadFile(bench_.dir() + "/console.txt");
    return guest;
  }

  std::string Result(const std::string& name) const {
    return ReadFile(bench_.dir() + "/results/" + name);
  }

  // What the guest saw, for a failing test.
  std::string Story(const GuestRun& guest) const {
    return guest.runnerOutput + "\n--- console\n" + guest.console + "\n--- run.log\n" +
           Result("run.log") + "\n--- upgrade.out\n" + Result("upgrade.out") +
           "\n--- usbip.out\n" + Result("usbip.out");
  }

  void ExpectStoredSet(int printer, const BoardSet& set) { bench_.ExpectStoredSet(printer, set); }
  void ExpectEngineSet(int printer, const BoardSet& set) {
    EXPECT_EQ(bench_.Stored(printer, kMain), set.main) << "printer " << printer;
    EXPECT_EQ(bench_.Stored(printer, kDsp), set.dsp) << "printer " << printer;
    EXPECT_EQ(bench_.Stored(printer, kTable), set.table) << "printer " << printer;
  }

  // The printers' logs keep the rules of every run (printer_logs.h).
  void ExpectLogsKeepTheRules(int printers, const std::vector<std::vector<std::string>>& rejections = {}) {
    for (const LogProblem& problem : CheckPrinterLogs(bench_.dir(), printers, rejections))
      ADD_FAILURE() << "printer " << problem.printer << ": " << problem.what;
  }

  Bench bench_;
  BoardSet newSet_ = MakeSet(10);
  BoardSet oldSet_ = MakeSet(20, Waits::kShort, 8500);
};

const char kStart[] =
    "start_udevd\n"
    "start_sim $PRINTERS\n"
    "start_usbip $PLUGGED\n"
    "cp /opt/q7730/wirelet.dll /scenario/\n";

std::string Start(int printers, int plugged) {
  std::string text = kStart;
  text.replace(text.find("$PRINTERS"), 9, std::to_string(printers));
  text.replace(text.find("$PLUGGED"), 8, std::to_string(plugged));
  return text;
}

TEST_F(GuestTest, ThreePrintersOfBothBoardsAreUpdatedAndGivenBackToUsblp) {
  GuestRun guest = Boot(Start(3, 3) +
                            "run upgrade Q7730upgrade Q7730.ini\n"
                            "wait_printers 3\n"
                            "ls /sys/bus/usb/drivers/usblp >results/usblp.txt\n",
                        QuickStoreScenario(3, {{2, "board = E0100000"}}));
  ASSERT_TRUE(guest.finished) << Story(guest);
  std::string out = Result("upgrade.out");
  EXPECT_EQ(guest.StatusOf("upgrade"), 0) << Story(guest);
  EXPECT_EQ(Count(out, "Detected 3 printer(s)\n"), 2) << out;
  for (const char* port : {"01", "02", "03"})
    EXPECT_EQ(Count(out, std::string("Firmware download complete... #printer ") + port), 2) << out;
  ExpectStoredSet(1, newSet_);
  ExpectStoredSet(2, oldSet_);
  ExpectStoredSet(3, newSet_);
  ExpectLogsKeepTheRules(3);
  // The kernel's printer driver has every printer back.
  std::string bound = Result("usblp.txt");
  for (const char* interface : {"1-1:1.0", "1-2:1.0", "1-3:1.0"})
    EXPECT_NE(bound.find(interface), std::string::npos) << bound << Story(guest);
}

TEST_F(GuestTest, APrinterPluggedInAfterTheLibraryWasLoadedIsFoundThroughUdev) {
  GuestRun guest = Boot(Start(2, 1) +
                            "q7730-guest-find >results/find.out 2>&1 &\n"
                            "finder=$!\n"
                            "i=0; while ! grep -q before results/find.out && [ $i -lt 100 ]; do"
                            " sleep 0.1; i=$((i+1)); done\n"
                            "q7730-sim --dir /scenario --plug 2\n"
                            "wait_printers 2\n"
                            "touch go\n"
                            "wait $finder\n"
                            "say \"status find $?\"\n",
                        QuickStoreScenario(2, {{2, "plugged = 0"}}));
  ASSERT_TRUE(guest.finished) << Story(guest);
  std::string found = Result("find.out");
  EXPECT_EQ(guest.StatusOf("find"), 0) << found << Story(guest);
  EXPECT_NE(found.find("before 1\n"), std::string::npos) << found;
  EXPECT_NE(found.find("after 2\n"), std::string::npos) << found << Story(guest);
  EXPECT_NE(found.find("status 2 0\n"), std::string::npos) << found;
}

TEST_F(GuestTest, UnpluggedInTheMiddleOfAnImageOnlyThatPrinterFails) {
  // Printer 2 is pulled 6000 bytes into MAIN (after its 9000-byte
  // controller image).
  GuestRun guest = Boot(Start(3, 3) + "run upgrade Q7730upgrade Q7730.ini\n",
                        QuickStoreScenario(3, {{2, "unplug_after_bytes = 15000"}}));
  ASSERT_TRUE(guest.finished) << Story(guest);
  std::string out = Result("upgrade.out");
  // An installer script must not read this run as a success.
  EXPECT_EQ(guest.StatusOf("upgrade"), 255) << Story(guest);
  bool failed = Count(out, "Firmware download failed (2600)... #printer 02") == 1 ||
                Count(out, "Firmware download failed (1000)... #printer 02") == 1;
  EXPECT_TRUE(failed) << out;
  EXPECT_EQ(Count(out, "Firmware download complete... #printer 02"), 1) << "only its controller" << out;
  EXPECT_EQ(bench_.Stored(2, kUsb), TrailerFirst(newSet_.usb));
  EXPECT_FALSE(bench_.HasStored(2, kMain)) << "a half image was stored";
  EXPECT_FALSE(FileExists(bench_.dir() + "/printers/2/stored/target-1.bin.part"));
  EXPECT_FALSE(bench_.HasStored(2, kDsp));
  ExpectStoredSet(1, newSet_);
  ExpectStoredSet(3, newSet_);
  ExpectLogsKeepTheRules(3, {{}, {"unplugged"}, {}});
}

TEST_F(GuestTest, AnUnprivilegedUserNeedsTheRuleAndWithItUpdates) {
  std::string rule = ReadFile(PACKAGE_RULE);
  ASSERT_FALSE(rule.empty());
  WriteFile(bench_.dir() + "/70-zem-q7730.rules", rule);
  // uaccess needs a user logged in at a seat, which a service or an SSH
  // session is not: a group rule beside it, for the group q7730 that the
  // user "operator" belongs to (not lp: Debian's own rules already let lp
  // write to printers).
  WriteFile(bench_.dir() + "/71-zem-q7730-group.rules",
            "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"7a3d\", "
            "ATTR{idProduct}==\"00b4\", MODE=\"0660\", GROUP=\"q7730\"\n");
  GuestRun guest = Boot(
      Start(1, 1) +
          "as_operator() { su -s /bin/sh operator -c \"cd /scenario && $*\"; }\n"
          "run probe as_operator q7730-probe Q7730.ini\n"
          "cp 70-zem-q7730.rules 71-zem-q7730-group.rules /etc/udev/rules.d/\n"
          "udevadm control --reload\n"
          // As the README tells: unplug the printer and plug it in again.
          "q7730-sim --dir /scenario --unplug 1\n"
          "i=0; while grep -q 00b4 /sys/bus/usb/devices/*/idProduct 2>/dev/null && [ $i -lt 100 ];"
          " do sleep 0.1; i=$((i+1)); done\n"
          "q7730-sim --dir /scenario --plug 1\n"
          "wait_printers 1\n"
          "udevadm settle\n"
          "ls -l /dev/bus/usb/001/ >results/nodes.txt\n"
          "run upgrade as_operator Q7730upgrade Q7730.ini\n",
      QuickStoreScenario(1));
  ASSERT_TRUE(guest.finished) << Story(guest);
  std::string probe = Result("probe.out");
  EXPECT_NE(probe.find("permission denied"), std::string::npos) << probe << Story(guest);
  EXPECT_NE(probe.find("70-zem-q7730.rules"), std::string::npos) << probe;
  EXPECT_EQ(guest.StatusOf("upgrade"), 0) << Result("nodes.txt") << Story(guest);
  ExpectStoredSet(1, newSet_);
}

TEST_F(GuestTest, APrinterThatStallsOnOneCommandAnswersTheNext) {
  // Printer 1's first firmware-information request stalls its bulk-out
  // endpoint. The updater takes the fallback board set (old) for its
  // controller image, and the announcement after the stall goes through
  // only because the halt was cleared; in the engine phase its information
  // reads again (new board).
  GuestRun guest = Boot(Start(2, 2) + "run upgrade Q7730upgrade Q7730.ini\n",
                        QuickStoreScenario(2, {{1, "fault_info1 = stall @1"}}));
  ASSERT_TRUE(guest.finished) << Story(guest);
  std::string out = Result("upgrade.out");
  EXPECT_EQ(guest.StatusOf("upgrade"), 0) << Story(guest);
  EXPECT_EQ(Count(out, "usb_get_firmware_info = 2600 \n"), 1) << out;
  EXPECT_EQ(Count(out, "USB Firmware download complete... #printer 01"), 1) << out;
  EXPECT_EQ(Count(out, "Firmware download complete... #printer 01"), 2) << out;
  EXPECT_EQ(bench_.Stored(1, kUsb), TrailerFirst(oldSet_.usb));
  ExpectEngineSet(1, newSet_);
  ExpectStoredSet(2, newSet_);
  ExpectLogsKeepTheRules(2, {{"stalled"}, {}});
}

}  // namespace
}  // namespace e2e
