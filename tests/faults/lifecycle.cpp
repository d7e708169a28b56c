#include "faults/lifecycle.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "client/midi_client.h"
#include "core/driver.h"
#include "pnp.h"
#include "power_manager.h"
#include "transport/transport.h"
#include "usb/midi_endpoints.h"

namespace lifecycle {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<UCHAR>;

// Long enough for a loaded machine, short enough that hundreds of runs stay quick when the
// driver rightly never delivers what a failed step would have.
constexpr int kWaitMs = 2000;

// Capabilities that give the driver an idle state (D2) between runs of the stream.
tb::UsbMidiDevice Interface() {
  return tb::UsbMidiDevice::Product(0x0001).WithIdleState();
}

bool Until(const std::function<bool()>& done, int ms = kWaitMs) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::string Status(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
  return text;
}

class Runner {
 public:
  Outcome out;

  // Runs one step: `body` says what the caller was told. A failure the caller sees needs an
  // injected failure in this run to explain it.
  bool Do(const std::string& name, const std::function<bool(std::string&)>& body) {
    Step step;
    step.name = name;
    if (std::getenv("FAULT_TRACE")) std::fprintf(stderr, "  step %s\n", name.c_str());
    step.injectedBefore = tb::InjectedFailureCount();
    step.succeeded = body(step.note);
    step.injectedDuring = tb::InjectedFailureCount() - step.injectedBefore;
    if (!step.succeeded && tb::InjectedFailureCount() == 0) {
      Fault(name + " failed with every allocation granted (" + step.note + ")");
    }
    out.steps.push_back(step);
    return step.succeeded;
  }
  void Fault(const std::string& what) { out.faults.push_back(what); }
  void Expect(bool condition, const std::string& what) {
    if (!condition) Fault(what);
  }
  bool Clean() { return tb::InjectedFailureCount() == 0; }
};

// One device's stream through the client: every write path, the direct-call Control, and both
// readers, with what the caller was told checked against the wire and against what came back.
struct Stream {
  Runner& r;
  tb::MidiClient& client;
  tb::MidiEndpoints& ends;
  tb::ClientOpen& open;
  bool direct;    // the direct-call interface was handed out
  bool internal;  // the internal open succeeded
  size_t echoFrom;  // ReceivedMidi index from which loopback echoes
  FdoExtension* fdo;

  // An open whose writer thread could not be made still streams: queued bytes wait in the ring
  // for a later run's writer, and none of them goes out meanwhile.
  bool Writerless() const { return __atomic_load_n(&fdo->WriterThread, __ATOMIC_SEQ_CST) == nullptr; }
  ULONG Held() const { return __atomic_load_n(&fdo->TxCount, __ATOMIC_SEQ_CST); }
  // Bytes an earlier writerless run left in the ring go out first once a writer runs: they are
  // let go before a step counts the wire as its own.
  void Settle() {
    if (!Writerless()) Until([&] { return Held() == 0; });
  }
  // A device left out of D0 (its power-up could not be asked for) takes no transfer: the
  // writer drops what it cannot send.
  bool PoweredOff() const { return __atomic_load_n(&fdo->DevicePowerState, __ATOMIC_SEQ_CST) != PowerDeviceD0; }
  // Whether the writer may have dropped a run since `injected` failures had been injected.
  bool MayHaveDropped(uint64_t injected) const { return tb::InjectedFailureCount() != injected || PoweredOff(); }

