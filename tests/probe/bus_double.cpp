// The bus's diagnosis for the probe's tests: another program holds every
// printer whose path contains "held"; claims are exclusive when a test says.
#include "bus_pass.h"

void DiagnoseBus(const BusPass&, std::vector<BusNote>&, std::string&) {}

bool HeldElsewhere(const std::string& path) { return path.find("held") != std::string::npos; }

bool gExclusiveClaims = false;
bool ClaimsAreExclusive() { return gExclusiveClaims; }
