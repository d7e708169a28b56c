// The stream scenario the Wine run plays through the real image, played here on the driver's
// sources: the test bed's PnP manager, its USB bus with the simulated interface's endpoints, and
// its MIDI client driver on the child. The transcript must be the one checked in beside the
// scenario (stream.transcript), which the Wine run is held against too; with
// UPDATE_STREAM_TRANSCRIPT=1 this test writes that file anew instead.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "client/midi_client.h"
#include "pnp.h"
#include "stream_scenario.h"
#include "support/fixture.h"
#include "usb/midi_endpoints.h"

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
  return text;
}

e2e::Answer From(const tb::ClientResult& r) {
  e2e::Answer a;
  a.returned = static_cast<uint32_t>(r.returned);
  a.status = static_cast<uint32_t>(r.status);
  a.information = static_cast<uint32_t>(r.information);
  a.data.assign(r.bytes.begin(), r.bytes.end());
  return a;
}

class TestbedPort : public e2e::Port {
 public:
  TestbedPort(tb::PnpManager& pnp, PDEVICE_OBJECT pdo, PDEVICE_OBJECT child, tb::UsbBus& bus,
              std::unique_ptr<tb::MidiEndpoints> endpoints, std::shared_ptr<tb::MidiClient> client)
      : pnp_(pnp), pdo_(pdo), child_(child), bus_(bus), ep_(std::move(endpoints)), client_(std::move(client)) {
    // The client lets go before the child's removal, as the stand-in client does at its own.
    pnp_.beforeChildRemove = [this](PDEVICE_OBJECT) { LetGo(); };
  }
  ~TestbedPort() override { pnp_.beforeChildRemove = nullptr; }

