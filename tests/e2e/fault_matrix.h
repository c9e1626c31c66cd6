// The fault matrix: every scripted fault of the simulator crossed with every
// command and image where it can strike, in the controller phase and in the
// engine phase, each row with what the faulty printer must end with.
#pragma once
#include <string>
#include <vector>

namespace e2e {

struct MatrixRow {
  std::string name;                 // e.g. "engine info3 noreply"
  std::string keys;                 // scenario lines of the faulty printer
  std::vector<std::string> lines;   // console lines it causes, "%P" for its port
  // Final lines: 'c' complete, 'f' failed with the code, '-' none.
  char usb = 'c';
  int usbCode = 0;
  char engine = 'c';
  int engineCode = 0;
  // The run's exit status as far as this printer goes: 0 only when it ends
  // both phases complete, else 255 (-1).
  int status = 0;
  // The board set whose images it must store: 'n' new, 'o' old.
  char usbSet = 'n';
  char engineSet = 'n';
  std::string stored = "6102";          // targets it ends up storing
  std::vector<std::string> rejections;  // parts of its expected '!' lines
  bool gone = false;                    // pulled in the controller phase
  int timeouts = 0;                     // 10 s limits the row costs
};

// Every row, in a fixed order.
std::vector<MatrixRow> FaultMatrixRows();

// The rows in runs of at most perRun faulty printers; in each run the rows
// whose printer is gone by the engine phase come last, so that the others
// keep their port numbers.
std::vector<std::vector<MatrixRow>> FaultMatrixRuns(size_t perRun);

}  // namespace e2e
