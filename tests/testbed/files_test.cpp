// File objects as the I/O manager has them: the create with its file object, requests on an
// open with the caller's mode and buffers, cleanup and a close that waits for the open's last
// request, the handle count on the device, and the file object freed after its close.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "support/fixture.h"

// Routines have external linkage so that the verifier can name them in its reports.
namespace files {

// What the driver below saw of one request.
struct Seen {
  UCHAR major;
  PFILE_OBJECT file;          // the stack location's
  PFILE_OBJECT original;      // Irp->Tail.Overlay.OriginalFileObject
  KPROCESSOR_MODE mode;
  PVOID userBuffer;
  PVOID systemBuffer;
  PVOID type3;
  ULONG length;               // read or write length, or the output length of a control
  ULONG inputLength;
  KIRQL irql;
  std::vector<UCHAR> bytes;   // what a write or control brought in
  bool mdl = false;           // a direct control's output MDL, and what it described
  PVOID mdlStartVa = nullptr;
  ULONG mdlByteOffset = 0;
  ULONG mdlByteCount = 0;
};

std::mutex gLock;
std::vector<Seen> gSeen;
std::deque<PIRP> gPended;     // reads held by the driver
bool gPendReads = false;
NTSTATUS gCreateStatus = STATUS_SUCCESS;
bool gWithCleanup = false;
int gFsContextMark = 0;

std::vector<UCHAR> Take(const void* p, ULONG n) {
  if (p == nullptr || n == 0) return {};
  auto* b = static_cast<const UCHAR*>(p);
  return std::vector<UCHAR>(b, b + n);
}

VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto it = gPended.begin(); it != gPended.end(); ++it) {
      if (*it == irp) {
        gPended.erase(it);
        break;
      }
    }
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  Seen seen{s->MajorFunction, s->FileObject, irp->Tail.Overlay.OriginalFileObject, irp->RequestorMode,
            irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, nullptr, 0, 0, KeGetCurrentIrql(), {}};
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
      status = gCreateStatus;
      if (NT_SUCCESS(status)) s->FileObject->FsContext = &gFsContextMark;
      break;
    case IRP_MJ_READ: {
      seen.length = s->Parameters.Read.Length;
      bool pend;
      {
        std::lock_guard<std::mutex> guard(gLock);
        pend = gPendReads;
        gSeen.push_back(seen);
      }
      if (pend) {
        IoMarkIrpPending(irp);
        // Under the lock, so that a cancel finds the read where its routine looks for it.
        std::lock_guard<std::mutex> guard(gLock);
        IoSetCancelRoutine(irp, CancelRead);
        gPended.push_back(irp);
        return STATUS_PENDING;
      }
      void* into = irp->AssociatedIrp.SystemBuffer != nullptr ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
      ULONG n = std::min<ULONG>(3, s->Parameters.Read.Length);
      for (ULONG i = 0; i < n; i++) static_cast<UCHAR*>(into)[i] = static_cast<UCHAR>(0x90 + i);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = n;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    case IRP_MJ_WRITE: {
      seen.length = s->Parameters.Write.Length;
      const void* from = irp->AssociatedIrp.SystemBuffer != nullptr ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
      seen.bytes = Take(from, seen.length);
      information = seen.length;
      break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      seen.type3 = s->Parameters.DeviceIoControl.Type3InputBuffer;
      seen.length = s->Parameters.DeviceIoControl.OutputBufferLength;
      seen.inputLength = s->Parameters.DeviceIoControl.InputBufferLength;
      seen.bytes = Take(seen.type3 != nullptr ? seen.type3 : irp->AssociatedIrp.SystemBuffer, seen.inputLength);
      if (irp->MdlAddress != nullptr) {
        PMDL mdl = irp->MdlAddress;
        seen.mdl = true;
        seen.mdlStartVa = mdl->StartVa;
        seen.mdlByteOffset = mdl->ByteOffset;
        seen.mdlByteCount = mdl->ByteCount;
        std::memset(mdl->MappedSystemVa, 0xA5, mdl->ByteCount);
        information = mdl->ByteCount;
      } else if (irp->AssociatedIrp.SystemBuffer != nullptr && seen.length != 0) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, seen.length);
        information = seen.length;
      }
      break;
    default:
      break;
  }
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSeen.push_back(seen);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                      IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    driver->MajorFunction[major] = Dispatch;
  }
  if (gWithCleanup) driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
  return STATUS_SUCCESS;
}

