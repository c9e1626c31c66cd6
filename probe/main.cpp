// q7730-probe [--json] [PACKAGE.ini]: every printer that wirelet.dll in the
// current directory finds, what firmware it carries and what the updater
// would give it, without changing any printer.
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "probe.h"

int main(int argc, char* argv[]) {
  platform::ConsoleInit();
  std::string out, errors;
  int status = RunProbe(argc, argv, out, errors);
  if (!out.empty()) platform::Print("%s", out.c_str());
  if (!errors.empty()) std::fputs(errors.c_str(), stderr);
  return status;
}
