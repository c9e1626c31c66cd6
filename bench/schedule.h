// The shortest a whole update can take: the schedule of the pauses the
// updater and the library must make, the library lock and WriteLock, with
// every library call instant and the images moving at a given rate. A real
// run is judged against it; the gap is what our own code and the bus add.
#pragma once
#include <cstdint>

namespace bench {

struct UpdateRun {
  int printers = 1;
  uint64_t controllerBytes = 0;  // the USB image
  uint64_t engineBytes = 0;      // each of MAIN, DSP and TABLE
  double bytesPerSecond = 1;     // the bus's raw rate for bulk data
  // How much longer than its bytes an engine image's last piece takes: the
  // printer acknowledges it once it has stored the image. (The controller
  // image, at most 64 KiB, is left at its bytes.)
  double engineSettleMs = 0;
};

struct UpdateMinimum {
  double controllerPhaseMs = 0;
  double enginePhaseMs = 0;
  double TotalMs() const { return controllerPhaseMs + enginePhaseMs; }
};

// For a run in which every printer succeeds with all wait times 0, a
// storing time of 0 and a ready status before MAIN (so every wait is a
// countdown of one 500 ms pause). Locks are granted in the order asked for.
UpdateMinimum MinimumUpdateTime(const UpdateRun& run);

}  // namespace bench
