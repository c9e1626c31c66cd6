// What the bus under a built wirelet.dll needs around each test, one source
// per bus: library_bus_sim.cpp (nothing: the sim bus finds the simulator
// itself) and library_bus_usb.cpp (the simulator's printers as USB devices).
#pragma once
#include <string>

namespace librarytest {

// Once the simulator serving dir is up; fails the test when the bus cannot
// see its printers.
void StartBus(const std::string& dir);
// After the library has been unloaded, before the simulator stops.
void StopBus();

}  // namespace librarytest
