// Writing the USB controller firmware into one printer.
#pragma once

// 0: done. 1: the port could not be opened; nothing was sent, and the run
// goes on as after a success, but the printer was not updated. -1: a later
// step failed. Needs the package loaded and the device library bound.
int UpdateControllerFirmware(int port);
