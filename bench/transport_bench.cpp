// Transport benchmarks, everything through a client's real requests on the child device: a write
// request against SendBytes of the same bytes, the direct-call Write's cost and its latency to
// the wire, read delivery from the bulk-in completion to the client's read completion with 1, 8
// and 64 opens, the first open and the last close, a 64 KB system-exclusive dump both ways, and
// the driver's allocations per read, write and direct-call write.
//
// Run with repetitions and read the medians; bench/summary.py does both and prints the ratios
// beside their targets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "client/midi_client.h"
#include "core/driver.h"
#include "pnp.h"
#include "testbed.h"
#include "transport/transport.h"
#include "usb/midi_endpoints.h"

namespace {

using Clock = std::chrono::steady_clock;

// A loaded driver with one started device, its child and the test bed's client above it; the
// client's first open has started the stream. One per benchmark run.
struct Rig {
  PDRIVER_OBJECT driver = nullptr;
  PDRIVER_OBJECT clientDriver = nullptr;
  std::unique_ptr<tb::PnpManager> pnp;
  std::unique_ptr<tb::MidiEndpoints> ep;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT child = nullptr;
  FdoExtension* ext = nullptr;
  std::shared_ptr<tb::MidiClient> client;
  std::shared_ptr<tb::ClientOpen> open;

  explicit Rig(bool openStream = true) {
    tb::ResetKernel();
    tb::SetViolationHandler([](const tb::Violation& v) {
      std::fprintf(stderr, "%s\n", v.ToString().c_str());
      std::abort();
    });
    driver = tb::LoadDriver(DriverEntry, u"usbmidi");
    clientDriver = tb::LoadMidiClient();
    pnp = std::make_unique<tb::PnpManager>(driver);
    pnp->LoadChildDriver(clientDriver);
    pdo = pnp->Plug(tb::UsbMidiDevice::Product(0x0001));
    ep = std::make_unique<tb::MidiEndpoints>(*pnp->Bus(pdo));
    Require(NT_SUCCESS(pnp->Start(pdo)), "the device did not start");
    fdo = tb::TopOfStack(pdo);
    ext = FdoExt(fdo);
    std::vector<PDEVICE_OBJECT> children = pnp->QueryBusRelations(pdo);
    Require(children.size() == 1, "no child was reported");
    child = children[0];
    client = tb::MidiClientOn(child);
    Require(client != nullptr, "the client did not load on the child");
    if (openStream) {
      open = client->Open();
      Require(open != nullptr, "the client's open failed");
      Require(ep->WaitForPendingIn(2), "the stream's reads did not reach the bus");
      Require(ep->WaitForWire(1), "the start message did not reach the wire");
      WaitTxEmpty();
      ep->ClearWire();
    }
  }
  ~Rig() {
    if (client) client->CloseAll();
    open.reset();
    client.reset();
    Require(NT_SUCCESS(pnp->Remove(pdo)), "the removal failed");
    pnp->WaitIdle();
    ep.reset();
    pnp.reset();
    tb::UnloadDriver(driver);
    tb::ShutdownKernel();
  }
  static void Require(bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "benchmark set-up: %s\n", what);
      std::abort();
    }
  }
  // The writer thread has taken every queued byte and its transfer is back.
  void WaitTxEmpty() {
    while (InterlockedOr(reinterpret_cast<volatile LONG*>(&ext->TxCount), 0) != 0) std::this_thread::yield();
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

// The driver's allocations per operation, pool and IRPs apart (anything else with the pool); the
// test bed's own, such as the I/O manager's IRPs for the client's requests, are not counted.
struct AllocationMeter {
  uint64_t all = tb::AllocationCount();
  uint64_t irps = tb::AllocationCountOf(tb::AllocKind::Irp);
  void Report(benchmark::State& state, uint64_t operations, const std::string& name) const {
    double n = static_cast<double>(std::max<uint64_t>(operations, 1));
    uint64_t irp = tb::AllocationCountOf(tb::AllocKind::Irp) - irps;
    state.counters["pool_" + name] = static_cast<double>(tb::AllocationCount() - all - irp) / n;
    state.counters["irp_" + name] = static_cast<double>(irp) / n;
  }
};

std::vector<UCHAR> Bytes(size_t n) {
  std::vector<UCHAR> b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<UCHAR>(i % 3 == 0 ? 0x90 : 0x40);
  return b;
}

// --- writes -----------------------------------------------------------------------------------

// A client's write request: the I/O manager's IRP, the child's write dispatch, SendBytes below.
void BM_WriteRequest(benchmark::State& state) {
  Rig rig;
  std::vector<UCHAR> data = Bytes(static_cast<size_t>(state.range(0)));
  tb::ClearFaults();
  AllocationMeter meter;
  uint64_t n = 0;
  for (auto _ : state) {
    tb::ClientResult r = rig.open->Write(data);
    if (!NT_SUCCESS(r.status)) state.SkipWithError("write request failed");
    n++;
  }
  meter.Report(state, n, "allocs_per_write");
  rig.ep->ClearWire();
}
BENCHMARK(BM_WriteRequest)->Arg(3)->Arg(32);

// SendBytes of the same bytes, called straight on the function device: the floor of a write.
void BM_SendBytes(benchmark::State& state) {
  Rig rig;
  std::vector<UCHAR> data = Bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    if (!NT_SUCCESS(SendBytes(rig.fdo, data.data(), static_cast<ULONG>(data.size())))) {
      state.SkipWithError("SendBytes failed");
    }
  }
  rig.ep->ClearWire();
}
BENCHMARK(BM_SendBytes)->Arg(3)->Arg(32);

