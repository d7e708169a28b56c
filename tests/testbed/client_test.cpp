// The test bed's MIDI client driver over a bus driver written here: loaded above the child by
// the PnP manager, passing Plug and Play and power down to it, sending the child its requests
// with the file object and buffers as sent, and holding up the child's removal while it has an
// open. The PnP manager's handle count follows the real opens and closes.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "client/midi_client.h"
#include "pnp.h"
#include "support/fixture.h"
#include "support/usb_fixture.h"
#include "usb/midi_endpoints.h"

// Routines have external linkage so that the verifier can name them in its reports.
namespace clientbus {

// What the child saw of one request.
struct Seen {
  UCHAR major;
  UCHAR minor;
  ULONG code;
  PDEVICE_OBJECT above;       // the device of the stack location above the child's; null at the top
  CCHAR stackCount;           // the stack size the IRP was made for: whose stack it entered at the top
  PFILE_OBJECT file;
  PFILE_OBJECT original;
  KPROCESSOR_MODE mode;
  PVOID userBuffer;
  PVOID type3;
  ULONG length;               // read or write length, or a control's output length
  ULONG inputLength;
  std::vector<UCHAR> bytes;   // what a write brought
};

struct BusExtension {
  bool child;
  PDEVICE_OBJECT lower;     // the bus's
  PDEVICE_OBJECT kid;       // the bus's one child
  bool reported;
  bool deleted;
  PDEVICE_OBJECT parent;    // a child's bus
};

std::mutex gLock;
std::vector<Seen> gSeen;
std::deque<PIRP> gPended;   // reads the child holds
bool gPendReads = false;
std::vector<UCHAR> gDirectBytes;
PDEVICE_OBJECT gDirectContext = nullptr;
ULONG gDirectStop = 0xFFFFFFFF;
int gFsContextMark = 0;

BusExtension* Bus(PDEVICE_OBJECT d) { return static_cast<BusExtension*>(d->DeviceExtension); }

std::vector<UCHAR> Take(const void* p, ULONG n) {
  if (p == nullptr || n == 0) return {};
  auto* b = static_cast<const UCHAR*>(p);
  return std::vector<UCHAR>(b, b + n);
}

ULONG NTAPI DirectWrite(PDEVICE_OBJECT context, const UCHAR* bytes, ULONG length) {
  std::lock_guard<std::mutex> guard(gLock);
  gDirectContext = context;
  gDirectBytes.assign(bytes, bytes + length);
  return length;
}

NTSTATUS NTAPI DirectControl(PDEVICE_OBJECT context, ULONG stop) {
  std::lock_guard<std::mutex> guard(gLock);
  gDirectContext = context;
  gDirectStop = stop;
  return STATUS_SUCCESS;
}

VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = std::find(gPended.begin(), gPended.end(), irp);
    if (it != gPended.end()) gPended.erase(it);
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A read fills the caller's buffer with 0xC0, 0xC1 ... up to 3 bytes, or waits when told to.
NTSTATUS Read(PIRP irp, UCHAR* into, ULONG capacity) {
  bool pend;
  {
    std::lock_guard<std::mutex> guard(gLock);
    pend = gPendReads;
    if (pend) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelRead);
      gPended.push_back(irp);
    }
  }
  if (pend) return STATUS_PENDING;
  ULONG n = std::min<ULONG>(3, capacity);
  for (ULONG i = 0; i < n; i++) into[i] = static_cast<UCHAR>(0xC0 + i);
  return Complete(irp, STATUS_SUCCESS, n);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION s) {
  BusExtension* x = Bus(device);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      BusExtension* bus = Bus(x->parent);
      if (!bus->reported && !bus->deleted) {
        bus->deleted = true;
        IoDeleteDevice(device);
      }
      return Complete(irp, STATUS_SUCCESS);
    }
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION s) {
  BusExtension* x = Bus(device);
  if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && s->Parameters.QueryDeviceRelations.Type == BusRelations) {
    auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'suBC'));
    list->Count = 0;
    if (x->reported) {
      list->Objects[list->Count++] = x->kid;
      ObfReferenceObject(x->kid);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  }
  UCHAR minor = s->MinorFunction;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IofCallDriver(x->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    if (!x->deleted) IoDeleteDevice(x->kid);
    x->deleted = true;
    IoDetachDevice(x->lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  BusExtension* x = Bus(device);
  if (!x->child) {
    if (s->MajorFunction == IRP_MJ_PNP) return BusPnp(device, irp, s);
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  Seen seen{s->MajorFunction, s->MinorFunction, 0, nullptr, irp->StackCount, s->FileObject, irp->Tail.Overlay.OriginalFileObject,
            irp->RequestorMode, irp->UserBuffer, nullptr, 0, 0, {}};
  if (irp->CurrentLocation < irp->StackCount) seen.above = (s + 1)->DeviceObject;
  bool control = s->MajorFunction == IRP_MJ_DEVICE_CONTROL || s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  if (control) {
    seen.code = s->Parameters.DeviceIoControl.IoControlCode;
    seen.type3 = s->Parameters.DeviceIoControl.Type3InputBuffer;
    seen.length = s->Parameters.DeviceIoControl.OutputBufferLength;
    seen.inputLength = s->Parameters.DeviceIoControl.InputBufferLength;
    if (seen.code == IOCTL_CLIENT_WRITE) seen.bytes = Take(seen.type3, seen.inputLength);
  } else if (s->MajorFunction == IRP_MJ_READ) {
    seen.length = s->Parameters.Read.Length;
  } else if (s->MajorFunction == IRP_MJ_WRITE) {
    seen.length = s->Parameters.Write.Length;
    seen.bytes = Take(irp->UserBuffer, seen.length);
  }
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSeen.push_back(seen);
  }
  switch (s->MajorFunction) {
    case IRP_MJ_PNP:
      return ChildPnp(device, irp, s);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CREATE:
      s->FileObject->FsContext = &gFsContextMark;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_READ:
      return Read(irp, static_cast<UCHAR*>(irp->UserBuffer), s->Parameters.Read.Length);
    case IRP_MJ_WRITE:
      return Complete(irp, STATUS_SUCCESS, s->Parameters.Write.Length);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (seen.code == IOCTL_CLIENT_READ) return Read(irp, static_cast<UCHAR*>(seen.type3), seen.length);
      return Complete(irp, STATUS_SUCCESS, seen.code == IOCTL_CLIENT_WRITE ? seen.inputLength : 0);
    case IRP_MJ_DEVICE_CONTROL: {
      auto* record = static_cast<DIRECT_CALL_INTERFACE*>(seen.type3);
      if (seen.code != IOCTL_GET_DIRECT_CALL_INTERFACE || seen.length != DIRECT_CALL_INTERFACE_SIZE || record == nullptr ||
          record->Magic != DIRECT_CALL_MAGIC) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
      }
      record->Context = device;
      record->Write = DirectWrite;
      record->Control = DirectControl;
      return Complete(irp, STATUS_SUCCESS);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI AddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  BusExtension* x = Bus(fdo);
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &x->kid);
  Bus(x->kid)->child = true;
  Bus(x->kid)->parent = fdo;
  x->kid->Flags &= ~DO_DEVICE_INITIALIZING;
  x->reported = true;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                      IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER}) {
    driver->MajorFunction[major] = Dispatch;
  }
  driver->DriverExtension->AddDevice = AddBus;
  return STATUS_SUCCESS;
}

class MidiClientTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    {
      std::lock_guard<std::mutex> guard(gLock);
      gSeen.clear();
      gPended.clear();
      gPendReads = false;
      gDirectBytes.clear();
      gDirectContext = nullptr;
      gDirectStop = 0xFFFFFFFF;
    }
    driver_ = tb::LoadDriver(Entry, u"clientbus");
    clientDriver_ = tb::LoadMidiClient();
    usb_ = std::make_unique<tb::UsbBus>();
    pnp_ = std::make_unique<tb::PnpManager>(driver_);
    pnp_->LoadChildDriver(clientDriver_);
    ASSERT_EQ(pnp_->AddDevice(usb_->Pdo(), "bus"), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->Start(usb_->Pdo()), STATUS_SUCCESS);
    auto kids = pnp_->QueryBusRelations(usb_->Pdo());
    ASSERT_EQ(kids.size(), 1u);
    kid_ = kids[0];
    client_ = tb::MidiClientOn(kid_);
    ASSERT_NE(client_, nullptr);
  }
  void TearDown() override {
    client_.reset();
    pnp_.reset();
    usb_.reset();
    KernelTest::TearDown();
  }
  std::vector<Seen> SeenSoFar() {
    std::lock_guard<std::mutex> guard(gLock);
    return gSeen;
  }
  void Forget() {
    std::lock_guard<std::mutex> guard(gLock);
    gSeen.clear();
  }
  size_t Index(const std::string& device, const std::string& request) {
    auto log = pnp_->Log();
    for (size_t i = 0; i < log.size(); i++) {
      if (log[i].device == device && log[i].request == request) return i;
    }
    return SIZE_MAX;
  }
  // Completes the oldest read the child holds with `bytes`.
  void DeliverToPendedRead(const std::vector<UCHAR>& bytes) {
    PIRP irp;
    {
      std::lock_guard<std::mutex> guard(gLock);
      ASSERT_FALSE(gPended.empty());
      irp = gPended.front();
      gPended.pop_front();
    }
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    auto* into = static_cast<UCHAR*>(s->MajorFunction == IRP_MJ_READ ? irp->UserBuffer
                                                                      : s->Parameters.DeviceIoControl.Type3InputBuffer);
    std::memcpy(into, bytes.data(), bytes.size());
    Complete(irp, STATUS_SUCCESS, bytes.size());
  }
  size_t Pended() {
    std::lock_guard<std::mutex> guard(gLock);
    return gPended.size();
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDRIVER_OBJECT clientDriver_ = nullptr;
  std::unique_ptr<tb::UsbBus> usb_;
  std::unique_ptr<tb::PnpManager> pnp_;
  PDEVICE_OBJECT kid_ = nullptr;
  std::shared_ptr<tb::MidiClient> client_;
};