// A driver that keeps the file object of its create and reads it again after the close.
PFILE_OBJECT gKept = nullptr;
NTSTATUS NTAPI KeepingDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MajorFunction == IRP_MJ_CREATE) gKept = s->FileObject;
  return Dispatch(device, irp);
}
NTSTATUS NTAPI KeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = KeepingDispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = KeepingDispatch;
  return STATUS_SUCCESS;
}
PVOID ReadContextOfKeptFile() { return gKept->FsContext; }

class FilesTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    std::lock_guard<std::mutex> guard(gLock);
    gSeen.clear();
    gPended.clear();
    gPendReads = false;
    gCreateStatus = STATUS_SUCCESS;
    gWithCleanup = false;
  }
  PDEVICE_OBJECT MakeDevice(PDRIVER_INITIALIZE entry = Entry, ULONG flags = 0, BOOLEAN exclusive = FALSE) {
    PDRIVER_OBJECT driver = tb::LoadDriver(entry, u"files");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &device), STATUS_SUCCESS);
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }
  std::vector<Seen> SeenSoFar() {
    std::lock_guard<std::mutex> guard(gLock);
    return gSeen;
  }
  std::vector<UCHAR> Majors() {
    std::vector<UCHAR> out;
    for (auto& s : SeenSoFar()) out.push_back(s.major);
    return out;
  }
  // Completes the oldest read the driver holds with `n` bytes.
  void CompletePendedRead(ULONG n) {
    PIRP irp;
    {
      std::lock_guard<std::mutex> guard(gLock);
      ASSERT_FALSE(gPended.empty());
      irp = gPended.front();
      gPended.pop_front();
    }
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = n;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
  using Majors_ = std::vector<UCHAR>;
};

// ---------------------------------------------------------------------------------------------
// Open and close.
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, TheCreateCarriesANewFileObjectAndTheDeviceCountsTheOpen) {
  PDEVICE_OBJECT device = MakeDevice();
  tb::Result created;
  auto file = tb::OpenFile(device, &created);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(created.status, STATUS_SUCCESS);
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  PFILE_OBJECT fo = file->Object();
  EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
  EXPECT_EQ(seen[0].file, fo);
  EXPECT_EQ(seen[0].original, fo);
  EXPECT_EQ(seen[0].mode, KernelMode);
  EXPECT_EQ(fo->Type, IO_TYPE_FILE);
  EXPECT_EQ(fo->Size, static_cast<CSHORT>(sizeof(FILE_OBJECT)));
  EXPECT_EQ(fo->DeviceObject, device);
  EXPECT_EQ(fo->FsContext, &gFsContextMark);  // the driver's, kept for the open's life
  EXPECT_EQ(device->ReferenceCount, 1);
  EXPECT_EQ(tb::LiveFileObjects(), 1u);

  auto second = tb::OpenFile(device, nullptr, tb::OpenOptions{UserMode, nullptr});
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(SeenSoFar().back().mode, UserMode);
  EXPECT_NE(second->Object(), fo);
  EXPECT_EQ(device->ReferenceCount, 2);

  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_TRUE(file->Closed());
  EXPECT_EQ(file->Object(), nullptr);
  EXPECT_EQ(device->ReferenceCount, 1);
  EXPECT_EQ(second->Close(), STATUS_SUCCESS);
  EXPECT_EQ(device->ReferenceCount, 0);
  EXPECT_EQ(tb::LiveFileObjects(), 0u);
  // Cleanup and close come with kernel mode, whoever opened.
  seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
  EXPECT_EQ(seen[2].file, seen[0].file);
  EXPECT_EQ(seen[3].mode, KernelMode);
  IoDeleteDevice(device);
}

