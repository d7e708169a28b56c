// The power manager's calls: power IRPs requested by a driver, passing them, and the states a
// driver reports. Also the record of relations a driver asks the PnP manager to query again.
#include "internal.h"

namespace tb {
namespace {
std::mutex gPowerLock;
std::map<std::pair<PDEVICE_OBJECT, int>, POWER_STATE> gReported;
std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> gInvalidated;
std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> gInvalidateHook;
}  // namespace

POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
  KernelLock guard(gPowerLock);
  auto it = gReported.find({device, static_cast<int>(type)});
  POWER_STATE none;
  none.DeviceState = PowerDeviceUnspecified;
  return it == gReported.end() ? none : it->second;
}

std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> InvalidatedRelations() {
  KernelLock guard(gPowerLock);
  return gInvalidated;
}

void SetInvalidateRelationsHook(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook) {
  KernelLock guard(gPowerLock);
  gInvalidateHook = std::move(hook);
}

void ResetPower() {
  KernelLock guard(gPowerLock);
  gReported.clear();
  gInvalidated.clear();
  gInvalidateHook = nullptr;
}

}  // namespace tb

using namespace tb;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

VOID PoStartNextPowerIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  auto rec = FindIrp(Irp);
  if (!rec) {
    Report(Rule::IrpTouchedAfterCompletion, "PoStartNextPowerIrp", Hex(Irp), "not a live IRP");
    return;
  }
  size_t location = static_cast<size_t>(Irp->CurrentLocation);
  if (location < rec->startNextPower.size()) rec->startNextPower[location] = true;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  KernelLock guard(gPowerLock);
  auto key = std::make_pair(DeviceObject, static_cast<int>(Type));
  POWER_STATE old;
  old.DeviceState = PowerDeviceUnspecified;
  auto it = gReported.find(key);
  if (it != gReported.end()) old = it->second;
  gReported[key] = State;
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (ShouldFailAllocation(AllocKind::Irp)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  PIRP irp = AllocateIrpInternal(top->StackSize, false, [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction != nullptr) {
      RunDriverRoutine(reinterpret_cast<const void*>(CompletionFunction), "power completion",
                       [&] { CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status); });
    }
    FreeSystemIrp(done);
  });
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  if (Irp != nullptr) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook;
  {
    KernelLock guard(gPowerLock);
    gInvalidated.emplace_back(DeviceObject, Type);
    hook = gInvalidateHook;
  }
  if (hook) hook(DeviceObject, Type);
}

}  // extern "C"
