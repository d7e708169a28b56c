// Mock USB bus for the end-to-end run under Wine (test-only, never installed by users).
//
// Wine root-enumerates it from mock_bus.inf. It reports at most one USB device, a MIDI
// interface with the same descriptors as the test bed's simulated one (UsbMidiDevice::Product:
// interface 2 alt 0, bulk IN 0x81, bulk OUT 0x02), answers that device's PnP requests and the
// URBs the function driver sends it, and records every request it sees. A control device lets
// the test program plug, unplug, push bulk IN transfers one at a time, read (and hold) the bulk
// OUT transfers, inject URB failures and read the record.
//
// USB device  Plugged  ChildExists  Entered by
// absent      0        0            DriverEntry, REMOVE of an unplugged device
// present     1        1            IOCTL_MOCK_PLUG
// gone        0        1            IOCTL_MOCK_UNPLUG (until the PnP manager removes it)
#include <wdm.h>
extern "C" {
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

#include "mock_ioctl.h"

#define MOCK_TAG 0x6B636F4D  // 'Mock'

enum DeviceKind : ULONG { KIND_BUS = 1, KIND_USB = 2, KIND_CONTROL = 3 };

struct MockExtension {
  ULONG Kind;
  PDEVICE_OBJECT Lower;  // bus only: the root device below it
};

static const UCHAR ConfigurationDescriptor[] = {
    9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
    9, USB_INTERFACE_DESCRIPTOR_TYPE, 2, 0, 2, 0xFF, 0, 0, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
};
static const ULONG PipeEndpoints[2] = {0x81, 0x02};

#define LOG_BYTES 32768
#define IN_TRANSFERS 16
#define OUT_BYTES (MOCK_OUT_TRANSFERS * MOCK_TRANSFER_BYTES)

// One bulk IN transfer the device has ready, as the test program pushed it.
struct InTransfer {
  ULONG Length;
  UCHAR Bytes[MOCK_TRANSFER_BYTES];
};

// The two lists of held bulk transfers, by Tail.Overlay.DriverContext[0].
enum HeldKind : ULONG { HELD_IN = 0, HELD_OUT = 1 };

// One bus per driver: Wine enumerates the root device once.
static struct {
  KSPIN_LOCK Lock;
  PDRIVER_OBJECT Driver;
  PDEVICE_OBJECT BusPdo;     // the root device Wine created
  PDEVICE_OBJECT Usb;        // the USB device (child PDO), while it exists
  MOCK_STATE State;
  USHORT ProductId;
  ULONG NextHandle;
  USBD_CONFIGURATION_HANDLE ConfigHandle;
  USBD_PIPE_HANDLE Pipes[2]; // [0] bulk IN, [1] bulk OUT; null when not configured
  LIST_ENTRY Held[2];        // held bulk transfers by HeldKind (IRP Tail.Overlay.ListEntry)
  InTransfer In[IN_TRANSFERS];  // ring of IN transfers the device has ready
  ULONG InFirst;
  ULONG InCount;
  UCHAR Out[OUT_BYTES];      // every OUT transfer since the plug, in arrival order
  ULONG OutCount;
  BOOLEAN HoldOut;           // OUT transfers arrive but are not completed
  MOCK_FAULT Fault;
  char Log[LOG_BYTES];
  ULONG LogLength;
  ULONG Sequence;
} Bus;

static MockExtension* Ext(PDEVICE_OBJECT Device) { return static_cast<MockExtension*>(Device->DeviceExtension); }

// ---------------------------------------------------------------------------------------------
// The record: a line per request, also printed to the debugger (Wine's debugstr channel).
// ---------------------------------------------------------------------------------------------
struct Line {
  char Text[160];
  ULONG Length;
};

static void Put(Line* L, const char* S) {
  while (*S && L->Length < sizeof L->Text - 1) L->Text[L->Length++] = *S++;
}

static void PutHex(Line* L, ULONG Value) {
  char digits[11] = "0x";
  for (int i = 0; i < 8; i++) digits[2 + i] = "0123456789abcdef"[(Value >> (28 - 4 * i)) & 0xF];
  digits[10] = 0;
  Put(L, digits);
}

static void PutDec(Line* L, ULONG Value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  char out[12];
  for (int i = 0; i < n; i++) out[i] = digits[n - 1 - i];
  out[n] = 0;
  Put(L, out);
}

static void Record(Line* L) {
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  Line full = {};
  PutDec(&full, ++Bus.Sequence);
  Put(&full, " ");
  L->Text[L->Length] = 0;
  Put(&full, L->Text);
  full.Text[full.Length] = 0;
  if (Bus.LogLength + full.Length + 1 < LOG_BYTES) {
    RtlCopyMemory(Bus.Log + Bus.LogLength, full.Text, full.Length);
    Bus.LogLength += full.Length;
    Bus.Log[Bus.LogLength++] = '\n';
  }
  KeReleaseSpinLock(&Bus.Lock, irql);
  DbgPrint("mockbus: %s\n", full.Text);
}

static const char* PnpName(UCHAR Minor) {
  static const char* const names[] = {
      "START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE", "STOP_DEVICE",
      "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE", "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE",
      "QUERY_CAPABILITIES", "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
      "FILTER_RESOURCE_REQUIREMENTS", "0x0e", "READ_CONFIG", "WRITE_CONFIG", "EJECT", "SET_LOCK", "QUERY_ID",
      "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL"};
  return Minor < sizeof names / sizeof names[0] ? names[Minor] : "OTHER";
}

static void RecordPnp(const char* Who, PIO_STACK_LOCATION Stack, NTSTATUS Status) {
  Line l = {};
  Put(&l, Who);
  Put(&l, " pnp ");
  Put(&l, PnpName(Stack->MinorFunction));
  if (Stack->MinorFunction == IRP_MN_QUERY_ID) {
    Put(&l, " type ");
    PutDec(&l, static_cast<ULONG>(Stack->Parameters.QueryId.IdType));
  } else if (Stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
    Put(&l, " type ");
    PutDec(&l, static_cast<ULONG>(Stack->Parameters.QueryDeviceRelations.Type));
  } else if (Stack->MinorFunction == IRP_MN_QUERY_DEVICE_TEXT) {
    Put(&l, " type ");
    PutDec(&l, static_cast<ULONG>(Stack->Parameters.QueryDeviceText.DeviceTextType));
  }
  Put(&l, " -> ");
  PutHex(&l, static_cast<ULONG>(Status));
  Record(&l);
}

static void RecordUrb(PURB Urb, NTSTATUS Status, ULONG Detail) {
  Line l = {};
  Put(&l, "usb urb ");
  switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      Put(&l, "GET_DESCRIPTOR type ");
      PutDec(&l, Urb->UrbControlDescriptorRequest.DescriptorType);
      Put(&l, " bytes ");
      PutDec(&l, Detail);
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      Put(&l, Urb->UrbSelectConfiguration.ConfigurationDescriptor ? "SELECT_CONFIGURATION" : "SELECT_CONFIGURATION none");
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      Put(&l, "SELECT_INTERFACE ");
      PutDec(&l, Urb->UrbSelectInterface.Interface.InterfaceNumber);
      break;
    case URB_FUNCTION_ABORT_PIPE:
      Put(&l, "ABORT_PIPE endpoint ");
      PutHex(&l, Detail);
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      Put(&l, "BULK endpoint ");
      PutHex(&l, Detail);
      Put(&l, " bytes ");
      PutDec(&l, Urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
      break;
    default:
      Put(&l, "function ");
      PutHex(&l, Urb->UrbHeader.Function);
      break;
  }
  Put(&l, " -> ");
  PutHex(&l, static_cast<ULONG>(Status));
  Record(&l);
}

// ---------------------------------------------------------------------------------------------
// USB device: identity.
// ---------------------------------------------------------------------------------------------
static PWSTR PagedCopy(const WCHAR* Source, SIZE_T Units) {
  PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, Units * sizeof(WCHAR), MOCK_TAG));
  if (copy != NULL) RtlCopyMemory(copy, Source, Units * sizeof(WCHAR));
  return copy;
}