// Without a cleanup routine the I/O manager's default one answers it; a handle's close succeeds
// whatever the cleanup's answer, and the driver then sees only the close.
TEST_F(FilesTest, CleanupGoesToTheDefaultRoutineUnlessTheDriverHandlesItAndTheCloseFollows) {
  PDEVICE_OBJECT device = MakeDevice();
  auto file = tb::OpenFile(device);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_EQ(file->CleanupOutcome().status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(file->CloseOutcome().status, STATUS_SUCCESS);
  EXPECT_EQ(Majors(), (Majors_{IRP_MJ_CREATE, IRP_MJ_CLOSE}));
  IoDeleteDevice(device);

  gWithCleanup = true;
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSeen.clear();
  }
  PDEVICE_OBJECT handling = MakeDevice();
  file = tb::OpenFile(handling);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_EQ(file->CleanupOutcome().status, STATUS_SUCCESS);
  EXPECT_EQ(Majors(), (Majors_{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(SeenSoFar()[1].file, SeenSoFar()[0].file);
  ExpectViolation(tb::Rule::HandleInvalid, [&] { EXPECT_EQ(file->Close(), STATUS_INVALID_HANDLE); });
  IoDeleteDevice(handling);
}

TEST_F(FilesTest, AFailedOpenIsNeverClosedAndUndoesItsCount) {
  PDEVICE_OBJECT device = MakeDevice();
  gCreateStatus = STATUS_NOT_IMPLEMENTED;
  tb::Result created;
  EXPECT_EQ(tb::OpenFile(device, &created), nullptr);
  EXPECT_EQ(created.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(device->ReferenceCount, 0);
  EXPECT_EQ(Majors(), (Majors_{IRP_MJ_CREATE}));
  EXPECT_EQ(tb::LiveFileObjects(), 0u);
  IoDeleteDevice(device);
}

TEST_F(FilesTest, DeletedInitializingAndBusyExclusiveDevicesRefuseTheOpenBeforeTheDriverSeesIt) {
  PDEVICE_OBJECT exclusive = MakeDevice(Entry, 0, TRUE);
  auto first = tb::OpenFile(exclusive);
  ASSERT_NE(first, nullptr);
  tb::Result r;
  EXPECT_EQ(tb::OpenFile(exclusive, &r), nullptr);
  EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
  first->Close();

  PDEVICE_OBJECT initializing = MakeDevice();
  initializing->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(tb::OpenFile(initializing, &r), nullptr);
  EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE);
  initializing->Flags &= ~DO_DEVICE_INITIALIZING;
  IoDeleteDevice(initializing);
  EXPECT_EQ(tb::OpenFile(initializing, &r), nullptr);
  EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Majors(), (Majors_{IRP_MJ_CREATE, IRP_MJ_CLOSE}));
  IoDeleteDevice(exclusive);
}

// An open keeps a deleted device's memory until its file object is closed.
TEST_F(FilesTest, ADeletedDeviceWithAnOpenFileObjectGoesAtItsClose) {
  PDEVICE_OBJECT device = MakeDevice();
  auto file = tb::OpenFile(device);
  ASSERT_NE(file, nullptr);
  IoDeleteDevice(device);
  EXPECT_FALSE(tb::IsDeviceFreed(device));
  file->Close();
  EXPECT_TRUE(tb::IsDeviceFreed(device));
}

// The close waits for every request on the file object; closing the handle ends none of them.
TEST_F(FilesTest, TheCloseComesOnlyAfterTheLastRequestOnTheFileObjectCompleted) {
  PDEVICE_OBJECT device = MakeDevice();
  auto file = tb::OpenFile(device);
  ASSERT_NE(file, nullptr);
  gPendReads = true;
  UCHAR buffer[8];
  auto first = file->Start(tb::IoRequestParams{IRP_MJ_READ, 0, KernelMode, buffer, sizeof buffer});
  auto second = file->Start(tb::IoRequestParams{IRP_MJ_READ, 0, KernelMode, buffer, sizeof buffer});
  EXPECT_FALSE(first->Done());
  EXPECT_EQ(first->Outcome().returned, STATUS_PENDING);

  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_FALSE(file->WaitClosed(50));
  EXPECT_FALSE(first->Done());
  EXPECT_EQ(device->ReferenceCount, 1);
  {
    std::lock_guard<std::mutex> guard(gLock);
    ASSERT_EQ(gPended.size(), 2u);
    EXPECT_FALSE(gPended.front()->Cancel);
  }
  CompletePendedRead(2);
  EXPECT_FALSE(file->WaitClosed(50));
  // The last one completes at DISPATCH_LEVEL; the close still comes at PASSIVE_LEVEL.
  {
    tb::IrqlScope dispatch(DISPATCH_LEVEL);
    CompletePendedRead(1);
  }
  ASSERT_TRUE(file->WaitClosed());
  EXPECT_EQ(first->Outcome().information, 2u);
  EXPECT_EQ(second->Outcome().status, STATUS_SUCCESS);
  auto seen = SeenSoFar();
  ASSERT_EQ(Majors(), (Majors_{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_CLOSE}));
  EXPECT_EQ(seen.back().irql, PASSIVE_LEVEL);
  EXPECT_EQ(device->ReferenceCount, 0);
  EXPECT_EQ(file->Object(), nullptr);
  IoDeleteDevice(device);
}

TEST_F(FilesTest, AWaitingRequestCanBeCancelledAndANewOneSentOnTheClosedHandleIsRefused) {
  PDEVICE_OBJECT device = MakeDevice();
  auto file = tb::OpenFile(device);
  ASSERT_NE(file, nullptr);
  gPendReads = true;
  UCHAR buffer[4];
  auto read = file->Start(tb::IoRequestParams{IRP_MJ_READ, 0, KernelMode, buffer, sizeof buffer});
  EXPECT_TRUE(read->Cancel());
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->Outcome().status, STATUS_CANCELLED);
  EXPECT_FALSE(read->Cancel());  // done: nothing left to cancel
  file->Close();
  EXPECT_TRUE(file->Closed());
  ExpectViolation(tb::Rule::HandleInvalid, [&] {
    auto late = file->Start(tb::IoRequestParams{IRP_MJ_READ, 0, KernelMode, buffer, sizeof buffer});
    EXPECT_EQ(late->Outcome().status, STATUS_INVALID_HANDLE);
  });
  EXPECT_EQ(Majors(), (Majors_{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLOSE}));
  IoDeleteDevice(device);
}

// ---------------------------------------------------------------------------------------------
// Requests: the caller's mode and buffers.
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, AUserModeRequestCarriesUserModeAndTheCallersOwnAddresses) {
  PDEVICE_OBJECT device = MakeDevice();
  auto file = tb::OpenFile(device, nullptr, tb::OpenOptions{UserMode, nullptr});
  ASSERT_NE(file, nullptr);
  PFILE_OBJECT fo = file->Object();
  UCHAR out[5] = {1, 2, 3, 4, 5};
  UCHAR in[6] = {};
  tb::Result w = file->Send(tb::IoRequestParams{IRP_MJ_WRITE, 0, UserMode, out, sizeof out});
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 5u);
  tb::Result r = file->Send(tb::IoRequestParams{IRP_MJ_READ, 0, UserMode, in, sizeof in});
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(in[0], 0x90);
  tb::IoRequestParams control;
  control.major = IRP_MJ_DEVICE_CONTROL;
  control.mode = UserMode;
  control.code = 0x0022241F;  // METHOD_NEITHER
  control.input = out;
  control.inputLength = 2;
  control.output = in;
  control.outputLength = 6;
  file->Send(control);
  control.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  control.mode = KernelMode;
  file->Send(control);

  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 5u);
  for (size_t i = 1; i < 5; i++) {
    EXPECT_EQ(seen[i].file, fo) << i;
    EXPECT_EQ(seen[i].original, fo) << i;
    EXPECT_EQ(seen[i].systemBuffer, nullptr) << i;
  }
  EXPECT_EQ(seen[1].mode, UserMode);
  EXPECT_EQ(seen[1].userBuffer, out);
  EXPECT_EQ(seen[1].length, 5u);
  EXPECT_EQ(seen[1].bytes, (std::vector<UCHAR>{1, 2, 3, 4, 5}));
  EXPECT_EQ(seen[2].mode, UserMode);
  EXPECT_EQ(seen[2].userBuffer, in);
  EXPECT_EQ(seen[3].mode, UserMode);
  EXPECT_EQ(seen[3].type3, out);
  EXPECT_EQ(seen[3].userBuffer, in);
  EXPECT_EQ(seen[3].inputLength, 2u);
  EXPECT_EQ(seen[3].length, 6u);
  EXPECT_EQ(seen[4].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen[4].mode, KernelMode);

  // The probe stops a user-mode buffer reaching into system space before the driver sees it.
  auto* system = reinterpret_cast<UCHAR*>(sizeof(void*) == 8 ? 0xFFFFF80000001000ULL : 0x80001000UL);
  r = file->Send(tb::IoRequestParams{IRP_MJ_READ, 0, UserMode, system, 16});
  EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(SeenSoFar().size(), 5u);
  file->Close();
  IoDeleteDevice(device);
}

