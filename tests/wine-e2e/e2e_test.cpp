// End-to-end run of usbmidi.sys under Wine's PnP manager, driven through the mock USB bus and
// the stand-in client on usbmidi's child.
//
//   e2e_test.exe MOCK_INF TRANSCRIPT
//
// Installs the mock bus as a root device, plugs the first product, lets Wine install usbmidi
// from its INF and enumerate usbmidi's child, checks the child's IDs as Wine recorded them,
// binds the stand-in client to the child, unplugs, replugs (a new AddDevice and start, the child
// started this time under the client), plays the stream scenario through the client (which ends
// with the second unplug), and plugs the second product. Exits non-zero on any difference.
// The scenario's transcript goes to TRANSCRIPT for the comparison with the test bed's (and to
// stdout as "transcript: ..." lines; the driver host writes to the same log, so those may be cut).
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>
#include <initguid.h>
#include <devguid.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "mock_ioctl.h"
#include "stream_scenario.h"
#include "stub_ioctl.h"

static int failures = 0;

static void Check(bool ok, const char* what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  fflush(stdout);
  if (!ok) failures++;
}

static HANDLE control = INVALID_HANDLE_VALUE;

static bool Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) {
  DWORD n = 0;
  BOOL ok = DeviceIoControl(control, code, const_cast<void*>(in), inLength, out, outLength, &n, NULL);
  if (returned != NULL) *returned = n;
  return ok != FALSE;
}

static MOCK_STATE State() {
  MOCK_STATE s = {};
  Control(IOCTL_MOCK_STATE, NULL, 0, &s, sizeof s, NULL);
  return s;
}

// The mock's record, NUL-terminated, in a static buffer.
static const char* Log() {
  static char log[32768 + 1];
  DWORD n = 0;
  if (!Control(IOCTL_MOCK_READ_LOG, NULL, 0, log, sizeof log - 1, &n)) n = 0;
  log[n] = 0;
  return log;
}

// Waits up to `ms` for `ready` to hold, polling every 50 ms.
template <typename F>
static bool WaitFor(F ready, DWORD ms) {
  for (DWORD waited = 0;; waited += 50) {
    if (ready()) return true;
    if (waited >= ms) return false;
    Sleep(50);
  }
}

// Lines of the mock's record from sequence number `from` on, in order, must contain `steps`
// (each a substring of one line) as a subsequence. Returns the sequence number after the last
// step matched, or 0 when a step is missing.
static unsigned Sequence(unsigned from, const char* const* steps, int count) {
  const char* log = Log();
  int next = 0;
  unsigned last = from;
  for (const char* line = log; *line && next < count;) {
    const char* end = strchr(line, '\n');
    if (end == NULL) end = line + strlen(line);
    unsigned seq = static_cast<unsigned>(strtoul(line, NULL, 10));
    if (seq >= from) {
      size_t want = strlen(steps[next]);
      for (const char* p = line; p + want <= end; p++) {
        if (strncmp(p, steps[next], want) == 0) {
          next++;
          last = seq + 1;
          break;
        }
      }
    }
    line = *end ? end + 1 : end;
  }
  if (next < count) {
    printf("  missing from the record after %u: \"%s\"\n", from, steps[next]);
    return 0;
  }
  return last;
}

static unsigned LastSequence() {
  const char* log = Log();
  unsigned last = 0;
  for (const char* line = log; *line;) {
    last = static_cast<unsigned>(strtoul(line, NULL, 10));
    const char* end = strchr(line, '\n');
    if (end == NULL) break;
    line = end + 1;
  }
  return last + 1;
}

