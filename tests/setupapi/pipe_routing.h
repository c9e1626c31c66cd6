// For tests under wine only, never in a shipped file: makes a loaded
// wirelet.dll open a printer's pipe "<device path>\ifNNNpipeNNN" as the
// named pipe "\\.\pipe\<device path after \\?\>\ifNNNpipeNNN", where
// q7730-wine-bridge serves every printer's pipes. Wine hands a driver no
// name beyond its device, so only one printer at a time can have its pipes
// reached by the class driver's own names; several printers at once are
// reached this way. The rest of each name stays as the library wrote it, so
// a wrong pipe name still finds no pipe, and device paths themselves still
// go to the stand-in driver.
#pragma once
#include <windows.h>

// Points library's import of CreateFileA at the routing. true: done (or
// already done); false: the library imports no CreateFileA.
bool RoutePipeOpens(HMODULE library);
