// Power requests on the child device, the bottom of the client's stack: answered here, passed
// nowhere. A system set-power request becomes a device set-power request for the child's own
// stack, and is completed once that has come back.
#include "power/power.h"

static NTSTATUS FinishPower(PIRP Irp, NTSTATUS Status) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Records and reports the system state of the held request, and completes it: whatever became
// of the device request, a system set-power request is never failed.
static VOID CompleteSystemPower(PDEVICE_OBJECT Child, PIRP SystemIrp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(SystemIrp);
  PoSetPowerState(Child, stack->Parameters.Power.Type, stack->Parameters.Power.State);
  PdoExt(Child)->SystemPowerState = RawPowerState(&stack->Parameters.Power.State);
  FinishPower(SystemIrp, STATUS_SUCCESS);
}

VOID NTAPI PdoSystemPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  CompleteSystemPower(DeviceObject, static_cast<PIRP>(Context));
}

static NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack) {
  IoMarkIrpPending(Irp);
  POWER_STATE state;
  state.DeviceState = RawPowerState(&Stack->Parameters.Power.State) == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  NTSTATUS status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, state, PdoSystemPowerDone, Irp, NULL);
  // Without a device request nothing would ever complete the held one.
  if (status != STATUS_PENDING) CompleteSystemPower(DeviceObject, Irp);
  return STATUS_PENDING;
}

NTSTATUS PdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo) {
  switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (Stack->Parameters.Power.Type == SystemPowerState) return SystemSetPower(DeviceObject, Irp, Stack);
      PoSetPowerState(DeviceObject, DevicePowerState, Stack->Parameters.Power.State);
      Pdo->DevicePowerState = RawPowerState(&Stack->Parameters.Power.State);
      return FinishPower(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      return FinishPower(Irp, STATUS_SUCCESS);
    default:
      return FinishPower(Irp, STATUS_NOT_SUPPORTED);
  }
}