// ---------------------------------------------------------------------------------------------
// Wine's device records.
// ---------------------------------------------------------------------------------------------
struct Node {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data = {sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  bool Open(const wchar_t* instance) {
    Close();
    set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) return false;
    data.cbSize = sizeof data;
    if (SetupDiOpenDeviceInfoW(set, instance, NULL, 0, &data)) return true;
    Close();
    return false;
  }
  void Close() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    set = INVALID_HANDLE_VALUE;
  }
  ~Node() { Close(); }
  // The property as bytes; false when absent.
  bool Property(DWORD property, wchar_t* out, DWORD bytes, DWORD* used) {
    memset(out, 0, bytes);
    return SetupDiGetDeviceRegistryPropertyW(set, &data, property, NULL, reinterpret_cast<BYTE*>(out), bytes, used) !=
           FALSE;
  }
};

static bool HasHardwareIds(const wchar_t* instance) {
  Node node;
  wchar_t ids[512];
  DWORD used = 0;
  return node.Open(instance) && node.Property(SPDRP_HARDWAREID, ids, sizeof ids, &used);
}

// Checks the node Wine recorded: its instance path (device ID \ instance ID) and its hardware IDs,
// the exact multi-string `expected` of `expectedUnits` characters.
static void CheckNode(const wchar_t* instance, const wchar_t* expected, size_t expectedUnits, const char* what) {
  char label[256];
  Node node;
  bool open = node.Open(instance);
  snprintf(label, sizeof label, "%s: Wine recorded device %ls", what, instance);
  Check(open, label);
  if (!open) return;
  wchar_t recorded[512] = {};
  DWORD needed = 0;
  bool got = SetupDiGetDeviceInstanceIdW(node.set, &node.data, recorded, 512, &needed) != FALSE;
  snprintf(label, sizeof label, "%s: instance path is %ls (recorded %ls)", what, instance, recorded);
  Check(got && _wcsicmp(recorded, instance) == 0, label);
  wchar_t ids[512];
  DWORD used = 0;
  got = node.Property(SPDRP_HARDWAREID, ids, sizeof ids, &used);
  snprintf(label, sizeof label, "%s: hardware IDs are exactly %ls (recorded %ls, %lu bytes)", what, expected,
           got ? ids : L"nothing", static_cast<unsigned long>(used));
  Check(got && used == expectedUnits * sizeof(wchar_t) && memcmp(ids, expected, used) == 0, label);
}

// The stand-in client enables this interface on the child while Wine has it started.
static const GUID StubInterface = {0x7C1A2B3D, 0x0E4F, 0x4A5B, {0x8C, 0x6D, 0x7E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3}};

static bool WineStarted(const wchar_t* instance) {
  HDEVINFO set = SetupDiGetClassDevsW(&StubInterface, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
  for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &data); i++) {
    wchar_t id[512] = {};
    if (SetupDiGetDeviceInstanceIdW(set, &data, id, 512, NULL)) found = _wcsicmp(id, instance) == 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

// Binds the stand-in client service to a device node Wine already created: Wine then loads it
// on the next enumeration instead of looking for an INF.
static bool BindClient(const wchar_t* instance) {
  Node node;
  if (!node.Open(instance)) return false;
  const wchar_t service[] = L"usbmidistub";
  if (!SetupDiSetDeviceRegistryPropertyW(node.set, &node.data, SPDRP_SERVICE, reinterpret_cast<const BYTE*>(service),
                                         sizeof service)) {
    printf("  SPDRP_SERVICE: error %lu\n", GetLastError());
    return false;
  }
  HKEY key = SetupDiCreateDevRegKeyW(node.set, &node.data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, NULL, NULL);
  if (key == INVALID_HANDLE_VALUE) {
    printf("  driver key: error %lu\n", GetLastError());
    return false;
  }
  const wchar_t inf[] = L"usbmidistub.inf";
  LONG r = RegSetValueExW(key, L"InfPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(inf), sizeof inf);
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

static bool InstallRootBus(const wchar_t* inf) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, NULL);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
  bool ok = SetupDiCreateDeviceInfoW(set, L"ROOT\\USBMIDIMOCK\\0000", &GUID_DEVCLASS_SYSTEM, NULL, NULL, 0, &data);
  const wchar_t ids[] = L"root\\usbmidimock\0";
  ok = ok && SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids),
                                               sizeof ids);
  ok = ok && SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data);
  if (!ok) printf("  root device: error %lu\n", GetLastError());
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (ok && !UpdateDriverForPlugAndPlayDevicesW(NULL, L"root\\usbmidimock", inf, 0, &reboot)) {
    printf("  UpdateDriverForPlugAndPlayDevices: error %lu\n", GetLastError());
    ok = false;
  }
  return ok;
}

