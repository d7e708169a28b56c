// The capture writer: a real session through the driver written as a USBPcap file, then read back
// by tshark and compared, packet for packet, with what the bus's tap reported.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <usbdlib.h>
#include <usbioctl.h>

#include "capture/usbpcap.h"
#include "support/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Recorder : tb::UrbObserver {
  void OnUrb(const tb::UrbTapEvent& e) override {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(e);
  }
  std::mutex lock;
  std::vector<tb::UrbTapEvent> events;
};

// The fields tshark 4.0 names for what is compared; a field that occurs more than once in a
// packet comes as a comma-separated list.
const char* const kFields[] = {
    "frame.time_relative", "usb.bus_id", "usb.device_address", "usb.irp_id", "usb.function",
    "usb.irp_info.direction", "usb.endpoint_address", "usb.endpoint_address.direction", "usb.usbd_status",
    "usb.transfer_type", "usb.control_stage", "usb.data_len", "usb.capdata", "usb.bmRequestType",
    "usb.setup.bRequest", "usb.DescriptorIndex", "usb.bDescriptorType", "usb.LanguageId", "usb.setup.wLength",
    "usb.bConfigurationValue", "usb.bAlternateSetting", "usb.setup.wInterface", "usb.bLength", "usb.idVendor",
    "usb.idProduct", "usb.wTotalLength", "usb.bEndpointAddress",
};
using Row = std::map<std::string, std::string>;

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// tshark's decoding of every packet, under a timeout, with an empty profile so that no one's
// preferences change it.
std::vector<Row> Decode(const std::string& file, std::string* failure) {
  std::string config = file + ".wireshark";
  std::string command = "mkdir -p '" + config + "' && WIRESHARK_CONFIG_DIR='" + config +
                        "' timeout 120 tshark -n -r '" + file +
                        "' -T fields -E separator=/t -E occurrence=a -E aggregator=,";
  for (const char* f : kFields) command += std::string(" -e ") + f;
  command += " 2>'" + file + ".err'";
  std::vector<Row> rows;
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return rows;
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;) text.append(chunk, n);
  int status = pclose(out);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream err(file + ".err");
    *failure = "tshark failed (status " + std::to_string(status) + "): " +
               std::string(std::istreambuf_iterator<char>(err), {});
  }
  std::filesystem::remove_all(config);
  std::filesystem::remove(file + ".err");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    Row row;
    std::istringstream cells(line);
    std::string cell;
    for (const char* f : kFields) {
      if (!std::getline(cells, cell, '\t')) cell.clear();
      row[f] = cell;
    }
    rows.push_back(row);
  }
  return rows;
}

std::string Hex(uint64_t v, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(v));
  return text;
}
std::string HexBytes(const Bytes& b) {
  std::string s;
  for (uint8_t x : b) s += Hex(x, 2).substr(2);
  return s;
}
std::string Join(const std::vector<std::string>& parts) {
  std::string s;
  for (auto& p : parts) s += (s.empty() ? "" : ",") + p;
  return s;
}
unsigned Word(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }

