// Threads the driver gets wrong, and runs that stop: each broken on purpose by a faulty routine
// written here. A hang is reported with every thread's state instead of running into CTest's limit.
#include <atomic>
#include <chrono>
#include <thread>

#include "support/fixture.h"

namespace faulty {

KMUTEX gMutex;
KEVENT gNever;
KSPIN_LOCK gHeld;

class ThreadsTest : public KernelTest {
 protected:
  // Starts a system thread and waits until it has ended.
  void RunThread(PKSTART_ROUTINE routine, PVOID context = nullptr) {
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context), STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
  }
};
using ThreadsDeathTest = ThreadsTest;

VOID NTAPI TakesTheMutexTwiceAndReleasesOnce(PVOID) {
  KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(&gMutex, FALSE);
}

TEST_F(ThreadsDeathTest, SystemThreadEndingWhileItOwnsAMutexIsFatal) {
  KeInitializeMutex(&gMutex, 0);
  EXPECT_DEATH(RunThread(TakesTheMutexTwiceAndReleasesOnce),
               "ThreadEndedHoldingMutex in faulty::TakesTheMutexTwiceAndReleasesOnce \\(system thread\\) on "
               "faulty::gMutex: THREAD_TERMINATE_HELD_MUTEX");
}

VOID NTAPI TakesTheMutexTwiceAndReleasesTwice(PVOID) {
  KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(&gMutex, FALSE);
  KeReleaseMutex(&gMutex, FALSE);
}

TEST_F(ThreadsTest, SystemThreadThatReleasesItsMutexEndsCleanly) {
  KeInitializeMutex(&gMutex, 0);
  RunThread(TakesTheMutexTwiceAndReleasesTwice);
  EXPECT_EQ(KeReadStateMutex(&gMutex), 1);
  EXPECT_TRUE(tb::Violations().empty());
}

VOID NTAPI LingersABit(PVOID) {
  LARGE_INTEGER t;
  t.QuadPart = -2000000;  // 200 ms: still running when the driver unloads
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

HANDLE gHandle;
NTSTATUS NTAPI EntryStartingALingeringThread(PDRIVER_OBJECT, PUNICODE_STRING) {
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, LingersABit, nullptr);
  if (NT_SUCCESS(status)) ZwClose(handle);
  return status;
}

TEST_F(ThreadsTest, DriverThreadStillRunningAtUnload) {
  PDRIVER_OBJECT driver = tb::LoadDriver(EntryStartingALingeringThread, u"lingering");
  auto got = ExpectViolation(tb::Rule::ThreadOutlivesDriver, [&] { tb::UnloadDriver(driver); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].routine, "faulty::LingersABit");
  EXPECT_EQ(tb::RunningSystemThreads(), 0u) << "unload waits for the thread it reported";
}

VOID NTAPI EndsAtOnce(PVOID) {}

NTSTATUS NTAPI EntryKeepingAThreadHandle(PDRIVER_OBJECT, PUNICODE_STRING) {
  return PsCreateSystemThread(&gHandle, 0, nullptr, nullptr, nullptr, EndsAtOnce, nullptr);
}

TEST_F(ThreadsTest, ThreadHandleNeverClosed) {
  PDRIVER_OBJECT driver = tb::LoadDriver(EntryKeepingAThreadHandle, u"handles");
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(gHandle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(thread);
  auto got = ExpectViolation(tb::Rule::HandleLeak, [&] { tb::UnloadDriver(driver); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].object, tb::Hex(gHandle));
  EXPECT_NE(got[0].message.find("thread object of faulty::EndsAtOnce"), std::string::npos) << got[0].message;
}

// --- Runs that stop --------------------------------------------------------------------------

PDRIVER_DISPATCH gRead;
NTSTATUS NTAPI ReadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = gRead;
  return STATUS_SUCCESS;
}

// Sends one read to a device of a driver whose read routine is `routine`.
void SendRead(PDRIVER_DISPATCH routine) {
  gRead = routine;
  PDRIVER_OBJECT driver = tb::LoadDriver(ReadEntry, u"stuck");
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  tb::Call(device, [](PIO_STACK_LOCATION next, PIRP) { next->MajorFunction = IRP_MJ_READ; });
}

VOID NTAPI KeepsTheLock(PVOID) {
  KIRQL old;
  KeAcquireSpinLock(&gHeld, &old);
}

