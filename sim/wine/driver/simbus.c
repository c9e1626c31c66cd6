/* q7730simbus.sys: a stand-in for the USB printer class driver under wine.
 *
 * A root-enumerated bus whose children are the simulator's printers, as the
 * bridge (q7730-wine-bridge.exe) plugs and unplugs them through the control
 * device. Each child reports a USB device id such as USB\VID_7A3D&PID_00B4
 * with the simulator's instance name, needs no function driver (RawDeviceOK),
 * and registers the USB printer interface when started, so the Setup API
 * lists it as the class driver's interfaces are listed. Wine never passes
 * the rest of a name ("\if000pipe000") to a driver, so the pipes themselves
 * are named pipes of the bridge; a child plugged with SIMBUS_LINK_TO_PIPES
 * has its interface link pointed at the named pipe file system instead,
 * which makes "<path>\if000pipe000" open "\\.\pipe\if000pipe000".
 *
 * The link is in place before the interface is enabled, so nobody sees the
 * interface while its link still leads elsewhere: a child itself has no
 * name (wine then enables its interface without making a link of its own),
 * and the link of one without pipes leads to a named device of its own, its
 * door, which only answers opens (a presence check).
 */
#include <ddk/wdm.h>

#include "../simbus.h"

/* GUID_DEVINTERFACE_USBPRINT */
static const GUID kUsbPrintInterface = {
    0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

#define POOL_TAG 0x37375153 /* "SQ77" */

enum DeviceKind { kBus = 1, kControl = 2, kPrinter = 3, kDoor = 4 };

typedef struct Printer {
  enum DeviceKind kind;
  DEVICE_OBJECT *self;
  DEVICE_OBJECT *door;
  WCHAR doorName[40];
  SimBusPrinter id; /* fixed once plugged: read without the lock */
  BOOLEAN reported; /* named in a bus relations answer */
  BOOLEAN started;
  UNICODE_STRING link;
} Printer;

typedef struct {
  enum DeviceKind kind;
} Extension;

static DRIVER_OBJECT *gDriver;
static DEVICE_OBJECT *gBusFdo, *gBusPdo, *gControl;
static UNICODE_STRING gControlLink;
static FAST_MUTEX gLock;
/* Under gLock: the children the bus reports, those unplugged whose removal
 * the system has not yet sent, and the owner's file object. */
static Printer *gPlugged[SIMBUS_MAX_PRINTERS];
static Printer *gLeaving[SIMBUS_MAX_PRINTERS];
static FILE_OBJECT *gOwner;
static ULONG gSerial;

static enum DeviceKind KindOf(DEVICE_OBJECT *device) {
  return ((Extension *)device->DeviceExtension)->kind;
}

/* Characters before the NUL, at most limit (limit: no NUL within it). */
static SIZE_T WideLength(const WCHAR *text, SIZE_T limit) {
  SIZE_T n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

/* TRUE when both texts are equal but for the case of ASCII letters. */
static BOOLEAN SameText(const WCHAR *a, const WCHAR *b) {
  SIZE_T i;
  for (i = 0;; ++i) {
    WCHAR x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 'a' - 'A';
    if (y >= 'a' && y <= 'z') y -= 'a' - 'A';
    if (x != y) return FALSE;
    if (x == 0) return TRUE;
  }
}

/* A copy in pool memory, as the system frees ids; with extra NULs, so that
 * the same text serves as a one-entry multi-string. */
static WCHAR *PoolCopy(const WCHAR *text, SIZE_T extraNuls) {
  SIZE_T length = WideLength(text, 4096), i;
  WCHAR *copy = ExAllocatePoolWithTag(PagedPool, (length + 1 + extraNuls) * sizeof(WCHAR), POOL_TAG);
  if (copy == NULL) return NULL;
  for (i = 0; i < length; ++i) copy[i] = text[i];
  for (i = 0; i <= extraNuls; ++i) copy[length + i] = 0;
  return copy;
}

/* "\Device\Q7730SimPrinter<n>", the name of a child's door. */
static void DoorName(WCHAR *buffer, ULONG serial) {
  static const WCHAR prefix[] = L"\\Device\\Q7730SimPrinter";
  WCHAR digits[12];
  SIZE_T n = 0, i = 0;
  do {
    digits[n++] = (WCHAR)('0' + serial % 10);
    serial /= 10;
  } while (serial != 0);
  for (; prefix[i] != 0; ++i) buffer[i] = prefix[i];
  while (n > 0) buffer[i++] = digits[--n];
  buffer[i] = 0;
}

/* Completes irp with status, which it returns. */
static NTSTATUS Complete(IRP *irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void DeletePrinter(Printer *printer) {
  if (printer->door != NULL) IoDeleteDevice(printer->door);
  IoDeleteDevice(printer->self);
}

/* Takes printer out of the reported set (under gLock). true: the system
 * knew of it and will send its removal; otherwise it can go at once. */
static BOOLEAN TakeOut(Printer *printer) {
  ULONG i;
  for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i)
    if (gPlugged[i] == printer) gPlugged[i] = NULL;
  if (!printer->reported) return FALSE;
  for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i) {
    if (gLeaving[i] == NULL) {
      gLeaving[i] = printer;
      return TRUE;
    }
  }
  /* No room to remember it: it is deleted when its removal comes. */
  return TRUE;
}

/* The reported child of that instance, or NULL (under gLock). */
static Printer *FindPlugged(const WCHAR *instance) {
  ULONG i;
  for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i)
    if (gPlugged[i] != NULL && SameText(gPlugged[i]->id.instanceId, instance)) return gPlugged[i];
  return NULL;
}

