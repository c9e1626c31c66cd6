// Running the real binaries in a scratch directory: a package on disk, the
// simulator, the updater, and what each simulated printer stored.
#pragma once
#include <sys/types.h>

#include <cstdint>
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

// Runs argv in directory cwd with extra environment entries ("NAME=value");
// kills it after timeoutSeconds.
RunResult Run(const std::vector<std::string>& argv, const std::string& cwd, int timeoutSeconds,
              const std::vector<std::string>& environment = {});

// One firmware set of a package.
struct BoardSet {
  Bytes usb, main, dsp, table;
  int usbWait = 0, mainWait = 0, dspWait = 0, tableWait = 0;
};

// A scratch directory holding a package, the sim-bus library and, once
// started, a simulator.
class Bench {
 public:
  Bench();
  ~Bench();
  const std::string& dir() const { return dir_; }

  // Writes Q7730.ini, newpcb/new.ini and oldpcb/old.ini with their images.
  void WritePackage(const BoardSet& newBoard, const BoardSet& oldBoard, int mode = 1);

  // Starts q7730-sim with printers and an optional scenario text.
  void StartSimulator(int printers, const std::string& scenario = "");
  void StopSimulator();

  // Replaces the library in the directory (the sim-bus one by default).
  void UseLibrary(const std::string& path);
  // Runs the updater as launcher followed by its own command line.
  void RunUpdaterThrough(const std::vector<std::string>& launcher) { launcher_ = launcher; }
  RunResult RunUpdater(int timeoutSeconds = 240);
  // For runs where a transfer overruns: the library forgets (never closes) a
  // pipe handle whose transfer it abandoned, so under the address sanitizer
  // that handle's memory is reported as leaked by design.
  void ExpectAbandonedHandles() { abandonsHandles_ = true; }
  RunResult RunSim(const std::vector<std::string>& args);

  // What printer k (from 1) stored for a target number; empty when nothing.
  Bytes Stored(int printer, int target) const;
  bool HasStored(int printer, int target) const;
  std::string FramesLog(int printer) const;

 private:
  std::string dir_;
  pid_t sim_ = -1;
  bool abandonsHandles_ = false;
  std::vector<std::string> launcher_;
};

// The controller image as the printer must receive it: trailer first.
Bytes TrailerFirst(const Bytes& image);

// Number of times needle occurs in text.
int Count(const std::string& text, const std::string& needle);

}  // namespace e2e
