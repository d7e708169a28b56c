// Stand-in MIDI client for the end-to-end run under Wine (test-only): the function driver that
// Wine loads on usbmidi's child device. It passes every request down to the child and prints
// each PnP request with the child's answer, so the log shows what Wine sent the child and in
// which order relative to the mock bus.
#include <wdm.h>

// {7C1A2B3D-0E4F-4A5B-8C6D-7E8F90A1B2C3}: enabled while the child runs, so that the test program
// can see from user mode that Wine started the child under this driver.
static const GUID StubInterface = {0x7C1A2B3D, 0x0E4F, 0x4A5B, {0x8C, 0x6D, 0x7E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3}};

struct StubExtension {
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
  UNICODE_STRING Link;  // Buffer set while the interface is registered
};

static void DisableInterface(struct StubExtension* Ext) {
  if (Ext->Link.Buffer == NULL) return;
  IoSetDeviceInterfaceState(&Ext->Link, FALSE);
  RtlFreeUnicodeString(&Ext->Link);
  Ext->Link.Buffer = NULL;
}

static StubExtension* Ext(PDEVICE_OBJECT Device) { return static_cast<StubExtension*>(Device->DeviceExtension); }

static NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Device);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down, waits for the child's answer and completes it with that answer.
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT Device, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(Ext(Device)->Lower, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;
  ULONG type = 0;
  if (minor == IRP_MN_QUERY_ID) type = static_cast<ULONG>(stack->Parameters.QueryId.IdType);
  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) type = static_cast<ULONG>(stack->Parameters.QueryDeviceRelations.Type);
  PDEVICE_OBJECT lower = Ext(Device)->Lower;
  NTSTATUS status = ForwardAndWait(Device, Irp);
  DbgPrint("clientstub: child pnp minor 0x%02x type %u -> 0x%08x\n", minor, type, static_cast<ULONG>(status));
  if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status) && Ext(Device)->Link.Buffer == NULL &&
      NT_SUCCESS(IoRegisterDeviceInterface(Ext(Device)->Pdo, &StubInterface, NULL, &Ext(Device)->Link))) {
    IoSetDeviceInterfaceState(&Ext(Device)->Link, TRUE);
  }
  if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) DisableInterface(Ext(Device));
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(Device);
  }
  return status;
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT Device, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Ext(Device)->Lower, Irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Ext(Device)->Lower, Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(StubExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Ext(fdo)->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (Ext(fdo)->Lower == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  Ext(fdo)->Pdo = Pdo;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("clientstub: added on child\n");
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT Driver) { UNREFERENCED_PARAMETER(Driver); }

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = DispatchOther;
  Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