static void PutHexWide(WCHAR* To, USHORT Value) {
  for (int i = 0; i < 4; i++) To[i] = static_cast<WCHAR>("0123456789ABCDEF"[(Value >> (12 - 4 * i)) & 0xF]);
}

// ID strings as a USB hub reports them; the product digits are patched in.
static NTSTATUS QueryUsbId(PIRP Irp, BUS_QUERY_ID_TYPE Type) {
  WCHAR device[] = L"USB\\VID_0A7E&PID_0000";
  WCHAR hardware[] = L"USB\\VID_0A7E&PID_0000&REV_0100\0USB\\VID_0A7E&PID_0000\0";
  static const WCHAR instance[] = L"MOCK0001";
  // Empty: Wine 8 does not install a driver for a device that refuses this query.
  static const WCHAR compatible[] = L"\0";
  PWSTR answer;
  switch (Type) {
    case BusQueryDeviceID:
      PutHexWide(device + 17, Bus.ProductId);
      answer = PagedCopy(device, sizeof device / sizeof(WCHAR));
      break;
    case BusQueryHardwareIDs:
      PutHexWide(hardware + 17, Bus.ProductId);
      PutHexWide(hardware + 31 + 17, Bus.ProductId);
      answer = PagedCopy(hardware, sizeof hardware / sizeof(WCHAR));
      break;
    case BusQueryCompatibleIDs:
      answer = PagedCopy(compatible, sizeof compatible / sizeof(WCHAR));
      break;
    case BusQueryInstanceID:
      answer = PagedCopy(instance, sizeof instance / sizeof(WCHAR));
      break;
    default:
      return Irp->IoStatus.Status;
  }
  if (answer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
  return STATUS_SUCCESS;
}

static NTSTATUS QueryUsbCapabilities(PIO_STACK_LOCATION Stack) {
  PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = TRUE;
  caps->Address = 1;
  caps->UINumber = 1;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; s++) {
    caps->DeviceState[s] = PowerDeviceD3;
  }
  caps->DeviceWake = PowerDeviceD2;
  caps->SystemWake = PowerSystemSleeping1;
  return STATUS_SUCCESS;
}

