// Running the real binaries in a scratch directory: a package on disk, the
// simulator, the updater, and what each simulated printer stored.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::vector<uint8_t>;

std::string ReadFile(const std::string& path);  // "" when missing
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
void WriteBytes(const std::string& path, const Bytes& bytes);
// Deterministic image content of the given size.
Bytes Pattern(size_t size, uint8_t seed);

struct RunResult {
  int status = -1;      // exit status, or -1 when killed by a signal
  std::string output;   // standard output and standard error
};

// Sees the output gathered so far, each time more has come.
using OutputWatcher = std::function<void(const std::string& output)>;

// Runs argv in directory cwd with extra environment entries ("NAME=value");
// kills it after timeoutSeconds.
RunResult Run(const std::vector<std::string>& argv, const std::string& cwd, int timeoutSeconds,
              const std::vector<std::string>& environment = {}, const OutputWatcher& watch = nullptr);

// The same, started now and collected later.
class BackgroundRun {
 public:
  BackgroundRun(const std::vector<std::string>& argv, const std::string& cwd,
                const std::vector<std::string>& environment = {});
  ~BackgroundRun();  // kills and reaps a run that was not finished
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;
  // Reads the output to its end (killing the run after timeoutSeconds),
  // showing it to watch as it comes, and waits for the exit. Once only.
  RunResult Finish(int timeoutSeconds, const OutputWatcher& watch = nullptr);
  // Sends SIGKILL (a watch may, while Finish runs); Finish then reaps it.
  void Kill();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

// Target numbers of the four images, as the printers store them.
constexpr int kUsb = 6, kMain = 1, kDsp = 0, kTable = 2;

// One firmware set of a package.
struct BoardSet {
  Bytes usb, main, dsp, table;
  int usbWait = 0, mainWait = 0, dspWait = 0, tableWait = 0;
};

// kShort: waits short but longer than the storing time of
// QuickStoreScenario's printers. kNone: every wait 0, one countdown line each.
enum class Waits { kShort, kNone };
// Images from seed: USB usbSize bytes, MAIN mainSize (megabytes for a run
// that must catch an image while it moves), DSP 9000 and TABLE 5000 bytes.
BoardSet MakeSet(uint8_t seed, Waits waits = Waits::kShort, size_t usbSize = 9000, size_t mainSize = 20000);
// printers sections with a short storing time, plus extra keys per printer.
std::string QuickStoreScenario(int printers, const std::map<int, std::string>& extra = {});

// A scratch directory holding a package, the sim-bus library and, once
// started, a simulator.
class Bench {
 public:
  Bench();
  ~Bench();
  const std::string& dir() const { return dir_; }

  // Puts a wirelet.dll in the directory (the runner's sim-bus one at first).
  void InstallLibrary(const std::string& path);

  // Writes Q7730.ini, newpcb/new.ini and oldpcb/old.ini with their images,
  // in the runner's way of writing paths and line ends.
  void WritePackage(const BoardSet& newBoard, const BoardSet& oldBoard, int mode = 1);

  // Starts q7730-sim with printers and an optional scenario text.
  void StartSimulator(int printers, const std::string& scenario = "");
  void StopSimulator();

  // Runs the updater as launcher followed by its own command line.
  void RunUpdaterThrough(const std::vector<std::string>& launcher) { launcher_ = launcher; }
  // The runner's updater with Q7730.ini, its console as the runner reads it.
  RunResult RunUpdater(int timeoutSeconds = 240, const std::vector<std::string>& environment = {},
                       const OutputWatcher& watch = nullptr);
  // Runs the updater and pulls printer k out (q7730-sim --unplug) once its
  // output shows trigger for the n-th time.
  RunResult RunUpdaterUnplugging(int printer, const std::string& trigger, int n = 1);
  // Any program, run in dir() like the updater.
  std::unique_ptr<BackgroundRun> Start(const std::vector<std::string>& argv,
                                       const std::vector<std::string>& environment = {});
  // For runs where a transfer overruns: the library forgets (never closes) a
  // pipe handle whose transfer it abandoned, so under the address sanitizer
  // that handle's memory is reported as leaked by design.
  void ExpectAbandonedHandles() { abandonsHandles_ = true; }
  RunResult RunSim(const std::vector<std::string>& args);

  // A `!` line that printer k (from 1) may show in this test: a part of it.
  void ExpectRejection(int printer, const std::string& part);
  // Adds a test failure for every rule the printers' logs show broken (see
  // printer_logs.h). Fixtures call it after each test.
  void VerifyPrinterLogs() const;
  // For runs where a transfer holds the library for its whole limit, so the
  // engine workers' timing says nothing of their spacing.
  void SkipTimingChecks() { checkTiming_ = false; }

  // What printer k (from 1) stored for a target number; empty when nothing.
  Bytes Stored(int printer, int target) const;
  bool HasStored(int printer, int target) const;
  // Adds a test failure unless printer k stored every image of set, byte for
  // byte, or when it stored anything for the targets named.
  void ExpectStoredSet(int printer, const BoardSet& set) const;
  void ExpectNothingStored(int printer, std::initializer_list<int> targets) const;
  std::string FramesLog(int printer) const;

 private:
  std::string dir_;
  pid_t sim_ = -1;
  int printers_ = 0;  // of the simulator started last
  bool checkTiming_ = true;
  std::vector<std::vector<std::string>> expectedRejections_;
  bool abandonsHandles_ = false;
  std::vector<std::string> launcher_;
};

// The controller image as the printer must receive it: trailer first.
Bytes TrailerFirst(const Bytes& image);

// Number of times needle occurs in text.
int Count(const std::string& text, const std::string& needle);

}  // namespace e2e
