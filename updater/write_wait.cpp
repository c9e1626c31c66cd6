// Write-completion waiting and countdowns.
#include "write_wait.h"

#include "device_library.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr uint32_t kStatusPauseMs = 300;
constexpr uint32_t kLinePauseMs = 500;
constexpr uint32_t kFirstPollDelayMs = 2000;

// One countdown line; kinds without a line print nothing. The line ends in
// "\r" so the next one overwrites it.
void PrintRemaining(uint8_t kind, bool withUsb, int port, uint32_t seconds) {
  int s = static_cast<int>(seconds);
  switch (kind) {
    case kWriteMain:
      platform::Print("#printer %.2d  Writing firmware (MAIN).  Remaining %d  sec. \r", port, s);
      break;
    case kWriteDsp:
      platform::Print("#printer %.2d  Writing firmware (DSP).   Remaining %d  sec. \r", port, s);
      break;
    case kWriteTable:
      platform::Print("#printer %.2d  Writing firmware (TABLE). Remaining %d  sec. \r", port, s);
      break;
    case kWriteUsb:
      if (withUsb)
        platform::Print("#printer %.2d  Writing firmware (USB).   Remaining %d  sec. \r", port, s);
      break;
    default:
      break;
  }
}

}  // namespace

int ClassifyStatus(StatusCode status) {
  switch (status) {
    case 0:
    case 2305:
    case 2306:
    case 2307:
    case 2309:
    case 2500:
      return kStatusReady;
    default:
      break;
  }
  if (status >= 2101 && status <= 2107) return kStatusBusy;
  return kStatusFailed;
}

int CheckPrinterStatus(int port, StatusCode& status) {
  StatusCode local = 0;
  deviceLibrary.usb_get_status(port, &local);  // only the code it leaves counts
  int statusClass = ClassifyStatus(local);
  platform::SleepMs(kStatusPauseMs);
  status = local;
  return statusClass;
}

int WaitWriteComplete(uint8_t kind, int port, uint32_t waitMs, StatusCode& status) {
  platform::SleepMs(kFirstPollDelayMs);
  // Differences of readings modulo 2^32 survive a wrap of the tick count.
  uint32_t start = platform::TickCount();
  int statusClass;
  for (;;) {
    statusClass = CheckPrinterStatus(port, status);
    if (statusClass != kStatusBusy) break;
    uint32_t elapsed = platform::TickCount() - start;
    if (elapsed > waitMs) break;
    uint32_t seconds = (waitMs - elapsed) / 1000;
    PrintRemaining(kind, false, port, seconds);
    platform::SleepMs(kLinePauseMs);
    if (seconds == 0) break;
  }
  platform::Print("\n\n");
  return statusClass;
}

void CountDown(uint8_t kind, int port, uint32_t waitMs, StatusCode& status) {
  uint32_t start = platform::TickCount();
  for (;;) {
    status = 0;
    uint32_t elapsed = platform::TickCount() - start;
    if (elapsed > waitMs) break;
    uint32_t seconds = (waitMs - elapsed) / 1000;
    PrintRemaining(kind, true, port, seconds);
    platform::SleepMs(kLinePauseMs);
    if (seconds == 0) break;
  }
  platform::Print("\n\n");
}