TEST_F(FilesTest, ABufferedDeviceGetsASystemBufferCopiedInAndBack) {
  PDEVICE_OBJECT device = MakeDevice(Entry, DO_BUFFERED_IO);
  auto file = tb::OpenFile(device);
  ASSERT_NE(file, nullptr);
  UCHAR out[3] = {7, 8, 9};
  UCHAR in[4] = {};
  file->Send(tb::IoRequestParams{IRP_MJ_WRITE, 0, KernelMode, out, sizeof out});
  tb::Result r = file->Send(tb::IoRequestParams{IRP_MJ_READ, 0, KernelMode, in, sizeof in});
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(in[0], 0x90);
  EXPECT_EQ(in[2], 0x92);
  EXPECT_EQ(in[3], 0);
  tb::IoRequestParams control;
  control.major = IRP_MJ_DEVICE_CONTROL;
  control.code = 0x00222400;  // METHOD_BUFFERED
  control.input = out;
  control.inputLength = 3;
  control.output = in;
  control.outputLength = 2;
  r = file->Send(control);
  EXPECT_EQ(r.information, 2u);
  EXPECT_EQ(in[0], 0x5A);
  EXPECT_EQ(in[2], 0x92);  // past the output length: untouched
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_NE(seen[1].systemBuffer, nullptr);
  EXPECT_NE(seen[1].systemBuffer, static_cast<void*>(out));
  EXPECT_EQ(seen[1].bytes, (std::vector<UCHAR>{7, 8, 9}));
  EXPECT_EQ(seen[3].bytes, (std::vector<UCHAR>{7, 8, 9}));
  EXPECT_EQ(seen[3].type3, nullptr);
  file->Close();
  IoDeleteDevice(device);
}