  // Sends through `send`, which reports how many of the bytes it says it took; those must reach
  // the wire. A `queued` path only hands its bytes to the writer thread, which drops a run whose
  // transfer it cannot send (its caller has returned and cannot be told): with a failure
  // injected meanwhile the bytes may stay off the wire, but what went out is still theirs.
  void Path(const std::string& name, const Bytes& bytes, const std::function<size_t(std::string&)>& send,
            bool queued = false) {
    r.Do(name, [&](std::string& note) {
      Settle();
      uint64_t injected = tb::InjectedFailureCount();
      size_t before = ends.ReceivedMidi().size();
      ULONG held = Held();
      size_t taken = send(note);
      if (taken != 0 && queued && Writerless()) {
        r.Expect(Held() == held + taken && ends.ReceivedMidi().size() == before,
                 name + ": without a writer the bytes taken must wait in the ring");
        note += " held for a later writer";
      } else if (taken != 0) {
        bool out = Until([&] { return ends.ReceivedMidi().size() >= before + taken; });
        bool dropped = !out && queued && MayHaveDropped(injected);
        r.Expect(out || dropped, name + ": " + std::to_string(taken) + " bytes reported taken, not all reached the wire");
        Bytes wire = ends.ReceivedMidi();
        size_t arrived = std::min(wire.size() - before, taken);
        r.Expect(Bytes(wire.begin() + static_cast<long>(before), wire.begin() + static_cast<long>(before + arrived)) ==
                     Bytes(bytes.begin(), bytes.begin() + static_cast<long>(arrived)),
                 name + ": the wire carried other bytes than were written");
        if (dropped) note += " dropped by the writer";
      }
      return taken == bytes.size();
    });
  }

  void Round(const std::string& when, UCHAR note) {
    const Bytes phrase = {0x90, note, 0x64, 0x80, note, 0x00};
    Path("write request (" + when + ")", phrase, [&](std::string& n) {
      tb::ClientResult w = open.Write(phrase);
      n = Status(w.status);
      return NT_SUCCESS(w.status) ? static_cast<size_t>(w.information) : 0;
    });
    if (direct) {
      Path(
          "direct-call Write (" + when + ")", phrase, [&](std::string&) { return static_cast<size_t>(client.DirectWrite(phrase)); },
          true);
      // The stop and the start message, queued as MIDI bytes behind what is already waiting.
      r.Do("direct-call Control (" + when + ")", [&](std::string& n) {
        Settle();
        uint64_t injected = tb::InjectedFailureCount();
        size_t before = ends.ReceivedMidi().size();
        NTSTATUS stop = client.DirectControl(1);
        NTSTATUS start = client.DirectControl(0);
        n = Status(stop) + " " + Status(start);
        Bytes want;
        if (NT_SUCCESS(stop)) want.insert(want.end(), StopMessage, StopMessage + STOP_MESSAGE_LENGTH);
        if (NT_SUCCESS(start)) want.insert(want.end(), StartMessage, StartMessage + START_MESSAGE_LENGTH);
        if (!want.empty() && Writerless()) {
          r.Expect(ends.ReceivedMidi().size() == before, "direct-call Control: a message went out with no writer");
        } else if (!want.empty()) {
          bool out = Until([&] { return ends.ReceivedMidi().size() >= before + want.size(); });
          Bytes wire = ends.ReceivedMidi();
          Bytes sent(wire.begin() + static_cast<long>(before), wire.end());
          // Queued like a direct-call Write: a run the writer could not send is dropped.
          bool dropped = !out && MayHaveDropped(injected) && sent.size() <= want.size() &&
                         std::equal(sent.begin(), sent.end(), want.begin());
          r.Expect((out && sent == want) || dropped, "direct-call Control: the messages reported queued did not go out as queued");
        }
        return NT_SUCCESS(stop) && NT_SUCCESS(start);
      });
    }
    if (internal) {
      Path("internal write (" + when + ")", phrase, [&](std::string& n) {
        tb::ClientResult w = client.InternalWrite(phrase);
        n = Status(w.status);
        return NT_SUCCESS(w.status) ? phrase.size() : 0;
      });
    }
    // Whatever reached the wire since the loopback came on comes back to each reader.
    Bytes all = ends.ReceivedMidi();
    Bytes expected(all.begin() + static_cast<long>(echoFrom), all.end());
    ReadBack("read request (" + when + ")", expected, [&] { return open.BeginRead(64); });
    if (internal) ReadBack("internal read (" + when + ")", expected, [&] { return client.BeginInternalRead(64); });
    echoFrom = all.size();
  }

