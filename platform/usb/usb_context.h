// The libusb bus's one context: created on first use and ended when the
// library is unloaded. No thread of its own handles libusb's events: a
// thread waiting for its transfer handles them itself, as libusb's own
// synchronous calls do (a hand-over from an event thread per transfer cost
// a tenth of the bulk rate on a real kernel), and the watcher's poll takes
// the hotplug notices (PumpEvents).
//
// Lock order: gBusMutex, then libusb's own locks. Nothing that libusb calls
// back into (transfer and hotplug callbacks, inside libusb's event handling
// and its locks) may take gBusMutex or call libusb synchronously: they only
// touch atomics.
#pragma once
#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace platform {
namespace usb {

// Guards the context and the device table (usb_devices.cpp).
extern std::mutex gBusMutex;

// The context, started if need be; null when libusb cannot start here (no
// USB on this system). Call with gBusMutex held.
libusb_context* BusContext();

// Arrivals plus departures seen so far by the hotplug callback.
uint64_t HotplugChanges();
// Delivers what libusb has ready (hotplug notices, callbacks of transfers
// left behind) without waiting; does nothing while another thread handles
// events. Call without gBusMutex, never from a callback.
void PumpEvents();
// Whether this libusb reports hotplug; false before the context exists.
bool HasHotplug();

// A change source of either kind: hotplug notices (null where libusb has
// none), or a comparison of the device list at each poll, which is what
// OpenChangeSource gives where there is no hotplug (usb_changes.cpp).
struct ChangeSource;
ChangeSource* OpenChangeSourceUsing(bool hotplug);

// Frees the devices that nothing holds any more (usb_devices.cpp). Call
// with gBusMutex held.
void ReleaseIdleDevices(bool everything);
// Whether any device has a transfer submitted and not yet called back.
// Call with gBusMutex held.
bool TransfersInFlight();

}  // namespace usb
}  // namespace platform
