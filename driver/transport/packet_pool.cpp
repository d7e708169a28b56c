// The pool of transfer packets: built once at device addition, released at removal.
//
// Packet states:   free (on FreePacketList, PacketFlags 0)  --TakePacket-->  taken (IN_USE)
//                  taken  --ReturnPacket-->  free
// The semaphore is the admission ticket: a packet is linked before the semaphore is released,
// so a taker that got the semaphore always finds a packet on the list.
//
// A lower driver may hold a packet past the removal (it ignored both the abort and the remove).
// Removal then leaves the pool, and the device it lives in, to that packet: the device stays
// referenced, and the last packet to come back frees the pool and lets the device go.
#include "transport/transport.h"

NTSTATUS WaitForObjectMs(PVOID Object, ULONG Milliseconds) {
  if (Milliseconds == 0) return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, NULL);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(Milliseconds) * 10000;
  return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &timeout);
}

VOID BuildPacketPool(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  SIZE_T bytes = sizeof(TransferPacket) * PACKET_COUNT;
  fdo->PacketPool = ExAllocatePoolWithTag(NonPagedPool, bytes, DRIVER_POOL_TAG);
  KeInitializeSemaphore(&fdo->FreePacketSemaphore, 0, PACKET_COUNT);
  fdo->StackSize = fdo->LowerDevice->StackSize;
  // Without the block the pool stays empty: every take times out and the sends fail cleanly.
  if (fdo->PacketPool == NULL) return;
  RtlZeroMemory(fdo->PacketPool, bytes);

  TransferPacket* slots = static_cast<TransferPacket*>(fdo->PacketPool);
  TransferPacket* last = NULL;
  ULONG slot = 0;
  for (ULONG attempt = 0; attempt < PACKET_COUNT; attempt++) {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(fdo->StackSize), FALSE);
    if (irp == NULL) continue;  // the slot is tried again; this attempt's packet is lost
    TransferPacket* packet = &slots[slot++];
    packet->Irp = irp;
    packet->Device = DeviceObject;
    packet->NextFree = fdo->FreePacketList;
    fdo->FreePacketList = packet;
    if (last == NULL) {
      fdo->FirstPacket = packet;
    } else {
      last->NextAll = packet;
    }
    last = packet;
    KeReleaseSemaphore(&fdo->FreePacketSemaphore, IO_NO_INCREMENT, 1, FALSE);
  }
}

static TransferPacket* TakeFreePacket(FdoExtension* fdo) {
  KIRQL irql;
  KeAcquireSpinLock(&fdo->PacketListLock, &irql);
  TransferPacket* packet = fdo->FreePacketList;
  fdo->FreePacketList = packet->NextFree;
  packet->PacketFlags = PACKET_IN_USE;
  fdo->PacketsOut++;
  KeReleaseSpinLock(&fdo->PacketListLock, irql);
  return packet;
}

TransferPacket* TakePacket(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (WaitForObjectMs(&fdo->FreePacketSemaphore, 1000) != STATUS_SUCCESS) return NULL;
  return TakeFreePacket(fdo);
}

TransferPacket* TryTakePacket(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  LARGE_INTEGER now;
  now.QuadPart = 0;
  if (KeWaitForSingleObject(&fdo->FreePacketSemaphore, Executive, KernelMode, FALSE, &now) != STATUS_SUCCESS) {
    return NULL;
  }
  return TakeFreePacket(fdo);
}

VOID ReturnPacket(PDEVICE_OBJECT DeviceObject, TransferPacket* Packet) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&fdo->PacketListLock, &irql);
  Packet->NextFree = fdo->FreePacketList;
  fdo->FreePacketList = Packet;
  Packet->PacketFlags = 0;
  fdo->PacketsOut--;
  BOOLEAN orphaned = fdo->PoolOrphaned;
  BOOLEAN last = orphaned && fdo->PacketsOut == 0;
  KeReleaseSpinLock(&fdo->PacketListLock, irql);
  if (!orphaned) {
    KeReleaseSemaphore(&fdo->FreePacketSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return;
  }
  // The device was removed while this packet was out. Past this point neither the packet nor
  // the extension may be touched: the last one back frees both.
  if (last) {
    ReleasePacketPool(DeviceObject);
    ObfDereferenceObject(DeviceObject);
  }
}

BOOLEAN OrphanPoolIfPacketsOut(PDEVICE_OBJECT DeviceObject, ULONG Reclaimed) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  // Referenced before the mark is visible: a packet coming back at once may already drop it.
  ObfReferenceObject(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&fdo->PacketListLock, &irql);
  LONG outstanding = fdo->PacketsOut - static_cast<LONG>(Reclaimed);
  if (outstanding > 0) {
    // The reclaimed packets stay taken for good; only the ones still out count down.
    fdo->PacketsOut = outstanding;
    fdo->PoolOrphaned = TRUE;
  }
  KeReleaseSpinLock(&fdo->PacketListLock, irql);
  if (outstanding > 0) return TRUE;
  ObfDereferenceObject(DeviceObject);
  return FALSE;
}

// Runs at removal, after the pipes were aborted and the remove went down and every packet came
// back; or, at up to DISPATCH_LEVEL, when the last packet a removal could not wait for returns.
VOID ReleasePacketPool(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (fdo->PacketPool == NULL) return;
  for (TransferPacket* packet = static_cast<TransferPacket*>(fdo->PacketPool); packet != NULL;
       packet = packet->NextAll) {
    if (packet->Irp != NULL) IoFreeIrp(packet->Irp);
  }
  ExFreePool(fdo->PacketPool);
  fdo->PacketPool = NULL;
  fdo->FirstPacket = NULL;
  fdo->FreePacketList = NULL;
}
