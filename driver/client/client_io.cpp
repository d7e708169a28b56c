// The client's create, close, read and write on the child device.
#include "core/driver.h"

// Not built yet: the stream cannot be opened, so every request is refused plainly.
NTSTATUS ClientCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

NTSTATUS ClientClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ClientRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

NTSTATUS ClientWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
