// The I/O manager's IRP handling, checked against the platform's published behaviour.
#include <atomic>
#include <thread>

#include "support/fixture.h"

namespace {

class IoTest : public KernelTest {};

TEST_F(IoTest, AllocatedIrpStartsOnePastItsLastLocation) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  auto* base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), base + 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), base + 2);
  EXPECT_EQ(irp->Type, IO_TYPE_IRP);
  IoFreeIrp(irp);
}

TEST_F(IoTest, CallDriverMovesDownAndCallsTheMajorFunction) {
  UCHAR seenMajor = 0xFF;
  int seenLocation = 0;
  PDEVICE_OBJECT seenDevice = nullptr;
  PDEVICE_OBJECT target = tb::CreateHostDevice("target", [&](PDEVICE_OBJECT d, PIRP irp) {
    seenMajor = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    seenLocation = irp->CurrentLocation;
    seenDevice = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    (void)d;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }, 2);
  tb::Result r = tb::Call(target, [](PIO_STACK_LOCATION next, PIRP) { next->MajorFunction = IRP_MJ_READ; });
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(seenMajor, IRP_MJ_READ);
  EXPECT_EQ(seenLocation, 2);  // stack size 2: the first driver gets location 2
  EXPECT_EQ(seenDevice, target);
}

// Two drivers, each setting a completion routine for the one below: the routines run bottom-up,
// each receiving its own device object (the location above the one it was set in), and the top
// one receives NULL when the IRP was allocated with exactly the lower stack size.
TEST_F(IoTest, CompletionRoutinesRunBottomUpWithTheDeviceThatSetThem) {
  static std::vector<std::pair<std::string, PDEVICE_OBJECT>> calls;
  calls.clear();
  struct Routines {
    static NTSTATUS NTAPI Lower(PDEVICE_OBJECT d, PIRP, PVOID) {
      calls.emplace_back("lower", d);
      return STATUS_SUCCESS;
    }
  };
  PDEVICE_OBJECT bottom = tb::CreateHostDevice("bottom", [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }, 1);
  PDEVICE_OBJECT middle = tb::CreateHostDevice("middle", [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Routines::Lower, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(bottom, irp);
  }, 2);
  // The sender allocates exactly the middle device's stack size and sets its routine for it.
  PIRP irp = IoAllocateIrp(middle->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  struct Top {
    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT d, PIRP, PVOID) {
      calls.emplace_back("top", d);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  };
  IoSetCompletionRoutine(irp, Top::Routine, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(middle, irp), STATUS_SUCCESS);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].first, "lower");
  EXPECT_EQ(calls[0].second, middle);
  EXPECT_EQ(calls[1].first, "top");
  EXPECT_EQ(calls[1].second, nullptr);
  IoFreeIrp(irp);
}

TEST_F(IoTest, InvokeBitsSelectWhichOutcomeCallsTheRoutine) {
  AnswerSynchronously();  // the stand-in below completes within the call, and the routines' order against the return is what is checked
  static int called;
  struct R {
    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT, PIRP, PVOID) {
      called++;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  };
  NTSTATUS outcome = STATUS_SUCCESS;
  PDEVICE_OBJECT target = tb::CreateHostDevice("target", [&](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = outcome;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return outcome;
  }, 1);
  struct Case {
    NTSTATUS status;
    BOOLEAN onSuccess, onError, onCancel;
    int expectCalls;
  } cases[] = {
      {STATUS_SUCCESS, TRUE, FALSE, FALSE, 1},
      {STATUS_SUCCESS, FALSE, TRUE, TRUE, 0},
      {STATUS_UNSUCCESSFUL, FALSE, TRUE, FALSE, 1},
      {STATUS_UNSUCCESSFUL, TRUE, FALSE, FALSE, 0},
  };
  for (const Case& c : cases) {
    called = 0;
    outcome = c.status;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, R::Routine, nullptr, c.onSuccess, c.onError, c.onCancel);
    if (c.expectCalls == 0) {
      // Nobody claims it at the top: the verifier must say so.
      ExpectViolation(tb::Rule::AllocatedIrpCompletedPastTop, [&] { IofCallDriver(target, irp); });
    } else {
      IofCallDriver(target, irp);
    }
    EXPECT_EQ(called, c.expectCalls) << "status " << std::hex << c.status;
    IoFreeIrp(irp);
  }
}

TEST_F(IoTest, MoreProcessingRequiredGivesTheIrpBackForASecondCompletion) {
  static PIRP claimed;
  struct R {
    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT, PIRP irp, PVOID) {
      claimed = irp;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  };
  PDEVICE_OBJECT bottom = tb::CreateHostDevice("bottom", [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  }, 1);
  bool completedAtTop = false;
  PDEVICE_OBJECT upper = tb::CreateHostDevice("upper", [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, R::Routine, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(bottom, irp);
    // The IRP is ours again: finish it with our own status.
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    completedAtTop = true;
    return STATUS_SUCCESS;
  }, 2);
  tb::Result r = tb::Call(upper, [](PIO_STACK_LOCATION next, PIRP) { next->MajorFunction = IRP_MJ_PNP; });
  EXPECT_TRUE(completedAtTop);
  EXPECT_NE(claimed, nullptr);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
}

