// q7730-wine-bridge: the printers of a running q7730-sim as USB printers of
// a wine prefix, through the stand-in printer class driver (install it once
// with q7730-wine-install.exe).
//
//   q7730-wine-bridge [--dir DIR] [--shared-pipes INSTANCE | --no-shared-pipes]
//
// Runs inside wine in the simulator's folder (DIR, default the current one)
// until the simulator stops (or Ctrl+C). Each printer the simulator has
// plugged in is listed by the Setup API as a USB printer interface whose
// path is the printer's simulator path in lower case; unplugging it there
// removes it here. Its pipes are named pipes served by this program:
// "\\.\pipe\<path without \\?\>\if000pipe000" and "...001" for every
// printer, and "\\.\pipe\if000pipe000" and "...001" for one printer
// (INSTANCE, by default the first of the ZEM-Q7730-5A model) whose interface
// link points at the named pipes, so that "<path>\if000pipe000" opens them
// as the class driver's pipes are opened. Wine gives a driver no way to
// serve "<path>\if000pipe000" itself, so that printer is the only one a
// program opens by the driver's own names.
//
// Standard output: "plugged PATH" once a printer is listed, "unplugged PATH",
// and "ready" once those present at the start are listed. Exit status: 0
// when the simulator has stopped, 1 when the bridge cannot start (with a
// message), 2 for a bad command line.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "bridge.h"

namespace {

constexpr DWORD kPollMs = 20;

std::atomic<bool> gStop{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  gStop.store(true);
  return TRUE;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr,
               "q7730-wine-bridge: %s\n"
               "usage: q7730-wine-bridge [--dir DIR] [--shared-pipes INSTANCE | --no-shared-pipes]\n",
               problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  winebridge::BridgeOptions options;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (arg == "--shared-pipes" && i + 1 < argc) options.sharedPipes = argv[++i];
    else if (arg == "--no-shared-pipes") options.noSharedPipes = true;
    else return Usage("unknown argument " + arg);
  }
  if (!dir.empty() && !SetCurrentDirectoryA(dir.c_str())) return Usage("cannot enter " + dir);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);

  winebridge::Bridge bridge(options);
  std::string error;
  if (!bridge.Start(&error)) {
    std::fprintf(stderr, "q7730-wine-bridge: %s\n", error.c_str());
    return 1;
  }
  while (!gStop.load() && bridge.Poll()) Sleep(kPollMs);
  return 0;
}
