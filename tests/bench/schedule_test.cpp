// The shortest update the benchmark judges real runs against: what the
// pauses alone give, and that images queue behind WriteLock and the library
// lock as they do in a run.
#include <gtest/gtest.h>

#include "schedule.h"

namespace {

using bench::MinimumUpdateTime;
using bench::UpdateRun;

// One printer, images of no size: nothing but the pauses.
TEST(UpdateSchedule, OnePrinterIsItsPauses) {
  UpdateRun run;
  run.bytesPerSecond = 1e6;
  auto minimum = MinimumUpdateTime(run);
  // Countdown of 0 ms (one 500 ms pause) and the close's 50 + 10 ms.
  EXPECT_DOUBLE_EQ(minimum.controllerPhaseMs, 560);
  // Start delay, status pause, three countdowns, 100 ms before the second
  // closing command, the close.
  EXPECT_DOUBLE_EQ(minimum.enginePhaseMs, 5000 + 300 + 3 * 500 + 100 + 60);

  run.controllerBytes = 65535;
  run.engineBytes = 1000000;
  minimum = MinimumUpdateTime(run);
  EXPECT_DOUBLE_EQ(minimum.controllerPhaseMs, 560 + 65.535);
  EXPECT_DOUBLE_EQ(minimum.enginePhaseMs, 6960 + 3 * 1000);

  // The printer's storing before it acknowledges an engine image's last piece.
  run.engineSettleMs = 40;
  minimum = MinimumUpdateTime(run);
  EXPECT_DOUBLE_EQ(minimum.controllerPhaseMs, 560 + 65.535);
  EXPECT_DOUBLE_EQ(minimum.enginePhaseMs, 6960 + 3 * 1040);
}

// Small images: each worker runs its pauses 300 ms after the one before.
TEST(UpdateSchedule, WorkersFollowTheirStarts) {
  UpdateRun run;
  run.printers = 10;
  run.engineBytes = 1000;
  run.bytesPerSecond = 1e9;
  auto minimum = MinimumUpdateTime(run);
  EXPECT_DOUBLE_EQ(minimum.controllerPhaseMs, 10 * 560);
  EXPECT_NEAR(minimum.enginePhaseMs, 9 * 300 + 6960, 0.01);
}

// Two printers, images of 1 s: the second worker's opening checks, due as
// the first image is, come before it, so its status pause runs beside that
// image; from then on every image and call waits for the one before.
TEST(UpdateSchedule, SecondWorkerChecksBesideTheFirstImage) {
  UpdateRun run;
  run.printers = 2;
  run.engineBytes = 1000000;
  run.bytesPerSecond = 1e6;
  auto minimum = MinimumUpdateTime(run);
  EXPECT_DOUBLE_EQ(minimum.controllerPhaseMs, 2 * 560);
  // Images 5300-6300 (first), 6300-7300 (second), then alternating to
  // 11300; the second's countdown, closing commands and close end at 11960.
  EXPECT_DOUBLE_EQ(minimum.enginePhaseMs, 11960);
}

// Large images: one moves at a time and holds the library lock meanwhile, so
// the phase lasts at least every image end to end, and every worker's calls
// wait behind another's image.
TEST(UpdateSchedule, ImagesQueueBehindEachOther) {
  UpdateRun run;
  run.printers = 3;
  run.engineBytes = 2000000;  // 2 s each at 1 MB/s
  run.bytesPerSecond = 1e6;
  auto minimum = MinimumUpdateTime(run);
  double images = 3 * 3 * 2000.0;
  EXPECT_GE(minimum.enginePhaseMs, 5000 + 300 + images + 500 + 100 + 60);
  EXPECT_LT(minimum.enginePhaseMs, 5000 + 300 + images + 3 * (500 + 100 + 60) + 600);
  // Less than if nothing overlapped.
  EXPECT_LT(minimum.enginePhaseMs, 3 * (6960 + 3 * 2000.0));
}

}  // namespace
