// Control codes of the mock USB bus's control device (\\.\UsbMidiMockBus), shared by the
// mock bus driver and the end-to-end test program. All METHOD_BUFFERED.
#pragma once

#define MOCK_CONTROL_NAME L"\\Device\\UsbMidiMockBus"
#define MOCK_CONTROL_LINK L"\\DosDevices\\UsbMidiMockBus"
#define MOCK_CONTROL_PATH "\\\\.\\UsbMidiMockBus"

#define MOCK_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

// in: ULONG product ID (0: 0x0001). Creates the USB device and reports it to the PnP manager.
#define IOCTL_MOCK_PLUG MOCK_CODE(0)
// The USB device leaves the bus: transfers fail from now on, pending ones complete as gone,
// and the PnP manager is told it is missing.
#define IOCTL_MOCK_UNPLUG MOCK_CODE(1)
// in: one bulk IN transfer, up to MOCK_TRANSFER_BYTES bytes; a pending IN transfer takes it at
// once, else the next one to arrive. Up to 16 wait in the device.
#define IOCTL_MOCK_PUSH_IN MOCK_CODE(2)
// out: every bulk OUT transfer since the plug, in arrival order, MOCK_TRANSFER_BYTES bytes each
// (a shorter one zero-filled; OddOut counts them). Not cleared.
#define IOCTL_MOCK_READ_OUT MOCK_CODE(3)
// out: the request record, one line per request seen, "<seq> <text>\n" (not cleared).
#define IOCTL_MOCK_READ_LOG MOCK_CODE(4)
// in: MOCK_FAULT. The next `Count` URBs with `Function` fail with the given statuses.
#define IOCTL_MOCK_FAIL_URB MOCK_CODE(5)
// out: MOCK_STATE.
#define IOCTL_MOCK_STATE MOCK_CODE(6)
// in: ULONG, not 0: OUT transfers are kept but not completed from now on; 0: the held ones
// complete with success. Unplug, removal, an abort of the OUT pipe and cancel end them too.
#define IOCTL_MOCK_HOLD_OUT MOCK_CODE(7)

#define MOCK_TRANSFER_BYTES 32
#define MOCK_OUT_TRANSFERS 256

typedef struct _MOCK_FAULT {
  ULONG Function;    // URB_FUNCTION_*
  ULONG Count;
  LONG Status;       // NTSTATUS of the IRP
  LONG UsbdStatus;   // USBD_STATUS of the URB
} MOCK_FAULT;

typedef struct _MOCK_STATE {
  ULONG Plugged;         // the USB device is on the bus
  ULONG ChildExists;     // its device object exists (until the PnP manager removes it)
  ULONG Started;         // started and not removed
  ULONG Configured;      // a configuration is selected
  ULONG PendingIn;       // bulk IN transfers held
  ULONG Plugs;           // devices created so far
  ULONG Removals;        // devices removed (IRP_MN_REMOVE_DEVICE) so far
  ULONG Starts;          // IRP_MN_START_DEVICE seen on the USB device so far
  ULONG DeviceDescriptorReads;  // one per AddDevice of the function driver
  ULONG BusRelationsOnDevice;   // bus relations queries that reached the USB device
  ULONG HeldOut;         // bulk OUT transfers held
  ULONG OutTransfers;    // bulk OUT transfers that arrived since the plug
  ULONG OddOut;          // of those, the ones not MOCK_TRANSFER_BYTES long
  ULONG InDelivered;     // pushed IN transfers handed to the host since the plug
} MOCK_STATE;