// Registers a device node with no driver, as an earlier install would have left it. Wine keeps
// nothing of a node it could not install a driver for; on a registered one it records the
// hardware IDs the device reports before it gives up.
static bool RegisterNode(const wchar_t* instance) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_MEDIA, NULL);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
  bool ok = SetupDiCreateDeviceInfoW(set, instance, &GUID_DEVCLASS_MEDIA, NULL, NULL, 0, &data) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data);
  if (!ok) printf("  register %ls: error %lu\n", instance, GetLastError());
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// The run.
// ---------------------------------------------------------------------------------------------
static const wchar_t Child1[] = L"USB\\{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}\\{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}";
static const wchar_t Child1Ids[] = L"USB\\{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}\0";
static const wchar_t Child3[] = L"USB\\{0A7E0003-5B1F-11d3-9C4E-0060B3A41D27}\\{0A7E0003-5B1F-11d3-9C4E-0060B3A41D27}";
static const wchar_t Child3Ids[] = L"USB\\{0A7E0003-5B1F-11d3-9C4E-0060B3A41D27}\0";

static bool Plug(ULONG product) {
  char label[64];
  snprintf(label, sizeof label, "plug product 0x%04lx", product);
  bool ok = Control(IOCTL_MOCK_PLUG, &product, sizeof product, NULL, 0, NULL);
  Check(ok, label);
  return ok;
}

static unsigned CheckRemovalSequence(unsigned from, const char* what);

static bool Unplug() {
  MOCK_STATE before = State();
  bool ok = Control(IOCTL_MOCK_UNPLUG, NULL, 0, NULL, 0, NULL);
  Check(ok, "unplug");
  ok = ok && WaitFor([&] { return State().Removals > before.Removals && !State().ChildExists; }, 10000);
  Check(ok, "the USB device was removed");
  return ok;
}

// The function driver's path through one plug: AddDevice reads the device descriptor, the start
// passes down and configures, and the child is asked for afterwards.
// A device node Wine knows already (driver recorded) is not asked for hardware or compatible IDs.
static unsigned CheckStartSequence(unsigned from, const char* what, bool known) {
  static const char* const first[] = {
      "control plug",
      "bus pnp QUERY_DEVICE_RELATIONS type 0",
      "usb pnp QUERY_ID type 0",
      "usb pnp QUERY_ID type 3",
      "usb pnp QUERY_CAPABILITIES",
      "usb pnp QUERY_ID type 1",
      "usb pnp QUERY_ID type 2",
      "usb urb GET_DESCRIPTOR type 1 bytes 18",
      "usb pnp START_DEVICE",
      "usb urb GET_DESCRIPTOR type 2 bytes 9",
      "usb urb GET_DESCRIPTOR type 2 bytes 32",
      "usb urb SELECT_CONFIGURATION -> 0x00000000",
      "usb urb SELECT_INTERFACE 2 -> 0x00000000",
      "usb pnp QUERY_DEVICE_RELATIONS type 0 -> 0x00000000",
  };
  const char* steps[sizeof first / sizeof first[0]];
  int count = 0;
  for (const char* step : first) {
    if (known && (strstr(step, "QUERY_ID type 1") || strstr(step, "QUERY_ID type 2"))) continue;
    steps[count++] = step;
  }
  unsigned next = Sequence(from, steps, count);
  char label[160];
  snprintf(label, sizeof label, "%s: IDs asked, AddDevice read the device descriptor, start configured, child relations asked", what);
  Check(next != 0, label);
  return next;
}