  void ReadBack(const std::string& name, const Bytes& expected, const std::function<std::shared_ptr<tb::ClientRead>()>& begin) {
    r.Do(name, [&](std::string& note) {
      Bytes got;
      while (got.size() < expected.size()) {
        std::shared_ptr<tb::ClientRead> read = begin();
        if (!read->Wait(kWaitMs)) {
          read->Cancel();
          read->Wait();
          r.Fault(name + ": " + std::to_string(got.size()) + " of " + std::to_string(expected.size()) +
                  " echoed bytes came back");
          return false;
        }
        tb::ClientResult res = read->Result();
        if (!NT_SUCCESS(res.status)) {
          note = Status(res.status);
          return false;
        }
        got.insert(got.end(), res.bytes.begin(), res.bytes.end());
      }
      r.Expect(got == expected, name + ": the bytes read back differ from those on the wire");
      return true;
    });
  }
};

struct Device {
  PDEVICE_OBJECT pdo = nullptr;
  tb::UsbBus* bus = nullptr;
  std::unique_ptr<tb::MidiEndpoints> ends;
  PDEVICE_OBJECT child = nullptr;
  std::shared_ptr<tb::MidiClient> client;
  bool started = false;
};

// Plug, start, enumerate; false when the device cannot be used (its steps say why).
bool Bring(Runner& r, tb::PnpManager& pnp, Device& d, const std::string& which) {
  bool added = r.Do("AddDevice" + which, [&](std::string& note) {
    NTSTATUS status = STATUS_SUCCESS;
    d.pdo = pnp.Plug(Interface(), &status);
    note = Status(status);
    if (NT_SUCCESS(status)) r.Expect(tb::TopOfStack(d.pdo) != d.pdo, "AddDevice succeeded and nothing attached");
    return NT_SUCCESS(status);
  });
  if (d.pdo == nullptr) return false;
  d.bus = pnp.Bus(d.pdo);
  d.ends = std::make_unique<tb::MidiEndpoints>(*d.bus);
  if (!added) return false;
  d.started = r.Do("start" + which, [&](std::string& note) {
    NTSTATUS status = pnp.Start(d.pdo);
    note = Status(status);
    if (NT_SUCCESS(status)) r.Expect(d.bus->Configured(), "start succeeded with the device unconfigured");
    return NT_SUCCESS(status);
  });
  if (!d.started) return false;
  return r.Do("enumeration" + which, [&](std::string& note) {
    std::vector<PDEVICE_OBJECT> children = pnp.QueryBusRelations(d.pdo);
    note = std::to_string(children.size()) + " children";
    if (children.size() != 1) return false;
    d.child = children[0];
    d.client = tb::MidiClientOn(d.child);
    if (!d.client) return false;
    note = "child start " + Status(d.client->StartStatus());
    return NT_SUCCESS(d.client->StartStatus());
  });
}

std::shared_ptr<tb::ClientOpen> Open(Runner& r, Device& d, const std::string& when, bool expectStart) {
  std::shared_ptr<tb::ClientOpen> open;
  r.Do("open (" + when + ")", [&](std::string& note) {
    size_t before = d.ends->WireCount();
    tb::ClientResult result;
    open = d.client->Open(KernelMode, &result);
    note = Status(result.status);
    r.Expect((open != nullptr) == NT_SUCCESS(result.status), "the open's handle disagrees with its create status");
    if (!open) return false;
    if (expectStart) {
      r.Expect(d.ends->WaitForWire(before + 2, kWaitMs), "open succeeded and the stream's start never went out");
      r.Expect(d.bus->DevicePowerState() == PowerDeviceD0, "open succeeded with the device out of D0");
    }
    return true;
  });
  return open;
}

void Close(Runner& r, std::shared_ptr<tb::ClientOpen>& open, const std::string& when) {
  if (!open) return;
  r.Do("close (" + when + ")", [&](std::string& note) {
    open->Close();
    bool closed = open->WaitClosed(kWaitMs);
    r.Expect(closed, "the close never completed");
    note = Status(open->CloseResult().status);
    return closed && NT_SUCCESS(open->CloseResult().status);
  });
  open.reset();
}

void Lifecycle(Runner& r, tb::PnpManager& pnp, tb::PowerManager& power) {
  Device d;
  if (Bring(r, pnp, d, "")) {
    // First run of the stream, then the last close puts the device in its idle state.
    std::shared_ptr<tb::ClientOpen> open = Open(r, d, "first", true);
    if (open) {
      bool direct = r.Do("direct-call interface", [&](std::string& n) {
        tb::ClientResult res = d.client->GetDirectCallInterface();
        n = Status(res.status);
        return NT_SUCCESS(res.status);
      });
      bool internal = r.Do("internal open", [&](std::string& n) {
        tb::ClientResult res = d.client->InternalOpen();
        n = Status(res.status);
        return NT_SUCCESS(res.status);
      });
      d.ends->SetLoopback(true);
      Stream s{r, *d.client, *d.ends, *open, direct, internal, d.ends->ReceivedMidi().size(), FdoExt(d.pdo->AttachedDevice)};
      s.Round("first", 0x3C);
      d.ends->SetLoopback(false);
      if (internal) {
        r.Do("internal close", [&](std::string& n) {
          tb::ClientResult res = d.client->InternalClose();
          n = Status(res.status);
          return NT_SUCCESS(res.status);
        });
      }
      Close(r, open, "last");
      bool idle = Until([&] { return d.bus->DevicePowerState() == PowerDeviceD2; });
      if (r.Clean()) r.Expect(idle, "the device never went to its idle state after the last close");
    }

    // Powered up again by the next open; then S3 and a stop with the stream open.
    open = Open(r, d, "from idle", true);
    if (open) {
      bool direct = NT_SUCCESS(d.client->GetDirectCallInterface().status);
      bool internal = NT_SUCCESS(d.client->InternalOpen().status);
      if (r.Clean()) r.Expect(direct && internal, "the second direct-call interface or internal open failed");
      d.ends->SetLoopback(true);
      Stream s{r, *d.client, *d.ends, *open, direct, internal, d.ends->ReceivedMidi().size(), FdoExt(d.pdo->AttachedDevice)};
      s.Round("powered up", 0x3E);

      bool asleep = false;
      r.Do("sleep S3", [&](std::string& n) {
        tb::PowerTransition t = power.Sleep(PowerSystemSleeping3);
        n = Status(t.status) + " " + t.refusedBy;
        asleep = t.entered;
        return t.entered;
      });
      if (asleep) {
        r.Do("wake", [&](std::string& n) {
          tb::PowerTransition t = power.Wake();
          n = Status(t.status);
          return t.entered;
        });
        bool d0 = Until([&] { return d.bus->DevicePowerState() == PowerDeviceD0; });
        if (r.Clean()) r.Expect(d0, "the device not back in D0 with the stream open after the wake");
      }
      s.echoFrom = d.ends->ReceivedMidi().size();
      s.Round("after S3", 0x40);

      bool restarted = r.Do("stop and restart", [&](std::string& n) {
        NTSTATUS status = pnp.StopAndRestart(d.pdo);
        n = Status(status);
        return NT_SUCCESS(status);
      });
      if (restarted) {
        s.echoFrom = d.ends->ReceivedMidi().size();
        s.Round("after the restart", 0x43);
      }
      d.ends->SetLoopback(false);
      if (internal) d.client->InternalClose();
      Close(r, open, "before the unplug");
    }

    // Unplugged with a reader waiting: the read ends, the client lets go, the tree goes.
    std::shared_ptr<tb::ClientOpen> last = d.client ? d.client->Open() : nullptr;
    std::shared_ptr<tb::ClientRead> read = last ? last->BeginRead(64) : nullptr;
    r.Do("surprise removal", [&](std::string& n) {
      d.bus->Unplug();
      d.ends.reset();
      pnp.SurpriseRemove(d.pdo);
      bool idle = pnp.WaitIdle();
      if (read) {
        r.Expect(read->Wait(kWaitMs), "a read waiting at the unplug never completed");
        r.Expect(!NT_SUCCESS(read->Result().status), "a read waiting at the unplug reported success");
      }
      n = idle ? "idle" : "removals outstanding";
      r.Expect(tb::TopOfStack(d.pdo) == d.pdo, "the function device outlived the surprise removal");
      return idle;
    });
    if (last) last->CloseIfOpen();
  } else if (d.pdo != nullptr) {
    // A device that never came up still goes away with its tree.
    d.ends.reset();
    pnp.SurpriseRemove(d.pdo);
    r.Expect(pnp.WaitIdle(), "the removals of a device that never started did not finish");
  }

  // A second interface, removed in order.
  Device e;
  if (!Bring(r, pnp, e, " (second)") && e.pdo == nullptr) return;
  r.Do("orderly removal", [&](std::string& n) {
    e.ends.reset();
    NTSTATUS status = pnp.Remove(e.pdo);
    if (!NT_SUCCESS(status) && e.client) {
      e.client->CloseAll();
      pnp.WaitIdle();
      status = pnp.Remove(e.pdo);
    }
    pnp.WaitIdle();
    n = Status(status);
    if (NT_SUCCESS(status)) r.Expect(tb::TopOfStack(e.pdo) == e.pdo, "removal succeeded and the function device stayed");
    return NT_SUCCESS(status);
  });
}

}  // namespace

