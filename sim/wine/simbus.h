/* What the bridge says to the stand-in printer class driver: the control
 * device's name and its requests. Shared by the driver (C, kernel mode) and
 * the bridge and installer (C++, user mode), so plain C only. */
#ifndef Q7730_SIMBUS_H
#define Q7730_SIMBUS_H

/* The bus's control device, opened by the one bridge that serves the
 * prefix (user mode: "\\\\.\\Q7730SimBus"). */
#define SIMBUS_CONTROL_DEVICE L"\\Device\\Q7730SimBus"
#define SIMBUS_CONTROL_LINK L"\\??\\Q7730SimBus"
#define SIMBUS_CONTROL_PATH "\\\\.\\Q7730SimBus"

/* Hardware id of the root-enumerated bus device, as its INF names it, and
 * the device instance the installer creates for it. */
#define SIMBUS_HARDWARE_ID "Q7730SimBus"
#define SIMBUS_ROOT_INSTANCE "ROOT\\Q7730SIMBUS\\0000"
#define SIMBUS_SERVICE "q7730simbus"

/* FILE_DEVICE_BUS_EXTENDER, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define SIMBUS_IOCTL(n) ((0x2AUL << 16) | (0x800UL + (n)) << 2)
/* Makes the caller's handle the owner of the bus: every printer it plugs is
 * unplugged again when that handle closes. STATUS_DEVICE_BUSY: another
 * handle owns it. */
#define IOCTL_SIMBUS_CLAIM SIMBUS_IOCTL(0)
/* Input SimBusPrinter: a child device appears. STATUS_DEVICE_BUSY: one of
 * that instance is still on its way out (try again shortly);
 * STATUS_OBJECT_NAME_COLLISION: it is already plugged in. */
#define IOCTL_SIMBUS_PLUG SIMBUS_IOCTL(1)
/* Input SimBusPrinter (only instanceId is read): the child goes.
 * STATUS_NOT_FOUND: no such child. */
#define IOCTL_SIMBUS_UNPLUG SIMBUS_IOCTL(2)

/* The child's interface link points at the named pipe file system, so that
 * "<device path>\if000pipe000" opens the pipe "\\.\pipe\if000pipe000". */
#define SIMBUS_LINK_TO_PIPES 0x1u

#define SIMBUS_MAX_DEVICE_ID 64
#define SIMBUS_MAX_INSTANCE_ID 128
#define SIMBUS_MAX_PRINTERS 64

typedef struct SimBusPrinter {
  unsigned long flags;
  /* e.g. L"USB\\VID_7A3D&PID_00B4", NUL-terminated */
  wchar_t deviceId[SIMBUS_MAX_DEVICE_ID];
  /* e.g. L"SIM0001", NUL-terminated, no '\\' */
  wchar_t instanceId[SIMBUS_MAX_INSTANCE_ID];
} SimBusPrinter;

#endif