// What tshark must show for one completed descriptor read: each descriptor's length, type and
// the identities in it, walked by bLength as the stack walks them.
void ExpectDescriptors(const Row& row, const Bytes& data) {
  std::vector<std::string> lengths, types, endpoints;
  for (size_t at = 0; at + 2 <= data.size() && data[at] >= 2; at += data[at]) {
    lengths.push_back(std::to_string(data[at]));
    types.push_back(Hex(data[at + 1], 2));
    if (data[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) endpoints.push_back(Hex(data[at + 2], 2));
  }
  EXPECT_EQ(row.at("usb.bLength"), Join(lengths));
  EXPECT_EQ(row.at("usb.bDescriptorType"), Join(types));
  EXPECT_EQ(row.at("usb.bEndpointAddress"), Join(endpoints));
  if (data.size() >= 12 && data[1] == USB_DEVICE_DESCRIPTOR_TYPE) {
    EXPECT_EQ(row.at("usb.idVendor"), Hex(Word(data, 8), 4));
    EXPECT_EQ(row.at("usb.idProduct"), Hex(Word(data, 10), 4));
  } else if (data.size() >= 4 && data[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    EXPECT_EQ(row.at("usb.wTotalLength"), std::to_string(Word(data, 2)));
  }
}

// The setup packet as tshark decodes it for each request the tap built one for.
void ExpectSetup(const Row& row, const tb::UrbTapEvent& e) {
  const auto& s = e.setup;
  EXPECT_EQ(row.at("usb.bmRequestType"), Hex(s[0], 2));
  EXPECT_EQ(row.at("usb.setup.bRequest"), std::to_string(s[1]));
  EXPECT_EQ(row.at("usb.setup.wLength"), std::to_string(s[6] | s[7] << 8));
  switch (e.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      EXPECT_EQ(row.at("usb.DescriptorIndex"), Hex(s[2], 2));
      EXPECT_EQ(row.at("usb.bDescriptorType"), Hex(s[3], 2));
      EXPECT_EQ(row.at("usb.LanguageId"), Hex(s[4] | s[5] << 8, 4));
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      EXPECT_EQ(row.at("usb.bConfigurationValue"), std::to_string(s[2]));
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      EXPECT_EQ(row.at("usb.bAlternateSetting"), std::to_string(s[2]));
      EXPECT_EQ(row.at("usb.setup.wInterface"), std::to_string(s[4]));
      break;
  }
}

// One packet as tshark decodes it against the tap event it was written from, `since` seconds
// after the first, for the first device attached.
void ExpectPacket(const Row& row, const tb::UrbTapEvent& e, double since) {
  bool completed = e.stage == tb::UrbTapEvent::Stage::Completed;
  bool transfer = e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.onPipe;
  bool pipeRequest = (e.function == URB_FUNCTION_ABORT_PIPE || e.function == URB_FUNCTION_RESET_PIPE) && e.onPipe;
  uint8_t endpoint = e.hasSetup ? (e.in ? 0x80 : 0x00) : !e.onPipe ? 0 : e.pipeKnown ? e.endpoint : 0xFF;
  int type = e.hasSetup ? 2 : transfer ? (e.endpointType == USB_ENDPOINT_TYPE_INTERRUPT ? 1 : 3) : pipeRequest ? 0xFE : 0xFF;
  EXPECT_NEAR(std::stod(row.at("frame.time_relative")), since, 2e-6);
  EXPECT_EQ(row.at("usb.bus_id"), "1");
  EXPECT_EQ(row.at("usb.device_address"), transfer && !e.pipeKnown ? "65535" : "1");
  EXPECT_EQ(row.at("usb.irp_id"), Hex(e.irp, 16));
  EXPECT_EQ(row.at("usb.function"), Hex(e.function, 4));
  EXPECT_EQ(row.at("usb.irp_info.direction"), Hex(completed ? 1 : 0, 2));
  EXPECT_EQ(row.at("usb.endpoint_address"), Hex(endpoint, 2));
  EXPECT_EQ(row.at("usb.endpoint_address.direction"), std::to_string(endpoint >> 7));
  EXPECT_EQ(row.at("usb.usbd_status"), Hex(static_cast<uint32_t>(e.usbdStatus), 8));
  EXPECT_EQ(row.at("usb.transfer_type"), Hex(type, 2));
  if (e.hasSetup) {
    EXPECT_EQ(row.at("usb.control_stage"), completed ? "3" : "0");
    EXPECT_EQ(row.at("usb.data_len"), std::to_string(completed ? e.data.size() : 8));
    if (!completed) ExpectSetup(row, e);
    if (completed && !e.data.empty()) ExpectDescriptors(row, e.data);
  } else {
    EXPECT_EQ(row.at("usb.data_len"), std::to_string(e.data.size()));
    EXPECT_EQ(row.at("usb.capdata"), HexBytes(e.data));
  }
}

class CaptureSessionTest : public StreamTest {
 protected:
  std::string File(const char* name) {
    return ::testing::TempDir() + "usbmidi-" + name + "-" + std::to_string(getpid()) + ".pcap";
  }
  // Closes the capture and checks that tshark decodes every packet as the tap reported it.
  void ExpectDecodedAsTapped(capture::UsbCapture& capture, const std::string& file, const Recorder& recorder) {
    size_t written = capture.Close();
    std::string failure;
    std::vector<Row> rows = Decode(file, &failure);
    ASSERT_EQ(failure, "");
    ASSERT_EQ(written, recorder.events.size());
    ASSERT_EQ(rows.size(), recorder.events.size());
    for (size_t i = 0; i < rows.size(); i++) {
      const tb::UrbTapEvent& e = recorder.events[i];
      SCOPED_TRACE("packet " + std::to_string(i + 1) + ", URB function " + std::to_string(e.function));
      ExpectPacket(rows[i], e, std::chrono::duration<double>(e.time - recorder.events[0].time).count());
    }
    std::remove(file.c_str());
  }
};

TEST_F(CaptureSessionTest, TsharkDecodesEveryPacketOfASessionAsTheTapReportedIt) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
  std::string file = File("session");
  std::string error;
  std::unique_ptr<capture::UsbCapture> capture = capture::UsbCapture::Create(file, &error);
  ASSERT_NE(capture, nullptr) << error;
  auto recorder = std::make_shared<Recorder>();
  onPlug_ = [&](tb::UsbBus& bus) {
    bus.AddObserver(recorder);
    capture->Attach(bus);
  };

  // Plug and start, open (start messages, two reads), a write, two transfers in, close (stop
  // message), removal (aborts that end the reads still waiting).
  Plug();
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForWire(2));
  const UCHAR phrase[] = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
  EXPECT_EQ(WriteChild(child_, open, phrase, sizeof phrase).status, STATUS_SUCCESS);
  ASSERT_TRUE(ep_->WaitForWire(3));
  std::vector<Bytes> fed{{0x90, 0x40, 0x7F}, {0xB0, 0x07, 0x50, 0xC0, 0x05}};
  for (auto& f : fed) ep_->Feed(f);
  ASSERT_TRUE(ep_->WaitDelivered(fed.size()));
  Close(open);  // the stop message
  std::vector<tb::WireTransfer> wire = ep_->Wire();
  Remove();
  ExpectDecodedAsTapped(*capture, file, *recorder);
  if (HasFatalFailure()) return;

  // The tap against the session itself: what went out and came in, in order, the setup packets
  // of the requests the stack turns the driver's URBs into, the descriptors as the device has them.
  std::vector<Bytes> out, in;
  std::map<USHORT, std::array<uint8_t, 8>> setups;
  tb::UsbMidiDevice device = tb::UsbMidiDevice::Product(0x0001);
  bool aborted = false;
  for (auto& e : recorder->events) {
    bool completed = e.stage == tb::UrbTapEvent::Stage::Completed;
    EXPECT_TRUE(!e.onPipe || e.pipeKnown) << "the driver used a pipe the bus does not have";
    aborted |= e.function == URB_FUNCTION_ABORT_PIPE;
    if (e.hasSetup && !setups.count(e.function)) setups[e.function] = e.setup;
    if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      // Data goes with the stage that carries it, all of it. Reads the removal aborted carry
      // their stale buffers: the bus leaves their length as asked.
      EXPECT_EQ(e.data.size(), e.in == completed ? e.length : 0);
      if (!e.data.empty() && USBD_SUCCESS(e.usbdStatus)) (e.in ? in : out).push_back(e.data);
    }
    if (completed && e.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      Bytes whole = e.setup[3] == USB_DEVICE_DESCRIPTOR_TYPE ? device.DeviceDescriptor() : device.ConfigurationDescriptor();
      EXPECT_EQ(e.data, Bytes(whole.begin(), whole.begin() + std::min<size_t>(whole.size(), e.setup[6])));
    }
  }
  ASSERT_EQ(out.size(), wire.size());
  for (size_t i = 0; i < wire.size(); i++) EXPECT_EQ(out[i], wire[i].bytes) << "OUT transfer " << i;
  EXPECT_EQ(in, fed);
  EXPECT_TRUE(aborted);
  using Setup = std::array<uint8_t, 8>;
  EXPECT_EQ(setups[URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE], (Setup{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00}));
  EXPECT_EQ(setups[URB_FUNCTION_SELECT_CONFIGURATION], (Setup{0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(setups[URB_FUNCTION_SELECT_INTERFACE], (Setup{0x01, 0x0B, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));
}

// An interrupt pipe, a stale pipe handle, a pipe reset and a function the bus does not provide:
// each written as USBPcap writes it, and decoded so.
TEST_F(CaptureSessionTest, TsharkDecodesTheRequestsTheDriverDoesNotMake) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
  std::string file = File("requests");
  std::unique_ptr<capture::UsbCapture> capture = capture::UsbCapture::Create(file);
  ASSERT_NE(capture, nullptr);
  tb::UsbBus bus(tb::UsbMidiDevice::Product(0x0001).WithOtherInterfaces());
  auto recorder = std::make_shared<Recorder>();
  bus.AddObserver(recorder);
  capture->Attach(bus);
  auto submit = [&](PURB urb) {
    return tb::Call(bus.Pdo(), [urb](PIO_STACK_LOCATION s, PIRP) {
      s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
      s->Parameters.Others.Argument1 = urb;
    });
  };
  Bytes config = bus.Device().ConfigurationDescriptor();
  USHORT size;
  PURB select = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
  ASSERT_EQ(submit(select).status, STATUS_SUCCESS);
  ExFreePool(select);
  USBD_PIPE_HANDLE interrupt = nullptr;
  for (auto& p : bus.Pipes()) {
    if (p.endpoint == 0x83) interrupt = p.handle;
  }
  bus.SetPipeHook(0x83, [](tb::BulkTransfer& t) {
    t.buffer[0] = 0x42;
    return tb::BulkAnswer{false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1};
  });
  uint8_t data[8] = {};
  URB in{}, stale{}, reset{}, status{};
  UsbBuildInterruptOrBulkTransferRequest(&in, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), interrupt, data, nullptr,
                                         8, USBD_SHORT_TRANSFER_OK, nullptr);
  EXPECT_EQ(submit(&in).status, STATUS_SUCCESS);
  UsbBuildInterruptOrBulkTransferRequest(&stale, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), data, nullptr, 8, 0, nullptr);
  submit(&stale);
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  reset.UrbPipeRequest.PipeHandle = interrupt;
  EXPECT_EQ(submit(&reset).status, STATUS_SUCCESS);
  status.UrbHeader.Length = sizeof(struct _URB_HEADER);
  status.UrbHeader.Function = URB_FUNCTION_GET_FRAME_LENGTH;
  ExpectViolation(tb::Rule::Unimplemented, [&] { submit(&status); });

  ASSERT_EQ(recorder->events.size(), 10u) << "five URBs, each down and back";
  ExpectDecodedAsTapped(*capture, file, *recorder);
}

}  // namespace
