// Where a printer interface sits on the bus, and the Windows-shaped path
// that names it: \\?\usb#vid_7a3d&pid_00b4#<instance>#{28d78fad-...}.
// The instance is the place on the bus as Linux names it in
// /sys/bus/usb/devices ("1-2.3": bus 1, port 2 of the root hub, port 3 of
// the hub there), with "&mi_NN" for an interface other than 0. A printer
// keeps its path when it is plugged back into the same port, and two
// printers never share one, whatever their serial numbers say.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {
namespace usb {

// USB allows seven tiers below the root hub.
constexpr int kMaxPorts = 7;

struct UsbSite {
  uint8_t bus = 0;
  uint8_t portCount = 0;
  uint8_t ports[kMaxPorts] = {};
  uint8_t interfaceNumber = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
};

// What a name opens: the device (presence) or pipe 0 (bulk-in) or pipe 1
// (bulk-out) of its interface.
enum class NameKind { Device, BulkIn, BulkOut };

// Writes the path of site with its NUL. Returns the path length plus 1, or 0
// when it does not fit or the site has no port (a root hub).
size_t FormatPath(const UsbSite& site, char* buffer, size_t size);

// Reads a name as FormatPath writes it, optionally followed by \if000pipe000
// or \if000pipe001. false for anything else.
bool ParseName(const char* name, UsbSite* site, NameKind* kind);

// The enumeration order: bus, then the port chain, then the interface.
bool SiteBefore(const UsbSite& a, const UsbSite& b);
// Same place on the bus and same interface (ids not compared).
bool SamePlace(const UsbSite& a, const UsbSite& b);

}  // namespace usb
}  // namespace platform