std::string Outcome::Describe() const {
  std::ostringstream s;
  s << allocations << " allocations, " << injected << " failed\n";
  for (const Step& step : steps) {
    s << "  " << (step.succeeded ? "ok  " : "FAIL") << " " << step.name;
    if (!step.note.empty()) s << " [" << step.note << "]";
    if (step.injectedDuring != 0) s << " <- " << step.injectedDuring << " injected";
    s << "\n";
  }
  for (const std::string& f : faults) s << "  fault: " << f << "\n";
  for (const std::string& v : violations) s << "  violation: " << v << "\n";
  if (poolLeft != 0) s << "  " << poolLeft << " pool block(s) left at unload\n";
  return s.str();
}

Outcome Run(const tb::FaultPlan& plan) {
  Runner r;
  std::mutex lock;
  tb::ResetKernel();
  tb::GetSettings().hangLimitMs = 5000;
  tb::GetSettings().watchdogMs = 5000;
  tb::SetViolationHandler([&](const tb::Violation& v) {
    std::lock_guard<std::mutex> guard(lock);
    r.out.violations.push_back(v.ToString());
  });
  tb::SetFaultPlan(plan);
  PDRIVER_OBJECT driver = tb::LoadDriver(DriverEntry, u"usbmidi");
  PDRIVER_OBJECT clientDriver = tb::LoadMidiClient();
  {
    auto pnp = std::make_unique<tb::PnpManager>(driver);
    pnp->LoadChildDriver(clientDriver);
    // The client answers a removal notice by closing its handles, as a client driver does.
    pnp->beforeChildRemove = [](PDEVICE_OBJECT child) {
      if (auto client = tb::MidiClientOn(child)) client->CloseAll();
    };
    auto power = std::make_unique<tb::PowerManager>(*pnp);
    Lifecycle(r, *pnp, *power);
    power.reset();
    pnp.reset();
  }
  tb::UnloadDriver(driver);
  tb::UnloadDriver(clientDriver);
  r.out.poolLeft = tb::OutstandingPool().size();
  r.out.allocations = tb::AllocationCount();
  for (int k = 0; k < 5; k++) r.out.byKind[k] = tb::AllocationCountOf(static_cast<tb::AllocKind>(k));
  r.out.injected = tb::InjectedFailureCount();
  tb::ShutdownKernel();
  tb::SetViolationHandler(nullptr);
  std::lock_guard<std::mutex> guard(lock);
  return r.out;
}

}  // namespace lifecycle
