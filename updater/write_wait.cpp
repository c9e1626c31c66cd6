// Write-completion waiting and countdowns.
#include "write_wait.h"

#include "device_library.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr uint32_t kStatusPauseMs = 300;
constexpr uint32_t kLinePauseMs = 500;
constexpr uint32_t kFirstPollDelayMs = 2000;

// The label of each kind's countdown line, padded by the line's format to
// line up the columns; the polling wait has no USB line.
const char* const kCountdownLabels[] = {nullptr, "(MAIN).", "(DSP).", "(TABLE).", "(USB)."};

// One countdown line; kinds without a line print nothing. The line ends in
// "\r" so the next one overwrites it.
void PrintRemaining(uint8_t kind, bool withUsb, int port, uint32_t seconds) {
  if (kind < kWriteMain || kind > kWriteUsb || (kind == kWriteUsb && !withUsb)) return;
  platform::Print("#printer %.2d  Writing firmware %-8s Remaining %d  sec. \r", port,
                  kCountdownLabels[kind], static_cast<int>(seconds));
}

// One step of a countdown that began at start: false when the time is up
// (no line then) or the line just shown was the one with 0 seconds.
bool CountDownStep(uint8_t kind, bool withUsb, int port, uint32_t start, uint32_t waitMs) {
  // Differences of readings modulo 2^32 survive a wrap of the tick count.
  uint32_t elapsed = platform::TickCount() - start;
  if (elapsed > waitMs) return false;
  uint32_t seconds = (waitMs - elapsed) / 1000;
  PrintRemaining(kind, withUsb, port, seconds);
  platform::SleepMs(kLinePauseMs);
  return seconds > 0;
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
  uint32_t start = platform::TickCount();
  int statusClass;
  do {
    statusClass = CheckPrinterStatus(port, status);
  } while (statusClass == kStatusBusy && CountDownStep(kind, false, port, start, waitMs));
  platform::Print("\n\n");
  return statusClass;
}

void CountDown(uint8_t kind, int port, uint32_t waitMs, StatusCode& status) {
  uint32_t start = platform::TickCount();
  do {
    status = 0;
  } while (CountDownStep(kind, true, port, start, waitMs));
  platform::Print("\n\n");
}
