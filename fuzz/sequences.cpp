// Plug and Play, power and client requests in an order taken from the input, with the verifier's
// rules checked after every step: opens and closes, reads left waiting and cancelled, writes, the
// internal codes, stop and restart, a disabled and enabled child, system sleep and wake, bulk-in
// traffic, and an unplug that may come at any point.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Bed bed;
  bed.PlugFirstProduct();
  tb::PowerManager power(*bed.pnp);
  std::shared_ptr<tb::ClientOpen> open;
  std::shared_ptr<tb::ClientRead> read;
  std::shared_ptr<tb::ClientRead> internalRead;
  int internalOpens = 0;
  bool childDisabled = false;
  bool asleep = false;
  bool gone = false;
  // The client it talks through goes with a disable and comes back with the enable.
  auto client = [&] { return tb::MidiClientOn(bed.child); };
  int steps = 0;
  while (in.remaining_bytes() > 0 && steps++ < 20 && !gone) {
    auto c = client();
    switch (in.ConsumeIntegralInRange<int>(0, 12)) {
      case 0:
        if (c && !open) {
          tb::ClientResult r;
          open = c->Open(KernelMode, &r);
          FUZZ_CHECK(fuzz::SaneStatus(r.status), r.status);
        }
        break;
      case 1:
        if (open) {
          read.reset();
          open->Close();
          FUZZ_CHECK(open->WaitClosed(3000));
          open.reset();
        }
        break;
      case 2:
        if (open) FUZZ_CHECK(fuzz::SaneStatus(open->Write(in.ConsumeBytes<UCHAR>(8)).status));
        break;
      case 3:
        if (open && (!read || read->Done())) read = open->BeginRead(in.ConsumeIntegralInRange<ULONG>(0, 16));
        else if (read) read->Cancel();
        break;
      case 4:
        if (c) {
          if (internalOpens == 0 || in.ConsumeBool()) {
            if (NT_SUCCESS(c->InternalOpen().status)) ++internalOpens;
          } else if (NT_SUCCESS(c->InternalClose().status)) {
            --internalOpens;
          }
        }
        break;
      case 5:
        if (c && internalOpens > 0) {
          if (!internalRead || internalRead->Done()) internalRead = c->BeginInternalRead(in.ConsumeIntegralInRange<ULONG>(0, 16));
          else internalRead->Cancel();
        }
        break;
      case 6:
        if (c) FUZZ_CHECK(fuzz::SaneStatus(c->InternalWrite(in.ConsumeBytes<UCHAR>(6)).status));
        break;
      case 7:
        if (bed.ep) bed.ep->Feed(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40)));
        break;
      case 8:  // a stop the device may refuse while in use, then a restart or a cancel
        if (!asleep) {
          if (in.ConsumeBool()) {
            bed.pnp->StopAndRestart(bed.pdo);
          } else if (bed.pnp->QueryStop(bed.pdo) == STATUS_SUCCESS) {
            bed.pnp->CancelStop(bed.pdo);
          }
        }
        break;
      case 9:
        if (asleep) break;
        if (childDisabled) {
          bed.pnp->Enable(bed.child);
          childDisabled = false;
        } else {
          if (open) {  // the client's handles go before the child's removal
            open->Close();
            FUZZ_CHECK(open->WaitClosed(3000));
            open.reset();
            read.reset();
          }
          if (c) {
            for (; internalOpens > 0; --internalOpens) c->InternalClose();
          }
          internalRead.reset();
          childDisabled = bed.pnp->Disable(bed.child) == STATUS_SUCCESS;
        }
        break;
      case 10:
        if (asleep) {
          power.Wake();
          asleep = false;
        } else {
          power.Sleep(in.ConsumeBool() ? PowerSystemSleeping3 : PowerSystemSleeping1);
          asleep = true;
        }
        break;
      case 11:
        for (auto* r : {read.get(), internalRead.get()}) {
          if (r != nullptr) r->Wait(5);
        }
        break;
      case 12:  // the device pulled out, whatever is in flight
        if (in.ConsumeBool()) {
          if (asleep) power.Wake(), asleep = false;
          if (c) {
            for (; internalOpens > 0; --internalOpens) c->InternalClose();
          }
          bed.Remove(true);
          gone = true;
        }
        break;
    }
    bed.Check();
  }
  if (asleep) power.Wake();
  bed.Check();
  if (!gone) {
    auto c = client();
    if (open) {
      open->Close();
      FUZZ_CHECK(open->WaitClosed(3000));
    }
    if (c) {
      for (; internalOpens > 0; --internalOpens) c->InternalClose();
    }
    if (childDisabled) bed.pnp->Enable(bed.child);
  }
  for (auto* r : {read.get(), internalRead.get()}) {
    if (r != nullptr) FUZZ_CHECK(r->Wait(3000));
  }
  bed.Check();
  return 0;
}
