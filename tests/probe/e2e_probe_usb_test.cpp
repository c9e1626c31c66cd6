// The usb-bus q7730-probe with the libusb wirelet.dll, the simulator's
// printers made USB devices by q7730-usb-bridge: beside an update, beside
// another user's program that holds a printer, and for a user without the
// udev rule.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

constexpr int kUsb = 6, kMain = 1, kDsp = 0, kTable = 2;
constexpr char kPath[] = "\\\\\\\\?\\\\usb#vid_7a3d&pid_00b4#1-1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
// The testbed's device files made usable by any user; the scripts below
// take them away again where a test says.
constexpr char kOpenTestbed[] = "chmod -R a+rwX \"$UMOCKDEV_DIR\"\n";
constexpr char kAsNobody[] = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
// Waits (at most a minute) until the update has announced printer 1's
// controller image; it holds the printer until its countdown is over.
constexpr char kAwaitControllerImage[] =
    "i=0; until grep -q 'Downloading USB file' update.out; do sleep 0.05; i=$((i+1)); [ $i -lt 1200 ] || break; "
    "done\n";

BoardSet MakeSet(uint8_t seed) {
  BoardSet set{Pattern(9000, seed), Pattern(20000, seed + 1), Pattern(9000, seed + 2), Pattern(5000, seed + 3)};
  set.usbWait = 3000;  // room for the probe while the update holds printer 1
  set.mainWait = set.dspWait = set.tableWait = 600;
  return set;
}

// A JSON report of one printer at 1-1 that the probe did not ask.
std::string OnePrinterNotAsked(const std::string& open, const std::string& skipped, const std::string& notes) {
  return std::string("{\n  \"printers\": [\n    {\n      \"port\": 1,\n      \"path\": \"") + kPath +
         "\",\n      \"open\": " + open +
         ",\n      \"in_use\": true,\n      \"status\": null,\n      \"status_code\": null,\n"
         "      \"firmware\": null,\n      \"firmware_code\": null,\n      \"board\": null,\n"
         "      \"board_from\": null,\n      \"program\": null,\n      \"skipped\": \"" +
         skipped + "\",\n      \"receives\": null\n    }\n  ],\n  \"package\": null,\n  \"notes\": [" + notes +
         "],\n  \"advice\": null\n}\n";
}

class UsbProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_.WritePackage(newSet_, oldSet_);
    bench_.InstallLibrary(USB_LIBRARY_PATH);
    bench_.StartSimulator(1, "[printer1]\nstore_ms = 100\n");
  }
  void TearDown() override { bench_.VerifyPrinterLogs(); }

  // Runs script with sh under the bridge in the bench's folder; $PROBE and
  // $UPDATER name the programs. The result is the script's.
  RunResult UnderBridge(const std::vector<std::string>& options, const std::string& script) {
    std::vector<std::string> argv = {USB_BRIDGE_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", script});
    return e2e::Run(argv, bench_.dir(), 240, {"PROBE=" PROBE_USB_PATH, "UPDATER=" UPDATER_PATH});
  }

  // Whether a user other than root can run the programs here; the tests
  // that need one are skipped otherwise.
  bool OtherUserCanRun() {
    if (geteuid() != 0 || chmod(bench_.dir().c_str(), 0755) != 0) return false;
    std::string check = std::string(kAsNobody) + "sh -c 'test -x \"" PROBE_USB_PATH "\" && test -x \"" UPDATER_PATH
                        "\" && test -r \"" + bench_.dir() + "/wirelet.dll\"' 2>/dev/null";
    return std::system(check.c_str()) == 0;
  }

  std::string Text(const std::string& name) const { return ReadFile(bench_.dir() + "/" + name); }

  void ExpectStoredSet(const BoardSet& set) {
    EXPECT_EQ(bench_.Stored(1, kUsb), TrailerFirst(set.usb));
    EXPECT_EQ(bench_.Stored(1, kMain), set.main);
    EXPECT_EQ(bench_.Stored(1, kDsp), set.dsp);
    EXPECT_EQ(bench_.Stored(1, kTable), set.table);
  }

  Bench bench_;
  BoardSet newSet_ = MakeSet(50);
  BoardSet oldSet_ = MakeSet(60);
};

TEST_F(UsbProbeTest, BesideAnUpdateNoPrinterIsOpenedAndTheUpdateCompletes) {
  RunResult run = UnderBridge({"--other", "7a3d:00b4"},
                              "\"$UPDATER\" Q7730.ini > update.out 2>&1 & u=$!\n" + std::string(kAwaitControllerImage) +
                                  "\"$PROBE\" --json > probe.json 2>&1; echo $? > probe.status\n"
                                  "wait $u\n");
  EXPECT_EQ(run.status, 0) << run.output << Text("update.out");
  EXPECT_EQ(Text("probe.status"), "0\n");
  EXPECT_EQ(Text("probe.json"),
            OnePrinterNotAsked("null", "an update is running",
                               "\n    {\"path\": null, \"device\": null, \"problem\": \"an update is running: no "
                               "printer was opened\"},\n    {\"path\": null, \"device\": \"/dev/bus/usb/001/004\", "
                               "\"problem\": \"has the printer's ids but no printer interface\"}\n  "));
  ExpectStoredSet(newSet_);
}

TEST_F(UsbProbeTest, APrinterAnotherUsersProgramHoldsIsInUse) {
  if (!OtherUserCanRun()) GTEST_SKIP() << "needs root, setpriv and a build that user nobody may run";
  // Its update takes its own instance mutex, so the probe opens the port.
  RunResult run = UnderBridge({}, std::string(kOpenTestbed) + kAsNobody +
                                      "\"$UPDATER\" Q7730.ini > update.out 2>&1 & u=$!\n" + kAwaitControllerImage +
                                      "\"$PROBE\" --json > probe.json 2>&1; echo $? > probe.status\n"
                                      "kill $u; wait $u; exit 0\n");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Text("probe.status"), "0\n");
  EXPECT_EQ(Text("probe.json"), OnePrinterNotAsked("1000", "another program holds it", "")) << Text("update.out");
  EXPECT_EQ(bench_.Stored(1, kUsb), TrailerFirst(newSet_.usb)) << "the update lost its printer";
}

TEST_F(UsbProbeTest, WithoutTheUdevRuleTheProbeSaysWhyThePrinterIsNotFound) {
  if (!OtherUserCanRun()) GTEST_SKIP() << "needs root, setpriv and a build that user nobody may run";
  // The printer's device file as the system leaves it without the rule: root's only.
  RunResult run = UnderBridge({}, std::string(kOpenTestbed) + "chmod 600 \"$UMOCKDEV_DIR/dev/bus/usb/001/003\"\n" +
                                      kAsNobody + "\"$PROBE\" --json");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_EQ(run.output, std::string("{\n  \"printers\": [],\n  \"package\": null,\n  \"notes\": [\n    {\"path\": \"") +
                            kPath +
                            "\", \"device\": \"/dev/bus/usb/001/003\", \"problem\": \"cannot be opened: permission "
                            "denied\"}\n  ],\n  \"advice\": \"Without the udev rule only root may open the printers: "
                            "install the package (or copy packaging/70-zem-q7730.rules to /etc/udev/rules.d/), then "
                            "unplug each printer and plug it in again. See the README, \\\"A printer that is not "
                            "found\\\".\"\n}\n");
}

}  // namespace
}  // namespace e2e