TEST_F(IoTest, CopyToNextLeavesOutTheCompletionRoutineAndClearsControl) {
  AnswerSynchronously();  // the location is read back as the stand-in below left it, before the IRP is freed
  PIRP irp = tb::AllocateSystemIrp(2);
  IofCallDriver(tb::CreateHostDevice("x", [](PDEVICE_OBJECT, PIRP i) {
    PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(i);
    cur->MinorFunction = 7;
    cur->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
    cur->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
    cur->CompletionRoutine = reinterpret_cast<PIO_COMPLETION_ROUTINE>(0x99);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(i);
    next->CompletionRoutine = nullptr;
    IoCopyCurrentIrpStackLocationToNext(i);
    EXPECT_EQ(next->MinorFunction, 7);
    EXPECT_EQ(next->Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1234));
    EXPECT_EQ(next->Control, 0);
    EXPECT_EQ(next->CompletionRoutine, nullptr);
    cur->Control = 0;
    cur->CompletionRoutine = nullptr;
    i->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(i, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }, 2), irp);
  EXPECT_FALSE(tb::IsLiveIrp(irp));  // the I/O manager's own IRP is gone once completed
}

// A lower driver pends and completes later on another thread at DISPATCH_LEVEL; the driver above
// passed it down without a routine, so the pending mark travels up to its location.
TEST_F(IoTest, PendingMarkIsCarriedUpWhereNoRoutineIsSet) {
  PIRP held = nullptr;
  PDEVICE_OBJECT bottom = tb::CreateHostDevice("bottom", [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  }, 1);
  PDEVICE_OBJECT upper = tb::CreateHostDevice("upper", [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IofCallDriver(bottom, irp);
  }, 2);
  bool topPending = false;
  PIRP irp = tb::AllocateSystemIrp(2, [&](PIRP done) { topPending = done->PendingReturned; });
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_PENDING);
  std::thread completer([&] {
    tb::IrqlScope dispatch(DISPATCH_LEVEL);
    held->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(held, IO_NO_INCREMENT);
  });
  completer.join();
  EXPECT_TRUE(topPending);
}

TEST_F(IoTest, DeviceControlRequestSignalsItsEventAndFreesItself) {
  AnswerSynchronously();  // the IRP is expected freed as soon as the call returns
  ULONG seenCode = 0;
  PVOID seenArg = nullptr;
  KPROCESSOR_MODE mode = UserMode;
  PDEVICE_OBJECT target = tb::CreateHostDevice("target", [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    seenCode = s->Parameters.DeviceIoControl.IoControlCode;
    seenArg = s->Parameters.Others.Argument1;
    mode = irp->RequestorMode;
    EXPECT_EQ(s->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 42;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }, 3);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0xABC);
  EXPECT_EQ(IofCallDriver(target, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 42u);
  EXPECT_EQ(seenCode, 0x220003u);
  EXPECT_EQ(seenArg, reinterpret_cast<PVOID>(0xABC));
  EXPECT_EQ(mode, KernelMode);
  EXPECT_FALSE(tb::IsLiveIrp(irp));
}

TEST_F(IoTest, CancelCallsTheRoutineWithTheCancelLockHeld) {
  static KIRQL irqlInRoutine;
  static size_t locksInRoutine;
  struct R {
    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
      irqlInRoutine = KeGetCurrentIrql();
      locksInRoutine = tb::SpinLocksHeld();
      IoReleaseCancelSpinLock(irp->CancelIrql);
      irp->IoStatus.Status = STATUS_CANCELLED;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
  };
  PIRP held = nullptr;
  PDEVICE_OBJECT target = tb::CreateHostDevice("target", [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoSetCancelRoutine(irp, R::Cancel), nullptr);
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  }, 1);
  NTSTATUS final = STATUS_PENDING;
  PIRP irp = tb::AllocateSystemIrp(1, [&](PIRP done) { final = done->IoStatus.Status; });
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(IofCallDriver(target, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(irqlInRoutine, DISPATCH_LEVEL);
  EXPECT_EQ(locksInRoutine, 1u);
  EXPECT_EQ(final, STATUS_CANCELLED);
  EXPECT_TRUE(tb::IrpReachedTop(irp));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(tb::SpinLocksHeld(), 0u);
  // With no routine set the cancel only marks the IRP.
  PIRP other = tb::AllocateSystemIrp(1);
  EXPECT_FALSE(IoCancelIrp(other));
  EXPECT_TRUE(other->Cancel);
  tb::FreeSystemIrp(other);
}

TEST_F(IoTest, ReuseResetsTheIrpForAnotherTrip) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  irp->AllocationFlags = 0x5;
  irp->IoStatus.Information = 99;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
  IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  EXPECT_EQ(irp->AllocationFlags, 0x5);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, 0);
  IoFreeIrp(irp);
}

TEST_F(IoTest, UnsetMajorFunctionsAreRefusedByTheIoManager) {
  struct D {
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
  };
  PDRIVER_OBJECT driver = tb::LoadDriver(D::Entry, u"empty");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  tb::Result r = tb::Call(device, [](PIO_STACK_LOCATION next, PIRP) { next->MajorFunction = IRP_MJ_FLUSH_BUFFERS; });
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);
  tb::UnloadDriver(driver);
}

}  // namespace
