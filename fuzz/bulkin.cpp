// Bulk-in payloads from the input - lengths, bytes, failed and miscounted transfers - delivered
// through the receive path while the client's reads wait: an open's read and the internal read.
// Whatever arrives, a read returns no more than its capacity and only bytes the device sent,
// and the device goes cleanly afterwards.
#include <algorithm>

#include "harness.h"

namespace {

// Every byte a reader got must be one the device sent, in the order sent: its reads, in
// completion order, are a subsequence of what was fed (padding and overflow only drop bytes).
bool Subsequence(const std::vector<UCHAR>& part, const std::vector<uint8_t>& whole) {
  size_t at = 0;
  for (UCHAR b : part) {
    while (at < whole.size() && whole[at] != b) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Bed bed;
  bed.PlugFirstProduct();
  auto open = bed.OpenAsKernelClient();
  bool internal = in.ConsumeBool();
  if (internal) FUZZ_CHECK(bed.client->InternalOpen().status == STATUS_SUCCESS);

  std::vector<uint8_t> fed;
  std::vector<UCHAR> gotOpen;
  std::vector<UCHAR> gotInternal;
  auto take = [&](std::vector<UCHAR>& got, const tb::ClientResult& r, ULONG capacity) {
    FUZZ_CHECK(fuzz::SaneStatus(r.status), r.status);
    FUZZ_CHECK(r.information <= capacity, static_cast<long long>(r.information), capacity);
    got.insert(got.end(), r.bytes.begin(), r.bytes.end());
  };
  std::shared_ptr<tb::ClientRead> read;
  std::shared_ptr<tb::ClientRead> internalRead;
  ULONG readCapacity = 0;
  ULONG internalCapacity = 0;
  int steps = 0;
  while (in.remaining_bytes() > 0 && steps++ < 24) {
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:
      case 1: {  // a transfer: up to twice the driver's read size, any bytes
        std::vector<uint8_t> transfer = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
        size_t before = bed.ep->Delivered();
        bed.ep->Feed(transfer);
        if (bed.ep->WaitDelivered(before + 1, 200)) fed.insert(fed.end(), transfer.begin(), transfer.end());
        break;
      }
      case 2: {  // a transfer that failed on the bus
        static const NTSTATUS kStatus[] = {STATUS_UNSUCCESSFUL, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED,
                                           STATUS_IO_TIMEOUT};
        static const USBD_STATUS kUsbd[] = {USBD_STATUS_STALL_PID, USBD_STATUS_CANCELED, USBD_STATUS_DEV_NOT_RESPONDING,
                                            USBD_STATUS_DEVICE_GONE};
        size_t before = bed.ep->Delivered();
        bed.ep->FeedFailure(kStatus[in.ConsumeIntegralInRange<int>(0, 3)], kUsbd[in.ConsumeIntegralInRange<int>(0, 3)]);
        bed.ep->WaitDelivered(before + 1, 200);
        break;
      }
      case 3: {  // a transfer whose reported length is not what it carries: less than it carried,
                 // or more than the driver's 32-byte buffer holds (a count inside the buffer but past
                 // the carried bytes would make stale buffer bytes valid: no fault to find there)
        std::vector<uint8_t> transfer = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
        ULONG reported;
        if (in.ConsumeBool()) {
          reported = in.ConsumeIntegralInRange<ULONG>(0, static_cast<ULONG>(transfer.size()));
        } else {
          transfer.resize(std::max<size_t>(transfer.size(), 32), 0x55);
          reported = in.ConsumeIntegralInRange<ULONG>(33, 80);
        }
        size_t before = bed.ep->Delivered();
        bed.ep->FeedMiscounted(transfer, reported);
        if (bed.ep->WaitDelivered(before + 1, 200)) {
          // Only the carried bytes can come out; a larger count must not invent any.
          fed.insert(fed.end(), transfer.begin(), transfer.begin() + std::min<size_t>(reported, transfer.size()));
        }
        break;
      }
      case 4:  // the open's read
        if (read && read->Done()) take(gotOpen, read->Result(), readCapacity), read.reset();
        if (!read) {
          readCapacity = in.ConsumeIntegralInRange<ULONG>(0, 80);
          read = open->BeginRead(readCapacity);
        } else if (in.ConsumeBool()) {
          read->Cancel();
          FUZZ_CHECK(read->Wait(3000));
        }
        break;
      case 5:  // the internal read
        if (!internal) break;
        if (internalRead && internalRead->Done()) take(gotInternal, internalRead->Result(), internalCapacity), internalRead.reset();
        if (!internalRead) {
          internalCapacity = in.ConsumeIntegralInRange<ULONG>(0, 80);
          internalRead = bed.client->BeginInternalRead(internalCapacity);
        } else if (in.ConsumeBool()) {
          internalRead->Cancel();
          FUZZ_CHECK(internalRead->Wait(3000));
        }
        break;
      case 6:  // a short pause: completions land while nothing else moves
        for (auto* r : {read.get(), internalRead.get()}) {
          if (r != nullptr) r->Wait(5);
        }
        break;
    }
    bed.Check();
  }
  if (read) {
    if (!read->Done()) read->Cancel();
    FUZZ_CHECK(read->Wait(3000));
    take(gotOpen, read->Result(), readCapacity);
  }
  if (internalRead) {
    if (!internalRead->Done()) internalRead->Cancel();
    FUZZ_CHECK(internalRead->Wait(3000));
    take(gotInternal, internalRead->Result(), internalCapacity);
  }
  if (internal) bed.client->InternalClose();
  FUZZ_CHECK(Subsequence(gotOpen, fed), static_cast<long long>(gotOpen.size()), static_cast<long long>(fed.size()));
  FUZZ_CHECK(Subsequence(gotInternal, fed), static_cast<long long>(gotInternal.size()),
             static_cast<long long>(fed.size()));
  open->Close();
  FUZZ_CHECK(open->WaitClosed(3000));
  bed.Check();
  return 0;
}