static NTSTATUS TargetRelation(PIRP Irp, PDEVICE_OBJECT Device) {
  PDEVICE_RELATIONS relations =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), MOCK_TAG));
  if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 1;
  relations->Objects[0] = Device;
  ObReferenceObject(Device);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// USB device: transfers.
// ---------------------------------------------------------------------------------------------
static void CompleteUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS Usbd) {
  Urb->UrbHeader.Status = Usbd;
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static PURB UrbOf(PIRP Irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
}

static ULONG* HeldCount(ULONG Kind) { return Kind == HELD_IN ? &Bus.State.PendingIn : &Bus.State.HeldOut; }

// Moves the held transfers of one list to `Out` (cancel routines taken back). Lock held.
static void TakeHeldLocked(ULONG Kind, PLIST_ENTRY Out) {
  while (!IsListEmpty(&Bus.Held[Kind])) {
    PLIST_ENTRY e = RemoveHeadList(&Bus.Held[Kind]);
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      // Its cancel routine runs and completes it; leave it linked to itself for that.
      InitializeListHead(&irp->Tail.Overlay.ListEntry);
      continue;
    }
    InsertTailList(Out, e);
  }
  *HeldCount(Kind) = 0;
}

static void TakePendingLocked(PLIST_ENTRY Out) {
  TakeHeldLocked(HELD_IN, Out);
  TakeHeldLocked(HELD_OUT, Out);
}

static void CompleteList(PLIST_ENTRY List, NTSTATUS Status, USBD_STATUS Usbd) {
  while (!IsListEmpty(List)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(List), IRP, Tail.Overlay.ListEntry);
    PURB urb = UrbOf(irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    CompleteUrb(irp, urb, Status, Usbd);
  }
}

static VOID NTAPI CancelHeld(PDEVICE_OBJECT Device, PIRP Irp) {
  UNREFERENCED_PARAMETER(Device);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  ULONG* count = HeldCount(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.DriverContext[0])));
  if (*count != 0) (*count)--;
  KeReleaseSpinLock(&Bus.Lock, irql);
  PURB urb = UrbOf(Irp);
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  CompleteUrb(Irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Holds a bulk transfer until it is served, its pipe aborted, the device gone or the IRP
// cancelled; STATUS_CANCELLED when it was cancelled already. Lock held.
static NTSTATUS HoldLocked(PIRP Irp, ULONG Kind) {
  Irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Kind));
  IoSetCancelRoutine(Irp, CancelHeld);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    UrbOf(Irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(Irp);
  InsertTailList(&Bus.Held[Kind], &Irp->Tail.Overlay.ListEntry);
  (*HeldCount(Kind))++;
  return STATUS_PENDING;
}