// A direct control code: the input in a system buffer, the output described by an MDL over the
// caller's own pages, which the I/O manager frees once the request is done.
TEST_F(FilesTest, ADirectControlCodeGetsItsInputBufferedAndItsOutputInAnMdl) {
  PDEVICE_OBJECT device = MakeDevice();
  auto file = tb::OpenFile(device, nullptr, tb::OpenOptions{UserMode, nullptr});
  ASSERT_NE(file, nullptr);
  alignas(4096) UCHAR page[8192] = {};
  UCHAR in[3] = {7, 8, 9};
  tb::IoRequestParams control;
  control.major = IRP_MJ_DEVICE_CONTROL;
  control.mode = UserMode;
  control.code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  control.input = in;
  control.inputLength = sizeof in;
  control.output = page + 4090;  // across a page boundary
  control.outputLength = 10;
  tb::Result r = file->Send(control);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 10u);
  EXPECT_EQ(page[4089], 0);
  EXPECT_EQ(page[4090], 0xA5);
  EXPECT_EQ(page[4099], 0xA5);
  EXPECT_EQ(page[4100], 0);
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[1].systemBuffer, nullptr);
  EXPECT_NE(seen[1].systemBuffer, static_cast<void*>(in));
  EXPECT_EQ(seen[1].bytes, (std::vector<UCHAR>{7, 8, 9}));
  ASSERT_TRUE(seen[1].mdl);
  EXPECT_EQ(seen[1].mdlStartVa, static_cast<void*>(page));
  EXPECT_EQ(seen[1].mdlByteOffset, 4090u);
  EXPECT_EQ(seen[1].mdlByteCount, 10u);

  // No output: no MDL. An output length without a buffer, or (from user mode) a buffer in
  // system space, fails the probe before the driver sees the request.
  control.output = nullptr;
  control.outputLength = 0;
  EXPECT_EQ(file->Send(control).status, STATUS_SUCCESS);
  control.outputLength = 4;
  EXPECT_EQ(file->Send(control).status, STATUS_ACCESS_VIOLATION);
  control.output = reinterpret_cast<UCHAR*>(sizeof(void*) == 8 ? 0xFFFFF80000001000ULL : 0x80001000UL);
  EXPECT_EQ(file->Send(control).status, STATUS_ACCESS_VIOLATION);
  seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_FALSE(seen[2].mdl);
  file->Close();
  IoDeleteDevice(device);
}

