#include "support/fixture.h"

#include <cstddef>
#include <cstdio>

#include "core/driver.h"

namespace {

struct Field {
  const char* name;
  size_t offset;
  size_t size;
  size_t element;  // of an array, else 0
};

#define FIELD(type, f) Field{#f, offsetof(type, f), sizeof(type::f), 0}
#define ARRAY(type, f) Field{#f, offsetof(type, f), sizeof(type::f), sizeof(type::f[0])}

const Field kFdoFields[] = {
    FIELD(FdoExtension, Signature), FIELD(FdoExtension, Flags), FIELD(FdoExtension, Self),
    FIELD(FdoExtension, ChildExtension), FIELD(FdoExtension, ChildCount), FIELD(FdoExtension, LowerDevice),
    FIELD(FdoExtension, StackSize), FIELD(FdoExtension, PhysicalDevice), FIELD(FdoExtension, DevicePowerState),
    FIELD(FdoExtension, ConfigurationHandle), FIELD(FdoExtension, ConfigurationDescriptor),
    FIELD(FdoExtension, DeviceDescriptor), FIELD(FdoExtension, InterfaceInfo), FIELD(FdoExtension, BulkInPipe),
    FIELD(FdoExtension, BulkOutPipe), FIELD(FdoExtension, ProductKey), FIELD(FdoExtension, Capabilities),
    FIELD(FdoExtension, PendingSystemPowerIrp), FIELD(FdoExtension, RemoveEvent), FIELD(FdoExtension, IdleEvent),
    FIELD(FdoExtension, PowerUpEvent), FIELD(FdoExtension, IoCountLock), FIELD(FdoExtension, IoCount),
    FIELD(FdoExtension, OpenPipeCount), ARRAY(FdoExtension, InterfaceLinkName), FIELD(FdoExtension, IdlePowerState),
    FIELD(FdoExtension, PacketSize), FIELD(FdoExtension, OpenCount), FIELD(FdoExtension, ActiveReadCount),
    FIELD(FdoExtension, FreePacketSemaphore), FIELD(FdoExtension, FirstPacket), FIELD(FdoExtension, FreePacketList),
    FIELD(FdoExtension, PacketPool), FIELD(FdoExtension, StreamState), ARRAY(FdoExtension, RxRing),
    FIELD(FdoExtension, RxWriteIndex), FIELD(FdoExtension, WriterThread), FIELD(FdoExtension, TxEvent),
    FIELD(FdoExtension, TxWriteIndex), FIELD(FdoExtension, TxReadIndex), FIELD(FdoExtension, TxCount),
    ARRAY(FdoExtension, TxRing), FIELD(FdoExtension, OpenContextList), FIELD(FdoExtension, PacketListLock),
    FIELD(FdoExtension, RxLock), FIELD(FdoExtension, StreamMutex), FIELD(FdoExtension, TxProducerMutex),
};

const Field kPdoFields[] = {
    FIELD(PdoExtension, Signature),        FIELD(PdoExtension, Flags),          FIELD(PdoExtension, Self),
    FIELD(PdoExtension, Parent),           FIELD(PdoExtension, DevicePowerState), FIELD(PdoExtension, SystemPowerState),
    FIELD(PdoExtension, PendingReadIrp),   FIELD(PdoExtension, ReadBuffer),     FIELD(PdoExtension, ReadLength),
    FIELD(PdoExtension, RxReadIndex),
};

#undef FIELD
#undef ARRAY

template <size_t N>
std::string FieldAt(const Field (&fields)[N], size_t offset) {
  for (const Field& f : fields) {
    if (offset < f.offset || offset >= f.offset + f.size) continue;
    std::string name = f.name;
    if (f.element != 0) name += "[" + std::to_string((offset - f.offset) / f.element) + "]";
    return name;
  }
  return "";
}

// The driver's own records name what lies in its extensions; a device of another driver (the
// bus, a test's) has neither signature.
std::string DriverExtensionField(PDEVICE_OBJECT device, size_t offset) {
  if (device->DeviceExtension == nullptr || device->Size < sizeof(DEVICE_OBJECT) + sizeof(ULONG)) return "";
  ULONG signature = *static_cast<const ULONG*>(device->DeviceExtension);
  size_t size = device->Size - sizeof(DEVICE_OBJECT);
  if (signature == FDO_SIGNATURE && size >= sizeof(FdoExtension)) return FieldAt(kFdoFields, offset);
  if (signature == PDO_SIGNATURE && size >= sizeof(PdoExtension)) return FieldAt(kPdoFields, offset);
  return "";
}

}  // namespace

void KernelTest::SetUp() {
  // The kernel runs a watchdog thread: a death test runs in a fresh process, not a fork of this
  // threaded one.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  tb::ResetKernel();
  // A few seconds: well above the driver's own bounded waits (a packet take gives up after
  // 1000 ms) on a loaded machine, and short enough for a suite with many such cases.
  tb::GetSettings().hangLimitMs = 5000;
  tb::GetSettings().watchdogMs = 5000;
  tb::SetExtensionFieldNamer(DriverExtensionField);
  tb::SetViolationHandler([this](const tb::Violation& v) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (capturing_ && v.rule == expected_) {
        captured_.push_back(v);
        return;
      }
    }
    ADD_FAILURE() << v.ToString();
  });
}

void KernelTest::TearDown() {
  tb::ShutdownKernel();
  tb::SetViolationHandler(nullptr);
  tb::SetExtensionFieldNamer(nullptr);
}

std::vector<tb::Violation> KernelTest::ExpectViolation(tb::Rule rule, const std::function<void()>& body) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    capturing_ = true;
    expected_ = rule;
    captured_.clear();
  }
  body();
  std::vector<tb::Violation> got;
  {
    std::lock_guard<std::mutex> guard(lock_);
    capturing_ = false;
    got.swap(captured_);
  }
  EXPECT_FALSE(got.empty()) << "expected the verifier to report " << tb::RuleName(rule);
  return got;
}

void DriverTest::SetUp() {
  KernelTest::SetUp();
  driver_ = tb::LoadDriver(DriverEntry, u"usbmidi");
}

void DriverTest::TearDown() {
  if (driver_ != nullptr) tb::UnloadDriver(driver_);
  KernelTest::TearDown();
}
