// Device extensions, the per-open record, and the core routines every subsystem shares.
#pragma once

#include "kernel.h"

// Pool tag of every block the driver allocates ('Wdm ' read as a little-endian word).
#define DRIVER_POOL_TAG 0x206D6457UL

// Extension signatures, as multi-character constants.
#define FDO_SIGNATURE 0x5546444FUL  // 'UFDO'
#define PDO_SIGNATURE 0x5550444FUL  // 'UPDO'

// Size of every bulk transfer, both directions.
#define PACKET_SIZE 32
#define PACKET_COUNT 32
#define RX_RING_SIZE 128
#define TX_RING_SIZE 256
#define LINK_NAME_CHARS 256

// FdoExtension.Flags. Changed only with interlocked or/and: several paths touch the word at once.
#define FDO_REMOVED 0x01
#define FDO_REMOVE_PENDING 0x02
#define FDO_STOP_PENDING 0x04
#define FDO_STARTED 0x08
#define FDO_WAIT_WAKE_ARMED 0x10
#define FDO_POWER_REQUEST_PENDING 0x20
#define FDO_STREAM_RUNNING 0x40

// PdoExtension.Flags.
#define PDO_REMOVED 0x01
#define PDO_STARTED 0x08

struct TransferPacket;
struct PdoExtension;

// One per open of the child device; also the shape of a reader slot.
struct OpenContext {
  OpenContext* Next;      // next record in OpenContextList, null in the last
  ULONG RxReadIndex;      // this open's position in RxRing
  ULONG ReadLength;       // length asked by the read being served
  PUCHAR ReadBuffer;      // where that read's next byte goes
  PIRP PendingReadIrp;    // the read waiting for bytes, or null
};

// Extension of the function device on the USB device.
struct FdoExtension {
  ULONG Signature;                        // FDO_SIGNATURE
  volatile ULONG Flags;                   // FDO_* state bits
  PDEVICE_OBJECT Self;                    // the function device
  PdoExtension* ChildExtension;           // the one child (a single slot)
  ULONG ChildCount;                       // 0 or 1
  PDEVICE_OBJECT LowerDevice;             // what we are attached to
  LONG StackSize;                         // stack locations for IRPs we send down
  PDEVICE_OBJECT PhysicalDevice;          // the USB device's PDO
  ULONG DevicePowerState;                 // DEVICE_POWER_STATE numbering; 0 until first set
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // owned
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;                // owned, 18 bytes
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // owned copy of the selected interface
  USBD_PIPE_HANDLE BulkInPipe;
  USBD_PIPE_HANDLE BulkOutPipe;
  ULONG ProductKey;                       // idVendor << 16 | idProduct
  DEVICE_CAPABILITIES Capabilities;       // as the physical device reported them
  PIRP PendingSystemPowerIrp;             // system set-power held while our device request runs
  KEVENT RemoveEvent;                     // set when IoCount reaches 0
  KEVENT IdleEvent;                       // set each time IoCount falls to 1
  KEVENT PowerUpEvent;                    // set when one of our power-ups completes
  KSPIN_LOCK IoCountLock;                 // IoCount and the choice of event
  volatile LONG IoCount;                  // activity counter
  volatile LONG OpenPipeCount;            // bulk pipes an open stream uses; lowered per pipe aborted, never below 0
  WCHAR InterfaceLinkName[LINK_NAME_CHARS];  // device interface link, zero-terminated
  ULONG IdlePowerState;                   // device state for idle power-down
  ULONG PacketSize;                       // PACKET_SIZE
  ULONG OpenCount;                        // opens of the stream
  volatile ULONG ActiveReadCount;         // continuous reads in flight
  KSEMAPHORE FreePacketSemaphore;         // counts free packets, limit PACKET_COUNT
  TransferPacket* FirstPacket;            // chain of all packets
  TransferPacket* FreePacketList;         // free packets, last returned first
  PVOID PacketPool;                       // owned block holding every packet
  ULONG StreamState;                      // 0 never started, 1 start sent, 2 stop sent
  UCHAR RxRing[RX_RING_SIZE];
  ULONG RxWriteIndex;                     // next write position in RxRing
  PVOID WriterThread;                     // referenced thread object of the writer thread
  KEVENT TxEvent;                         // wakes the writer thread
  ULONG TxWriteIndex;                     // producer's position in TxRing
  ULONG TxReadIndex;                      // writer thread's position in TxRing
  volatile ULONG TxCount;                 // bytes held in TxRing
  UCHAR TxRing[TX_RING_SIZE];
  OpenContext* OpenContextList;           // newest first
  KSPIN_LOCK PacketListLock;              // FreePacketList
  KSPIN_LOCK RxLock;                      // RxRing, RxWriteIndex, OpenContextList, reader slots
  KMUTEX StreamMutex;                     // OpenCount with the stream start and stop
  KMUTEX TxProducerMutex;                 // one QueueBytes caller at a time: the ring has one producer
  LONG PacketsOut;                        // packets taken and not yet returned (PacketListLock)
  BOOLEAN PoolOrphaned;                   // removal left the pool to the last packet still out (PacketListLock)
  PIRP WaitWakeIrp;                       // the wait-wake request held below, for a removal to cancel
  volatile LONG WaitWakeState;            // WAIT_WAKE_* (power/power.h): who may touch WaitWakeIrp
  KEVENT PowerGateEvent;                  // synchronization event: an own power request's turn came free
};

