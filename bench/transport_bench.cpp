// Transport benchmarks: the cost of a send through the driver against the same URBs sent straight
// to the simulated bus, the latency from QueueBytes to the wire with the writer's 2 ms wake,
// receive delivery from the bulk-in completion to the readers, and allocations per transfer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "core/driver.h"
#include "pnp.h"
#include "testbed.h"
#include "transport/transport.h"
#include "usb/midi_endpoints.h"

namespace {

using Clock = std::chrono::steady_clock;

// A loaded driver with one started device and its endpoints; one per benchmark run.
struct Rig {
  PDRIVER_OBJECT driver = nullptr;
  std::unique_ptr<tb::PnpManager> pnp;
  std::unique_ptr<tb::MidiEndpoints> ep;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  FdoExtension* ext = nullptr;

  explicit Rig(int completers = 1) {
    tb::ResetKernel();
    tb::SetViolationHandler([](const tb::Violation& v) {
      std::fprintf(stderr, "%s\n", v.ToString().c_str());
      std::abort();
    });
    driver = tb::LoadDriver(DriverEntry, u"usbmidi");
    pnp = std::make_unique<tb::PnpManager>(driver);
    pdo = pnp->Plug(tb::UsbMidiDevice::Product(0x0001));
    pnp->Start(pdo);
    ep = std::make_unique<tb::MidiEndpoints>(*pnp->Bus(pdo), completers);
    fdo = tb::TopOfStack(pdo);
    ext = FdoExt(fdo);
  }
  ~Rig() {
    StopWriter();
    ep.reset();
    pnp->Remove(pdo);
    pnp.reset();
    tb::UnloadDriver(driver);
    tb::ShutdownKernel();
  }
  void StartReads() {
    for (int i = 0; i < 2; i++) {
      TransferPacket* p = TakePacket(fdo);
      p->PacketFlags |= PACKET_CONTINUOUS_READ;
      InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->ActiveReadCount));
      SubmitRead(fdo, p);
    }
    ep->WaitForPendingIn(2);
  }
  void StartWriter() {
    SetFdoFlags(ext, FDO_STREAM_RUNNING);
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, WriterThread, ext);
    PVOID t;
    ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &t, nullptr);
    ext->WriterThread = t;
    ZwClose(h);
  }
  void StopWriter() {
    ClearFdoFlags(ext, FDO_STREAM_RUNNING);
    KeSetEvent(&ext->TxEvent, 1, FALSE);
    PVOID t = InterlockedExchangePointer(&ext->WriterThread, nullptr);
    if (t) {
      KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
      ObfDereferenceObject(t);
    }
  }
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void Report(benchmark::State& state, const std::vector<double>& us) {
  state.counters["p50_us"] = Percentile(us, 0.50);
  state.counters["p99_us"] = Percentile(us, 0.99);
  state.counters["max_us"] = us.empty() ? 0 : *std::max_element(us.begin(), us.end());
}

// One 32-byte transfer through SendBytes: packet, readiness, URB, SubmitUrb's request.
void BM_SendBytes32ThroughDriver(benchmark::State& state) {
  Rig rig;
  UCHAR data[32] = {0x90, 0x3C, 0x40};
  tb::SetFaultPlan(tb::FaultPlan{});
  uint64_t transfers = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SendBytes(rig.fdo, data, 32));
    transfers++;
  }
  state.counters["pool_allocs_per_transfer"] =
      static_cast<double>(tb::AllocationCountOf(tb::AllocKind::Pool)) / static_cast<double>(transfers);
  state.counters["irp_allocs_per_transfer"] =
      static_cast<double>(tb::AllocationCountOf(tb::AllocKind::Irp)) / static_cast<double>(transfers);
  rig.ep->ClearWire();
}
BENCHMARK(BM_SendBytes32ThroughDriver);