/* TRUE while a child of that instance awaits its removal (under gLock). */
static BOOLEAN IsLeaving(const WCHAR *instance) {
  ULONG i;
  for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i)
    if (gLeaving[i] != NULL && SameText(gLeaving[i]->id.instanceId, instance)) return TRUE;
  return FALSE;
}

/* Unplugs every child; the caller then invalidates the bus relations. */
static void UnplugAll(void) {
  ULONG i;
  Printer *gone[SIMBUS_MAX_PRINTERS];
  ULONG count = 0;
  ExAcquireFastMutex(&gLock);
  for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i) {
    Printer *printer = gPlugged[i];
    if (printer != NULL && !TakeOut(printer)) gone[count++] = printer;
  }
  ExReleaseFastMutex(&gLock);
  for (i = 0; i < count; ++i) DeletePrinter(gone[i]);
}

/* ---- the control device ---------------------------------------------- */

/* A new child, reported at the next bus relations query. The statuses are
 * those of IOCTL_SIMBUS_PLUG; STATUS_INVALID_PARAMETER for ids that are empty,
 * too long, or an instance holding '\\', '#' or a control character. */
static NTSTATUS Plug(const SimBusPrinter *request) {
  UNICODE_STRING nameString;
  DEVICE_OBJECT *device = NULL;
  Printer *printer;
  NTSTATUS status;
  ULONG i, serial;
  SIZE_T idLength = WideLength(request->deviceId, SIMBUS_MAX_DEVICE_ID);
  SIZE_T instanceLength = WideLength(request->instanceId, SIMBUS_MAX_INSTANCE_ID);

  if (idLength == 0 || idLength >= SIMBUS_MAX_DEVICE_ID || instanceLength == 0 ||
      instanceLength >= SIMBUS_MAX_INSTANCE_ID)
    return STATUS_INVALID_PARAMETER;
  for (i = 0; i < instanceLength; ++i)
    if (request->instanceId[i] == '\\' || request->instanceId[i] == '#' || request->instanceId[i] < ' ')
      return STATUS_INVALID_PARAMETER;

  ExAcquireFastMutex(&gLock);
  serial = ++gSerial;
  ExReleaseFastMutex(&gLock);
  status = IoCreateDevice(gDriver, sizeof(Printer), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                          &device);
  if (!NT_SUCCESS(status)) return status;
  printer = device->DeviceExtension;
  RtlZeroMemory(printer, sizeof *printer);
  printer->kind = kPrinter;
  printer->self = device;
  printer->id = *request;
  DoorName(printer->doorName, serial);
  RtlInitUnicodeString(&nameString, printer->doorName);
  status = IoCreateDevice(gDriver, sizeof(Extension), &nameString, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                          FALSE, &printer->door);
  if (!NT_SUCCESS(status)) {
    printer->door = NULL;
    DeletePrinter(printer);
    return status;
  }
  ((Extension *)printer->door->DeviceExtension)->kind = kDoor;
  printer->door->Flags &= ~DO_DEVICE_INITIALIZING;

  ExAcquireFastMutex(&gLock);
  if (FindPlugged(request->instanceId) != NULL) {
    status = STATUS_OBJECT_NAME_COLLISION;
  } else if (IsLeaving(request->instanceId)) {
    /* The same instance again before the system has let go of the old
     * one: its interface would still be registered to that one. */
    status = STATUS_DEVICE_BUSY;
  } else {
    status = STATUS_INSUFFICIENT_RESOURCES;
    for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i) {
      if (gPlugged[i] == NULL) {
        gPlugged[i] = printer;
        status = STATUS_SUCCESS;
        break;
      }
    }
  }
  ExReleaseFastMutex(&gLock);
  if (!NT_SUCCESS(status)) {
    DeletePrinter(printer);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoInvalidateDeviceRelations(gBusPdo, BusRelations);
  return STATUS_SUCCESS;
}

