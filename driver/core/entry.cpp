// Driver entry, the dispatch table and the routing of requests by device kind.
//
// Plug and Play, power and internal device control serve both device kinds and are routed by
// the signature at the start of the device extension. Create, close, read, write and device
// control belong to the child device; system control belongs to the function device. Each
// handler checks the signature first, so a request that reaches the other kind of device never
// has its extension read as the wrong record.
#include "core/driver.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static ULONG SignatureOf(PDEVICE_OBJECT DeviceObject) {
  return *static_cast<ULONG*>(DeviceObject->DeviceExtension);
}

// A device with neither signature is not one of ours: fail without touching Information.
static NTSTATUS FailUnknownDevice(PIRP Irp) {
  Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_UNSUCCESSFUL;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DbgPrint("Entered Driver Entry");

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// Everything the driver allocates belongs to a device and goes with that device's removal.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
      return FdoPnp(DeviceObject, Irp, stack, FdoExt(DeviceObject));
    case PDO_SIGNATURE:
      return PdoPnp(DeviceObject, Irp, stack, PdoExt(DeviceObject));
    default:
      return FailUnknownDevice(Irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
      return FdoPower(DeviceObject, Irp, stack, FdoExt(DeviceObject));
    case PDO_SIGNATURE:
      return PdoPower(DeviceObject, Irp, stack, PdoExt(DeviceObject));
    default:
      return FailUnknownDevice(Irp);
  }
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
      return FdoInternalDeviceControl(DeviceObject, Irp, stack, FdoExt(DeviceObject));
    case PDO_SIGNATURE:
      return PdoInternalDeviceControl(DeviceObject, Irp, stack, PdoExt(DeviceObject));
    default:
      return FailUnknownDevice(Irp);
  }
}

// System control goes down the USB device's stack from the function device. The child is the
// bottom of its own stack and has nowhere to pass it, so it answers as a bus driver does for a
// request it does not handle: with the status the request carries.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (SignatureOf(DeviceObject) != FDO_SIGNATURE) {
    NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  FdoExtension* fdo = FdoExt(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  AcquireIo(DeviceObject);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IofCallDriver(fdo->LowerDevice, Irp);
  ReleaseIo(DeviceObject);
  return status;
}

// The byte-stream and direct-call requests serve the child only. The function device exposes a
// device interface, so a client may well open it: refuse plainly rather than read its
// extension as the child's.
static BOOLEAN IsChild(PDEVICE_OBJECT DeviceObject) {
  return SignatureOf(DeviceObject) == PDO_SIGNATURE;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsChild(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return ClientCreate(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsChild(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return ClientClose(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsChild(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return ClientRead(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsChild(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return ClientWrite(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsChild(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return ClientDeviceControl(DeviceObject, Irp);
}
