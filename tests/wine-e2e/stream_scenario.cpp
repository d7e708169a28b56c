#include "stream_scenario.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace e2e {
namespace {

constexpr uint32_t kInvalidParameter = 0xC000000D;
constexpr uint32_t kDeletePending = 0xC0000056;
constexpr uint32_t kInvalidDeviceRequest = 0xC0000010;
constexpr uint32_t kCancelled = 0xC0000120;
constexpr size_t kTransfer = 32;
constexpr int kWaitMs = 5000;

const Bytes kStart = {0xF0, 0x00, 0x2F, 0x5A, 0x64, 0x0B, 0x00, 0x00, 0xF7};
const Bytes kStop = {0xF0, 0x00, 0x2F, 0x5A, 0x64, 0x10, 0x00, 0x7F, 0x40, 0xF7};

std::string Status(uint32_t s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(s));
  return text;
}

// The transfers a send of `bytes` puts on the wire: 32 bytes each, the last padded with 0xFF.
std::vector<Bytes> Transfers(const Bytes& bytes) {
  std::vector<Bytes> out;
  for (size_t at = 0; at < bytes.size(); at += kTransfer) {
    Bytes t(bytes.begin() + static_cast<std::ptrdiff_t>(at),
            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + kTransfer)));
    t.resize(kTransfer, 0xFF);
    out.push_back(t);
  }
  return out;
}

// Counting bytes that MIDI allows inside a system-exclusive message: none is 0xFF.
Bytes Counting(size_t n, uint8_t from) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>((from + i) & 0x7F);
  return b;
}

class Run {
 public:
  Run(Port& port, const Transcript& out) : port_(port), out_(out) {}

  void Line(const std::string& text) { out_.line(text); }
  void Check(bool ok, const std::string& what) { out_.check(ok, what); }

  // The wire since the last look, once at least `expected` new transfers are there; each new
  // transfer becomes a line. Returns the new transfers.
  std::vector<Bytes> NewWire(size_t expected, const std::string& what) {
    std::vector<Bytes> wire;
    for (int waited = 0;; waited += 10) {
      wire = port_.Wire();
      if (wire.size() >= seen_ + expected || waited >= kWaitMs) break;
      Sleep10();
    }
    std::vector<Bytes> fresh(wire.begin() + static_cast<std::ptrdiff_t>(std::min(seen_, wire.size())), wire.end());
    // Unnumbered: how many transfers a queued block took before is not fixed.
    for (const Bytes& t : fresh) Line("  out: " + TransferText(t));
    seen_ += fresh.size();
    Check(fresh.size() == expected,
          what + ": " + std::to_string(expected) + " transfer(s) on the wire (saw " + std::to_string(fresh.size()) + ")");
    return fresh;
  }

  // The writer's runs may split a queued block anywhere: what is fixed is the bytes and their
  // order, each transfer 32 bytes with padding only after its last byte.
  void ExpectQueued(const Bytes& bytes, const std::string& what) {
    Bytes arrived;
    bool whole = true;
    size_t transfers = 0;
    for (int waited = 0; arrived.size() < bytes.size() && waited < kWaitMs; waited += 10) {
      std::vector<Bytes> wire = port_.Wire();
      arrived.clear();
      whole = true;
      transfers = wire.size() - std::min(seen_, wire.size());
      for (size_t i = seen_; i < wire.size(); i++) {
        Bytes t = wire[i];
        size_t data = 1;
        while (data < t.size() && t[data] != 0xFF) data++;
        whole = whole && t.size() == kTransfer;
        for (size_t j = data; j < t.size(); j++) whole = whole && t[j] == 0xFF;
        arrived.insert(arrived.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(data));
      }
      if (arrived.size() < bytes.size()) Sleep10();
    }
    seen_ += transfers;
    Line("  " + what + ": " + std::to_string(arrived.size()) + " bytes " + (arrived == bytes ? "in order" : "NOT as queued"));
    Check(arrived == bytes && whole, what + ": every byte on the wire in order, whole padded transfers");
  }

