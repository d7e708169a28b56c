// The main job: the driver in the test bed on a simulated USB MIDI interface.
//
// Loads the driver, plugs in a simulated interface, shows the child's identity as the PnP manager
// received it, stops and restarts the device, puts the system to sleep (S3) and wakes it, streams
// a MIDI phrase out (directly and through the transmit ring) and back in by loopback, prints the
// wire log, removes the device, unloads the driver and prints the verifier's report. Exits non-zero when the verifier saw a violation or
// the phrase did not come back intact.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/driver.h"
#include "pnp.h"
#include "power_manager.h"
#include "testbed.h"
#include "transport/transport.h"
#include "usb/midi_endpoints.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* MajorName(int major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return nullptr;
  }
}

std::string Hex(const Bytes& b) {
  std::string s;
  char x[4];
  for (size_t i = 0; i < b.size(); i++) {
    std::snprintf(x, sizeof x, "%02X", b[i]);
    if (i) s += ' ';
    s += x;
  }
  return s;
}

std::string Quoted(const std::u16string& s) { return "\"" + tb::Narrow(s) + "\""; }

void Usage() {
  std::printf("usage: usbmidi-demo [--product 0x0001|0x0003|0xNNNN] [--quiet] [--break-a-rule]\n");
  std::printf("  --break-a-rule  leaves a pool block behind, to show that the report fails the run\n");
}