// The same URB sent straight to the bus by the benchmark itself, the way SubmitUrb sends it.
void BM_SendUrb32StraightToBus(benchmark::State& state) {
  Rig rig;
  UCHAR data[32] = {0x90, 0x3C, 0x40};
  URB urb{};
  for (auto _ : state) {
    auto& t = urb.UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof t;
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = rig.ext->BulkOutPipe;
    t.TransferFlags = USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = 32;
    t.TransferBuffer = data;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, rig.ext->LowerDevice, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    if (IofCallDriver(rig.ext->LowerDevice, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
  }
  rig.ep->ClearWire();
}
BENCHMARK(BM_SendUrb32StraightToBus);

// From QueueBytes returning to the transfer reaching the bulk-out endpoint.
void BM_QueueBytesToWireLatency(benchmark::State& state) {
  Rig rig;
  rig.StartWriter();
  std::atomic<int64_t> arrived{0};
  rig.ep->OnOut([&](const tb::WireTransfer& w) { arrived = w.time.time_since_epoch().count(); });
  std::vector<double> us;
  UCHAR msg[3] = {0x90, 0x3C, 0x40};
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> gap(0, 3000);
  for (auto _ : state) {
    // Bytes arrive at any point of the writer's sleep, not right after its last drain.
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
    state.ResumeTiming();
    arrived = 0;
    auto start = Clock::now();
    QueueBytes(rig.fdo, msg, 3);
    while (arrived.load() == 0) std::this_thread::yield();
    auto end = Clock::time_point(Clock::duration(arrived.load()));
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  rig.ep->OnOut(nullptr);
  Report(state, us);
}
BENCHMARK(BM_QueueBytesToWireLatency)->Iterations(500)->UseRealTime();

VOID NTAPI NoteCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// From the bulk-in completion starting to the last of `readers` waiting reads being completed.
void BM_ReceiveDeliveryLatency(benchmark::State& state) {
  const int readers = static_cast<int>(state.range(0));
  Rig rig;
  rig.StartReads();
  std::vector<std::unique_ptr<OpenContext>> contexts;
  for (int i = 0; i < readers; i++) {
    contexts.push_back(std::make_unique<OpenContext>());
    contexts.back()->Next = rig.ext->OpenContextList;
    rig.ext->OpenContextList = contexts.back().get();
  }
  std::atomic<int64_t> completedAt{0};
  std::atomic<int> remaining{0};
  std::atomic<int64_t> startedAt{0};
  rig.ep->OnInComplete([&] { startedAt = Clock::now().time_since_epoch().count(); });
  std::vector<PIRP> irps;
  std::vector<std::vector<UCHAR>> buffers(readers, std::vector<UCHAR>(8));
  for (int i = 0; i < readers; i++) {
    irps.push_back(tb::AllocateSystemIrp(1, [&](PIRP) {
      if (--remaining == 0) completedAt = Clock::now().time_since_epoch().count();
    }, true));  // reused for every iteration
  }
  std::vector<double> us;
  uint64_t before = tb::AllocationCountOf(tb::AllocKind::Pool) + tb::AllocationCountOf(tb::AllocKind::Irp);
  for (auto _ : state) {
    remaining = readers;
    completedAt = 0;
    {
      KIRQL old;
      KeAcquireSpinLock(&rig.ext->RxLock, &old);
      for (int i = 0; i < readers; i++) {
        OpenContext* c = contexts[i].get();
        IoReuseIrp(irps[i], STATUS_SUCCESS);
        c->RxReadIndex = rig.ext->RxWriteIndex;
        c->ReadBuffer = buffers[i].data();
        c->ReadLength = 8;
        IoSetCancelRoutine(irps[i], NoteCancel);
        c->PendingReadIrp = irps[i];
      }
      KeReleaseSpinLock(&rig.ext->RxLock, old);
    }
    rig.ep->Feed({0x90, 0x3C, 0x40});
    while (completedAt.load() == 0) std::this_thread::yield();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::duration(completedAt.load() - startedAt.load())).count());
  }
  uint64_t after = tb::AllocationCountOf(tb::AllocKind::Pool) + tb::AllocationCountOf(tb::AllocKind::Irp);
  state.counters["allocs_per_transfer"] = static_cast<double>(after - before) / static_cast<double>(us.size());
  Report(state, us);
  rig.ep->OnInComplete(nullptr);
  rig.ext->OpenContextList = nullptr;
  for (PIRP irp : irps) tb::FreeSystemIrp(irp);
}
BENCHMARK(BM_ReceiveDeliveryLatency)->Arg(1)->Arg(8)->Iterations(2000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
