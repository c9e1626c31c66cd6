#include "usb_context.h"

#include <new>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {

std::mutex gBusMutex;

namespace {

libusb_context* gContext = nullptr;
bool gHotplug = false;
libusb_hotplug_callback_handle gHotplugHandle = 0;
std::atomic<uint64_t> gChanges{0};

// Runs inside libusb's event handling: count, nothing more.
int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void*) {
  gChanges.fetch_add(1);
  return 0;
}

}  // namespace

libusb_context* BusContext() {
  if (gContext != nullptr) return gContext;
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return nullptr;
  gHotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
             libusb_hotplug_register_callback(
                 context,
                 static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                   LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                 static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY,
                 LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug, nullptr,
                 &gHotplugHandle) == LIBUSB_SUCCESS;
  gContext = context;
  return gContext;
}

uint64_t HotplugChanges() { return gChanges.load(); }

void PumpEvents() {
  std::lock_guard<std::mutex> hold(gBusMutex);
  if (gContext == nullptr) return;
  timeval now{0, 0};
  libusb_handle_events_timeout_completed(gContext, &now, nullptr);
}

bool HasHotplug() { return gHotplug; }

// Not a static object's destructor: at the end of a program that never
// unloaded the library, those run before the library's unload step, and so
// before its watchers stop, which then would use freed devices. The unload
// step calls this after them (ProcessDetach, wirelet/library_state.cpp).
void CloseBus() {
  // Transfers left behind on a printer since gone call back now.
  PumpEvents();
  std::lock_guard<std::mutex> hold(gBusMutex);
  if (gContext == nullptr) return;
  // A transfer still under way (a thread of a program that is ending) keeps
  // everything: its callback needs the device record and the context.
  if (TransfersInFlight()) return;
  ReleaseIdleDevices(true);
  if (gHotplug) libusb_hotplug_deregister_callback(gContext, gHotplugHandle);
  libusb_exit(gContext);
  gContext = nullptr;
  gHotplug = false;
}

}  // namespace usb
}  // namespace platform