// ---------------------------------------------------------------------------------------------
// Loading, Plug and Play and power.
// ---------------------------------------------------------------------------------------------
TEST_F(MidiClientTest, TheClientIsAddedAboveTheChildAfterItsIdentityAndStartReachesTheChildThroughIt) {
  EXPECT_EQ(tb::TopOfStack(kid_), client_->Device());
  EXPECT_EQ(client_->Lower(), kid_);
  EXPECT_EQ(client_->Device()->StackSize, kid_->StackSize + 1);
  EXPECT_EQ(client_->Device()->Flags & DO_DEVICE_INITIALIZING, 0u);
  size_t caps = Index("child of bus", "QUERY_CAPABILITIES");
  size_t added = Index("child of bus", "AddDevice (child driver)");
  size_t start = Index("child of bus", "START_DEVICE");
  ASSERT_NE(start, SIZE_MAX) << pnp_->PrintLog();
  EXPECT_LT(caps, added);
  EXPECT_LT(added, start);
  EXPECT_EQ(pnp_->Log()[start].status, STATUS_SUCCESS);
  // The identity queries came before the client was there; START passed through it.
  bool startSeen = false;
  for (auto& s : SeenSoFar()) {
    if (s.major != IRP_MJ_PNP) continue;
    if (s.minor == IRP_MN_QUERY_ID) EXPECT_EQ(s.above, nullptr);
    if (s.minor == IRP_MN_START_DEVICE) {
      startSeen = true;
      EXPECT_EQ(s.above, client_->Device());
    }
  }
  EXPECT_TRUE(startSeen);
  EXPECT_EQ(client_->PnpSeen(), (std::vector<std::string>{"START_DEVICE"}));
  EXPECT_EQ(client_->StartStatus(), STATUS_SUCCESS);
}