// Completes an IN transfer's URB with the oldest pushed transfer, cut to the transfer's length:
// one push, one transfer, as a device sends them. Lock held, InCount not 0.
static void TakeInTransferLocked(PURB Urb) {
  auto& t = Urb->UrbBulkOrInterruptTransfer;
  InTransfer* next = &Bus.In[Bus.InFirst];
  ULONG n = t.TransferBufferLength < next->Length ? t.TransferBufferLength : next->Length;
  RtlCopyMemory(t.TransferBuffer, next->Bytes, n);
  t.TransferBufferLength = n;
  Bus.InFirst = (Bus.InFirst + 1) % IN_TRANSFERS;
  Bus.InCount--;
  Bus.State.InDelivered++;
}

static USBD_PIPE_HANDLE NewHandle() {
  // Never reused, so a handle from before a reconfiguration stays invalid.
  return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x4D000000u + 0x10u * ++Bus.NextHandle));
}

static void FillInterface(PUSBD_INTERFACE_INFORMATION Info) {
  Info->Class = 0xFF;
  Info->SubClass = 0;
  Info->Protocol = 0;
  Info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(NewHandle());
  Info->NumberOfPipes = 2;
  for (ULONG i = 0; i < 2; i++) {
    PUSBD_PIPE_INFORMATION p = &Info->Pipes[i];
    p->EndpointAddress = static_cast<UCHAR>(PipeEndpoints[i]);
    p->MaximumPacketSize = 64;
    p->Interval = 0;
    p->PipeType = UsbdPipeTypeBulk;
    p->PipeHandle = NewHandle();
    Bus.Pipes[i] = p->PipeHandle;
  }
}

static int PipeIndex(USBD_PIPE_HANDLE Handle) {
  for (int i = 0; i < 2; i++) {
    if (Handle != NULL && Handle == Bus.Pipes[i]) return i;
  }
  return -1;
}

