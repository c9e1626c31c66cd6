// Q7730upgrade <package INI>: brings every connected ZEM-Q7730-5A printer up
// to the firmware of the package.
#include "driver.h"
#include "platform/console.h"

int main(int argc, char* argv[]) {
  platform::ConsoleInit();
  return UpdaterMain(argc, argv);
}
