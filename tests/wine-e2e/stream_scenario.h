// One scripted client run, played on two kernels: under Wine through the real image (the stand-in
// client and the mock bus, e2e_test.cpp) and in the test bed on the driver's sources
// (testbed_stream_test.cpp). Each side supplies a Port; the scenario drives it, checks what a
// peer of the driver can see, and writes a transcript whose lines the two sides must share.
//
// Plain C++17 with the standard library and no platform header: the same file is compiled by
// mingw-w64 into the Windows test program and by the host compiler into the test bed's test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPending = 0x00000103;
constexpr uint32_t kSuccess = 0x00000000;

// What one client request came back with, in the stand-in client's terms (stub_ioctl.h).
struct Answer {
  uint32_t returned = kPending;  // the dispatch routine's return, or the called function's
  uint32_t status = kPending;    // the request's final status; kPending while it is out
  uint32_t information = 0;
  uint32_t value = 0;
  int32_t stackDelta = 0;        // direct calls: ESP after less ESP before (x86); 0 when balanced
  Bytes data;                    // a read's bytes
  bool sent = true;              // false: the port could not even ask
};

enum class Reader { Open = 0, Internal = 1 };

// What the driver did to a direct-call record (the values of stub_ioctl.h's STUB_RECORD_*).
enum RecordFlags : uint32_t {
  kMagicKept = 0x01,
  kFilled = 0x02,
  kReservedKept = 0x04,
  kGuardKept = 0x08,
  kUntouched = 0x10,
  kContextOurs = 0x20,
};
std::string RecordFlagWords(uint32_t flags);

class Port {
 public:
  virtual ~Port() = default;
  // --- the client on the child ---
  virtual Answer Open() = 0;
  virtual Answer Close() = 0;  // value: the status of the cleanup that went before the close
  virtual Answer Write(const Bytes& bytes) = 0;
  virtual Answer InternalOpen() = 0;
  virtual Answer InternalClose() = 0;
  virtual Answer InternalWrite(const Bytes& bytes) = 0;
  virtual Answer BeginRead(Reader reader, uint32_t capacity) = 0;
  // The reader's last read once it ended, or as it stands after `ms`.
  virtual Answer WaitRead(Reader reader, int ms) = 0;
  // IoCancelIrp on the reader's waiting read; returned: 1 when a cancel routine was called.
  virtual Answer CancelRead(Reader reader) = 0;
  // The direct-call request with an output length of the record's size plus `lengthAdjust`;
  // value: RecordFlags. A success with no adjustment keeps the record for the calls below.
  virtual Answer GetDirect(int32_t lengthAdjust) = 0;
  virtual Answer DirectWrite(const Bytes& bytes) = 0;   // value: the count Write returned
  virtual Answer DirectControl(uint32_t stop) = 0;      // returned: Control's status
  // `calls` calls of Write with no bytes; value: the calls that came back unbalanced.
  virtual Answer DirectBalance(uint32_t calls) = 0;
  virtual uint32_t Outstanding() = 0;                   // the client's requests still out
  // What the client did by itself, a line each (at the child's removal: its closes).
  virtual std::vector<std::string> ClientNotes() = 0;

  // --- the device ---
  virtual std::vector<Bytes> Wire() = 0;                // bulk-out transfers that reached it, in order
  virtual bool PushIn(const Bytes& transfer) = 0;       // one bulk-in transfer
  // True once `delivered` pushed transfers were taken since the plug and the host's reads are
  // back on the pipe (so what the transfers carried is in the driver's ring).
  virtual bool WaitInTaken(size_t delivered, int ms) = 0;
  virtual void HoldOut(bool hold) = 0;                  // OUT transfers arrive but do not complete
  // The device leaves: surprise removal, then removal; true once both the child and the USB
  // device are removed.
  virtual bool Unplug() = 0;
  virtual size_t HeldByDevice() = 0;                    // bulk transfers the device still holds
};

struct Transcript {
  std::function<void(const std::string&)> line;               // a line both kernels must share
  std::function<void(bool ok, const std::string& what)> check;  // a verdict of this run alone
};

// Run 1: open, the start messages, writes of 1, 32, 33 and 300 bytes, the internal codes, the
// direct-call interface (its record, balance, a phrase), bulk-in bytes to a waiting read and to
// the internal read and read again from the ring, the queued stop message, close.
// Run 2: open again, reads left waiting, the writer stuck in a transfer the device holds, then
// the device unplugged; every request must end.
void RunStream(Port& port, const Transcript& out);

// The 32 bytes of a transfer, "F0 00 2F ..." with the padding folded: "... | 23 x FF".
std::string TransferText(const Bytes& transfer);
std::string Hex(const Bytes& bytes);

}  // namespace e2e