TEST_F(MidiClientTest, PowerRequestsPassThroughTheClientToTheChild) {
  struct Done {
    static VOID NTAPI Callback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
      auto* r = static_cast<std::pair<KEVENT, NTSTATUS>*>(context);
      r->second = status->Status;
      KeSetEvent(&r->first, IO_NO_INCREMENT, FALSE);
    }
  };
  std::pair<KEVENT, NTSTATUS> result;
  KeInitializeEvent(&result.first, NotificationEvent, FALSE);
  result.second = STATUS_PENDING;
  Forget();
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  ASSERT_EQ(PoRequestPowerIrp(kid_, IRP_MN_SET_POWER, state, Done::Callback, &result, nullptr), STATUS_PENDING);
  KeWaitForSingleObject(&result.first, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(result.second, STATUS_SUCCESS);
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].major, IRP_MJ_POWER);
  // Made for the whole stack, the request entered at the client and was passed down by it.
  EXPECT_EQ(seen[0].stackCount, client_->Device()->StackSize);
}

TEST_F(MidiClientTest, TheClientsDeviceGoesWithTheChildsRemovalAndComesBackWithItsEnable) {
  PDEVICE_OBJECT first = client_->Device();
  ASSERT_EQ(pnp_->Disable(kid_), STATUS_SUCCESS);
  EXPECT_FALSE(client_->Present());
  EXPECT_TRUE(tb::IsDeviceDeleted(first));
  EXPECT_EQ(tb::TopOfStack(kid_), kid_);
  EXPECT_EQ(tb::MidiClientOn(kid_), nullptr);
  EXPECT_EQ(client_->PnpSeen(), (std::vector<std::string>{"START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"}));

  ASSERT_EQ(pnp_->Enable(kid_), STATUS_SUCCESS);
  auto again = tb::MidiClientOn(kid_);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(tb::TopOfStack(kid_), again->Device());
  EXPECT_EQ(again->StartStatus(), STATUS_SUCCESS);

  pnp_->Remove(usb_->Pdo());
  EXPECT_FALSE(again->Present());
  EXPECT_TRUE(tb::IsDeviceDeleted(kid_));
  tb::UnloadDriver(clientDriver_);  // nothing of the client's is left
}

// ---------------------------------------------------------------------------------------------
// Requests: what reaches the child.
// ---------------------------------------------------------------------------------------------
TEST_F(MidiClientTest, AnOpensRequestsReachTheChildWithItsFileObjectAndTheBuffersAsSent) {
  Forget();
  tb::ClientResult opened;
  auto open = client_->Open(KernelMode, &opened);
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(opened.status, STATUS_SUCCESS);
  PFILE_OBJECT fo = open->FileObject();
  ASSERT_NE(fo, nullptr);
  EXPECT_EQ(fo->FsContext, &gFsContextMark);
  EXPECT_EQ(fo->DeviceObject, kid_);
  EXPECT_EQ(kid_->ReferenceCount, 1);

  tb::ClientResult w = open->Write({0x90, 0x3C, 0x7F});
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 3u);
  tb::ClientResult r = open->Read(8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, (std::vector<UCHAR>{0xC0, 0xC1, 0xC2}));
  UCHAR raw[2] = {0xF8, 0xFA};
  open->Write(raw, 2);
  open->Write(nullptr, 5);

  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 5u);
  for (auto& s : seen) {
    EXPECT_EQ(s.file, fo);
    EXPECT_EQ(s.original, fo);
    EXPECT_EQ(s.mode, KernelMode);
    // The client's own requests go to the device below it, not in by the top of the stack.
    EXPECT_EQ(s.stackCount, kid_->StackSize);
  }
  EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
  EXPECT_EQ(seen[1].major, IRP_MJ_WRITE);
  EXPECT_EQ(seen[1].bytes, (std::vector<UCHAR>{0x90, 0x3C, 0x7F}));
  EXPECT_EQ(seen[2].major, IRP_MJ_READ);
  EXPECT_EQ(seen[2].length, 8u);
  EXPECT_EQ(seen[3].userBuffer, static_cast<void*>(raw));
  EXPECT_EQ(seen[4].userBuffer, nullptr);
  EXPECT_EQ(seen[4].length, 5u);

  EXPECT_EQ(open->Close(), STATUS_SUCCESS);
  ASSERT_TRUE(open->WaitClosed());
  EXPECT_EQ(open->CloseResult().status, STATUS_SUCCESS);
  EXPECT_EQ(SeenSoFar().back().major, IRP_MJ_CLOSE);
  EXPECT_EQ(SeenSoFar().back().file, fo);
  EXPECT_EQ(kid_->ReferenceCount, 0);
}

