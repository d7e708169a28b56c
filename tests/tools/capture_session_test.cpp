// The capture writer: a real session through the driver written as a USBPcap file, then read back
// by tshark and compared, packet for packet, with what the bus's tap reported.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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
    "frame.time_relative", "usb.bus_id", "usb.device_address", "usb.irp_id", "usb.function", "usb.irp_info.direction", "usb.endpoint_address", "usb.endpoint_address.direction",
    "usb.usbd_status", "usb.transfer_type", "usb.control_stage", "usb.data_len", "usb.capdata",
    "usb.bmRequestType", "usb.setup.bRequest", "usb.DescriptorIndex", "usb.bDescriptorType", "usb.LanguageId",
    "usb.setup.wLength", "usb.bConfigurationValue", "usb.bAlternateSetting", "usb.setup.wInterface", "usb.bLength",
    "usb.idVendor", "usb.idProduct", "usb.wTotalLength", "usb.bEndpointAddress",
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
  if (data[1] == USB_DEVICE_DESCRIPTOR_TYPE) {
    EXPECT_EQ(row.at("usb.idVendor"), Hex(Word(data, 8), 4));
    EXPECT_EQ(row.at("usb.idProduct"), Hex(Word(data, 10), 4));
  } else {
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

class CaptureSessionTest : public StreamTest {};

TEST_F(CaptureSessionTest, TsharkDecodesEveryPacketOfASessionAsTheTapReportedIt) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
  std::string file = ::testing::TempDir() + "usbmidi-session-" + std::to_string(getpid()) + ".pcap";
  std::string error;
  std::unique_ptr<capture::UsbCapture> capture = capture::UsbCapture::Create(file, &error);
  ASSERT_NE(capture, nullptr) << error;
  auto recorder = std::make_shared<Recorder>();
  onPlug_ = [&](tb::UsbBus& bus) {
    bus.AddObserver(recorder);
    capture->Attach(bus);
  };

  // Plug and start, open (start messages, two reads), a write, two transfers in, close (stop
  // message), removal (aborts that end the reads still waiting, then the unconfigure).
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
  size_t written = capture->Close();

  std::vector<tb::UrbTapEvent> events = recorder->events;
  std::string failure;
  std::vector<Row> rows = Decode(file, &failure);
  ASSERT_EQ(failure, "");
  ASSERT_EQ(written, events.size());
  ASSERT_EQ(rows.size(), events.size());

  // The tap against the session itself: what went out and came in, in order, and the requests
  // the driver sent.
  std::vector<Bytes> out, in;
  std::vector<USHORT> functions;
  for (auto& e : events) {
    bool completed = e.stage == tb::UrbTapEvent::Stage::Completed;
    if (!completed) functions.push_back(e.function);
    // Reads the removal aborted carry their stale buffers: the bus leaves their length as asked.
    if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !e.data.empty() && USBD_SUCCESS(e.usbdStatus)) {
      (e.in ? in : out).push_back(e.data);
    }
  }
  ASSERT_EQ(out.size(), wire.size());
  for (size_t i = 0; i < wire.size(); i++) EXPECT_EQ(out[i], wire[i].bytes) << "OUT transfer " << i;
  EXPECT_EQ(in, fed);
  for (USHORT f : {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_SELECT_CONFIGURATION, URB_FUNCTION_ABORT_PIPE}) {
    EXPECT_NE(std::find(functions.begin(), functions.end(), f), functions.end()) << "no URB function " << f;
  }
  EXPECT_EQ(events[0].setup, (std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00}));

  // tshark's decoding against the tap, packet for packet.
  for (size_t i = 0; i < events.size(); i++) {
    const tb::UrbTapEvent& e = events[i];
    const Row& row = rows[i];
    SCOPED_TRACE("packet " + std::to_string(i + 1) + ", URB function " + std::to_string(e.function));
    bool completed = e.stage == tb::UrbTapEvent::Stage::Completed;
    bool bulk = e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    ASSERT_TRUE(!e.onPipe || e.pipeKnown) << "the driver used a pipe the bus does not have";
    uint8_t endpoint = e.hasSetup ? (e.in ? 0x80 : 0x00) : e.endpoint;
    double since = std::chrono::duration<double>(e.time - events[0].time).count();
    EXPECT_NEAR(std::stod(row.at("frame.time_relative")), since, 2e-6);
    EXPECT_EQ(row.at("usb.bus_id"), "1");
    EXPECT_EQ(row.at("usb.device_address"), "1") << "the first device attached";
    EXPECT_EQ(row.at("usb.irp_id"), Hex(e.irp, 16));
    EXPECT_EQ(row.at("usb.function"), Hex(e.function, 4));
    EXPECT_EQ(row.at("usb.irp_info.direction"), Hex(completed ? 1 : 0, 2));
    EXPECT_EQ(row.at("usb.endpoint_address"), Hex(endpoint, 2));
    EXPECT_EQ(row.at("usb.endpoint_address.direction"), std::to_string(endpoint >> 7));
    EXPECT_EQ(row.at("usb.usbd_status"), Hex(static_cast<uint32_t>(e.usbdStatus), 8));
    EXPECT_EQ(row.at("usb.transfer_type"), Hex(e.hasSetup ? 2 : bulk ? 3 : 0xFE, 2));
    if (e.hasSetup) {
      EXPECT_EQ(row.at("usb.control_stage"), completed ? "3" : "0");
      EXPECT_EQ(row.at("usb.data_len"), std::to_string(completed ? e.data.size() : 8));
      if (!completed) ExpectSetup(row, e);
      if (completed && !e.data.empty()) ExpectDescriptors(row, e.data);
    } else {
      EXPECT_EQ(row.at("usb.data_len"), std::to_string(e.data.size()));
      EXPECT_EQ(row.at("usb.capdata"), HexBytes(e.data));
      // Data goes with the stage that carries it, all of it.
      if (bulk && e.in == completed) EXPECT_EQ(e.data.size(), e.length);
      if (bulk && e.in != completed) EXPECT_TRUE(e.data.empty());
    }
  }
  std::remove(file.c_str());
}

}  // namespace
