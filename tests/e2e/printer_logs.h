// What the simulated printers saw, read back from their logs after a run,
// and the rules every run must keep: no frame a printer rejected unless the
// test expected it, every image in 4096-byte pieces and its rest, and the
// engine phase's printers started at least a worker spacing apart.
#pragma once
#include <string>
#include <vector>

namespace e2e {

struct LogProblem {
  int printer;  // 0: the run as a whole
  std::string what;
};

// Checks the logs of printers 1..printers in dir. expectedRejections[k-1]
// lists parts of the `!` lines that printer k may show.
// timing: also check the engine workers' spacing and start delay, which
// only hold when no transfer held the library for its whole limit.
std::vector<LogProblem> CheckPrinterLogs(const std::string& dir, int printers,
                                         const std::vector<std::vector<std::string>>& expectedRejections,
                                         bool timing = true);

}  // namespace e2e