// The child's internal reader slot, used the way the client's read code will use it.
struct Reader {
  FdoExtension* fdo;
  PdoExtension* child;
  Bytes received;
  std::atomic<bool> done{false};
  PIRP irp;
  Bytes buffer = Bytes(64);

  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<Reader*>(irp->Tail.Overlay.DriverContext[1]);
    KIRQL old;
    KeAcquireSpinLock(&self->fdo->RxLock, &old);
    if (self->child->PendingReadIrp == irp) self->child->PendingReadIrp = nullptr;
    KeReleaseSpinLock(&self->fdo->RxLock, old);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }

  explicit Reader(FdoExtension* f) : fdo(f), child(f->ChildExtension) {
    irp = tb::AllocateSystemIrp(1, [this](PIRP i) {
      if (NT_SUCCESS(i->IoStatus.Status)) received.insert(received.end(), buffer.begin(), buffer.begin() + i->IoStatus.Information);
      done = true;
    }, true);  // reused for every read
    KIRQL old;
    KeAcquireSpinLock(&fdo->RxLock, &old);
    child->RxReadIndex = fdo->RxWriteIndex;
    KeReleaseSpinLock(&fdo->RxLock, old);
  }
  ~Reader() { tb::FreeSystemIrp(irp); }

  // Reads until `count` bytes came back or the time is up.
  void ReadUntil(size_t count, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count && std::chrono::steady_clock::now() < until) {
      done = false;
      IoReuseIrp(irp, STATUS_SUCCESS);
      irp->Tail.Overlay.DriverContext[1] = this;
      KIRQL old;
      KeAcquireSpinLock(&fdo->RxLock, &old);
      child->ReadBuffer = buffer.data();
      child->ReadLength = static_cast<ULONG>(buffer.size());
      while (child->RxReadIndex != fdo->RxWriteIndex && irp->IoStatus.Information < child->ReadLength) {
        *child->ReadBuffer++ = fdo->RxRing[child->RxReadIndex];
        irp->IoStatus.Information++;
        child->RxReadIndex = (child->RxReadIndex + 1) & 0x7F;
      }
      bool now = irp->IoStatus.Information > 0;
      if (!now) {
        IoSetCancelRoutine(irp, Cancel);
        child->PendingReadIrp = irp;
      }
      KeReleaseSpinLock(&fdo->RxLock, old);
      if (now) IofCompleteRequest(irp, IO_NO_INCREMENT);
      while (!done.load() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (!done.load()) {
        IoCancelIrp(irp);
        while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  bool breakARule = false;
  unsigned long product = 0x0001;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(argv[i], "--break-a-rule") == 0) {
      breakARule = true;
    } else if (std::strcmp(argv[i], "--product") == 0 && i + 1 < argc) {
      product = std::strtoul(argv[++i], nullptr, 0);
      if (product > 0xFFFF) {
        Usage();
        return 2;
      }
    } else {
      Usage();
      return 2;
    }
  }
  tb::ResetKernel();
  int violations = 0;
  tb::SetViolationHandler([&](const tb::Violation& v) {
    violations++;
    std::printf("%s\n", v.ToString().c_str());
  });
  bool ok = true;

  std::printf("== Loading the driver\n");
  PDRIVER_OBJECT driver = tb::LoadDriver(DriverEntry, u"usbmidi");
  for (const std::string& line : tb::DebugOutput()) std::printf("debug output: \"%s\"\n", line.c_str());
  if (!quiet) {
    std::printf("dispatch table:\n");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
      const char* name = MajorName(major);
      if (name == nullptr) continue;
      std::printf("  %-32s -> %s\n", name, tb::SymbolName(reinterpret_cast<const void*>(driver->MajorFunction[major])).c_str());
    }
    std::printf("  %-32s -> %s\n", "AddDevice",
                tb::SymbolName(reinterpret_cast<const void*>(driver->DriverExtension->AddDevice)).c_str());
    std::printf("  %-32s -> %s\n", "DriverUnload", tb::SymbolName(reinterpret_cast<const void*>(driver->DriverUnload)).c_str());
  }

  {
    tb::PnpManager pnp(driver);
    std::printf("\n== Plugging in a simulated interface (VID 0A7E, PID %04lX)\n", product);
    NTSTATUS added = STATUS_SUCCESS;
    PDEVICE_OBJECT pdo = pnp.Plug(tb::UsbMidiDevice::Product(static_cast<uint16_t>(product)), &added);
    std::printf("AddDevice: 0x%08X\n", static_cast<unsigned>(added));
    NTSTATUS started = pnp.Start(pdo);
    std::printf("start: 0x%08X\n", static_cast<unsigned>(started));
    ok = ok && NT_SUCCESS(added) && NT_SUCCESS(started);
    std::vector<PDEVICE_OBJECT> children = pnp.QueryBusRelations(pdo);
    for (PDEVICE_OBJECT child : children) {
      const tb::PnpNode* node = pnp.Node(child);
      std::printf("child %s as the PnP manager received it:\n", tb::Narrow(tb::DeviceName(child)).c_str());
      std::printf("  device ID     %s (%zu bytes)\n", Quoted(node->deviceId).c_str(), node->deviceIdBytes.size());
      for (const auto& id : node->hardwareIds) std::printf("  hardware ID   %s\n", Quoted(id).c_str());
      std::printf("  instance ID   %s (%zu bytes)\n", Quoted(node->instanceId).c_str(), node->instanceIdBytes.size());
      std::printf("  device text   %s\n", Quoted(node->text).c_str());
    }
    ok = ok && children.size() == 1;

    std::printf("\n== Stopping and restarting the device\n");
    NTSTATUS restarted = pnp.StopAndRestart(pdo);
    std::printf("stop and restart: 0x%08X\n", static_cast<unsigned>(restarted));
    ok = ok && NT_SUCCESS(restarted);

    if (ok) {
      std::printf("\n== Sleeping (S3) and waking the whole tree\n");
      tb::PowerManager power(pnp);
      tb::PowerTransition slept = power.Sleep(PowerSystemSleeping3);
      std::printf("sleep: %s, USB device in D%d\n", slept.entered ? "entered" : "REFUSED",
                  static_cast<int>(pnp.Bus(pdo)->DevicePowerState()) - 1);
      tb::PowerTransition woke = power.Wake();
      std::printf("wake: %s, USB device in D%d\n", woke.entered ? "entered" : "FAILED",
                  static_cast<int>(pnp.Bus(pdo)->DevicePowerState()) - 1);
      if (!quiet) std::printf("power requests and answers:\n%s", power.PrintLog().c_str());
      ok = ok && slept.entered && woke.entered;
    }

    PDEVICE_OBJECT fdo = tb::TopOfStack(pdo);
    FdoExtension* ext = FdoExt(fdo);
    if (ok) {
      std::printf("\n== Streaming a MIDI phrase out and back by loopback\n");
      tb::MidiEndpoints ep(*pnp.Bus(pdo));
      ep.SetLoopback(true);
      // Two continuous reads and the writer thread, as the first open of the stream starts them.
      for (int i = 0; i < 2; i++) {
        TransferPacket* p = TakePacket(fdo);
        p->PacketFlags |= PACKET_CONTINUOUS_READ;
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->ActiveReadCount));
        SubmitRead(fdo, p);
      }
      SetFdoFlags(ext, FDO_STREAM_RUNNING);
      HANDLE handle;
      PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WriterThread, ext);
      ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &ext->WriterThread, nullptr);
      ZwClose(handle);

      Reader reader(ext);
      // A chord sent directly, then a melody through the transmit ring, then the chord released.
      Bytes chord = {0x90, 0x3C, 0x64, 0x90, 0x40, 0x64, 0x90, 0x43, 0x64};
      Bytes melody;
      for (uint8_t note : {0x48, 0x4A, 0x4C, 0x4D, 0x4F, 0x51, 0x53, 0x54}) {
        melody.insert(melody.end(), {0x91, note, 0x50, 0x81, note, 0x00});
      }
      Bytes release = {0x80, 0x3C, 0x00, 0x80, 0x40, 0x00, 0x80, 0x43, 0x00};
      NTSTATUS sent = SendBytes(fdo, chord.data(), static_cast<ULONG>(chord.size()));
      ULONG queued = QueueBytes(fdo, melody.data(), static_cast<ULONG>(melody.size()));
      ep.WaitForWire(1 + (melody.size() + 31) / 32);
      NTSTATUS sent2 = SendBytes(fdo, release.data(), static_cast<ULONG>(release.size()));
      std::printf("SendBytes(%zu bytes): 0x%08X, QueueBytes(%zu bytes): %lu accepted, SendBytes(%zu bytes): 0x%08X\n",
                  chord.size(), static_cast<unsigned>(sent), melody.size(), static_cast<unsigned long>(queued),
                  release.size(), static_cast<unsigned>(sent2));
      Bytes expected = chord;
      expected.insert(expected.end(), melody.begin(), melody.end());
      expected.insert(expected.end(), release.begin(), release.end());
      reader.ReadUntil(expected.size(), 5000);

      std::printf("wire log (bulk OUT, each transfer):\n");
      int n = 0;
      for (const tb::WireTransfer& w : ep.Wire()) std::printf("  #%-2d %2zu bytes  %s\n", ++n, w.bytes.size(), Hex(w.bytes).c_str());
      Bytes out = ep.ReceivedMidi();
      std::printf("bytes sent:     %zu MIDI bytes in %zu transfers of 32\n", out.size(), ep.Wire().size());
      std::printf("bytes received: %zu MIDI bytes back through the receive ring\n", reader.received.size());
      bool intact = out == expected && reader.received == expected;
      std::printf("phrase %s\n", intact ? "came back intact" : "DID NOT COME BACK INTACT");
      ok = ok && intact;

      ClearFdoFlags(ext, FDO_STREAM_RUNNING);
      KeSetEvent(&ext->TxEvent, 1, FALSE);
      PVOID thread = InterlockedExchangePointer(&ext->WriterThread, nullptr);
      KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
      ObfDereferenceObject(thread);
    }

    std::printf("\n== Removing the device\n");
    pnp.Remove(pdo);
    if (!quiet) std::printf("\nPnP requests and answers:\n%s", pnp.PrintLog().c_str());
  }

  if (breakARule) ExAllocatePoolWithTag(NonPagedPool, 16, 0x206D6457);  // never freed

  std::printf("\n== Unloading the driver\n");
  tb::UnloadDriver(driver);
  size_t pool = tb::OutstandingPool().size();
  tb::ShutdownKernel();

  std::printf("\n== Verifier report\n");
  std::printf("  violations: %d\n  pool blocks left: %zu\n", violations, pool);
  std::printf("  %s\n", violations == 0 && pool == 0 ? "clean" : "VIOLATIONS FOUND");
  return violations == 0 && pool == 0 && ok ? 0 : 1;
}
