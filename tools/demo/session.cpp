#include "demo/session.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/driver.h"
#include "transport/transport.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;

// An interface whose capabilities give the driver an idle state: D2 between runs of the stream.
tb::UsbMidiDevice Interface(uint16_t product) {
  return tb::UsbMidiDevice::Product(product).WithIdleState();
}

Bytes Padded(const UCHAR* message, size_t length) {
  Bytes b(message, message + length);
  b.resize(PACKET_SIZE, 0xFF);
  return b;
}

}  // namespace

std::string Hex(const Bytes& bytes) {
  std::string s;
  char x[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    std::snprintf(x, sizeof x, "%02X", bytes[i]);
    if (i) s += ' ';
    s += x;
  }
  return s;
}

Session::Session(const Options& options, capture::UsbCapture* capture) : options_(options), capture_(capture) {
  tb::ResetKernel();
  tb::SetViolationHandler([this](const tb::Violation& v) {
    stats_.violations.push_back(v.ToString());
    std::printf("%s\n", v.ToString().c_str());
  });
  Section("Loading the driver");
  driver_ = tb::LoadDriver(DriverEntry, u"usbmidi");
  for (const std::string& line : tb::DebugOutput()) Line("debug output: \"" + line + "\"");
  clientDriver_ = tb::LoadMidiClient();
  pnp_ = std::make_unique<tb::PnpManager>(driver_);
  pnp_->LoadChildDriver(clientDriver_);
  // The client answers a removal notice by closing its handles, as a client driver does.
  pnp_->beforeChildRemove = [this](PDEVICE_OBJECT) {
    if (client_) client_->CloseAll();
  };
  power_ = std::make_unique<tb::PowerManager>(*pnp_);
  if (capture_ != nullptr) pnp_->onPlug = [this](tb::UsbBus& bus) { capture_->Attach(bus); };
}

Session::~Session() { Finish(); }

bool Session::Plug() {
  char title[96];
  std::snprintf(title, sizeof title, "Plugging in a simulated interface (VID 0A7E, PID %04X)", options_.product);
  Section(title);
  NTSTATUS added = STATUS_SUCCESS;
  pdo_ = pnp_->Plug(Interface(options_.product), &added);
  bus_ = pnp_->Bus(pdo_);
  endpoints_ = std::make_unique<tb::MidiEndpoints>(*bus_);
  if (options_.realtime) endpoints_->EnableRealTime();
  NTSTATUS started = pnp_->Start(pdo_);
  char text[96];
  std::snprintf(text, sizeof text, "AddDevice 0x%08X, start 0x%08X; USB device in %s", static_cast<unsigned>(added),
                static_cast<unsigned>(started), PowerState().c_str());
  Line(text);
  NotePowerState();
  initialPowerState_ = PowerState();
  Expect(NT_SUCCESS(added) && NT_SUCCESS(started), "the device added and started");
  std::vector<PDEVICE_OBJECT> children = pnp_->QueryBusRelations(pdo_);
  Expect(children.size() == 1, "one child reported");
  if (children.size() != 1) return false;
  child_ = children[0];
  const tb::PnpNode* node = pnp_->Node(child_);
  Line("child " + tb::Narrow(tb::DeviceName(child_)) + " as the PnP manager received it:");
  Line("  device ID     \"" + tb::Narrow(node->deviceId) + "\" (" + std::to_string(node->deviceIdBytes.size()) + " bytes)");
  for (const auto& id : node->hardwareIds) Line("  hardware ID   \"" + tb::Narrow(id) + "\"");
  Line("  instance ID   \"" + tb::Narrow(node->instanceId) + "\" (" + std::to_string(node->instanceIdBytes.size()) +
       " bytes)");
  Line("  device text   \"" + tb::Narrow(node->text) + "\"");
  client_ = tb::MidiClientOn(child_);
  Expect(client_ != nullptr, "the client driver loaded above the child");
  if (client_) Line("client driver loaded above the child; its start: " + std::string(NT_SUCCESS(client_->StartStatus()) ? "success" : "FAILED"));
  return client_ != nullptr && NT_SUCCESS(started);
}

