// USB traces Wireshark reads: what the simulated bus's tap reports, written as a USBPcap capture
// (link type 249, DLT_USBPCAP) through libpcap's own writer.
//
// Every URB gives two packets, one on its way down (FDO to PDO) and one on its way back:
//   descriptor reads, select configuration and select interface: control transfers on the
//     default pipe, a Setup stage carrying the 8-byte setup packet the stack sends, then a
//     Complete stage carrying the IN data;
//   bulk and interrupt transfers: OUT data with the submission, IN data with the completion;
//   abort and reset of a pipe: USBPcap's "IRP info" packets naming the pipe's endpoint;
//   any other function: "unknown" packets on endpoint 0.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/usb_bus.h"

namespace capture {

// USBPcap's transfer types, control stages and the info byte's direction bit.
constexpr uint8_t kTransferInterrupt = 1;
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kTransferBulk = 3;
constexpr uint8_t kTransferIrpInfo = 0xFE;
constexpr uint8_t kTransferUnknown = 0xFF;
constexpr uint8_t kStageSetup = 0;
constexpr uint8_t kStageComplete = 3;
constexpr uint8_t kInfoPdoToFdo = 0x01;
// What USBPcap writes for a transfer on a pipe it does not know.
constexpr uint16_t kUnknownDevice = 0xFFFF;
constexpr uint8_t kUnknownEndpoint = 0xFF;
constexpr uint16_t kRootHub = 1;

// One packet as USBPcap records it: the pseudo-header's fields and the data after it.
struct UsbPcapPacket {
  uint64_t irpId = 0;
  uint32_t usbdStatus = 0;
  uint16_t function = 0;
  uint8_t info = 0;
  uint16_t bus = kRootHub;
  uint16_t device = 0;
  uint8_t endpoint = 0;
  uint8_t transfer = kTransferUnknown;
  bool control = false;  // the control header's stage byte follows the base header
  uint8_t stage = 0;
  std::vector<uint8_t> data;
};

// What USBPcap records for one tap event of the device at `device` on root hub `bus`.
UsbPcapPacket PacketFor(const tb::UrbTapEvent& event, uint16_t device, uint16_t bus = kRootHub);
// The packet's bytes: the packed little-endian pseudo-header (27 bytes, 28 with a stage), then
// the data.
std::vector<uint8_t> Encode(const UsbPcapPacket& packet);

// A capture file being written. Attach it to buses (before the PnP manager's AddDevice, through
// its onPlug, to see the first descriptor read); every URB they see from then on is written as it
// is reported, under the capture's own lock. Safe to Close while buses still report: later events
// are dropped. The buses keep only a small relay alive, not the file.
class UsbCapture {
 public:
  // A new file at `path`; null, with libpcap's reason in `error`, when it cannot be opened.
  static std::unique_ptr<UsbCapture> Create(const std::string& path, std::string* error = nullptr);
  ~UsbCapture();
  UsbCapture(const UsbCapture&) = delete;
  UsbCapture& operator=(const UsbCapture&) = delete;

  // Taps the bus; its packets carry `device` as their address, or 1, 2 ... in attach order.
  void Attach(tb::UsbBus& bus, uint16_t device = 0);
  // Stops tapping a bus that still exists.
  void Detach(tb::UsbBus& bus);
  // Finishes the file and returns the packets written.
  size_t Close();
  size_t Packets();

 private:
  struct Sink;
  struct Relay;
  explicit UsbCapture(std::shared_ptr<Sink> sink);

  std::shared_ptr<Sink> sink_;
  std::mutex lock_;
  std::vector<std::pair<tb::UsbBus*, std::shared_ptr<Relay>>> attached_;
  uint16_t nextDevice_ = 1;
};

}  // namespace capture