static unsigned CheckRemovalSequence(unsigned from, const char* what) {
  static const char* const steps[] = {
      "control unplug",
      "bus pnp QUERY_DEVICE_RELATIONS type 0",
      "usb pnp SURPRISE_REMOVAL -> 0x00000000",
      "usb pnp REMOVE_DEVICE -> 0x00000000",
  };
  unsigned next = Sequence(from, steps, sizeof steps / sizeof steps[0]);
  char label[160];
  snprintf(label, sizeof label, "%s: surprise removal then removal reached the USB device", what);
  Check(next != 0, label);
  return next;
}

// ---------------------------------------------------------------------------------------------
// The stream scenario through the real image: the stand-in client's commands and the mock bus.
// ---------------------------------------------------------------------------------------------
class WinePort : public e2e::Port {
 public:
  explicit WinePort(HANDLE stub) : stub_(stub) {}

  e2e::Answer Open() override { return Command(STUB_OPEN); }
  e2e::Answer Close() override { return Command(STUB_CLOSE); }
  e2e::Answer Write(const e2e::Bytes& bytes) override { return Command(STUB_WRITE, 0, 0, bytes); }
  e2e::Answer InternalOpen() override { return Command(STUB_INTERNAL, IOCTL_CLIENT_OPEN_CODE); }
  e2e::Answer InternalClose() override { return Command(STUB_INTERNAL, IOCTL_CLIENT_CLOSE_CODE); }
  e2e::Answer InternalWrite(const e2e::Bytes& bytes) override {
    return Command(STUB_INTERNAL, IOCTL_CLIENT_WRITE_CODE, 0, bytes);
  }
  e2e::Answer BeginRead(e2e::Reader reader, uint32_t capacity) override {
    return Command(STUB_BEGIN_READ, static_cast<ULONG>(reader), capacity);
  }
  e2e::Answer WaitRead(e2e::Reader reader, int ms) override {
    e2e::Answer a;
    for (int waited = 0;; waited += 10) {
      a = Command(STUB_READ_RESULT, static_cast<ULONG>(reader));
      if (!a.sent || a.status != e2e::kPending || waited >= ms) return a;
      Sleep(10);
    }
  }
  e2e::Answer CancelRead(e2e::Reader reader) override { return Command(STUB_CANCEL_READ, static_cast<ULONG>(reader)); }
  e2e::Answer GetDirect(int32_t lengthAdjust) override {
    e2e::Answer a = Command(STUB_GET_DIRECT, static_cast<ULONG>(lengthAdjust));
#if defined(_WIN64)
    Check(recordSize_ == 40, "the client's direct-call record is the natural 40 bytes");
#else
    Check(recordSize_ == 24, "the client's direct-call record is 24 bytes on the 32-bit kernel");
#endif
    return a;
  }
  e2e::Answer DirectWrite(const e2e::Bytes& bytes) override { return Command(STUB_DIRECT_WRITE, 0, 0, bytes); }
  e2e::Answer DirectControl(uint32_t stop) override { return Command(STUB_DIRECT_CONTROL, stop); }
  e2e::Answer DirectBalance(uint32_t calls) override { return Command(STUB_DIRECT_BALANCE, 0, calls); }
  uint32_t Outstanding() override { return Command(STUB_STATE).value; }
  std::vector<std::string> ClientNotes() override {
    e2e::Answer a = Command(STUB_STATE);
    std::vector<std::string> notes;
    std::string line;
    for (uint8_t c : a.data) {
      if (c != '\n') {
        line += static_cast<char>(c);
      } else {
        notes.push_back(line);
        line.clear();
      }
    }
    return notes;
  }

