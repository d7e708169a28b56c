// One run of the main job: a fresh test-bed kernel with the driver and the test bed's MIDI client
// driver loaded, one simulated interface plugged in, and what the run saw, for the report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/usbpcap.h"
#include "client/midi_client.h"
#include "demo/options.h"
#include "pnp.h"
#include "power_manager.h"
#include "testbed.h"
#include "usb/midi_endpoints.h"

namespace demo {

using Bytes = std::vector<uint8_t>;

// What the report sums up.
struct Stats {
  size_t bytesOut = 0;         // MIDI bytes that reached the wire
  size_t bytesIn = 0;          // MIDI bytes the client's readers received
  size_t transfersOut = 0;     // bulk-out transfers
  std::vector<double> latencyUs;  // from a write to its last byte on the wire (or the cable)
  std::vector<std::string> powerStates;  // the USB device's states, in order
  size_t pnpRequests = 0;
  size_t playedEvents = 0;
  size_t playedBytes = 0;
  size_t capturedPackets = 0;  // USBPcap packets written with --pcap
  std::vector<std::string> violations;
  std::vector<std::string> failures;  // what the run expected and did not see
  bool ok() const { return violations.empty() && failures.empty(); }
};

class Session {
 public:
  // With `capture`, every bus the run plugs in is tapped from before its first request.
  explicit Session(const Options& options, capture::UsbCapture* capture = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Plugs in the interface, starts it, enumerates the child and loads the client on it.
  bool Plug();
  // Surprise removal (the device gone) or orderly removal; the client closes what it opened.
  void Unplug();
  void Remove();
  // Unloads both drivers, ends the kernel and finishes the statistics.
  void Finish();

  // --- printing ---
  void Section(const std::string& title);
  void Line(const std::string& text);  // suppressed by --quiet
  void Detail(const std::string& text);
  // The bulk-out transfers since the last call, each in hex, the stream's messages named and the
  // padding marked.
  void PrintNewWire(bool print = true);
  void Expect(bool condition, const std::string& what);

  // --- the client's paths ---
  // Sends `bytes` out through the write request, the internal write code and the direct-call
  // Write, one path after the other; returns the bytes that should come back by loopback.
  Bytes SendThroughEveryPath(tb::ClientOpen& open, const Bytes& bytes);
  // Reads through `open` (and the internal reader when `internal`) until `expected` bytes came
  // back, or the time is up; returns what the open received.
  Bytes ReadBack(tb::ClientOpen& open, size_t expected, bool internal, Bytes* internalBytes = nullptr,
                 int timeoutMs = 5000);
  // The client above the child now: an enable of a disabled child loads a new one.
  void RefreshClient() { client_ = tb::MidiClientOn(child_); }
  // Waits until `count` MIDI bytes have gone out since the interface was plugged in (in real time:
  // taken by the device for its cable); false when the time ran out.
  bool WaitBytesOut(size_t count, int timeoutMs = 30000);
  // When MIDI byte `index` (0-based, in wire order) was out: the end of its time on the cable in
  // real time, else the arrival of the transfer that carried it.
  std::chrono::steady_clock::time_point ByteOutAt(size_t index) { return OutTimes(index, index + 1).at(0); }
  std::vector<std::chrono::steady_clock::time_point> OutTimes(size_t from, size_t to);  // bytes [from, to)
  std::string PowerState();  // the USB device's state, "D0" ...
  void NotePowerState();

  const Options& options() const { return options_; }
  Stats& stats() { return stats_; }
  tb::PnpManager& pnp() { return *pnp_; }
  tb::PowerManager& power() { return *power_; }
  tb::UsbBus& bus() { return *bus_; }
  tb::MidiEndpoints& endpoints() { return *endpoints_; }
  tb::MidiClient& client() { return *client_; }
  PDEVICE_OBJECT pdo() const { return pdo_; }
  PDEVICE_OBJECT child() const { return child_; }

 private:
  Options options_;
  Stats stats_;
  capture::UsbCapture* capture_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  PDRIVER_OBJECT clientDriver_ = nullptr;
  std::unique_ptr<tb::PnpManager> pnp_;
  std::unique_ptr<tb::PowerManager> power_;
  std::unique_ptr<tb::MidiEndpoints> endpoints_;
  std::shared_ptr<tb::MidiClient> client_;
  tb::UsbBus* bus_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT child_ = nullptr;
  size_t wirePrinted_ = 0;
  std::string initialPowerState_;
  bool removed_ = false;
  bool finished_ = false;
};

// Hex bytes, "90 3C 64".
std::string Hex(const Bytes& bytes);

}  // namespace demo