  e2e::Answer Open() override {
    tb::ClientResult r;
    open_ = client_->Open(KernelMode, &r);
    return From(r);
  }
  e2e::Answer Close() override {
    if (!open_) return NotSent();
    open_->Close();
    open_->WaitClosed();
    e2e::Answer a = From(open_->CloseResult());
    a.value = static_cast<uint32_t>(open_->CleanupResult().status);
    open_.reset();
    return a;
  }
  e2e::Answer Write(const e2e::Bytes& bytes) override {
    return open_ ? From(open_->Write(std::vector<UCHAR>(bytes.begin(), bytes.end()))) : NotSent();
  }
  e2e::Answer InternalOpen() override {
    e2e::Answer a = From(client_->InternalOpen());
    if (a.status == STATUS_SUCCESS) internalOpens_++;
    return a;
  }
  e2e::Answer InternalClose() override {
    e2e::Answer a = From(client_->InternalClose());
    if (a.status == STATUS_SUCCESS && internalOpens_ > 0) internalOpens_--;
    return a;
  }
  e2e::Answer InternalWrite(const e2e::Bytes& bytes) override {
    return From(client_->InternalWrite(std::vector<UCHAR>(bytes.begin(), bytes.end())));
  }
  e2e::Answer BeginRead(e2e::Reader reader, uint32_t capacity) override {
    std::shared_ptr<tb::ClientRead>& slot = reads_[static_cast<int>(reader)];
    if (reader == e2e::Reader::Open && !open_) return NotSent();
    slot = reader == e2e::Reader::Open ? open_->BeginRead(capacity) : client_->BeginInternalRead(capacity);
    return From(slot->Result());
  }
  e2e::Answer WaitRead(e2e::Reader reader, int ms) override {
    std::shared_ptr<tb::ClientRead>& slot = reads_[static_cast<int>(reader)];
    if (!slot) return NotSent();
    slot->Wait(ms);
    return From(slot->Result());
  }
  e2e::Answer CancelRead(e2e::Reader reader) override {
    std::shared_ptr<tb::ClientRead>& slot = reads_[static_cast<int>(reader)];
    if (!slot) return NotSent();
    e2e::Answer a;
    a.returned = slot->Cancel() ? 1 : 0;
    return a;
  }
  e2e::Answer GetDirect(int32_t lengthAdjust) override {
    const size_t size = sizeof(DIRECT_CALL_INTERFACE);
    const size_t guard = 8;
    std::vector<UCHAR> block(size + guard, 0xA5);
    auto* record = reinterpret_cast<DIRECT_CALL_INTERFACE*>(block.data());
    record->Magic = DIRECT_CALL_MAGIC;
    const std::vector<UCHAR> before = block;
    e2e::Answer a = From(client_->GetDirectCallInterface(record, static_cast<ULONG>(static_cast<int32_t>(size) + lengthAdjust)));
    const size_t filled = FIELD_OFFSET(DIRECT_CALL_INTERFACE, Reserved);
    ULONG_PTR pattern;
    std::memset(&pattern, 0xA5, sizeof pattern);
    auto same = [&](size_t from, size_t to) { return std::equal(block.begin() + from, block.begin() + to, before.begin() + from); };
    if (record->Magic == DIRECT_CALL_MAGIC) a.value |= e2e::kMagicKept;
    if (reinterpret_cast<ULONG_PTR>(record->Context) != pattern && reinterpret_cast<ULONG_PTR>(record->Write) != pattern &&
        reinterpret_cast<ULONG_PTR>(record->Control) != pattern && record->Write != nullptr && record->Control != nullptr) {
      a.value |= e2e::kFilled;
    }
    if (same(filled, size)) a.value |= e2e::kReservedKept;
    if (same(size, size + guard)) a.value |= e2e::kGuardKept;
    if (same(0, size + guard)) a.value |= e2e::kUntouched;
    if ((a.value & e2e::kFilled) && record->Context != child_ && record->Context->DriverObject == child_->DriverObject) {
      a.value |= e2e::kContextOurs;
    }
    return a;
  }
  e2e::Answer DirectWrite(const e2e::Bytes& bytes) override {
    e2e::Answer a;
    a.value = client_->DirectWrite(std::vector<UCHAR>(bytes.begin(), bytes.end()));
    return a;
  }
  e2e::Answer DirectControl(uint32_t stop) override {
    e2e::Answer a;
    a.returned = static_cast<uint32_t>(client_->DirectControl(stop));
    return a;
  }
  // One calling convention on the host: what is counted here is the bytes queued.
  e2e::Answer DirectBalance(uint32_t calls) override {
    e2e::Answer a;
    for (uint32_t i = 0; i < calls; i++) a.information += client_->DirectWrite({});
    return a;
  }
  uint32_t Outstanding() override {
    uint32_t out = 0;
    for (auto& r : reads_) out += r && !r->Done() ? 1 : 0;
    return out;
  }
  std::vector<std::string> ClientNotes() override { return notes_; }

  std::vector<e2e::Bytes> Wire() override {
    if (!ep_) return wire_;
    std::vector<e2e::Bytes> wire;
    for (const tb::WireTransfer& t : ep_->Wire()) wire.push_back(t.bytes);
    return wire;
  }
  bool PushIn(const e2e::Bytes& transfer) override {
    if (!ep_) return false;
    ep_->Feed(transfer);
    return true;
  }
  bool WaitInTaken(size_t delivered, int ms) override {
    // The stream keeps two reads on the pipe: both back means the last completion has run.
    return ep_ && ep_->WaitDelivered(delivered, ms) && ep_->WaitForPendingIn(2, ms);
  }
  void HoldOut(bool hold) override {
    if (ep_) ep_->HoldOut(hold);
  }
  bool Unplug() override {
    wire_ = Wire();
    bus_.Unplug();
    ep_.reset();  // its threads end before the device goes
    pnp_.SurpriseRemove(pdo_);
    return pnp_.WaitIdle() && !client_->Present() && tb::IsDeviceFreed(child_);
  }
  size_t HeldByDevice() override { return bus_.PendingOn(0x81) + bus_.PendingOn(0x02); }

 private:
  static e2e::Answer NotSent() {
    e2e::Answer a;
    a.sent = false;
    return a;
  }
  void Note(const std::string& what, NTSTATUS status) { notes_.push_back(what + " " + StatusText(status)); }