  std::vector<e2e::Bytes> Wire() override {
    static UCHAR out[MOCK_OUT_TRANSFERS * MOCK_TRANSFER_BYTES];
    DWORD n = 0;
    if (!Control(IOCTL_MOCK_READ_OUT, NULL, 0, out, sizeof out, &n)) n = 0;
    std::vector<e2e::Bytes> wire;
    for (DWORD at = 0; at + MOCK_TRANSFER_BYTES <= n; at += MOCK_TRANSFER_BYTES) {
      wire.emplace_back(out + at, out + at + MOCK_TRANSFER_BYTES);
    }
    return wire;
  }
  bool PushIn(const e2e::Bytes& transfer) override {
    return Control(IOCTL_MOCK_PUSH_IN, transfer.data(), static_cast<DWORD>(transfer.size()), NULL, 0, NULL);
  }
  bool WaitInTaken(size_t delivered, int ms) override {
    // The stream keeps two reads on the pipe: both back means the last completion has run.
    return WaitFor([&] { MOCK_STATE s = State(); return s.InDelivered >= delivered && s.PendingIn == 2; },
                   static_cast<DWORD>(ms));
  }
  void HoldOut(bool hold) override {
    ULONG on = hold ? 1 : 0;
    Check(Control(IOCTL_MOCK_HOLD_OUT, &on, sizeof on, NULL, 0, NULL), hold ? "mock bus holds OUT transfers" : "mock bus releases OUT transfers");
  }
  bool Unplug() override {
    unsigned mark = LastSequence();
    bool ok = ::Unplug();
    if (ok) CheckRemovalSequence(mark, "second unplug");
    return ok;
  }
  size_t HeldByDevice() override {
    MOCK_STATE s = State();
    return s.PendingIn + s.HeldOut;
  }

 private:
  // The public header's codes need the kernel's types; the program takes the numbers.
  static constexpr ULONG IOCTL_CLIENT_OPEN_CODE = 0x0022240F;
  static constexpr ULONG IOCTL_CLIENT_CLOSE_CODE = 0x00222413;
  static constexpr ULONG IOCTL_CLIENT_WRITE_CODE = 0x0022241B;

  e2e::Answer Command(ULONG op, ULONG code = 0, ULONG capacity = 0, const e2e::Bytes& data = {}) {
    static STUB_COMMAND command;
    static STUB_REPLY reply;
    memset(&command, 0, sizeof command);
    memset(&reply, 0, sizeof reply);
    command.Op = op;
    command.Code = code;
    command.Capacity = capacity;
    command.Length = static_cast<ULONG>(data.size());
    if (!data.empty()) memcpy(command.Data, data.data(), data.size());
    DWORD n = 0;
    e2e::Answer a;
    if (!DeviceIoControl(stub_, IOCTL_STUB_COMMAND, &command, sizeof command, &reply, sizeof reply, &n, NULL) ||
        n < sizeof reply) {
      printf("  stand-in client command %lu: error %lu\n", op, GetLastError());
      a.sent = false;
      a.returned = a.status = 0xFFFFFFFF;
      return a;
    }
    a.returned = static_cast<uint32_t>(reply.Returned);
    a.status = static_cast<uint32_t>(reply.Status);
    a.information = reply.Information;
    a.value = reply.Value;
    a.stackDelta = reply.StackDelta;
    a.data.assign(reply.Data, reply.Data + (reply.Length < STUB_DATA_BYTES ? reply.Length : STUB_DATA_BYTES));
    if (op == STUB_GET_DIRECT) recordSize_ = reply.RecordSize;
    return a;
  }

  HANDLE stub_;
  ULONG recordSize_ = 0;
};