NTSTATUS NTAPI SpinsOnTheLock(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeAcquireSpinLock(&gHeld, &old);
  KeReleaseSpinLock(&gHeld, old);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(ThreadsDeathTest, SpinLockNeverReleasedIsReportedWithItsHolder) {
  tb::GetSettings().watchdogMs = 200;
  KeInitializeSpinLock(&gHeld);
  EXPECT_DEATH(
      {
        ExpectViolation(tb::Rule::SpinLockHeldOnReturn, [&] { RunThread(KeepsTheLock); });
        SendRead(SpinsOnTheLock);
      },
      "NoProgress in watchdog: no thread made progress for 200 ms.*"
      "driver routines: faulty::SpinsOnTheLock \\(dispatch\\)\n"
      "    in the kernel: spinning on faulty::gHeld held by thread #[0-9]+ \\(tid [0-9]+, system thread "
      "faulty::KeepsTheLock\\), which has ended, called from faulty::SpinsOnTheLock");
}

NTSTATUS NTAPI PollsForever(PDEVICE_OBJECT, PIRP irp) {
  LARGE_INTEGER t;
  t.QuadPart = -100000;
  while (KeWaitForSingleObject(&gNever, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT) {
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(ThreadsDeathTest, LoopOfBoundedWaitsThatNeverEndsIsReported) {
  tb::GetSettings().watchdogMs = 200;
  KeInitializeEvent(&gNever, NotificationEvent, FALSE);
  EXPECT_DEATH(SendRead(PollsForever),
               "NoProgress.*driver routines: faulty::PollsForever \\(dispatch\\)\n"
               "    in the kernel: waiting on faulty::gNever for 10.0 ms, called from faulty::PollsForever");
}

NTSTATUS NTAPI LoopsWithoutTheKernel(PDEVICE_OBJECT, PIRP) {
  for (volatile bool forever = true; forever;) {
  }
  return STATUS_SUCCESS;
}

TEST_F(ThreadsDeathTest, DriverCodeThatNeverReturnsIsReported) {
  tb::GetSettings().watchdogMs = 200;
  EXPECT_DEATH(SendRead(LoopsWithoutTheKernel),
               "NoProgress.*driver routines: faulty::LoopsWithoutTheKernel \\(dispatch\\)\n"
               "    in the kernel: no \\(running driver code\\)");
}

VOID NTAPI WaitsForever(PVOID) { KeWaitForSingleObject(&gNever, Executive, KernelMode, FALSE, nullptr); }

TEST_F(ThreadsDeathTest, UnboundedWaitIsReportedWithTheWaiterAndTheObject) {
  tb::GetSettings().hangLimitMs = 200;
  KeInitializeEvent(&gNever, NotificationEvent, FALSE);
  // The test's own thread stays out of the kernel, so that the thread's wait is the one to run out.
  EXPECT_DEATH(
      {
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitsForever, nullptr);
        ZwClose(handle);
        std::this_thread::sleep_for(std::chrono::seconds(10));
      },
               "WaitNeverSatisfied in KeWaitForSingleObject called from faulty::WaitsForever on faulty::gNever: "
               "an unbounded wait was not satisfied within 200 ms.*"
               "system thread faulty::WaitsForever\\):\n"
               "    driver routines: faulty::WaitsForever \\(system thread\\)\n"
               "    in the kernel: waiting on faulty::gNever without timeout");
}

// Progress: the thread polling in bounded waits is idle, not stuck, while another thread
// signals; and a test busy outside the kernel has nothing in the kernel to be stuck.
struct Poller {
  KEVENT stop;
  KEVENT tick;
};

VOID NTAPI PollsUntilStopped(PVOID context) {
  auto* p = static_cast<Poller*>(context);
  LARGE_INTEGER t;
  t.QuadPart = -50000;
  while (KeWaitForSingleObject(&p->stop, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT) {
  }
}

TEST_F(ThreadsTest, IdleThreadWhileOthersMakeProgressIsNotAHang) {
  tb::GetSettings().watchdogMs = 100;
  Poller p;
  KeInitializeEvent(&p.stop, NotificationEvent, FALSE);
  KeInitializeEvent(&p.tick, SynchronizationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, PollsUntilStopped, &p), STATUS_SUCCESS);
  ZwClose(handle);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < until) {
    KeSetEvent(&p.tick, IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  KeSetEvent(&p.stop, IO_NO_INCREMENT, FALSE);
  tb::ShutdownKernel();
  // Nothing in the kernel at all: the watchdog has nothing to report.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

}  // namespace faulty