// A request sent to the device straight, as a driver sends one below, has no file object.
TEST_F(FilesTest, ARequestWithoutAnOpenCarriesNoFileObject) {
  PDEVICE_OBJECT device = MakeDevice();
  UCHAR bytes[2] = {1, 2};
  tb::IoRequestParams params{IRP_MJ_INTERNAL_DEVICE_CONTROL};
  params.code = 0x0022241B;
  params.input = bytes;
  params.inputLength = 2;
  auto request = tb::StartRequest(device, params);
  ASSERT_TRUE(request->Wait());
  EXPECT_EQ(request->Outcome().status, STATUS_SUCCESS);
  auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].file, nullptr);
  EXPECT_EQ(seen[0].original, nullptr);
  EXPECT_EQ(seen[0].type3, static_cast<void*>(bytes));
  EXPECT_EQ(seen[0].bytes, (std::vector<UCHAR>{1, 2}));
  IoDeleteDevice(device);
}

// ---------------------------------------------------------------------------------------------
// The file object's lifetime.
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, AFileObjectTouchedAfterItsCloseIsCaught) {
  PDEVICE_OBJECT device = MakeDevice(KeepingEntry);
  auto file = tb::OpenFile(device);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReadContextOfKeptFile(), &gFsContextMark);
  file->Close();
  if (tb::SanitizerCatchesUseAfterFree()) {
    EXPECT_DEATH(ReadContextOfKeptFile(), "heap-use-after-free");
  } else if (tb::VerifierCatchesUseAfterFree()) {
    auto got = ExpectViolation(tb::Rule::FileObjectUsedAfterClose, [] { ReadContextOfKeptFile(); });
    if (!got.empty()) EXPECT_NE(got[0].routine.find("ReadContextOfKeptFile"), std::string::npos) << got[0].ToString();
  }
  IoDeleteDevice(device);
}

}  // namespace files