static void StreamOverWine(const wchar_t* transcriptPath) {
  HANDLE stub = INVALID_HANDLE_VALUE;
  bool opened = WaitFor(
      [&] {
        stub = CreateFileA(STUB_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        return stub != INVALID_HANDLE_VALUE;
      },
      10000);
  Check(opened, "stand-in client control device opened");
  if (!opened) {
    Unplug();
    return;
  }
  FILE* transcript = _wfopen(transcriptPath, L"wb");
  Check(transcript != NULL, "transcript file opened");
  WinePort port(stub);
  e2e::Transcript out;
  out.line = [&](const std::string& text) {
    printf("transcript: %s\n", text.c_str());
    if (transcript != NULL) fprintf(transcript, "%s\n", text.c_str());
  };
  out.check = [](bool ok, const std::string& what) { Check(ok, what.c_str()); };
  e2e::RunStream(port, out);
  if (transcript != NULL) fclose(transcript);
  CloseHandle(stub);
}

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc < 3) {
    printf("usage: e2e_test.exe MOCK_INF TRANSCRIPT\n");
    return 2;
  }
  Check(InstallRootBus(argv[1]), "mock bus installed as ROOT\\USBMIDIMOCK\\0000");
  bool opened = WaitFor(
      [] {
        control = CreateFileA(MOCK_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        return control != INVALID_HANDLE_VALUE;
      },
      10000);
  Check(opened, "mock bus control device opened");
  if (!opened) return 1;

  Check(RegisterNode(Child1) && RegisterNode(Child3), "children's device nodes registered, no driver");

  // First plug: Wine installs usbmidi from its INF and enumerates the child, recording its IDs.
  // It installs nothing on the child (usbmidi answers no compatible IDs, which Wine 8 refuses).
  unsigned mark = LastSequence();
  if (Plug(0x0001)) {
    Check(WaitFor([] { return HasHardwareIds(Child1); }, 15000), "child of product 0x0001 enumerated");
    mark = CheckStartSequence(mark, "first plug", false);
    CheckNode(Child1, Child1Ids, sizeof Child1Ids / sizeof(wchar_t), "product 0x0001");
    static const wchar_t usbIds[] = L"USB\\VID_0A7E&PID_0001&REV_0100\0USB\\VID_0A7E&PID_0001\0";
    CheckNode(L"USB\\VID_0A7E&PID_0001\\MOCK0001", usbIds, sizeof usbIds / sizeof(wchar_t), "mock USB device");
    Check(State().Started == 1 && State().Configured == 1, "USB device started and configured");
    Check(!WineStarted(Child1), "Wine did not start the child without a driver for it");
    Check(BindClient(Child1), "stand-in client bound to the child's node");
  }
  mark = LastSequence();
  if (Unplug()) mark = CheckRemovalSequence(mark, "first unplug");

  // Replug: a new AddDevice and start; the child's node is known now, so Wine loads the client.
  mark = LastSequence();
  if (Plug(0x0001)) {
    Check(WaitFor([] { return WineStarted(Child1); }, 15000), "replug: Wine started the child under the client");
    mark = CheckStartSequence(mark, "replug", true);
    CheckNode(Child1, Child1Ids, sizeof Child1Ids / sizeof(wchar_t), "replugged product 0x0001");
    MOCK_STATE s = State();
    Check(s.DeviceDescriptorReads == 2 && s.Starts == 2, "two AddDevice calls and two starts over two plugs");
    // The scenario ends with the second unplug.
    StreamOverWine(argv[2]);
  }

  // The second product: its own child identity.
  mark = LastSequence();
  if (Plug(0x0003)) {
    Check(WaitFor([] { return HasHardwareIds(Child3); }, 15000), "child of product 0x0003 enumerated");
    mark = CheckStartSequence(mark, "product 0x0003", false);
    CheckNode(Child3, Child3Ids, sizeof Child3Ids / sizeof(wchar_t), "product 0x0003");
  }
  mark = LastSequence();
  if (Unplug()) CheckRemovalSequence(mark, "third unplug");

  printf("--- mock bus record\n%s---\n", Log());
  CloseHandle(control);
  printf("%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