  // The transfers of `what` must be exactly those a send of `bytes` makes.
  void ExpectSent(const Bytes& bytes, const std::string& what) {
    std::vector<Bytes> expected = Transfers(bytes);
    Check(NewWire(expected.size(), what) == expected, what + ": the bytes in order, 32 per transfer, 0xFF padding");
  }

  void Request(const std::string& what, const Answer& a, uint32_t want, uint32_t info) {
    Line(what + " -> " + Status(a.status) + " info " + std::to_string(a.information));
    Check(a.sent && a.status == want && a.information == info, what + ": " + Status(want) + " info " + std::to_string(info));
  }

  void Read(const std::string& what, const Answer& a, const Bytes& want) {
    Line(what + " -> " + Status(a.status) + " " + std::to_string(a.data.size()) + ": " + Hex(a.data));
    Check(a.status == kSuccess && a.data == want, what + ": " + Hex(want));
  }

  void Balanced(const std::string& what, const Answer& a) {
    Check(a.stackDelta == 0, what + ": the stack balanced across the call (ESP moved by " +
                                 std::to_string(a.stackDelta) + ")");
  }

  void Stream() {
    Line("run 1: the stream");
    Request("open", port_.Open(), kSuccess, 0);
    NewWire(2, "open");  // checked exactly below
    std::vector<Bytes> all = port_.Wire();
    Check(all.size() >= 2 && all[0] == Transfers(kStart)[0] && all[1] == Transfers(kStart)[0],
          "the first open sends the start message twice");
    Request("internal open", port_.InternalOpen(), kSuccess, 0);

    for (size_t n : {1, 32, 33, 300}) {
      Bytes bytes = Counting(n, static_cast<uint8_t>(n));
      bytes[0] = 0x90;  // a status byte first, as a client sends
      std::string what = "write " + std::to_string(n);
      Request(what, port_.Write(bytes), kSuccess, static_cast<uint32_t>(n));
      ExpectSent(bytes, what);
    }
    Bytes control = {0xB0, 0x07, 0x64};
    Request("internal write 3", port_.InternalWrite(control), kSuccess, 3);
    ExpectSent(control, "internal write 3");

    DirectCalls();
    Reads();

    Answer stop = port_.DirectControl(1);
    Line("direct control stop -> " + Status(stop.returned));
    Check(stop.returned == kSuccess, "direct control: STATUS_SUCCESS");
    Balanced("direct control", stop);
    ExpectSent(kStop, "the queued stop message");

    Request("internal close", port_.InternalClose(), kSuccess, 0);
    Answer closed = port_.Close();
    Request("close", closed, kSuccess, 0);
    // The driver serves no cleanup: the platform's answer for a request nobody dispatches.
    Line("  its cleanup -> " + Status(closed.value));
    Check(closed.value == kInvalidDeviceRequest, "the cleanup before the close: STATUS_INVALID_DEVICE_REQUEST");
    // The stop message went out queued: the last close sends none of its own.
    NewWire(0, "close after a queued stop");
    Line("outstanding " + std::to_string(port_.Outstanding()));
    Check(port_.Outstanding() == 0, "run 1: no request of the client left out");
  }

