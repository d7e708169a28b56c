#include "capture/usbpcap.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>

namespace capture {
namespace {

// Room for the largest request the bus takes (a page on the default pipe, the selected
// maximum on a bulk pipe) and its header; Wireshark's own default.
constexpr int kSnapLength = 262144;
constexpr size_t kBaseHeaderLength = 27;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

UsbPcapPacket PacketFor(const tb::UrbTapEvent& event, uint16_t device, uint16_t bus) {
  bool completed = event.stage == tb::UrbTapEvent::Stage::Completed;
  UsbPcapPacket p;
  p.irpId = event.irp;
  p.usbdStatus = static_cast<uint32_t>(event.usbdStatus);
  p.function = event.function;
  p.info = completed ? kInfoPdoToFdo : 0;
  p.bus = bus;
  p.device = device;
  if (event.hasSetup) {
    // The default pipe's endpoint byte carries the data stage's direction.
    p.transfer = kTransferControl;
    p.control = true;
    p.endpoint = event.in ? USB_ENDPOINT_DIRECTION_MASK : 0;
    if (completed) {
      p.stage = kStageComplete;
      p.data = event.data;
    } else {
      p.stage = kStageSetup;
      p.data.assign(event.setup.begin(), event.setup.end());
      p.data.insert(p.data.end(), event.data.begin(), event.data.end());
    }
  } else if (event.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && event.onPipe) {
    p.transfer = event.endpointType == USB_ENDPOINT_TYPE_INTERRUPT ? kTransferInterrupt : kTransferBulk;
    p.endpoint = event.endpoint;
    if (!event.pipeKnown) {
      p.device = kUnknownDevice;
      p.endpoint = kUnknownEndpoint;
    }
    p.data = event.data;
  } else if ((event.function == URB_FUNCTION_ABORT_PIPE || event.function == URB_FUNCTION_RESET_PIPE) && event.onPipe) {
    p.transfer = kTransferIrpInfo;
    p.endpoint = event.pipeKnown ? event.endpoint : kUnknownEndpoint;
  } else {
    p.transfer = kTransferUnknown;
  }
  return p;
}

std::vector<uint8_t> Encode(const UsbPcapPacket& p) {
  std::vector<uint8_t> out;
  out.reserve(kBaseHeaderLength + 1 + p.data.size());
  Put16(out, static_cast<uint16_t>(kBaseHeaderLength + (p.control ? 1 : 0)));
  Put64(out, p.irpId);
  Put32(out, p.usbdStatus);
  Put16(out, p.function);
  out.push_back(p.info);
  Put16(out, p.bus);
  Put16(out, p.device);
  out.push_back(p.endpoint);
  out.push_back(p.transfer);
  Put32(out, static_cast<uint32_t>(p.data.size()));
  if (p.control) out.push_back(p.stage);
  out.insert(out.end(), p.data.begin(), p.data.end());
  return out;
}

// The open file. Events come from any thread the bus completes on; one lock orders the writes.
struct UsbCapture::Sink {
  std::mutex lock;
  pcap_t* dead = nullptr;
  pcap_dumper_t* dumper = nullptr;
  // The tap's clock is steady; the file's is the wall clock, read once at the start.
  std::chrono::steady_clock::time_point steadyStart;
  std::chrono::system_clock::time_point wallStart;
  size_t packets = 0;

  void Write(const UsbPcapPacket& packet, std::chrono::steady_clock::time_point time) {
    std::vector<uint8_t> bytes = Encode(packet);
    std::lock_guard<std::mutex> guard(lock);
    if (dumper == nullptr) return;
    auto since = std::chrono::duration_cast<std::chrono::microseconds>(
        wallStart.time_since_epoch() + (time - steadyStart));
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(since.count() / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(since.count() % 1000000);
    header.len = static_cast<bpf_u_int32>(bytes.size());
    header.caplen = std::min<bpf_u_int32>(header.len, kSnapLength);
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, bytes.data());
    packets++;
  }
  size_t Close() {
    std::lock_guard<std::mutex> guard(lock);
    if (dumper != nullptr) {
      pcap_dump_close(dumper);
      dumper = nullptr;
    }
    if (dead != nullptr) {
      pcap_close(dead);
      dead = nullptr;
    }
    return packets;
  }
};

// What a bus holds: it outlives neither the file's data nor the capture's Close.
struct UsbCapture::Relay : tb::UrbObserver {
  Relay(std::shared_ptr<Sink> s, uint16_t d) : sink(std::move(s)), device(d) {}
  void OnUrb(const tb::UrbTapEvent& event) override { sink->Write(PacketFor(event, device), event.time); }
  std::shared_ptr<Sink> sink;
  uint16_t device;
};

std::unique_ptr<UsbCapture> UsbCapture::Create(const std::string& path, std::string* error) {
  auto sink = std::make_shared<Sink>();
  sink->dead = pcap_open_dead(DLT_USBPCAP, kSnapLength);
  if (sink->dead == nullptr) {
    if (error != nullptr) *error = "libpcap cannot make a handle of link type DLT_USBPCAP";
    return nullptr;
  }
  sink->dumper = pcap_dump_open(sink->dead, path.c_str());
  if (sink->dumper == nullptr) {
    if (error != nullptr) *error = pcap_geterr(sink->dead);
    sink->Close();
    return nullptr;
  }
  sink->steadyStart = std::chrono::steady_clock::now();
  sink->wallStart = std::chrono::system_clock::now();
  return std::unique_ptr<UsbCapture>(new UsbCapture(std::move(sink)));
}

UsbCapture::UsbCapture(std::shared_ptr<Sink> sink) : sink_(std::move(sink)) {}

UsbCapture::~UsbCapture() { Close(); }

void UsbCapture::Attach(tb::UsbBus& bus, uint16_t device) {
  std::shared_ptr<Relay> relay;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (device == 0) device = nextDevice_++;
    relay = std::make_shared<Relay>(sink_, device);
    attached_.emplace_back(&bus, relay);
  }
  bus.AddObserver(relay);
}

void UsbCapture::Detach(tb::UsbBus& bus) {
  std::vector<std::shared_ptr<Relay>> relays;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = attached_.begin(); it != attached_.end();) {
      if (it->first == &bus) {
        relays.push_back(it->second);
        it = attached_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& r : relays) bus.RemoveObserver(r.get());
}

size_t UsbCapture::Close() { return sink_->Close(); }

size_t UsbCapture::Packets() {
  std::lock_guard<std::mutex> guard(sink_->lock);
  return sink_->packets;
}

}  // namespace capture