// Answers one URB; STATUS_PENDING when a bulk IN transfer is held.
static NTSTATUS SubmitUrb(PIRP Irp, PURB Urb) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  ULONG detail = 0;
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  if (!Bus.State.Plugged) {
    status = STATUS_NO_SUCH_DEVICE;
    usbd = USBD_STATUS_DEVICE_GONE;
  } else if (Bus.Fault.Count != 0 && Bus.Fault.Function == Urb->UrbHeader.Function) {
    Bus.Fault.Count--;
    status = Bus.Fault.Status;
    usbd = static_cast<USBD_STATUS>(Bus.Fault.UsbdStatus);
  } else {
    switch (Urb->UrbHeader.Function) {
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& req = Urb->UrbControlDescriptorRequest;
        UCHAR device[18] = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x10, 0x01, 0, 0, 0, 8, 0x7E, 0x0A,
                            static_cast<UCHAR>(Bus.ProductId), static_cast<UCHAR>(Bus.ProductId >> 8),
                            0x00, 0x01, 1, 2, 0, 1};
        const UCHAR* source = NULL;
        ULONG size = 0;
        if (req.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
          source = device;
          size = sizeof device;
          Bus.State.DeviceDescriptorReads++;
        } else if (req.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
          source = ConfigurationDescriptor;
          size = sizeof ConfigurationDescriptor;
        }
        if (source == NULL || req.TransferBuffer == NULL) {
          status = STATUS_UNSUCCESSFUL;
          usbd = USBD_STATUS_STALL_PID;
          req.TransferBufferLength = 0;
          break;
        }
        ULONG n = req.TransferBufferLength < size ? req.TransferBufferLength : size;
        RtlCopyMemory(req.TransferBuffer, source, n);
        req.TransferBufferLength = n;
        detail = n;
        break;
      }
      case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& req = Urb->UrbSelectConfiguration;
        TakePendingLocked(&cancelled);
        Bus.Pipes[0] = Bus.Pipes[1] = NULL;
        if (req.ConfigurationDescriptor == NULL) {
          Bus.ConfigHandle = NULL;
          Bus.State.Configured = 0;
          break;
        }
        // One entry, for interface 2: the only interface of the descriptor.
        PUSBD_INTERFACE_INFORMATION info = &req.Interface;
        ULONG header = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
        if (Urb->UrbHeader.Length < header + GET_USBD_INTERFACE_SIZE(2) || info->Length < GET_USBD_INTERFACE_SIZE(2)) {
          status = STATUS_INVALID_PARAMETER;
          usbd = USBD_STATUS_INVALID_PARAMETER;
          break;
        }
        FillInterface(info);
        Bus.ConfigHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(NewHandle());
        req.ConfigurationHandle = Bus.ConfigHandle;
        Bus.State.Configured = 1;
        break;
      }
      case URB_FUNCTION_SELECT_INTERFACE: {
        auto& req = Urb->UrbSelectInterface;
        PUSBD_INTERFACE_INFORMATION info = &req.Interface;
        ULONG header = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
        if (!Bus.State.Configured || req.ConfigurationHandle != Bus.ConfigHandle || info->InterfaceNumber != 2 ||
            info->AlternateSetting != 0) {
          status = STATUS_INVALID_PARAMETER;
          usbd = USBD_STATUS_INVALID_PARAMETER;
          break;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(2) || Urb->UrbHeader.Length < header + info->Length) {
          status = STATUS_INVALID_PARAMETER;
          usbd = USBD_STATUS_BUFFER_TOO_SMALL;
          break;
        }
        TakePendingLocked(&cancelled);
        FillInterface(info);
        break;
      }
      case URB_FUNCTION_ABORT_PIPE: {
        int pipe = PipeIndex(Urb->UrbPipeRequest.PipeHandle);
        if (pipe < 0) {
          status = STATUS_INVALID_PARAMETER;
          usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
          break;
        }
        detail = PipeEndpoints[pipe];
        TakeHeldLocked(pipe == 0 ? HELD_IN : HELD_OUT, &cancelled);
        break;
      }
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& t = Urb->UrbBulkOrInterruptTransfer;
        int pipe = PipeIndex(t.PipeHandle);
        if (pipe < 0 || t.TransferBuffer == NULL) {
          status = STATUS_INVALID_PARAMETER;
          usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
          t.TransferBufferLength = 0;
          break;
        }
        detail = PipeEndpoints[pipe];
        if (pipe == 1) {
          // Kept as it arrived, held or not: the comparison is of what reached the device.
          if (t.TransferBufferLength != MOCK_TRANSFER_BYTES) Bus.State.OddOut++;
          ULONG n = t.TransferBufferLength < MOCK_TRANSFER_BYTES ? t.TransferBufferLength : MOCK_TRANSFER_BYTES;
          if (Bus.OutCount + MOCK_TRANSFER_BYTES <= OUT_BYTES) {
            RtlFillMemory(Bus.Out + Bus.OutCount, MOCK_TRANSFER_BYTES, 0);
            RtlCopyMemory(Bus.Out + Bus.OutCount, t.TransferBuffer, n);
            Bus.OutCount += MOCK_TRANSFER_BYTES;
          }
          Bus.State.OutTransfers++;
          if (Bus.HoldOut) status = HoldLocked(Irp, HELD_OUT);
          if (status == STATUS_CANCELLED) usbd = USBD_STATUS_CANCELED;
          break;
        }
        if (Bus.InCount != 0) {
          TakeInTransferLocked(Urb);
          break;
        }
        status = HoldLocked(Irp, HELD_IN);
        if (status == STATUS_CANCELLED) usbd = USBD_STATUS_CANCELED;
        break;
      }
      default:
        status = STATUS_NOT_SUPPORTED;
        usbd = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
  }
  KeReleaseSpinLock(&Bus.Lock, irql);
  CompleteList(&cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  RecordUrb(Urb, status, detail);
  if (status != STATUS_PENDING) CompleteUrb(Irp, Urb, status, usbd);
  return status;
}

