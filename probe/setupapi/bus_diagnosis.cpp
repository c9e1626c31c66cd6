// The Setup API bus: the printer class driver says no more than that an
// interface could not be opened.
#include "bus_pass.h"

void DiagnoseBus(const BusPass& pass, std::vector<BusNote>& notes, std::string&) {
  for (const std::string& path : pass.unopenable)
    notes.push_back({path, "", "cannot be opened (another program may hold it)"});
}

bool HeldElsewhere(const std::string&) { return false; }

// Not known of every printer class driver: taken as exclusive, to be safe.
bool ClaimsAreExclusive() { return true; }
