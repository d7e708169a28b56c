// Plug and Play on the function device.
#include "core/driver.h"

// Until start, stop and removal are handled here, every request goes down the USB stack as it
// came, holding an activity reference while it does.
NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo) {
  UNREFERENCED_PARAMETER(Stack);
  AcquireIo(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IofCallDriver(Fdo->LowerDevice, Irp);
  ReleaseIo(DeviceObject);
  return status;
}