void Session::Unplug() {
  if (removed_ || pdo_ == nullptr) return;
  Section("Unplugging the interface (surprise removal)");
  bus_->Unplug();
  endpoints_.reset();
  pnp_->SurpriseRemove(pdo_);
  Expect(pnp_->WaitIdle(), "the removals finished once the client closed its handles");
  removed_ = true;
  Line("function device and child removed");
}

void Session::Remove() {
  if (removed_ || pdo_ == nullptr) return;
  Section("Removing the device");
  endpoints_.reset();  // its threads end before the bus goes away with the device
  NTSTATUS status = pnp_->Remove(pdo_);
  if (!NT_SUCCESS(status)) {
    // Vetoed: a handle was still open. The client lets go, and the removal is asked again.
    if (client_) client_->CloseAll();
    pnp_->WaitIdle();
    status = pnp_->Remove(pdo_);
  }
  pnp_->WaitIdle();
  char text[64];
  std::snprintf(text, sizeof text, "removal: 0x%08X", static_cast<unsigned>(status));
  Line(text);
  Expect(NT_SUCCESS(status), "the removal succeeded");
  removed_ = true;
}

void Session::Finish() {
  if (finished_) return;
  finished_ = true;
  if (!removed_ && pdo_ != nullptr) Remove();
  if (bus_ != nullptr) {
    stats_.powerStates.insert(stats_.powerStates.begin(), initialPowerState_);
    for (const tb::DevicePowerChange& c : bus_->PowerHistory()) {
      stats_.powerStates.push_back("D" + std::to_string(static_cast<int>(c.state) - 1));
    }
  }
  stats_.pnpRequests = pnp_ ? pnp_->Log().size() : 0;
  if (capture_ != nullptr) {
    stats_.capturedPackets = capture_->Close();
    Line("USB capture: " + std::to_string(stats_.capturedPackets) + " packets written to " + options_.pcap);
  }
  if (!options_.quiet && pnp_) Detail("PnP requests and answers:\n" + pnp_->PrintLog());
  client_.reset();
  endpoints_.reset();
  power_.reset();
  pnp_.reset();
  if (options_.breakARule) ExAllocatePoolWithTag(NonPagedPool, 16, DRIVER_POOL_TAG);  // never freed
  Section("Unloading the drivers");
  tb::UnloadDriver(driver_);
  tb::UnloadDriver(clientDriver_);
  size_t pool = tb::OutstandingPool().size();
  if (pool != 0) stats_.failures.push_back(std::to_string(pool) + " pool block(s) left");
  tb::ShutdownKernel();
  tb::SetViolationHandler(nullptr);
}

