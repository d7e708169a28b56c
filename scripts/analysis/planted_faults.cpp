// Faults the analysis must find, compiled as if it were a driver file (scripts/analyze.py
// --self-test). Each function holds one; the comment above it names each analyzer that must report
// it there and the check it must report it with. An analysis that misses them would pass any driver.
#include "core/driver.h"

// planted: double free (gcc -Wanalyzer-double-free, clang clang-analyzer-unix.Malloc)
VOID PlantedDoubleFree(BOOLEAN Again) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, DRIVER_POOL_TAG);
  ExFreePool(block);
  if (Again) ExFreePool(block);
}

// planted: use after free (gcc -Wanalyzer-use-after-free, clang clang-analyzer-unix.Malloc)
UCHAR PlantedUseAfterFree(VOID) {
  PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 16, DRIVER_POOL_TAG));
  if (block == NULL) return 0;
  block[0] = 1;
  ExFreePool(block);
  return block[0];
}

// planted: IRP touched after IoFreeIrp (gcc -Wanalyzer-use-after-free)
ULONG PlantedIrpAfterFree(VOID) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  if (irp == NULL) return 0;
  IoFreeIrp(irp);
  return irp->Flags;
}

// planted: IRP freed as a pool block (gcc -Wanalyzer-mismatching-deallocation)
VOID PlantedMismatchedFree(VOID) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  if (irp != NULL) ExFreePool(irp);
}

// planted: unchecked allocation (gcc -Wanalyzer-possible-null-dereference)
VOID PlantedUncheckedAllocation(FdoExtension* Fdo) {
  PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 16, DRIVER_POOL_TAG));
  block[0] = 1;
  Fdo->PacketPool = block;
}

// planted: leak (clang clang-analyzer-unix.Malloc)
NTSTATUS PlantedLeak(ULONG Size) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, Size, DRIVER_POOL_TAG);
  if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  if (Size < 8) return STATUS_INVALID_PARAMETER;
  ExFreePool(block);
  return STATUS_SUCCESS;
}

// planted: uninitialized (gcc -Wanalyzer-use-of-uninitialized-value, clang clang-analyzer-core.uninitialized.UndefReturn)
ULONG PlantedUninitialized(FdoExtension* Fdo) {
  ULONG state;
  if (Fdo->Flags & FDO_STARTED) state = 1;
  return state;
}
