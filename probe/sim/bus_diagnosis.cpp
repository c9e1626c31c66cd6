// The simulator's bus: printers exist only while a q7730-sim serves this
// folder.
#include <cstdio>

#include "bus_pass.h"
#include "sim_wire.h"

void DiagnoseBus(const BusPass& pass, std::vector<BusNote>& notes, std::string&) {
  for (const std::string& path : pass.unopenable) notes.push_back({path, "", "the simulator did not open it"});
  if (!pass.listed.empty() || !pass.unopenable.empty()) return;
  std::FILE* file = std::fopen(simwire::kPortFileName, "r");
  if (file != nullptr) std::fclose(file);
  else notes.push_back({"", "", std::string("no simulator serves this folder (no ") + simwire::kPortFileName + ")"});
}

bool HeldElsewhere(const std::string&) { return false; }

// Every process opens its own pipes; the device mutex keeps their commands apart.
bool ClaimsAreExclusive() { return false; }
