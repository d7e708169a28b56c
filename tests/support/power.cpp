#include "support/power.h"

#include "power/power.h"

tb::Result SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
  return tb::Call(tb::TopOfStack(pdo), [&](PIO_STACK_LOCATION s, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = minor;
    s->Parameters.Power.Type = type;
    if (type == SystemPowerState) {
      s->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
      s->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    } else {
      s->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    }
  });
}

tb::Result SendWaitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wake) {
  return tb::Call(tb::TopOfStack(pdo), [&](PIO_STACK_LOCATION s, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = IRP_MN_WAIT_WAKE;
    s->Parameters.WaitWake.PowerState = wake;
  });
}

NTSTATUS StreamStartPower(PDEVICE_OBJECT fdo) {
  InterlockedExchangeAdd(&FdoExt(fdo)->OpenPipeCount, 2);
  return RequestIdlePower(fdo, FALSE);
}

NTSTATUS StreamStopPower(PDEVICE_OBJECT fdo) {
  InterlockedExchangeAdd(&FdoExt(fdo)->OpenPipeCount, -2);
  return RequestIdlePower(fdo, TRUE);
}

std::vector<std::string> PowerSeenByBus(tb::UsbBus* bus) {
  std::vector<std::string> names;
  for (const tb::BusEvent& e : bus->Log()) {
    if (e.kind == tb::BusEvent::Kind::Power) names.push_back(e.name);
  }
  return names;
}