TEST_F(MidiClientTest, TheInternalCodesGoWithoutAFileObjectAndTheBufferInType3InputBuffer) {
  Forget();
  EXPECT_EQ(client_->InternalOpen().status, STATUS_SUCCESS);
  tb::ClientResult w = client_->InternalWrite({1, 2, 3, 4});
  EXPECT_EQ(w.information, 4u);
  tb::ClientResult r = client_->InternalRead(2);
  EXPECT_EQ(r.bytes, (std::vector<UCHAR>{0xC0, 0xC1}));
  EXPECT_EQ(client_->InternalClose().status, STATUS_SUCCESS);
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 4u);
  std::vector<ULONG> codes;
  for (auto& s : seen) {
    codes.push_back(s.code);
    EXPECT_EQ(s.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(s.file, nullptr);
    EXPECT_EQ(s.mode, KernelMode);
  }
  EXPECT_EQ(codes, (std::vector<ULONG>{IOCTL_CLIENT_OPEN, IOCTL_CLIENT_WRITE, IOCTL_CLIENT_READ, IOCTL_CLIENT_CLOSE}));
  EXPECT_EQ(seen[1].bytes, (std::vector<UCHAR>{1, 2, 3, 4}));
  EXPECT_EQ(seen[1].inputLength, 4u);
  EXPECT_NE(seen[2].type3, nullptr);
  EXPECT_EQ(seen[2].length, 2u);  // the capacity, as the output length
}

TEST_F(MidiClientTest, TheDirectCallInterfaceIsObtainedByDeviceControlAndItsFunctionsCalled) {
  DIRECT_CALL_INTERFACE wrong{};
  wrong.Magic = 0x12345678;
  EXPECT_EQ(client_->GetDirectCallInterface(&wrong).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wrong.Write, nullptr);
  tb::ClientResult got = client_->GetDirectCallInterface();
  EXPECT_EQ(got.status, STATUS_SUCCESS);
  auto seen = SeenSoFar();
  EXPECT_EQ(seen.back().major, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(seen.back().code, static_cast<ULONG>(IOCTL_GET_DIRECT_CALL_INTERFACE));
  EXPECT_EQ(seen.back().length, DIRECT_CALL_INTERFACE_SIZE);
  EXPECT_EQ(client_->DirectCallInterface().Context, kid_);
  EXPECT_EQ(client_->DirectWrite({0xB0, 0x07, 0x64}), 3u);
  EXPECT_EQ(client_->DirectControl(1), STATUS_SUCCESS);
  std::lock_guard<std::mutex> guard(gLock);
  EXPECT_EQ(gDirectContext, kid_);
  EXPECT_EQ(gDirectBytes, (std::vector<UCHAR>{0xB0, 0x07, 0x64}));
  EXPECT_EQ(gDirectStop, 1u);
}

TEST_F(MidiClientTest, AnApplicationsOpenGoesInByTheTopOfTheStackAndItsRequestsCarryUserMode) {
  Forget();
  auto open = client_->Open(UserMode);
  ASSERT_NE(open, nullptr);
  open->Read(4);
  UCHAR record[DIRECT_CALL_INTERFACE_SIZE] = {};
  std::memcpy(record, "1VRT", 4);
  open->DeviceControl(IOCTL_GET_DIRECT_CALL_INTERFACE, record, 0, DIRECT_CALL_INTERFACE_SIZE);
  open->Close();
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
  EXPECT_EQ(seen[0].mode, UserMode);
  EXPECT_EQ(seen[1].mode, UserMode);
  EXPECT_EQ(seen[2].mode, UserMode);
  EXPECT_EQ(seen[2].type3, static_cast<void*>(record));
  EXPECT_EQ(seen[3].major, IRP_MJ_CLOSE);
  // Made for the whole stack: in at the client's device, which passed them down.
  for (auto& s : seen) EXPECT_EQ(s.stackCount, client_->Device()->StackSize);
}

TEST_F(MidiClientTest, AWaitingReadIsWaitedForOrCancelledAndASecondOneIsStillSent) {
  gPendReads = true;
  auto open = client_->Open();
  ASSERT_NE(open, nullptr);
  auto first = open->BeginRead(8);
  EXPECT_FALSE(open->WaitRead(20));
  auto second = open->BeginRead(8);
  EXPECT_EQ(Pended(), 2u);
  DeliverToPendedRead({0x11, 0x22});
  ASSERT_TRUE(open->WaitRead());
  EXPECT_EQ(open->ReadResult().bytes, (std::vector<UCHAR>{0x11, 0x22}));
  EXPECT_FALSE(second->Done());
  EXPECT_TRUE(second->Cancel());
  ASSERT_TRUE(second->Wait());
  EXPECT_EQ(second->Result().status, STATUS_CANCELLED);
  EXPECT_TRUE(second->Result().bytes.empty());

  client_->BeginInternalRead(4);
  EXPECT_EQ(client_->CancelInternalRead(), TRUE);
  ASSERT_TRUE(client_->WaitInternalRead());
  EXPECT_EQ(client_->InternalReadResult().status, STATUS_CANCELLED);
  open->Close();
}

// ---------------------------------------------------------------------------------------------
// Opens and removal.
// ---------------------------------------------------------------------------------------------
TEST_F(MidiClientTest, TheManagersHandleCountFollowsTheOpensAndTheirCloses) {
  auto a = client_->Open();
  auto b = client_->Open(UserMode);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pnp_->Node(kid_)->openHandles, 2);
  EXPECT_EQ(kid_->ReferenceCount, 2);
  a->Close();
  EXPECT_EQ(pnp_->Node(kid_)->openHandles, 1);
  gPendReads = true;
  b->BeginRead(4);
  b->Close();
  // The handle is gone, but its file object waits for the read: it still counts.
  EXPECT_EQ(pnp_->Node(kid_)->openHandles, 1);
  DeliverToPendedRead({1});
  ASSERT_TRUE(b->WaitClosed());
  EXPECT_EQ(pnp_->Node(kid_)->openHandles, 0);
  EXPECT_EQ(kid_->ReferenceCount, 0);
}

