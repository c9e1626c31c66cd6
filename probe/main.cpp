// q7730-probe [--json] [PACKAGE.ini]: every printer that wirelet.dll in the
// current directory finds, what firmware it carries and what the updater
// would give it, without changing any printer.
#include "platform/console.h"
#include "probe.h"

int main(int argc, char* argv[]) {
  platform::ConsoleInit();
  return ProbeMain(argc, argv);
}
