// Writing the USB controller firmware into one printer.
#pragma once

// 0: done, or the port could not be opened; -1: a later step failed. Needs
// the package loaded and the device library bound.
int UpdateControllerFirmware(int port);