/* STATUS_SUCCESS: the child goes; STATUS_NOT_FOUND: none of that instance. */
static NTSTATUS Unplug(const SimBusPrinter *request) {
  Printer *printer;
  BOOLEAN later = FALSE;
  ExAcquireFastMutex(&gLock);
  printer = FindPlugged(request->instanceId);
  if (printer != NULL) later = TakeOut(printer);
  ExReleaseFastMutex(&gLock);
  if (printer == NULL) return STATUS_NOT_FOUND;
  if (!later) DeletePrinter(printer);
  IoInvalidateDeviceRelations(gBusPdo, BusRelations);
  return STATUS_SUCCESS;
}

/* A request to the control device, completed here; returns its status. */
static NTSTATUS ControlRequest(IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const SimBusPrinter *request = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN owner;

  irp->IoStatus.Information = 0;
  ExAcquireFastMutex(&gLock);
  if (code == IOCTL_SIMBUS_CLAIM && gOwner == NULL) gOwner = stack->FileObject;
  owner = gOwner == stack->FileObject;
  ExReleaseFastMutex(&gLock);
  if (!owner) return Complete(irp, STATUS_DEVICE_BUSY);
  if (gBusPdo == NULL) return Complete(irp, STATUS_DEVICE_NOT_READY);

  if (code == IOCTL_SIMBUS_PLUG || code == IOCTL_SIMBUS_UNPLUG) {
    if (size < sizeof(SimBusPrinter) || request == NULL) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    status = code == IOCTL_SIMBUS_PLUG ? Plug(request) : Unplug(request);
  } else if (code != IOCTL_SIMBUS_CLAIM) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  return Complete(irp, status);
}

/* The owner's handle closed (the bridge ended, or was killed): its printers
 * go with it, so no stale printer stays in the prefix. */
static void OwnerGone(FILE_OBJECT *file) {
  BOOLEAN wasOwner;
  ExAcquireFastMutex(&gLock);
  wasOwner = file != NULL && gOwner == file;
  if (wasOwner) gOwner = NULL;
  ExReleaseFastMutex(&gLock);
  if (!wasOwner) return;
  UnplugAll();
  if (gBusPdo != NULL) IoInvalidateDeviceRelations(gBusPdo, BusRelations);
}