// ---------------------------------------------------------------------------------------------
// USB device: dispatch.
// ---------------------------------------------------------------------------------------------
static NTSTATUS UsbPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  BOOLEAN deleteDevice = FALSE;
  LIST_ENTRY gone;
  InitializeListHead(&gone);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = STATUS_SUCCESS;
      Bus.State.Started = 1;
      Bus.State.Starts++;
      // Windows asks a started device for its bus relations; Wine only does when told to. The
      // enumeration thread sending this start takes the request up once the start is done.
      IoInvalidateDeviceRelations(Device, BusRelations);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      Bus.State.Started = 0;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      Bus.State.Started = 0;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      KIRQL irql;
      KeAcquireSpinLock(&Bus.Lock, &irql);
      TakePendingLocked(&gone);
      Bus.State.Started = 0;
      Bus.State.Configured = 0;
      Bus.Pipes[0] = Bus.Pipes[1] = NULL;
      Bus.State.Removals++;
      // A device still on the bus keeps its object (it was only disabled).
      if (!Bus.State.Plugged) {
        Bus.Usb = NULL;
        Bus.State.ChildExists = 0;
        deleteDevice = TRUE;
      }
      KeReleaseSpinLock(&Bus.Lock, irql);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_ID:
      status = QueryUsbId(Irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryUsbCapabilities(stack);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        static const WCHAR text[] = L"Mock USB MIDI interface";
        PWSTR copy = PagedCopy(text, sizeof text / sizeof(WCHAR));
        status = copy != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        if (copy != NULL) Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
      }
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        status = TargetRelation(Irp, Device);
      } else if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        Bus.State.BusRelationsOnDevice++;
      }
      break;
    default:
      break;
  }
  CompleteList(&gone, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  RecordPnp("usb", stack, status);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (deleteDevice) IoDeleteDevice(Device);
  return status;
}

static NTSTATUS UsbInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
  UNREFERENCED_PARAMETER(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb != NULL) return SubmitUrb(Irp, urb);
  }
  Line l = {};
  Put(&l, "usb internal ioctl ");
  PutHex(&l, stack->Parameters.DeviceIoControl.IoControlCode);
  Record(&l);
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_SUPPORTED;
}