// The direct-call Write of one 3-byte message: into the ring and a wake of the writer. The ring
// holds 256 bytes, so the timer stops every 64 messages while the writer empties it.
void BM_DirectWrite(benchmark::State& state) {
  Rig rig;
  rig.client->GetDirectCallInterface();
  std::vector<UCHAR> msg = {0x90, 0x3C, 0x40};
  tb::ClearFaults();
  AllocationMeter meter;
  uint64_t n = 0;
  for (auto _ : state) {
    if (rig.client->DirectWrite(msg) != 3) state.SkipWithError("the ring refused a message");
    if (++n % 64 == 0) {
      state.PauseTiming();
      rig.WaitTxEmpty();
      state.ResumeTiming();
    }
  }
  meter.Report(state, n, "allocs_per_direct_write");
  rig.WaitTxEmpty();
  rig.ep->ClearWire();
}
BENCHMARK(BM_DirectWrite);

// From the direct-call Write returning to the transfer reaching the bulk-out endpoint.
void BM_DirectWriteToWire(benchmark::State& state) {
  Rig rig;
  rig.client->GetDirectCallInterface();
  std::atomic<int64_t> arrived{0};
  rig.ep->OnOut([&](const tb::WireTransfer& w) { arrived = w.time.time_since_epoch().count(); });
  std::vector<double> us;
  std::vector<UCHAR> msg = {0x90, 0x3C, 0x40};
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> gap(0, 3000);
  for (auto _ : state) {
    // Messages come at any point of the writer's sleep, not right after its last drain.
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
    arrived = 0;
    state.ResumeTiming();
    auto start = Clock::now();
    rig.client->DirectWrite(msg);
    while (arrived.load() == 0) std::this_thread::yield();
    auto end = Clock::time_point(Clock::duration(arrived.load()));
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  rig.ep->OnOut(nullptr);
  Report(state, us);
}
BENCHMARK(BM_DirectWriteToWire)->Iterations(300)->UseRealTime();

// A 64 KB system-exclusive dump from the first byte handed over to the last on the wire.
// Arg 0: through the direct-call Write, as fast as the ring takes it; arg 1: write requests of
// 1 KB, one after the other.
void BM_SysexDump(benchmark::State& state) {
  const bool requests = state.range(0) == 1;
  Rig rig;
  rig.client->GetDirectCallInterface();
  std::vector<UCHAR> dump(64 * 1024);
  dump.front() = 0xF0;
  for (size_t i = 1; i + 1 < dump.size(); i++) dump[i] = static_cast<UCHAR>(i & 0x7F);
  dump.back() = 0xF7;
  std::atomic<size_t> onWire{0};
  rig.ep->OnOut([&](const tb::WireTransfer&) { onWire++; });
  const size_t transfers = dump.size() / PACKET_SIZE;
  for (auto _ : state) {
    onWire = 0;
    size_t sent = 0;
    while (sent < dump.size()) {
      size_t piece = std::min<size_t>(requests ? 1024 : 256, dump.size() - sent);
      if (requests) {
        if (!NT_SUCCESS(rig.open->Write(dump.data() + sent, static_cast<ULONG>(piece)).status)) {
          state.SkipWithError("write request failed");
          break;
        }
        sent += piece;
      } else {
        ULONG taken = rig.client->DirectWrite(std::vector<UCHAR>(dump.begin() + static_cast<long>(sent),
                                                                 dump.begin() + static_cast<long>(sent + piece)));
        sent += taken;
        if (taken == 0) std::this_thread::yield();
      }
    }
    while (onWire.load() < transfers) std::this_thread::yield();
    rig.ep->ClearWire();
  }
  rig.ep->OnOut(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(dump.size()));
}
BENCHMARK(BM_SysexDump)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- reads ------------------------------------------------------------------------------------

// From the bulk-in completion starting to the last client read completed, with `opens` opens
// each holding one read.
void BM_ReadDelivery(benchmark::State& state) {
  const int opens = static_cast<int>(state.range(0));
  Rig rig;
  std::vector<std::shared_ptr<tb::ClientOpen>> all = {rig.open};
  for (int i = 1; i < opens; i++) {
    all.push_back(rig.client->Open());
    if (!all.back()) {
      state.SkipWithError("an open failed");
      return;
    }
  }
  std::atomic<int64_t> startedAt{0};
  rig.ep->OnInComplete([&] { startedAt = Clock::now().time_since_epoch().count(); });
  std::vector<double> us;
  tb::ClearFaults();
  AllocationMeter meter;
  size_t fed = rig.ep->Delivered();
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::shared_ptr<tb::ClientRead>> reads;
    for (auto& o : all) reads.push_back(o->BeginRead(8));
    state.ResumeTiming();
    rig.ep->Feed({0x90, 0x3C, 0x40});
    Clock::time_point last{};
    for (auto& r : reads) {
      r->Wait();
      last = std::max(last, r->CompletedAt());
    }
    us.push_back(std::chrono::duration<double, std::micro>(last - Clock::time_point(Clock::duration(startedAt.load()))).count());
    // The continuous read is back on the bus before the next transfer comes in.
    state.PauseTiming();
    rig.ep->WaitDelivered(++fed);
    rig.ep->WaitForPendingIn(2);
    state.ResumeTiming();
  }
  meter.Report(state, us.size() * static_cast<size_t>(opens), "allocs_per_read");
  Report(state, us);
  rig.ep->OnInComplete(nullptr);
  for (auto& o : all) o->Close();
}
BENCHMARK(BM_ReadDelivery)->Arg(1)->Arg(8)->Arg(64)->Iterations(1000)->UseRealTime();

// --- open and close ---------------------------------------------------------------------------

// The first open (the stream's start: two continuous reads, the writer thread, the start
// message) and the last close (the stop message, the pipes aborted, the writer joined).
void BM_FirstOpenLastClose(benchmark::State& state) {
  Rig rig(false);
  std::vector<double> openUs, closeUs;
  for (auto _ : state) {
    auto t0 = Clock::now();
    std::shared_ptr<tb::ClientOpen> open = rig.client->Open();
    auto t1 = Clock::now();
    if (!open) {
      state.SkipWithError("the open failed");
      break;
    }
    open->Close();
    open->WaitClosed();
    auto t2 = Clock::now();
    openUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    closeUs.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  state.counters["open_p50_us"] = Percentile(openUs, 0.5);
  state.counters["open_p99_us"] = Percentile(openUs, 0.99);
  state.counters["close_p50_us"] = Percentile(closeUs, 0.5);
  state.counters["close_p99_us"] = Percentile(closeUs, 0.99);
}
BENCHMARK(BM_FirstOpenLastClose)->Iterations(40)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
