// Device and configuration descriptors from the input, through a real add and start: either
// raw bytes answered as they are, or the builder's interfaces and endpoints with fuzzed fields.
// A device the driver accepts is then enumerated and run briefly: an open, a write, a close.
#include "harness.h"

namespace {

tb::UsbMidiDevice Structured(FuzzedDataProvider& in) {
  tb::UsbMidiDevice device = tb::UsbMidiDevice::Product(in.ConsumeIntegralInRange<uint16_t>(0, 4));
  if (in.ConsumeBool()) device.WithOtherInterfaces();
  size_t interfaces = in.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < interfaces && in.remaining_bytes() > 0; ++i) {
    tb::UsbInterfaceLayout iface;
    iface.number = in.ConsumeIntegralInRange<uint8_t>(0, 4);
    iface.alternate = in.ConsumeIntegralInRange<uint8_t>(0, 2);
    iface.cls = in.ConsumeBool() ? 0xFF : in.ConsumeIntegral<uint8_t>();
    iface.subClass = in.ConsumeIntegral<uint8_t>();
    size_t endpoints = in.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t e = 0; e < endpoints; ++e) {
      tb::UsbEndpointLayout ep;
      ep.address = in.ConsumeIntegral<uint8_t>();
      ep.attributes = in.ConsumeIntegralInRange<uint8_t>(0, 3);
      ep.maxPacket = in.ConsumeIntegralInRange<uint16_t>(0, 1100);
      ep.interval = in.ConsumeIntegral<uint8_t>();
      iface.endpoints.push_back(ep);
    }
    if (in.ConsumeBool()) iface.extra.push_back(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 12)));
    if (in.ConsumeBool() && !device.interfaces.empty()) {
      device.interfaces[in.ConsumeIntegralInRange<size_t>(0, device.interfaces.size() - 1)] = iface;
    } else {
      device.interfaces.push_back(iface);
    }
  }
  return device;
}

tb::UsbMidiDevice Raw(FuzzedDataProvider& in) {
  tb::UsbMidiDevice device = tb::UsbMidiDevice::Product(0x0001);
  if (in.ConsumeBool()) device.rawDevice = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
  device.rawConfiguration = in.ConsumeRemainingBytes<uint8_t>();
  return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  bool raw = in.ConsumeBool();
  tb::UsbMidiDevice device = raw ? Raw(in) : Structured(in);
  fuzz::Bed bed;
  bool run = in.ConsumeBool();  // a close costs the stream's stop delay: only some inputs open
  if (bed.Plug(device) && bed.Enumerate() && run) {
    tb::ClientResult opened;
    auto open = bed.client->Open(KernelMode, &opened);
    FUZZ_CHECK(fuzz::SaneStatus(opened.status), opened.status);
    if (open) {
      tb::ClientResult wrote = open->Write(std::vector<UCHAR>{0x90, 0x3C, 0x64});
      FUZZ_CHECK(fuzz::SaneStatus(wrote.status), wrote.status);
      FUZZ_CHECK(wrote.information <= 3, static_cast<long long>(wrote.information));
      open->Close();
      FUZZ_CHECK(open->WaitClosed());
    }
    bed.Check();
  }
  return 0;
}
