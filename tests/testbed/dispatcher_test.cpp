// Dispatcher objects, waits, threads, time and spin locks.
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "support/fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class DispatcherTest : public KernelTest {};

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST_F(DispatcherTest, NotificationEventStaysSetSynchronizationEventReleasesOneWaiter) {
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&notification, 1, FALSE);
  KeSetEvent(&synchronization, 1, FALSE);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  }
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST_F(DispatcherTest, RelativeTimeoutRunsOutWithStatusTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER t = RelativeMs(30);
  auto start = Clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
  // A positive timeout is an absolute system time; one in the past ends the wait at once.
  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10000000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, WaitIsSatisfiedBySetFromAnotherThread) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tb::IrqlScope dispatch(DISPATCH_LEVEL);
    KeSetEvent(&event, 1, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  setter.join();
}

TEST_F(DispatcherTest, SemaphoreCountsUpToItsLimit) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 0, 2);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 0);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 1);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 1);
}

TEST_F(DispatcherTest, SemaphoreReleasedPastItsLimitIsFatal) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 1, 1);
  EXPECT_DEATH(KeReleaseSemaphore(&sem, 0, 1, FALSE), "SemaphoreLimitExceeded");
}

TEST_F(DispatcherTest, MutexIsOwnedRecursivelyAndReleasedOnlyByItsOwner) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  std::atomic<NTSTATUS> other{STATUS_PENDING};
  std::thread t([&] {
    LARGE_INTEGER zero{};
    other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
  });
  t.join();
  EXPECT_EQ(other.load(), STATUS_TIMEOUT);
  std::thread wrong([&] {
    ExpectViolation(tb::Rule::MutexNotOwner, [&] { KeReleaseMutex(&mutex, FALSE); });
  });
  wrong.join();
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 0);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(DispatcherTest, SystemTimeCountsHundredNanosecondsSince1601) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LONGLONG unixSeconds = (now.QuadPart - 116444736000000000LL) / 10000000;
  EXPECT_LE(std::llabs(unixSeconds - static_cast<LONGLONG>(std::time(nullptr))), 2);
}

TEST_F(DispatcherTest, DelayWaitsAtLeastTheInterval) {
  LARGE_INTEGER t = RelativeMs(20);
  auto start = Clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &t), STATUS_SUCCESS);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

// Named helpers, so that the records can be told apart by caller.
__attribute__((noinline)) NTSTATUS WaitTenMs(PVOID object) {
  LARGE_INTEGER t = RelativeMs(10);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}
__attribute__((noinline)) NTSTATUS SleepFiveMsByTheClock() {
  LARGE_INTEGER until;
  KeQuerySystemTime(&until);
  until.QuadPart += 50000;
  return KeDelayExecutionThread(KernelMode, FALSE, &until);
}

TEST_F(DispatcherTest, WaitsAndDelaysAreRecordedAsRequestedByObjectAndCaller) {
  KEVENT set, unset;
  KeInitializeEvent(&set, NotificationEvent, TRUE);
  KeInitializeEvent(&unset, NotificationEvent, FALSE);
  for (int i = 0; i < 2; i++) WaitTenMs(&set);
  WaitTenMs(&unset);
  KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr);
  SleepFiveMsByTheClock();
  auto calls = tb::TimedCalls();
  auto find = [&](tb::TimedCall::Kind kind, PVOID object, const char* caller) -> const tb::TimedCall* {
    for (auto& c : calls) {
      if (c.kind == kind && c.object == object && c.caller.rfind(caller, 0) == 0) return &c;
    }
    return nullptr;
  };
  const tb::TimedCall* onSet = find(tb::TimedCall::Kind::Wait, &set, "WaitTenMs");
  ASSERT_NE(onSet, nullptr);
  EXPECT_EQ(onSet->count, 2u) << "the same request from the same place is one entry";
  EXPECT_EQ(onSet->interval, 100000);
  EXPECT_FALSE(onSet->forever);
  EXPECT_EQ(onSet->caller.rfind("WaitTenMs <- DispatcherTest_", 0), 0u) << onSet->caller;
  const tb::TimedCall* onUnset = find(tb::TimedCall::Kind::Wait, &unset, "WaitTenMs");
  ASSERT_NE(onUnset, nullptr);
  EXPECT_EQ(onUnset->count, 1u);
  const tb::TimedCall* forever = find(tb::TimedCall::Kind::Wait, &set, "DispatcherTest_");
  ASSERT_NE(forever, nullptr);
  EXPECT_TRUE(forever->forever);
  // A deadline counts from the system time the caller read, not from when the call ran.
  const tb::TimedCall* sleep = find(tb::TimedCall::Kind::Delay, nullptr, "SleepFiveMsByTheClock");
  ASSERT_NE(sleep, nullptr);
  EXPECT_TRUE(sleep->absolute);
  EXPECT_EQ(sleep->interval, 50000);
}

struct ThreadProbe {
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<bool> ranElsewhere{false};
  std::thread::id creator;
  KEVENT go;
};

VOID NTAPI ProbeThread(PVOID context) {
  auto* p = static_cast<ThreadProbe*>(context);
  p->irql = KeGetCurrentIrql();
  p->ranElsewhere = std::this_thread::get_id() != p->creator;
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  KeWaitForSingleObject(&p->go, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
  p->irql = 0xEE;  // never reached
}

TEST_F(DispatcherTest, SystemThreadRunsAtPassiveAndItsObjectSignalsAtTheEnd) {
  ThreadProbe probe;
  probe.creator = std::this_thread::get_id();
  KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ProbeThread, &probe), STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  LARGE_INTEGER shortWait = RelativeMs(20);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
  KeSetEvent(&probe.go, 1, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(probe.irql.load(), PASSIVE_LEVEL);
  EXPECT_TRUE(probe.ranElsewhere.load());
  EXPECT_EQ(tb::ThreadPriority(thread), LOW_REALTIME_PRIORITY);
  ObfDereferenceObject(thread);
  ExpectViolation(tb::Rule::HandleInvalid, [&] { ZwClose(handle); });
}

TEST_F(DispatcherTest, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DispatcherTest, SpinLockExcludesOtherProcessors) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; i++) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      counter++;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST_F(DispatcherTest, InterlockedOperationsReturnTheDocumentedValues) {
  volatile LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 5);
  EXPECT_EQ(InterlockedExchange(&v, 1), 8);
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 2), 1);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 1), 1);
  EXPECT_EQ(InterlockedOr(&v, 0x10), 9);
  EXPECT_EQ(InterlockedAnd(&v, ~0x1), 0x19);
  EXPECT_EQ(v, 0x18);
}

}  // namespace
