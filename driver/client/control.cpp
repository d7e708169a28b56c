// Internal device control on both devices, and the direct-call interface request.
#include "core/driver.h"

// The function device serves no internal codes of its own; nothing goes to the USB stack from
// here. The answer tells a caller whether the device is usable at all.
NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  FdoExtension* Fdo) {
  UNREFERENCED_PARAMETER(Stack);
  UNREFERENCED_PARAMETER(Fdo);
  AcquireIo(DeviceObject);
  NTSTATUS status = IsReady(DeviceObject) ? STATUS_INVALID_PARAMETER : STATUS_DELETE_PENDING;
  CompleteRequest(Irp, status, 0);
  ReleaseIo(DeviceObject);
  return status;
}

// Not built yet: no client code is recognised.
NTSTATUS PdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  PdoExtension* Pdo) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Stack);
  UNREFERENCED_PARAMETER(Pdo);
  return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
}

NTSTATUS ClientDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
}