/* ---- plug and play ---------------------------------------------------- */

/* STATUS_SUCCESS with the id in the IRP, or the IRP's status unchanged for a
 * kind of id a child does not have. */
static NTSTATUS QueryId(Printer *printer, IRP *irp, BUS_QUERY_ID_TYPE type) {
  WCHAR *id = NULL;
  switch (type) {
    case BusQueryDeviceID:
      id = PoolCopy(printer->id.deviceId, 0);
      break;
    case BusQueryInstanceID:
      id = PoolCopy(printer->id.instanceId, 0);
      break;
    case BusQueryHardwareIDs:
      id = PoolCopy(printer->id.deviceId, 1);
      break;
    case BusQueryCompatibleIDs:
      /* None, so that no installed driver claims the child. */
      id = PoolCopy(L"", 1);
      break;
    default:
      return irp->IoStatus.Status;
  }
  if (id == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = (ULONG_PTR)id;
  return STATUS_SUCCESS;
}

/* Registers and enables the child's printer interface, its link made first.
 * STATUS_SUCCESS, or why it could not (the child then has no interface). */
static NTSTATUS StartPrinter(Printer *printer) {
  static const WCHAR pipes[] = L"\\Device\\NamedPipe";
  UNICODE_STRING target;
  NTSTATUS status;
  if (printer->started) return STATUS_SUCCESS;
  /* No lock held here: registering asks this child for its ids again. */
  status = IoRegisterDeviceInterface(printer->self, &kUsbPrintInterface, NULL, &printer->link);
  if (!NT_SUCCESS(status)) return status;
  RtlInitUnicodeString(&target, (printer->id.flags & SIMBUS_LINK_TO_PIPES) ? pipes : printer->doorName);
  /* A link left behind by an earlier child of this instance would be
   * opened instead of made anew. */
  IoDeleteSymbolicLink(&printer->link);
  status = IoCreateSymbolicLink(&printer->link, &target);
  if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&printer->link, TRUE);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&printer->link);
    RtlFreeUnicodeString(&printer->link);
    return status;
  }
  printer->started = TRUE;
  return STATUS_SUCCESS;
}

static void StopPrinter(Printer *printer) {
  if (!printer->started) return;
  /* Deletes the link, whichever target it has, and tells the system. */
  IoSetDeviceInterfaceState(&printer->link, FALSE);
  RtlFreeUnicodeString(&printer->link);
  printer->started = FALSE;
}

static NTSTATUS PrinterPnp(Printer *printer, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG i;

  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(printer, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES *caps = stack->Parameters.DeviceCapabilities.Capabilities;
      /* Raw: started without a function driver. */
      caps->RawDeviceOK = 1;
      caps->SurpriseRemovalOK = 1;
      caps->Removable = 1;
      caps->UniqueID = 1;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        DEVICE_RELATIONS *relations = ExAllocatePoolWithTag(PagedPool, sizeof *relations, POOL_TAG);
        if (relations == NULL) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = printer->self;
        ObReferenceObject(printer->self);
        irp->IoStatus.Information = (ULONG_PTR)relations;
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_START_DEVICE:
      status = StartPrinter(printer);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      /* Sent once the system has let go of the child: after an unplug, or
       * when the bus itself goes. Either way the child goes now. */
      StopPrinter(printer);
      ExAcquireFastMutex(&gLock);
      for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i) {
        if (gLeaving[i] == printer) gLeaving[i] = NULL;
        if (gPlugged[i] == printer) gPlugged[i] = NULL;
      }
      ExReleaseFastMutex(&gLock);
      Complete(irp, STATUS_SUCCESS);
      DeletePrinter(printer);
      return STATUS_SUCCESS;
  }
  return Complete(irp, status);
}

