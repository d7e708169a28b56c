// Plug and Play on the child device.
#include "core/driver.h"

// The child is the bottom of its stack: until its identity answers are built it completes every
// request with the status the request carries.
NTSTATUS PdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Stack);
  UNREFERENCED_PARAMETER(Pdo);
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
