// What a report says: the driver routines that made the kernel call, static ones included, and
// locks and objects by name, so that a reader finds the fault without a debugger.
#include <cstdlib>

#include "support/stream.h"

namespace named {

struct Holder {
  KEVENT first;
  KSPIN_LOCK second;
};
Holder gHolder;
KEVENT gEvent;

// Static, so absent from the dynamic symbol table.
static NTSTATUS WaitsAtDispatch(PVOID object) {
  LARGE_INTEGER t;
  t.QuadPart = -10000;
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}
static NTSTATUS CallsTheStaticOne(PVOID object) { return WaitsAtDispatch(object) + 1; }

class MessagesTest : public KernelTest {};

TEST_F(MessagesTest, StaticFunctionsResolveToTheirOwnNames) {
  auto start = reinterpret_cast<const void*>(&WaitsAtDispatch);
  EXPECT_EQ(tb::SymbolName(start), "named::WaitsAtDispatch");
  EXPECT_EQ(tb::SymbolName(static_cast<const char*>(start) + 4), "named::WaitsAtDispatch") << "an address inside";
  // Outside the executable the dynamic linker's names are the fallback; nothing at all: the address.
  EXPECT_EQ(tb::SymbolName(reinterpret_cast<const void*>(&std::abort)), "abort");
  void* heap = std::malloc(8);
  EXPECT_EQ(tb::SymbolName(heap), tb::Hex(heap));
  std::free(heap);
}

TEST_F(MessagesTest, ReportInsideAKernelCallNamesEveryDriverCallerInnermostFirst) {
  KeInitializeEvent(&gEvent, NotificationEvent, FALSE);
  tb::IrqlScope dispatch(DISPATCH_LEVEL);
  auto got = ExpectViolation(tb::Rule::IrqlWaitAtDispatch, [] { CallsTheStaticOne(&gEvent); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].routine, "KeWaitForSingleObject");
  EXPECT_EQ(got[0].caller.rfind("named::WaitsAtDispatch <- named::CallsTheStaticOne <- ", 0), 0u) << got[0].caller;
  EXPECT_NE(got[0].ToString().find("in KeWaitForSingleObject called from named::WaitsAtDispatch"), std::string::npos)
      << got[0].ToString();
}

TEST_F(MessagesTest, ObjectsAreNamedByWhatHoldsThem) {
  EXPECT_EQ(tb::ObjectName(&gEvent), "named::gEvent");
  EXPECT_EQ(tb::ObjectName(&gHolder.second), "named::gHolder+0x" + [] {
    char text[16];
    std::snprintf(text, sizeof text, "%zx", offsetof(Holder, second));
    return std::string(text);
  }());
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, 'emaN'));
  EXPECT_EQ(tb::ObjectName(block + 4), "pool block " + tb::Hex(block) + " 'Name'+0x4");
  ExFreePool(block);
  // A device of a driver the namer does not know: the offset into its extension.
  PDEVICE_OBJECT host = tb::CreateHostDevice("other", nullptr, 1, 64);
  EXPECT_EQ(tb::ObjectName(static_cast<char*>(host->DeviceExtension) + 0x10),
            "extension+0x10 of device " + tb::Hex(host));
}

// The driver's own locks and objects, named through its headers.
class DriverMessagesTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug();
  }
  std::string OfFdo(const char* field) { return std::string(field) + " of device " + tb::Hex(fdo_); }
};

TEST_F(DriverMessagesTest, PacketTakeAtDispatchNamesTheSemaphoreAndTheTaker) {
  TransferPacket* packet = nullptr;
  auto got = ExpectViolation(tb::Rule::IrqlWaitAtDispatch, [&] {
    tb::IrqlScope dispatch(DISPATCH_LEVEL);
    packet = TakePacket(fdo_);
  });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].object.rfind(OfFdo("FreePacketSemaphore"), 0), 0u) << got[0].object;
  EXPECT_EQ(got[0].caller.rfind("WaitForObjectMs <- TakePacket <- ", 0), 0u) << got[0].caller;
  ASSERT_NE(packet, nullptr);
  ReturnPacket(fdo_, packet);
}

TEST_F(DriverMessagesTest, NestedSpinLocksAreBothNamed) {
  TransferPacket* packet = TakePacket(fdo_);
  ASSERT_NE(packet, nullptr);
  KIRQL old;
  KeAcquireSpinLock(&ext_->RxLock, &old);
  auto got = ExpectViolation(tb::Rule::SpinLockNested, [&] { ReturnPacket(fdo_, packet); });
  KeReleaseSpinLock(&ext_->RxLock, old);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].object.rfind(OfFdo("PacketListLock"), 0), 0u) << got[0].object;
  EXPECT_NE(got[0].message.find("while " + OfFdo("RxLock")), std::string::npos) << got[0].message;
  EXPECT_EQ(got[0].caller.rfind("ReturnPacket <- ", 0), 0u) << got[0].caller;
}

TEST_F(DriverMessagesTest, ArraysInTheExtensionAreNamedByElement) {
  EXPECT_EQ(tb::ObjectName(&ext_->RxRing[5]).rfind(OfFdo("RxRing[5]"), 0), 0u);
  EXPECT_EQ(tb::ObjectName(&ext_->TxEvent).rfind(OfFdo("TxEvent"), 0), 0u);
}

}  // namespace named