TEST_F(MidiClientTest, AnOrderlyRemovalIsVetoedByAnOpenAndGoesOnceTheClientClosesIt) {
  auto open = client_->Open();
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(pnp_->Remove(usb_->Pdo()), STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_TRUE(client_->Present());
  // A client that answers the query-remove notification by closing its opens lets it go.
  pnp_->beforeChildRemove = [this](PDEVICE_OBJECT) { client_->CloseAll(); };
  EXPECT_EQ(pnp_->Remove(usb_->Pdo()), STATUS_SUCCESS);
  EXPECT_TRUE(open->WaitClosed(0));
  EXPECT_FALSE(client_->Present());
  EXPECT_TRUE(tb::IsDeviceDeleted(kid_));
}

// The child's REMOVE_DEVICE after a surprise removal waits for the client's file object, and so
// for a read still waiting on it after its handle was closed.
TEST_F(MidiClientTest, ASurpriseRemovedChildWaitsForTheLastRequestOnTheClientsOpen) {
  gPendReads = true;
  auto open = client_->Open();
  ASSERT_NE(open, nullptr);
  open->BeginRead(4);
  pnp_->ClearLog();
  pnp_->SurpriseRemove(usb_->Pdo());
  EXPECT_NE(Index("child of bus", "REMOVE_DEVICE deferred"), SIZE_MAX);
  open->Close();
  ASSERT_TRUE(pnp_->WaitIdle());
  EXPECT_EQ(Index("child of bus", "REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_TRUE(client_->Present());

  DeliverToPendedRead({0x42});
  ASSERT_TRUE(open->WaitClosed());
  ASSERT_TRUE(pnp_->WaitIdle());
  size_t kidRemove = Index("child of bus", "REMOVE_DEVICE");
  ASSERT_NE(kidRemove, SIZE_MAX);
  EXPECT_LT(kidRemove, Index("bus", "REMOVE_DEVICE"));
  EXPECT_FALSE(client_->Present());
  EXPECT_EQ(open->ReadResult().bytes, (std::vector<UCHAR>{0x42}));
}

// ---------------------------------------------------------------------------------------------
// Several threads and opens at once.
// ---------------------------------------------------------------------------------------------
TEST_F(MidiClientTest, SeveralThreadsOpenReadWriteAndCloseAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      auto open = client_->Open(t % 2 == 0 ? KernelMode : UserMode);
      if (open == nullptr) {
        failures++;
        return;
      }
      for (int i = 0; i < kRounds; i++) {
        UCHAR b = static_cast<UCHAR>(t * kRounds + i);
        if (open->Write({b}).information != 1) failures++;
        if (open->Read(2).bytes != std::vector<UCHAR>{0xC0, 0xC1}) failures++;
        if (client_->InternalWrite({b}).status != STATUS_SUCCESS) failures++;
      }
      open->Close();
      if (!open->WaitClosed()) failures++;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  size_t creates = 0;
  size_t writes = 0;
  size_t internalWrites = 0;
  size_t closes = 0;
  for (auto& s : SeenSoFar()) {
    if (s.major == IRP_MJ_CREATE) creates++;
    if (s.major == IRP_MJ_WRITE) writes++;
    if (s.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && s.code == IOCTL_CLIENT_WRITE) internalWrites++;
    if (s.major == IRP_MJ_CLOSE) closes++;
  }
  EXPECT_EQ(creates, static_cast<size_t>(kThreads));
  EXPECT_EQ(writes, static_cast<size_t>(kThreads * kRounds));
  EXPECT_EQ(internalWrites, static_cast<size_t>(kThreads * kRounds));
  EXPECT_EQ(closes, static_cast<size_t>(kThreads));
  EXPECT_EQ(pnp_->Node(kid_)->openHandles, 0);
  EXPECT_EQ(tb::LiveFileObjects(), 0u);
}

// The same client on the driver's own child: it loads, the child starts under it, the client's
// requests run the stream, and both go with the USB device.
class DriverChildClientTest : public UsbDriverTest {};

TEST_F(DriverChildClientTest, OnTheDriversChildTheClientRunsTheStreamAndGoesWithTheDevice) {
  PDRIVER_OBJECT clientDriver = tb::LoadMidiClient();
  pnp_->LoadChildDriver(clientDriver);
  PDEVICE_OBJECT pdo = PlugAndStart();
  auto ep = std::make_unique<tb::MidiEndpoints>(*Bus(pdo));
  auto children = pnp_->QueryBusRelations(pdo);
  ASSERT_EQ(children.size(), 1u);
  auto client = tb::MidiClientOn(children[0]);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->StartStatus(), STATUS_SUCCESS);
  EXPECT_EQ(PdoExt(children[0])->Flags, static_cast<ULONG>(PDO_STARTED));

  tb::ClientResult opened;
  auto open = client->Open(KernelMode, &opened);
  ASSERT_NE(open, nullptr) << std::hex << opened.status;
  ASSERT_TRUE(ep->WaitForWire(1));  // the stream's start message
  ep->ClearWire();
  std::vector<UCHAR> note = {0x90, 0x3C, 0x64};
  EXPECT_EQ(open->Write(note).status, STATUS_SUCCESS);
  EXPECT_EQ(ep->ReceivedMidi(), note);
  auto read = open->BeginRead(8);
  ep->Feed({0x80, 0x3C, 0x00});
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->Result().bytes, (std::vector<UCHAR>{0x80, 0x3C, 0x00}));
  EXPECT_EQ(client->GetDirectCallInterface().status, STATUS_SUCCESS);
  EXPECT_EQ(client->DirectCallInterface().Context, fdo_);

  // The last close stops the stream; the endpoints' threads end before the device goes.
  client->CloseAll();
  ASSERT_TRUE(open->WaitClosed());
  ep.reset();
  EXPECT_EQ(pnp_->Remove(pdo), STATUS_SUCCESS);
  EXPECT_FALSE(client->Present());
  EXPECT_TRUE(tb::IsDeviceDeleted(children[0]));
  tb::UnloadDriver(clientDriver);
}

}  // namespace clientbus