  void LetGo() {
    static const char* const names[] = {"removal: cancelling the open's read", "removal: cancelling the internal read"};
    for (int i = 0; i < 2; i++) {
      if (!reads_[i] || reads_[i]->Done()) continue;
      Note(names[i], STATUS_PENDING);
      reads_[i]->Cancel();
      reads_[i]->Wait(1000);
    }
    if (open_) Note("removal: close", static_cast<NTSTATUS>(Close().status));
    while (internalOpens_ > 0) {
      NTSTATUS status = static_cast<NTSTATUS>(InternalClose().status);
      Note("removal: internal close", status);
      if (!NT_SUCCESS(status)) break;
    }
  }

  tb::PnpManager& pnp_;
  PDEVICE_OBJECT pdo_;
  PDEVICE_OBJECT child_;
  tb::UsbBus& bus_;
  std::unique_ptr<tb::MidiEndpoints> ep_;
  std::shared_ptr<tb::MidiClient> client_;
  std::shared_ptr<tb::ClientOpen> open_;
  std::shared_ptr<tb::ClientRead> reads_[2];
  int internalOpens_ = 0;
  std::vector<std::string> notes_;
  std::vector<e2e::Bytes> wire_;  // kept at the unplug
};

std::vector<std::string> ReadLines(const char* path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class StreamOnTwoKernels : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    clientDriver_ = tb::LoadMidiClient();
    pnp_ = std::make_unique<tb::PnpManager>(driver_);
    pnp_->LoadChildDriver(clientDriver_);
  }
  void TearDown() override {
    port_.reset();
    pnp_.reset();
    if (clientDriver_ != nullptr) tb::UnloadDriver(clientDriver_);
    DriverTest::TearDown();
  }

  PDRIVER_OBJECT clientDriver_ = nullptr;
  std::unique_ptr<tb::PnpManager> pnp_;
  std::unique_ptr<TestbedPort> port_;
};

TEST_F(StreamOnTwoKernels, TheScenarioOfTheWineRunGivesTheCheckedInTranscript) {
  PDEVICE_OBJECT pdo = pnp_->Plug(tb::UsbMidiDevice::Product(0x0001));
  ASSERT_NE(pdo, nullptr);
  tb::UsbBus* bus = pnp_->Bus(pdo);
  auto endpoints = std::make_unique<tb::MidiEndpoints>(*bus);
  ASSERT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  std::vector<PDEVICE_OBJECT> children = pnp_->QueryBusRelations(pdo);
  ASSERT_EQ(children.size(), 1u);
  std::shared_ptr<tb::MidiClient> client = tb::MidiClientOn(children[0]);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->StartStatus(), STATUS_SUCCESS);
  port_ = std::make_unique<TestbedPort>(*pnp_, pdo, children[0], *bus, std::move(endpoints), client);

  std::vector<std::string> lines;
  e2e::Transcript out;
  out.line = [&](const std::string& text) { lines.push_back(text); };
  out.check = [](bool ok, const std::string& what) { EXPECT_TRUE(ok) << what; };
  e2e::RunStream(*port_, out);

  std::ofstream(STREAM_TRANSCRIPT_OUT) << [&] {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
  }();
  const char* update = std::getenv("UPDATE_STREAM_TRANSCRIPT");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(STREAM_TRANSCRIPT) << [&] {
      std::string all;
      for (const std::string& l : lines) all += l + "\n";
      return all;
    }();
    GTEST_SKIP() << "wrote " << STREAM_TRANSCRIPT;
  }
  std::vector<std::string> expected = ReadLines(STREAM_TRANSCRIPT);
  for (size_t i = 0; i < std::max(lines.size(), expected.size()); i++) {
    std::string got = i < lines.size() ? lines[i] : "(nothing)";
    std::string want = i < expected.size() ? expected[i] : "(nothing)";
    ASSERT_EQ(got, want) << "transcript line " << i + 1 << " differs from " << STREAM_TRANSCRIPT << " (whole run in "
                         << STREAM_TRANSCRIPT_OUT << ")";
  }
}

}  // namespace