  void DirectCalls() {
    for (int32_t adjust : {-1, 1}) {
      Answer a = port_.GetDirect(adjust);
      std::string what = std::string("direct record, length ") + (adjust < 0 ? "one short" : "one long");
      Line(what + " -> " + Status(a.status) + " " + RecordFlagWords(a.value));
      Check(a.status == kInvalidParameter && (a.value & kUntouched) != 0, what + ": refused, the record untouched");
    }
    Answer got = port_.GetDirect(0);
    Line("direct record -> " + Status(got.status) + " " + RecordFlagWords(got.value));
    uint32_t whole = kMagicKept | kFilled | kReservedKept | kGuardKept | kContextOurs;
    Check(got.status == kSuccess && got.value == whole,
          "direct record: Context, Write and Control filled in place, Magic and Reserved kept, nothing past it");

    Answer balance = port_.DirectBalance(64);
    Line("direct write of nothing, 64 calls -> " + std::to_string(balance.information) + " bytes, " +
         std::to_string(balance.value) + " unbalanced");
    Check(balance.value == 0 && balance.information == 0, "64 direct calls with no bytes: none unbalanced, none queued");
    Balanced("direct write of nothing", balance);

    Bytes phrase = {0x90, 0x3C, 0x64, 0x90, 0x40, 0x64, 0x80, 0x3C, 0x00, 0x80, 0x40, 0x00};
    Answer w = port_.DirectWrite(phrase);
    Line("direct write " + std::to_string(phrase.size()) + " -> " + std::to_string(w.value));
    Check(w.value == phrase.size(), "direct write: every byte accepted");
    Balanced("direct write", w);
    ExpectSent(phrase, "direct write");

    // More than the ring holds: Write waits for the writer to make room, and returns them all.
    Bytes dump = Counting(300, 0x30);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    Answer big = port_.DirectWrite(dump);
    Line("direct write 300 -> " + std::to_string(big.value));
    Check(big.value == dump.size(), "direct write of more than the ring: every byte accepted");
    Balanced("direct write of 300", big);
    ExpectQueued(dump, "direct write 300");
  }

  void Reads() {
    Answer c = port_.BeginRead(Reader::Open, 64);
    Answer cancel = port_.CancelRead(Reader::Open);
    Answer cancelled = port_.WaitRead(Reader::Open, kWaitMs);
    Line("read open begin -> " + Status(c.returned) + ", cancel -> " + std::to_string(cancel.returned) + ", read -> " +
         Status(cancelled.status) + " info " + std::to_string(cancelled.information));
    Check(c.returned == kPending && cancel.returned == 1 && cancelled.status == kCancelled && cancelled.information == 0,
          "a waiting read cancelled ends STATUS_CANCELLED with nothing");

    Answer a = port_.BeginRead(Reader::Open, 64);
    Line("read open begin -> " + Status(a.returned));
    Check(a.returned == kPending, "a read with nothing there waits");
    Answer b = port_.BeginRead(Reader::Internal, 64);
    Line("read internal begin -> " + Status(b.returned));
    Check(b.returned == kPending, "an internal read with nothing there waits");

    Bytes noteOn = {0x90, 0x3C, 0x64};
    Bytes first = noteOn;
    first.resize(kTransfer, 0xFF);
    Check(port_.PushIn(first), "bulk in: a transfer of 3 bytes and padding pushed");
    Read("read open", port_.WaitRead(Reader::Open, kWaitMs), noteOn);
    Read("read internal", port_.WaitRead(Reader::Internal, kWaitMs), noteOn);

    // Two more transfers while nobody reads: a short one, then one of 32 data bytes.
    Bytes noteOff = {0x80, 0x3C, 0x00};
    Bytes sysex = Counting(kTransfer, 0x01);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    Check(port_.PushIn(noteOff) && port_.PushIn(sysex), "bulk in: two more transfers pushed");
    Check(port_.WaitInTaken(3, kWaitMs), "bulk in: the host took the three transfers");
    Bytes waiting = noteOff;
    waiting.insert(waiting.end(), sysex.begin(), sysex.end());

    port_.BeginRead(Reader::Open, 4);
    Read("read open of 4", port_.WaitRead(Reader::Open, kWaitMs), Bytes(waiting.begin(), waiting.begin() + 4));
    port_.BeginRead(Reader::Open, 64);
    Read("read open of 64", port_.WaitRead(Reader::Open, kWaitMs), Bytes(waiting.begin() + 4, waiting.end()));
    port_.BeginRead(Reader::Internal, 64);
    Read("read internal of 64", port_.WaitRead(Reader::Internal, kWaitMs), waiting);
  }

