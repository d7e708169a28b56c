// Client requests with parameters from the input: major codes, device-control and internal codes
// (the driver's own and any other), lengths, buffers that are null, unaligned or (for a caller in
// user mode) in system space, and both requestor modes, through the client driver's opens and the
// I/O manager. Buffers are always as large as the lengths say: a kernel caller is trusted on that.
#include <cstring>

#include "harness.h"

namespace {

const ULONG kCodes[] = {IOCTL_CLIENT_OPEN, IOCTL_CLIENT_CLOSE, IOCTL_CLIENT_READ, IOCTL_CLIENT_WRITE,
                        IOCTL_GET_DIRECT_CALL_INTERFACE};
const UCHAR kMajors[] = {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                         IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION};

constexpr size_t kArena = 4096;
// A user-mode pointer the probe must refuse: the top half of the address space.
void* const kSystemSpace = reinterpret_cast<void*>(static_cast<uintptr_t>(0xFFFF800000001000ull));

void* PickBuffer(FuzzedDataProvider& in, std::vector<UCHAR>& arena, KPROCESSOR_MODE mode, ULONG length) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return nullptr;
    case 1: return arena.data() + (kArena - length);  // ends at the arena's end: an overrun shows
    case 2: return arena.data() + 1;                   // unaligned
    default: return mode == UserMode ? kSystemSpace : arena.data();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Bed bed;
  bed.PlugFirstProduct();
  // The client's own open; an application's is refused, and so is every request from user mode,
  // which here goes to the top of the stack without a file object.
  std::vector<std::shared_ptr<tb::ClientOpen>> opens;
  auto first = bed.OpenAsKernelClient();
  tb::ClientResult opened;
  opens.push_back(first);
  FUZZ_CHECK(bed.client->Open(UserMode, &opened) == nullptr);
  FUZZ_CHECK(opened.status == STATUS_ACCESS_DENIED, opened.status);
  // Each request's buffers stay alive until the request is done; kept to the end.
  std::vector<std::shared_ptr<std::vector<UCHAR>>> arenas;
  std::vector<std::shared_ptr<tb::IoRequest>> out;
  int steps = 0;
  while (in.remaining_bytes() > 0 && steps++ < 16) {
    auto arena = std::make_shared<std::vector<UCHAR>>(kArena);
    std::vector<UCHAR> fill = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, 48));
    fill.resize(fill.size() + 1);  // never empty: memcpy from a null vector's data() is undefined
    std::memcpy(arena->data(), fill.data(), fill.size());
    std::memcpy(arena->data() + 1, fill.data(), fill.size());
    fill.pop_back();
    arenas.push_back(arena);
    int what = in.ConsumeIntegralInRange<int>(0, 3);
    if (what == 3) {  // the direct-call record, from a kernel caller, with any magic and length
      DIRECT_CALL_INTERFACE record{};
      std::memcpy(&record, arena->data(), sizeof(record) < fill.size() ? sizeof(record) : fill.size());
      if (in.ConsumeBool()) record.Magic = DIRECT_CALL_MAGIC;
      ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 2 * DIRECT_CALL_INTERFACE_SIZE);
      tb::ClientResult r = bed.client->GetDirectCallInterface(&record, length);
      FUZZ_CHECK(fuzz::SaneStatus(r.status), r.status);
      if (NT_SUCCESS(r.status) && in.ConsumeBool()) {
        bed.client->DirectWrite(std::vector<UCHAR>(fill.begin(), fill.end()));
        bed.client->DirectControl(in.ConsumeIntegral<ULONG>());
      }
      bed.Check();
      continue;
    }
    KPROCESSOR_MODE mode = what == 1 ? UserMode : KernelMode;
    tb::IoRequestParams params;
    params.major = kMajors[in.ConsumeIntegralInRange<size_t>(0, sizeof(kMajors) - 1)];
    // Only kernel components build internal device-control requests; a user-mode caller's
    // control request always arrives as IRP_MJ_DEVICE_CONTROL.
    if (mode == UserMode && params.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) params.major = IRP_MJ_DEVICE_CONTROL;
    params.code = in.ConsumeBool() ? kCodes[in.ConsumeIntegralInRange<size_t>(0, 4)] : in.ConsumeIntegral<ULONG>();
    ULONG limit = in.ConsumeBool() ? 64 : static_cast<ULONG>(kArena - 1);
    params.length = in.ConsumeIntegralInRange<ULONG>(0, limit);
    params.inputLength = in.ConsumeIntegralInRange<ULONG>(0, limit);
    params.outputLength = in.ConsumeIntegralInRange<ULONG>(0, limit);
    params.buffer = PickBuffer(in, *arena, mode, params.length);
    params.input = PickBuffer(in, *arena, mode, params.inputLength);
    params.output = params.input == nullptr ? nullptr : PickBuffer(in, *arena, mode, params.outputLength);
    if (what == 2) {  // the internal codes from the client's own device, without a file object
      tb::ClientResult r;
      switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: r = bed.client->InternalOpen(); break;
        case 1: r = bed.client->InternalWrite(params.input, params.inputLength); break;
        default: r = bed.client->InternalClose(); break;
      }
      FUZZ_CHECK(fuzz::SaneStatus(r.status), r.status);
    } else {
      params.mode = mode;
      auto request = mode == KernelMode ? first->Request(params) : tb::StartRequest(tb::TopOfStack(bed.child), params);
      if (request->Wait(in.ConsumeBool() ? 0 : 20)) {
        tb::Result r = request->Outcome();
        FUZZ_CHECK(fuzz::SaneStatus(r.status), r.status);
        FUZZ_CHECK(mode == KernelMode || !NT_SUCCESS(r.status), r.status, params.major);
        // Information never claims more than the caller's buffer held.
        ULONG most = params.major == IRP_MJ_READ || params.major == IRP_MJ_WRITE ? params.length : params.outputLength;
        if (params.major <= IRP_MJ_INTERNAL_DEVICE_CONTROL && params.major != IRP_MJ_QUERY_INFORMATION &&
            params.major != IRP_MJ_FLUSH_BUFFERS && NT_SUCCESS(r.status)) {
          FUZZ_CHECK(r.information <= most, static_cast<long long>(r.information), most);
        }
      } else {
        out.push_back(request);
        if (in.ConsumeBool()) request->Cancel();
      }
    }
    bed.Check();
  }
  // The driver answers no cleanup, so a read left waiting outlives its handle's close: the
  // requests still out are cancelled, as the requesting thread's exit would, and each must end.
  // Only then can every close get through.
  for (auto& open : opens) open->Close();
  for (auto& request : out) {
    if (!request->Wait(0)) request->Cancel();
    FUZZ_CHECK(request->Wait(3000));
  }
  for (auto& open : opens) FUZZ_CHECK(open->WaitClosed(3000));
  bed.client->InternalClose();
  bed.Check();
  return 0;
}