// ---------------------------------------------------------------------------------------------
// Bus device (on the root device Wine created).
// ---------------------------------------------------------------------------------------------
static NTSTATUS BusPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT lower = Ext(Device)->Lower;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        KIRQL irql;
        KeAcquireSpinLock(&Bus.Lock, &irql);
        PDEVICE_OBJECT usb = Bus.State.Plugged ? Bus.Usb : NULL;
        if (usb != NULL) ObReferenceObject(usb);
        KeReleaseSpinLock(&Bus.Lock, irql);
        PDEVICE_RELATIONS relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), MOCK_TAG));
        if (relations == NULL) {
          if (usb != NULL) ObDereferenceObject(usb);
          Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
          IoCompleteRequest(Irp, IO_NO_INCREMENT);
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        relations->Count = usb != NULL ? 1 : 0;
        relations->Objects[0] = usb;
        Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        RecordPnp("bus", stack, STATUS_SUCCESS);
      }
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      RecordPnp("bus", stack, STATUS_SUCCESS);
      break;
    case IRP_MN_REMOVE_DEVICE: {
      RecordPnp("bus", stack, STATUS_SUCCESS);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS status = IoCallDriver(lower, Irp);
      IoDetachDevice(lower);
      IoDeleteDevice(Device);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

// ---------------------------------------------------------------------------------------------
// Control device.
// ---------------------------------------------------------------------------------------------
static NTSTATUS Plug(ULONG Product) {
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  BOOLEAN busy = Bus.State.ChildExists || Bus.BusPdo == NULL;
  KeReleaseSpinLock(&Bus.Lock, irql);
  if (busy) return STATUS_DEVICE_BUSY;

  // Named: Wine builds device interface links from the physical device's name.
  PDEVICE_OBJECT usb = NULL;
  NTSTATUS status = IoCreateDevice(Bus.Driver, sizeof(MockExtension), NULL, FILE_DEVICE_USB,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &usb);
  if (!NT_SUCCESS(status)) return status;
  Ext(usb)->Kind = KIND_USB;
  usb->Flags &= ~DO_DEVICE_INITIALIZING;

  KeAcquireSpinLock(&Bus.Lock, &irql);
  Bus.ProductId = static_cast<USHORT>(Product != 0 ? Product : 0x0001);
  Bus.Usb = usb;
  Bus.State.Plugged = 1;
  Bus.State.ChildExists = 1;
  Bus.State.Configured = 0;
  Bus.State.Plugs++;
  Bus.InFirst = 0;
  Bus.InCount = 0;
  Bus.OutCount = 0;
  Bus.HoldOut = FALSE;
  Bus.State.OutTransfers = 0;
  Bus.State.OddOut = 0;
  Bus.State.InDelivered = 0;
  Bus.ConfigHandle = NULL;
  Bus.Pipes[0] = Bus.Pipes[1] = NULL;
  KeReleaseSpinLock(&Bus.Lock, irql);

  Line l = {};
  Put(&l, "control plug product ");
  PutHex(&l, Bus.ProductId);
  Record(&l);
  IoInvalidateDeviceRelations(Bus.BusPdo, BusRelations);
  return STATUS_SUCCESS;
}

static NTSTATUS Unplug() {
  LIST_ENTRY gone;
  InitializeListHead(&gone);
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  BOOLEAN plugged = Bus.State.Plugged != 0;
  Bus.State.Plugged = 0;
  TakePendingLocked(&gone);
  KeReleaseSpinLock(&Bus.Lock, irql);
  if (!plugged) return STATUS_NO_SUCH_DEVICE;
  CompleteList(&gone, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  Line l = {};
  Put(&l, "control unplug");
  Record(&l);
  IoInvalidateDeviceRelations(Bus.BusPdo, BusRelations);
  return STATUS_SUCCESS;
}

static NTSTATUS PushIn(const UCHAR* Bytes, ULONG Length) {
  if (Length > MOCK_TRANSFER_BYTES) return STATUS_INVALID_PARAMETER;
  PIRP done = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  if (Bus.InCount == IN_TRANSFERS || !Bus.State.Plugged) {
    KeReleaseSpinLock(&Bus.Lock, irql);
    return STATUS_DEVICE_BUSY;
  }
  InTransfer* slot = &Bus.In[(Bus.InFirst + Bus.InCount) % IN_TRANSFERS];
  slot->Length = Length;
  RtlCopyMemory(slot->Bytes, Bytes, Length);
  Bus.InCount++;
  while (!IsListEmpty(&Bus.Held[HELD_IN])) {
    PLIST_ENTRY e = RemoveHeadList(&Bus.Held[HELD_IN]);
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    Bus.State.PendingIn--;
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      InitializeListHead(e);  // being cancelled; its routine completes it
      continue;
    }
    TakeInTransferLocked(UrbOf(irp));
    done = irp;
    break;
  }
  KeReleaseSpinLock(&Bus.Lock, irql);
  if (done != NULL) CompleteUrb(done, UrbOf(done), STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// Holding on: OUT transfers stay with the device. Holding off: the held ones complete.
static NTSTATUS HoldOut(BOOLEAN Hold) {
  LIST_ENTRY released;
  InitializeListHead(&released);
  KIRQL irql;
  KeAcquireSpinLock(&Bus.Lock, &irql);
  Bus.HoldOut = Hold;
  if (!Hold) TakeHeldLocked(HELD_OUT, &released);
  KeReleaseSpinLock(&Bus.Lock, irql);
  while (!IsListEmpty(&released)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&released), IRP, Tail.Overlay.ListEntry);
    CompleteUrb(irp, UrbOf(irp), STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
  return STATUS_SUCCESS;
}

static NTSTATUS ControlIo(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  ULONG_PTR information = 0;
  NTSTATUS status;
  KIRQL irql;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOCK_PLUG:
      status = inLength >= sizeof(ULONG) ? Plug(*static_cast<ULONG*>(buffer)) : STATUS_INVALID_PARAMETER;
      break;
    case IOCTL_MOCK_UNPLUG:
      status = Unplug();
      break;
    case IOCTL_MOCK_PUSH_IN:
      status = PushIn(static_cast<UCHAR*>(buffer), inLength);
      break;
    case IOCTL_MOCK_READ_OUT:
      KeAcquireSpinLock(&Bus.Lock, &irql);
      information = outLength < Bus.OutCount ? outLength : Bus.OutCount;
      RtlCopyMemory(buffer, Bus.Out, information);
      KeReleaseSpinLock(&Bus.Lock, irql);
      status = STATUS_SUCCESS;
      break;
    case IOCTL_MOCK_READ_LOG:
      KeAcquireSpinLock(&Bus.Lock, &irql);
      information = outLength < Bus.LogLength ? outLength : Bus.LogLength;
      RtlCopyMemory(buffer, Bus.Log, information);
      KeReleaseSpinLock(&Bus.Lock, irql);
      status = STATUS_SUCCESS;
      break;
    case IOCTL_MOCK_HOLD_OUT:
      status = inLength >= sizeof(ULONG) ? HoldOut(*static_cast<ULONG*>(buffer) != 0) : STATUS_INVALID_PARAMETER;
      break;
    case IOCTL_MOCK_FAIL_URB:
      if (inLength < sizeof(MOCK_FAULT)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      KeAcquireSpinLock(&Bus.Lock, &irql);
      Bus.Fault = *static_cast<MOCK_FAULT*>(buffer);
      KeReleaseSpinLock(&Bus.Lock, irql);
      status = STATUS_SUCCESS;
      break;
    case IOCTL_MOCK_STATE:
      if (outLength < sizeof(MOCK_STATE)) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      KeAcquireSpinLock(&Bus.Lock, &irql);
      *static_cast<MOCK_STATE*>(buffer) = Bus.State;
      KeReleaseSpinLock(&Bus.Lock, irql);
      information = sizeof(MOCK_STATE);
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------------------------
// Entry points.
// ---------------------------------------------------------------------------------------------
static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  switch (Ext(Device)->Kind) {
    case KIND_BUS:
      return BusPnp(Device, Irp);
    case KIND_USB:
      return UsbPnp(Device, Irp);
    default:
      return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  if (Ext(Device)->Kind == KIND_USB) {
    // Recorded: which power requests Wine's power manager sends on a driver's behalf.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Line l = {};
    Put(&l, "usb power minor ");
    PutDec(&l, stack->MinorFunction);
    Put(&l, " type ");
    PutDec(&l, static_cast<ULONG>(stack->Parameters.Power.Type));
    Put(&l, " state ");
    PutDec(&l, static_cast<ULONG>(stack->Parameters.Power.State.DeviceState));
    Record(&l);
  }
  if (Ext(Device)->Kind == KIND_BUS) {
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Ext(Device)->Lower, Irp);
  }
  return CompleteWith(Irp, Ext(Device)->Kind == KIND_USB ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (Ext(Device)->Kind == KIND_USB) return UsbInternalControl(Device, Irp);
  return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (Ext(Device)->Kind == KIND_CONTROL) return ControlIo(Irp);
  return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT Device, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  return CompleteWith(Irp, Ext(Device)->Kind == KIND_CONTROL ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  if (Bus.BusPdo != NULL) return STATUS_DEVICE_BUSY;  // one bus only
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(MockExtension), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Ext(fdo)->Kind = KIND_BUS;
  Ext(fdo)->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (Ext(fdo)->Lower == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  Bus.BusPdo = Pdo;
  Line l = {};
  Put(&l, "bus added");
  Record(&l);
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, MOCK_CONTROL_LINK);
  IoDeleteSymbolicLink(&link);
  while (Driver->DeviceObject != NULL) IoDeleteDevice(Driver->DeviceObject);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  KeInitializeSpinLock(&Bus.Lock);
  InitializeListHead(&Bus.Held[HELD_IN]);
  InitializeListHead(&Bus.Held[HELD_OUT]);
  Bus.Driver = Driver;
  Bus.ProductId = 0x0001;

  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, MOCK_CONTROL_NAME);
  RtlInitUnicodeString(&link, MOCK_CONTROL_LINK);
  PDEVICE_OBJECT control = NULL;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(MockExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  Ext(control)->Kind = KIND_CONTROL;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  control->Flags &= ~DO_DEVICE_INITIALIZING;

  Driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  DbgPrint("mockbus: loaded\n");
  return STATUS_SUCCESS;
}
