// The client driver itself: its entry, AddDevice on the child, and dispatch routines that pass
// everything down to the child the way a function driver above a bus's device does.
//
// Its device:
//
// State    Entered by                       Left by
// Added    AddDevice: attached above child  START_DEVICE
// Started  the child started                SURPRISE_REMOVAL, REMOVE_DEVICE
// Gone     REMOVE_DEVICE passed down        (detached and deleted)
#include <algorithm>

#include "client/midi_client.h"

namespace tb {
namespace {
constexpr ULONG kClientSignature = 0x434D4254;  // 'TBMC'

struct ClientExtension {
  ULONG Signature;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;    // what AddDevice attached to
  PDEVICE_OBJECT Child;    // the physical device object
  MidiClient* Client;      // held by the registry below
};

std::mutex gClientsLock;
std::vector<std::shared_ptr<MidiClient>> gClients;

ClientExtension* Ext(PDEVICE_OBJECT device) { return static_cast<ClientExtension*>(device->DeviceExtension); }

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI ClientPnp(PDEVICE_OBJECT device, PIRP irp) {
  ClientExtension* ext = Ext(device);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  ext->Client->NotePnp(minor);
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      // The child starts first; the client's own start comes after it, on the way back up.
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
      if (IofCallDriver(ext->Lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      }
      NTSTATUS status = irp->IoStatus.Status;
      ext->Client->NoteStarted(status);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = ext->Lower;
      MidiClient* client = ext->Client;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IofCallDriver(lower, irp);
      client->NoteRemoved();
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      // Nothing of the client's stands in the way.
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    default:
      return PassDown(device, irp);
  }
}

NTSTATUS NTAPI ClientPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS NTAPI ClientAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT child) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(ClientExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ClientExtension* ext = Ext(device);
  ext->Signature = kClientSignature;
  ext->Self = device;
  ext->Child = child;
  ext->Lower = IoAttachDeviceToDeviceStack(device, child);
  if (ext->Lower == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  // A driver in the middle of a stack takes on how the device below moves buffers and power.
  device->Flags |= ext->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  auto client = std::make_shared<MidiClient>(device, ext->Lower, child);
  ext->Client = client.get();
  {
    std::lock_guard<std::mutex> guard(gClientsLock);
    gClients.push_back(std::move(client));
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI ClientUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ClientEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = PassDown;
  driver->MajorFunction[IRP_MJ_PNP] = ClientPnp;
  driver->MajorFunction[IRP_MJ_POWER] = ClientPower;
  driver->DriverExtension->AddDevice = ClientAddDevice;
  driver->DriverUnload = ClientUnload;
  return STATUS_SUCCESS;
}
}  // namespace

PDRIVER_OBJECT LoadMidiClient() {
  {
    std::lock_guard<std::mutex> guard(gClientsLock);
    gClients.clear();
  }
  return LoadDriver(ClientEntry, u"tbmidiclient");
}

std::shared_ptr<MidiClient> MidiClientOn(PDEVICE_OBJECT child) {
  std::lock_guard<std::mutex> guard(gClientsLock);
  for (auto it = gClients.rbegin(); it != gClients.rend(); ++it) {
    if ((*it)->Child() == child && (*it)->Present()) return *it;
  }
  return nullptr;
}

}  // namespace tb
