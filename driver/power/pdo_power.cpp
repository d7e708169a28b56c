// Power requests on the child device.
#include "core/driver.h"

// The child is the bottom of its stack: until its power handling is built it answers every
// request with the status the request carries, as a bus driver does for what it does not handle.
NTSTATUS PdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Stack);
  UNREFERENCED_PARAMETER(Pdo);
  NTSTATUS status = Irp->IoStatus.Status;
  PoStartNextPowerIrp(Irp);
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
