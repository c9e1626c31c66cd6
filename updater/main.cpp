// Q7730upgrade <package INI>: brings every connected ZEM-Q7730-5A printer up
// to the firmware of the package.
#include "driver.h"

int main(int argc, char* argv[]) { return UpdaterMain(argc, argv); }