// Extension of the child device the MIDI client loads on.
struct PdoExtension {
  ULONG Signature;                        // PDO_SIGNATURE
  ULONG Flags;                            // PDO_* bits
  PDEVICE_OBJECT Self;                    // the child device
  PDEVICE_OBJECT Parent;                  // the function device
  ULONG DevicePowerState;
  ULONG SystemPowerState;
  PIRP PendingReadIrp;                    // the one waiting internal read
  PUCHAR ReadBuffer;
  ULONG ReadLength;
  ULONG RxReadIndex;
};

static inline FdoExtension* FdoExt(PDEVICE_OBJECT DeviceObject) {
  return static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
}
static inline PdoExtension* PdoExt(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PdoExtension*>(DeviceObject->DeviceExtension);
}

// A power state field holds whatever word its sender put there, which need not be one of the
// enumeration's values (reading it as the enumeration would then be undefined): read the word.
static inline ULONG RawPowerState(const void* Field) {
  ULONG word;
  RtlCopyMemory(&word, Field, sizeof word);
  return word;
}

// The flag word is shared by every path; reads go through an interlocked operation too, so that
// a reader on one processor sees a whole, current word.
static inline ULONG ReadFdoFlags(FdoExtension* Fdo) {
  return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->Flags), 0));
}

// Flag word updates that never undo a concurrent change of another bit.
static inline void SetFdoFlags(FdoExtension* Fdo, ULONG Bits) {
  InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->Flags), static_cast<LONG>(Bits));
}
static inline void ClearFdoFlags(FdoExtension* Fdo, ULONG Bits) {
  InterlockedAnd(reinterpret_cast<volatile LONG*>(&Fdo->Flags), static_cast<LONG>(~Bits));
}

// The child's flag word is written by its PnP handler and read by the client paths in other
// threads: whole-word interlocked accesses.
static inline ULONG ReadPdoFlags(PdoExtension* Pdo) {
  return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&Pdo->Flags), 0));
}
static inline void WritePdoFlags(PdoExtension* Pdo, ULONG Flags) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&Pdo->Flags), static_cast<LONG>(Flags));
}

// --- core/entry.cpp ---
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// --- core/iocount.cpp ---
VOID AcquireIo(PDEVICE_OBJECT DeviceObject);
LONG ReleaseIo(PDEVICE_OBJECT DeviceObject);
BOOLEAN IsReady(PDEVICE_OBJECT DeviceObject);

// --- handlers by device kind (usb/, power/, client/) ---
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo);
NTSTATUS PdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo);
NTSTATUS FdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo);
NTSTATUS PdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo);
NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo);
NTSTATUS PdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo);
// Deletes the child, first taking it out of the parent's count under RxLock (client/pdo_pnp.cpp).
VOID DeleteChild(FdoExtension* Parent, PDEVICE_OBJECT Child);
NTSTATUS ClientCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ClientClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ClientRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ClientWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ClientDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