bool Session::WaitBytesOut(size_t count, int timeoutMs) {
  auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool out = endpoints_->ReceivedMidi().size() >= count &&
               (!options_.realtime || endpoints_->Cable().size() >= count);
    if (out) return true;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::vector<Clock::time_point> Session::OutTimes(size_t from, size_t to) {
  std::vector<Clock::time_point> times(to > from ? to - from : 0);
  if (options_.realtime) {
    std::vector<tb::CableByte> cable = endpoints_->Cable();
    for (size_t i = from; i < to && i < cable.size(); i++) times[i - from] = cable[i].time + tb::kCableByte;
    return times;
  }
  size_t seen = 0;
  for (const tb::WireTransfer& w : endpoints_->Wire()) {
    size_t first = seen;
    seen += tb::DecodeMidi(w.bytes).size();
    for (size_t i = std::max(first, from); i < seen && i < to; i++) times[i - from] = w.time;
    if (seen >= to) break;
  }
  return times;
}

void Session::Section(const std::string& title) { std::printf("\n== %s\n", title.c_str()); }

void Session::Line(const std::string& text) {
  if (!options_.quiet) std::printf("%s\n", text.c_str());
}

void Session::Detail(const std::string& text) {
  if (!options_.quiet) std::printf("%s", text.c_str());
}

void Session::Expect(bool condition, const std::string& what) {
  if (condition) return;
  stats_.failures.push_back(what);
  std::printf("FAILED: %s\n", what.c_str());
}

void Session::PrintNewWire(bool print) {
  if (!endpoints_) return;
  std::vector<tb::WireTransfer> wire = endpoints_->Wire();
  Bytes start = Padded(StartMessage, START_MESSAGE_LENGTH);
  Bytes stop = Padded(StopMessage, STOP_MESSAGE_LENGTH);
  for (size_t i = wirePrinted_; i < wire.size(); i++) {
    const Bytes& b = wire[i].bytes;
    Bytes midi = tb::DecodeMidi(b);
    size_t padding = b.size() - midi.size();
    std::string note = b == start ? "  <- start message" : b == stop ? "  <- stop message" : "";
    char head[32];
    std::snprintf(head, sizeof head, "  OUT #%-3zu ", i + 1);
    std::string line = head + Hex(midi);
    if (padding != 0) line += " | " + std::to_string(padding) + " x FF padding";
    if (print) Line(line + note);
    stats_.transfersOut++;
    if (b != start && b != stop) stats_.bytesOut += midi.size();
  }
  wirePrinted_ = wire.size();
}

Bytes Session::SendThroughEveryPath(tb::ClientOpen& open, const Bytes& bytes) {
  Bytes expected;
  auto timed = [&](const char* path, const Bytes& piece, const std::function<NTSTATUS()>& send) {
    size_t before = endpoints_->ReceivedMidi().size();
    auto start = Clock::now();
    NTSTATUS status = send();
    size_t wanted = before + piece.size();
    bool out = WaitBytesOut(wanted, 5000);
    double us = out && wanted != 0 ? std::chrono::duration<double, std::micro>(ByteOutAt(wanted - 1) - start).count() : 0;
    stats_.latencyUs.push_back(us);
    char text[160];
    std::snprintf(text, sizeof text, "%-24s %2zu bytes: 0x%08X, on the wire after %.0f us", path, piece.size(),
                  static_cast<unsigned>(status), us);
    Line(text);
    Expect(NT_SUCCESS(status), std::string(path) + " succeeded");
    expected.insert(expected.end(), piece.begin(), piece.end());
  };
  timed("write request", bytes, [&] { return open.Write(bytes).status; });
  timed("direct-call Write", bytes, [&] {
    return client_->DirectWrite(bytes) == bytes.size() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  });
  timed("internal write code", bytes, [&] { return client_->InternalWrite(bytes).status; });
  return expected;
}

Bytes Session::ReadBack(tb::ClientOpen& open, size_t expected, bool internal, Bytes* internalBytes, int timeoutMs) {
  Bytes got;
  auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pending = open.BeginRead(64);
  std::shared_ptr<tb::ClientRead> pendingInternal = internal ? client_->BeginInternalRead(64) : nullptr;
  // A finished read's bytes are taken once; the reader whose count is reached reads no more.
  while (Clock::now() < until) {
    if (pending && pending->Done()) {
      Bytes b = pending->Result().bytes;
      got.insert(got.end(), b.begin(), b.end());
      pending = got.size() < expected ? open.BeginRead(64) : nullptr;
    }
    if (pendingInternal && pendingInternal->Done()) {
      Bytes b = pendingInternal->Result().bytes;
      internalBytes->insert(internalBytes->end(), b.begin(), b.end());
      pendingInternal = internalBytes->size() < expected ? client_->BeginInternalRead(64) : nullptr;
    }
    if (!pending && !pendingInternal) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  for (auto* read : {&pending, &pendingInternal}) {
    if (*read && !(*read)->Done()) {
      (*read)->Cancel();
      (*read)->Wait();
    }
  }
  stats_.bytesIn += got.size();
  return got;
}

std::string Session::PowerState() {
  if (bus_ == nullptr) return "?";
  return "D" + std::to_string(static_cast<int>(bus_->DevicePowerState()) - 1);
}

void Session::NotePowerState() { Line("USB device power state: " + PowerState()); }

}  // namespace demo
