// Completion racing a cancel on another processor, the way a driver's read path meets IoCancelIrp:
// the I/O manager's own accesses to the IRP must be as safe as the driver's (ThreadSanitizer
// sees the difference).
#include <atomic>
#include <thread>

#include "support/fixture.h"

namespace {

class CompletionRaceTest : public KernelTest {};

VOID NTAPI CancelHeldRead(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI Reclaim(PDEVICE_OBJECT, PIRP, PVOID context) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(CompletionRaceTest, CompletingWhileAnotherThreadCancelsCompletesOnce) {
  PDEVICE_OBJECT holder = tb::CreateHostDevice("holder", [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeldRead);
    return STATUS_PENDING;
  });
  for (int round = 0; round < 50; round++) {
    std::atomic<int> completions{0};
    PIRP irp = IoAllocateIrp(holder->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, Reclaim, &completions, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    ASSERT_EQ(IofCallDriver(holder, irp), STATUS_PENDING);
    std::atomic<int> ready{0};
    std::thread canceller([&] {
      ready++;
      while (ready.load() < 2) {
      }
      IoCancelIrp(irp);
    });
    ready++;
    while (ready.load() < 2) {
    }
    // The holder's completion path: whoever takes the cancel routine away completes.
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    canceller.join();
    EXPECT_EQ(completions.load(), 1) << "round " << round;
    IoFreeIrp(irp);
  }
}

}  // namespace