/* The reported children, referenced, in the IRP: STATUS_SUCCESS, or
 * STATUS_INSUFFICIENT_RESOURCES. */
static NTSTATUS BusRelationsAnswer(IRP *irp) {
  DEVICE_RELATIONS *relations;
  ULONG i, count = 0;
  ExAcquireFastMutex(&gLock);
  for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i)
    if (gPlugged[i] != NULL) ++count;
  relations = ExAllocatePoolWithTag(
      PagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (count ? count : 1) * sizeof(DEVICE_OBJECT *),
      POOL_TAG);
  if (relations != NULL) {
    relations->Count = 0;
    for (i = 0; i < SIMBUS_MAX_PRINTERS; ++i) {
      Printer *printer = gPlugged[i];
      if (printer == NULL) continue;
      printer->reported = TRUE;
      ObReferenceObject(printer->self);
      relations->Objects[relations->Count++] = printer->self;
    }
  }
  ExReleaseFastMutex(&gLock);
  if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

static NTSTATUS BusPnp(IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        status = BusRelationsAnswer(irp);
        if (!NT_SUCCESS(status)) return Complete(irp, status);
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      DEVICE_OBJECT *lower = gBusPdo;
      UnplugAll();
      if (gControl != NULL) {
        IoDeleteSymbolicLink(&gControlLink);
        IoDeleteDevice(gControl);
        gControl = NULL;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(lower, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(gBusFdo);
      gBusFdo = NULL;
      gBusPdo = NULL;
      return status;
    }
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(gBusPdo, irp);
}

static NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT *device, IRP *irp) {
  switch (KindOf(device)) {
    case kBus:
      return BusPnp(irp);
    case kPrinter:
      return PrinterPnp(device->DeviceExtension, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

static NTSTATUS NTAPI DispatchPower(DEVICE_OBJECT *device, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (KindOf(device) == kBus) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(gBusPdo, irp);
  }
  if (KindOf(device) == kPrinter &&
      (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER))
    return Complete(irp, STATUS_SUCCESS);
  return Complete(irp, irp->IoStatus.Status);
}

static NTSTATUS NTAPI DispatchCreateClose(DEVICE_OBJECT *device, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  if (KindOf(device) == kControl &&
      (stack->MajorFunction == IRP_MJ_CLEANUP || stack->MajorFunction == IRP_MJ_CLOSE))
    OwnerGone(stack->FileObject);
  irp->IoStatus.Information = 0;
  return Complete(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI DispatchControl(DEVICE_OBJECT *device, IRP *irp) {
  if (KindOf(device) != kControl) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return ControlRequest(irp);
}

static NTSTATUS NTAPI AddDevice(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
  UNICODE_STRING name;
  NTSTATUS status;
  if (gBusFdo != NULL) return STATUS_DEVICE_ALREADY_ATTACHED; /* one bus */
  status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_BUS_EXTENDER,
                          FILE_DEVICE_SECURE_OPEN, FALSE, &gBusFdo);
  if (!NT_SUCCESS(status)) return status;
  ((Extension *)gBusFdo->DeviceExtension)->kind = kBus;

  RtlInitUnicodeString(&name, SIMBUS_CONTROL_DEVICE);
  status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &gControl);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(gBusFdo);
    gBusFdo = NULL;
    return status;
  }
  ((Extension *)gControl->DeviceExtension)->kind = kControl;
  RtlInitUnicodeString(&gControlLink, SIMBUS_CONTROL_LINK);
  IoCreateSymbolicLink(&gControlLink, &name);
  gControl->Flags &= ~DO_DEVICE_INITIALIZING;

  gBusPdo = pdo;
  IoAttachDeviceToDeviceStack(gBusFdo, pdo);
  gBusFdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI Unload(DRIVER_OBJECT *driver) {}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry) {
  gDriver = driver;
  ExInitializeFastMutex(&gLock);
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  return STATUS_SUCCESS;
}
