// Power requests on the function device.
#include "core/driver.h"

// Until the power policy is built, every request goes down unchanged.
NTSTATUS FdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo) {
  UNREFERENCED_PARAMETER(Stack);
  AcquireIo(DeviceObject);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = PoCallDriver(Fdo->LowerDevice, Irp);
  ReleaseIo(DeviceObject);
  return status;
}