  void Removal() {
    Line("run 2: surprise removal while reads wait and the writer drains");
    Request("open", port_.Open(), kSuccess, 0);
    std::vector<Bytes> start = NewWire(2, "second open");
    Check(start.size() == 2 && start[0] == Transfers(kStart)[0] && start[1] == Transfers(kStart)[0],
          "the next first open sends the start message twice again");
    Request("internal open", port_.InternalOpen(), kSuccess, 0);
    Answer a = port_.BeginRead(Reader::Open, 64);
    Answer b = port_.BeginRead(Reader::Internal, 64);
    Line("read open begin -> " + Status(a.returned) + ", read internal begin -> " + Status(b.returned));
    Check(a.returned == kPending && b.returned == kPending, "both reads wait");

    port_.HoldOut(true);
    Bytes run = Counting(100, 0x20);
    run[0] = 0xF0;
    Answer w = port_.DirectWrite(run);
    Line("direct write 100 -> " + std::to_string(w.value));
    Check(w.value == 100, "direct write: every byte accepted");
    // The writer's first transfer reaches the device and stays there.
    std::vector<Bytes> held = NewWire(1, "writer in a held transfer");
    Check(held.size() == 1 && held[0] == Bytes(run.begin(), run.begin() + kTransfer), "the writer's first transfer is held");

    Line("unplug");
    Check(port_.Unplug(), "unplug: the child and the USB device removed");
    Answer ra = port_.WaitRead(Reader::Open, kWaitMs);
    Answer rb = port_.WaitRead(Reader::Internal, kWaitMs);
    Line("read open -> " + Status(ra.status) + " info " + std::to_string(ra.information));
    Line("read internal -> " + Status(rb.status) + " info " + std::to_string(rb.information));
    Check(ra.status == kDeletePending && rb.status == kDeletePending,
          "the waiting reads fail with STATUS_DELETE_PENDING when the device goes");
    for (const std::string& note : port_.ClientNotes()) Line("client " + note);
    NewWire(0, "after the removal");
    Line("outstanding " + std::to_string(port_.Outstanding()) + ", held by the device " +
         std::to_string(port_.HeldByDevice()));
    Check(port_.Outstanding() == 0, "after the removal no request of the client is left out");
    Check(port_.HeldByDevice() == 0, "after the removal the device holds no transfer");
  }

 private:
  static void Sleep10() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }
  Port& port_;
  const Transcript& out_;
  size_t seen_ = 0;
};

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

std::string TransferText(const Bytes& transfer) {
  size_t data = transfer.empty() ? 0 : 1;
  while (data < transfer.size() && transfer[data] != 0xFF) data++;
  bool padded = true;
  for (size_t i = data; i < transfer.size(); i++) padded = padded && transfer[i] == 0xFF;
  if (!padded || data == transfer.size()) return Hex(transfer);
  return Hex(Bytes(transfer.begin(), transfer.begin() + static_cast<std::ptrdiff_t>(data))) + " | " +
         std::to_string(transfer.size() - data) + " x FF";
}

std::string RecordFlagWords(uint32_t flags) {
  static const struct {
    uint32_t flag;
    const char* word;
  } words[] = {{kMagicKept, "magic-kept"},       {kFilled, "filled"},         {kReservedKept, "reserved-kept"},
               {kGuardKept, "nothing-past-it"}, {kUntouched, "untouched"}, {kContextOurs, "context-is-the-function-device"}};
  std::string s = "[";
  for (const auto& w : words) {
    if ((flags & w.flag) == 0) continue;
    if (s.size() > 1) s += ' ';
    s += w.word;
  }
  return s + "]";
}

void RunStream(Port& port, const Transcript& out) {
  Run run(port, out);
  run.Stream();
  run.Removal();
}

}  // namespace e2e
