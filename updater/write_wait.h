// Waiting while a printer stores what it was sent: one status check, a
// polling wait with a countdown, and a plain countdown.
#pragma once
#include <cstdint>

#include "wirelet.h"

// Status classes.
constexpr int kStatusReady = 1;
constexpr int kStatusBusy = 0;
constexpr int kStatusFailed = -1;

// Selects the countdown line.
enum WriteKind : uint8_t { kWriteMain = 1, kWriteDsp = 2, kWriteTable = 3, kWriteUsb = 4 };

// The class of a status that usb_get_status delivered.
int ClassifyStatus(StatusCode status);

// Asks the printer once (then pauses 300 ms). Returns the class and leaves
// the code received in status.
int CheckPrinterStatus(int port, StatusCode& status);

// Polls after a 2000 ms pause until the printer is ready or failed or waitMs
// has run out, showing the remaining seconds (kinds MAIN, DSP, TABLE).
// Returns the class of the last poll: 1, -1, or 0 when time ran out while
// busy; status keeps the last code polled.
int WaitWriteComplete(uint8_t kind, int port, uint32_t waitMs, StatusCode& status);

// Shows the remaining seconds for waitMs without asking the printer.
// status ends as 0.
void CountDown(uint8_t kind, int port, uint32_t waitMs, StatusCode& status);
