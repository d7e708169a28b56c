// The Plug and Play manager: device addition, the start/stop/remove sequences in the platform's
// order, bus relations and the child's enumeration, the worker that does what the platform does
// later on its own, and the checks that go with them.
//
// A device node, as the manager moves it:
//
// State          Flags           Entered by                               Left by
// Reported       none            Plug, a relations answer                 AddDevice or enumeration, removal
// Started        started         START_DEVICE succeeded                   stop, removal
// Surprised      surprised       SURPRISE_REMOVAL (the device is gone)    REMOVE_DEVICE
// RemovePending  removalPending  a removal decided                        its handles closed, its children removed
// Disabled       disabled        REMOVE_DEVICE, the device still present  Enable, a second removal
// Gone           removed         REMOVE_DEVICE of a device that left      (final)
//
// An orderly removal never waits: a handle still open once the queries are answered vetoes it.
// Every other removal waits for the handles, and a parent for its children, in RemovePending.
#include "pnp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>

#include "kernel/internal.h"

namespace tb {

const char* PnpMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_DEVICE_RELATIONS";
    case IRP_MN_QUERY_INTERFACE: return "QUERY_INTERFACE";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_DEVICE_TEXT: return "QUERY_DEVICE_TEXT";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "QUERY_PNP_DEVICE_STATE";
    case IRP_MN_QUERY_BUS_INFORMATION: return "QUERY_BUS_INFORMATION";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "PNP_MINOR";
  }
}

namespace {
std::string HexStatus(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
  return text;
}

// Units of a zero-terminated string, and of a multi-string up to and including its closing zero;
// a block that ends before its terminators is measured to its end only.
size_t BlockUnits(const void* block, bool multi) {
  ULONG tag;
  POOL_TYPE type;
  size_t limit = ~size_t(0);
  for (auto& b : OutstandingPool()) {
    if (b.address == block) limit = b.size / sizeof(WCHAR);
  }
  (void)tag;
  (void)type;
  auto* s = static_cast<const char16_t*>(block);
  size_t n = 0;
  if (!multi) {
    while (n < limit && s[n] != 0) n++;
    return n < limit ? n + 1 : n;
  }
  if (limit != 0 && s[0] == 0) return 1;
  for (;;) {
    while (n < limit && s[n] != 0) n++;
    if (n >= limit) return n;
    n++;
    if (n >= limit) return n;
    if (s[n] == 0) return n + 1;
  }
}

std::vector<uint8_t> Bytes(const void* block, size_t units) {
  auto* p = static_cast<const uint8_t*>(block);
  return std::vector<uint8_t>(p, p + units * sizeof(WCHAR));
}

using Operation = std::lock_guard<std::recursive_mutex>;

// The manager IoInvalidateDeviceRelations reaches.
std::mutex gManagerLock;
PnpManager* gManager = nullptr;
}  // namespace

PnpManager::PnpManager(PDRIVER_OBJECT driver, ULONG driverPoolTag) : driver_(driver), tag_(driverPoolTag) {
  worker_ = std::thread([this] { WorkerLoop(); });
  {
    std::lock_guard<std::mutex> guard(gManagerLock);
    gManager = this;
  }
  SetInvalidateRelationsHook(&PnpManager::RouteInvalidation);
  SetOpenHandlesHook(&PnpManager::RouteHandles);
}

PnpManager::~PnpManager() {
  {
    std::lock_guard<std::mutex> guard(gManagerLock);
    if (gManager == this) gManager = nullptr;
  }
  std::deque<Work> left;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    stopping_ = true;
    left.swap(queue_);
  }
  queueChanged_.notify_all();
  worker_.join();
  for (Work& w : left) {
    if (w.device != nullptr) ObfDereferenceObject(w.device);
  }
  // The references the manager still holds on children it never removed go with it.
  for (auto& n : nodes_) {
    if (n->held) ObfDereferenceObject(n->pdo);
    n->held = false;
  }
  buses_.clear();
}

PnpNode* PnpManager::FindLocked(PDEVICE_OBJECT pdo) {
  for (auto& n : nodes_) {
    if (n->pdo == pdo && !n->removed) return n.get();
  }
  return nullptr;
}

PnpNode* PnpManager::Find(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  return FindLocked(pdo);
}

const PnpNode* PnpManager::Node(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it) {
    if ((*it)->pdo == pdo) return it->get();
  }
  return nullptr;
}

PnpNode* PnpManager::NewNode(PDEVICE_OBJECT pdo, const std::string& name, PnpNode* parent) {
  auto node = std::make_unique<PnpNode>();
  node->pdo = pdo;
  node->name = name;
  node->parent = parent;
  PnpNode* raw = node.get();
  std::lock_guard<std::mutex> guard(lock_);
  nodes_.push_back(std::move(node));
  if (parent != nullptr) parent->children.push_back(raw);
  return raw;
}

std::vector<PDEVICE_OBJECT> PnpManager::Children(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> out;
  PnpNode* node = Find(pdo);
  if (node == nullptr) return out;
  std::lock_guard<std::mutex> guard(lock_);
  for (auto* c : node->children) {
    if (!c->removed) out.push_back(c->pdo);
  }
  return out;
}

std::vector<PnpManager::TreeEntry> PnpManager::Tree() {
  Operation op(operation_);  // `started` is written under the operation alone
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<TreeEntry> out;
  std::function<void(PnpNode*)> walk = [&](PnpNode* n) {
    out.push_back(TreeEntry{n->pdo, n->parent != nullptr ? n->parent->pdo : nullptr, n->name, n->started});
    for (auto* c : n->children) {
      if (!c->removed) walk(c);
    }
  };
  for (auto& n : nodes_) {
    if (n->parent == nullptr && !n->removed) walk(n.get());
  }
  return out;
}

void PnpManager::Record(PnpNode* node, const std::string& request, NTSTATUS status, const std::string& answer) {
  std::lock_guard<std::mutex> guard(lock_);
  log_.push_back(PnpLogEntry{node ? node->name : "?", request, status, answer});
}

std::vector<PnpLogEntry> PnpManager::Log() {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

void PnpManager::ClearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  log_.clear();
}

std::string PnpManager::PrintLog() {
  std::ostringstream out;
  for (auto& e : Log()) {
    out << e.device << "  " << e.request << " -> " << HexStatus(e.status);
    if (!e.answer.empty()) out << "  " << e.answer;
    out << "\n";
  }
  return out.str();
}

PDEVICE_OBJECT PnpManager::Plug(const UsbMidiDevice& device, NTSTATUS* addStatus) {
  Operation op(operation_);
  auto bus = std::make_unique<UsbBus>(device);
  PDEVICE_OBJECT pdo = bus->Pdo();
  if (onPlug) onPlug(*bus);
  {
    std::lock_guard<std::mutex> guard(lock_);
    buses_.push_back(std::move(bus));
  }
  NTSTATUS status = AddDevice(pdo);
  if (addStatus != nullptr) *addStatus = status;
  return pdo;
}

UsbBus* PnpManager::Bus(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& b : buses_) {
    if (b->Pdo() == pdo) return b.get();
  }
  return nullptr;
}

NTSTATUS PnpManager::AddDevice(PDEVICE_OBJECT pdo, const std::string& name) {
  Operation op(operation_);
  std::string label = name;
  if (label.empty()) {
    std::lock_guard<std::mutex> guard(lock_);
    label = "usb#" + std::to_string(++units_);
  }
  PnpNode* node = NewNode(pdo, label, nullptr);
  NTSTATUS status = CallAddDevice(node);
  if (!NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> guard(lock_);
    node->removed = true;
  }
  return status;
}

NTSTATUS PnpManager::CallAddDevice(PnpNode* node) {
  PDRIVER_ADD_DEVICE add = driver_->DriverExtension->AddDevice;
  NTSTATUS status;
  {
    IrqlScope passive(PASSIVE_LEVEL);
    status = RunDriverRoutine(reinterpret_cast<const void*>(add), "AddDevice", [&] { return add(driver_, node->pdo); });
  }
  Record(node, "AddDevice", status, "");
  if (!NT_SUCCESS(status)) return status;
  node->added = true;
  PDEVICE_OBJECT top = TopOfStack(node->pdo);
  if (top != node->pdo && (top->Flags & DO_DEVICE_INITIALIZING)) {
    Report(Rule::DeviceInitializingLeftSet, SymbolName(reinterpret_cast<const void*>(add)), Hex(top),
           "AddDevice returned with DO_DEVICE_INITIALIZING still set on the new device");
  }
  return status;
}

void PnpManager::LoadChildDriver(PDRIVER_OBJECT driver) {
  Operation op(operation_);
  childDriver_ = driver;
}

// As for a device of its own bus, the child's driver must leave its device initialised.
NTSTATUS PnpManager::CallChildAddDevice(PnpNode* node) {
  PDRIVER_ADD_DEVICE add = childDriver_->DriverExtension->AddDevice;
  NTSTATUS status;
  {
    IrqlScope passive(PASSIVE_LEVEL);
    status = RunDriverRoutine(reinterpret_cast<const void*>(add), "AddDevice",
                              [&] { return add(childDriver_, node->pdo); });
  }
  Record(node, "AddDevice (child driver)", status, "");
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT top = TopOfStack(node->pdo);
  if (top != node->pdo && (top->Flags & DO_DEVICE_INITIALIZING)) {
    Report(Rule::DeviceInitializingLeftSet, SymbolName(reinterpret_cast<const void*>(add)), Hex(top),
           "AddDevice returned with DO_DEVICE_INITIALIZING still set on the new device");
  }
  return status;
}

Result PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                        const std::string& label) {
  Operation op(operation_);
  (void)label;
  IrqlScope passive(PASSIVE_LEVEL);
  // As the platform does, the top of the stack is referenced while the request is out.
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = AllocateSystemIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (fill) fill(next);
  Result r = SendAndWait(top, irp);
  // Freed by the I/O manager once completed; a request the driver dropped stays with it.
  ObfDereferenceObject(top);
  return r;
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  Result r = Send(pdo, IRP_MN_START_DEVICE);
  Record(node, "START_DEVICE", r.status, "");
  if (node != nullptr) node->started = NT_SUCCESS(r.status);
  return r.status;
}

std::vector<PDEVICE_OBJECT> PnpManager::QueryBusRelations(PDEVICE_OBJECT pdo, bool enumerate) {
  Operation op(operation_);
  return QueryRelationsOf(pdo, Find(pdo), enumerate);
}

std::vector<PDEVICE_OBJECT> PnpManager::QueryRelationsOf(PDEVICE_OBJECT pdo, PnpNode* node, bool enumerate) {
  Result r = Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
  std::vector<PDEVICE_OBJECT> listed;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
  if (NT_SUCCESS(r.status) && relations != nullptr) {
    for (ULONG i = 0; i < relations->Count; i++) listed.push_back(relations->Objects[i]);
    SystemFreePool(relations);
  }
  std::string answer = "count " + std::to_string(listed.size());
  Record(node, "QUERY_DEVICE_RELATIONS BusRelations", r.status, answer);
  if (node == nullptr) {
    for (PDEVICE_OBJECT d : listed) ObfDereferenceObject(d);
    return listed;
  }

  std::vector<PnpNode*> fresh;
  for (PDEVICE_OBJECT d : listed) {
    if (Find(d) != nullptr) continue;
    PnpNode* child = NewNode(d, "child of " + node->name, node);
    ObfReferenceObject(d);  // the manager's own hold on a device it knows
    child->held = true;
    if (d->Flags & DO_DEVICE_INITIALIZING) {
      Report(Rule::DeviceInitializingLeftSet, SymbolName(reinterpret_cast<const void*>(d->DriverObject->MajorFunction[IRP_MJ_PNP])),
             Hex(d), "a device reported in bus relations still has DO_DEVICE_INITIALIZING set");
    }
    // A reported child is a physical device object like any other; until its IDs are known its
    // instance path is a provisional one.
    {
      std::lock_guard<std::mutex> guard(lock_);
      child->instancePath = u"PROVISIONAL\\CHILD\\" + Widen(std::to_string(++provisional_));
    }
    MarkPhysicalDevice(d, child->instancePath);
    fresh.push_back(child);
  }
  // Each answered object carried one reference for the manager to drop. The manager's own hold
  // keeps every device it knows alive: nothing left means the answer carried none.
  for (PDEVICE_OBJECT d : listed) {
    if (ObfDereferenceObject(d) <= 0) {
      Report(Rule::ReferenceUnbalanced, "bus relations of " + node->name, Hex(d),
             "the answer carried no reference for the manager to drop");
    }
  }
  // A known child missing from the answer is gone: as the platform does, its whole subtree is
  // surprise-removed if it ran, then removed, children first.
  std::vector<PnpNode*> missing;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto* c : node->children) {
      if (!c->removed && std::find(listed.begin(), listed.end(), c->pdo) == listed.end()) missing.push_back(c);
    }
  }
  // A disabled one gets its second REMOVE_DEVICE, on which its bus driver deletes it.
  for (auto* c : missing) {
    if (c->removalPending) {
      for (auto* n : Subtree(c)) n->leaving = true;
    } else {
      if (c->started) SurpriseSubtree(c);
      BeginRemoval(c, true, true);
    }
  }
  RunRemovals();
  if (enumerate) {
    for (auto* c : fresh) {
      if (!c->removed && !c->removalPending) EnumerateNode(c);
    }
  }
  return listed;
}

NTSTATUS PnpManager::EnumerateChild(PDEVICE_OBJECT child) {
  Operation op(operation_);
  PnpNode* node = Find(child);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  return EnumerateNode(node);
}

NTSTATUS PnpManager::EnumerateNode(PnpNode* node) {
  PDEVICE_OBJECT child = node->pdo;
  auto takeBlock = [&](const Result& r, bool multi, std::vector<uint8_t>* bytes) -> std::u16string {
    if (!NT_SUCCESS(r.status) || r.information == 0) return {};
    void* block = reinterpret_cast<void*>(r.information);
    POOL_TYPE type = NonPagedPool;
    IsPoolBlock(block, &type, nullptr);
    if ((type & 1) == 0) node->identityPaged = false;
    size_t units = BlockUnits(block, multi);
    *bytes = Bytes(block, units);
    std::u16string text(static_cast<const char16_t*>(block), units);
    SystemFreePool(block);
    return text;
  };
  auto queryId = [&](BUS_QUERY_ID_TYPE type, const char* label, std::vector<uint8_t>* bytes) {
    Result r = Send(child, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    std::u16string text = takeBlock(r, true, bytes);
    std::string shown;
    for (char16_t c : text) shown += c == 0 ? '|' : static_cast<char>(c < 128 ? c : '?');
    Record(node, std::string("QUERY_ID ") + label, r.status, shown);
    return text;
  };
  std::vector<uint8_t> ignored;
  std::u16string deviceId = queryId(BusQueryDeviceID, "DeviceID", &node->deviceIdBytes);
  node->deviceId = deviceId.substr(0, deviceId.find(u'\0'));
  std::u16string hardware = queryId(BusQueryHardwareIDs, "HardwareIDs", &node->hardwareIdBytes);
  node->hardwareIds.clear();
  for (size_t at = 0; at < hardware.size() && hardware[at] != 0;) {
    size_t end = hardware.find(u'\0', at);
    if (end == std::u16string::npos) end = hardware.size();
    node->hardwareIds.push_back(hardware.substr(at, end - at));
    at = end + 1;
  }
  queryId(BusQueryCompatibleIDs, "CompatibleIDs", &ignored);
  std::u16string instance = queryId(BusQueryInstanceID, "InstanceID", &node->instanceIdBytes);
  node->instanceId = instance.substr(0, instance.find(u'\0'));
  // The platform names the device node after its device ID and instance ID.
  if (!node->deviceId.empty()) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      node->instancePath = node->deviceId + u"\\" + node->instanceId;
    }
    MarkPhysicalDevice(child, node->instancePath);
  }

  Result t = Send(child, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    s->Parameters.QueryDeviceText.LocaleId = 0x409;
  });
  std::u16string text = takeBlock(t, false, &node->textBytes);
  node->text = text.substr(0, text.find(u'\0'));
  Record(node, "QUERY_DEVICE_TEXT Description", t.status, Narrow(node->text));

  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  Result c = Send(child, IRP_MN_QUERY_CAPABILITIES,
                  [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  node->capabilities = caps;
  ULONG flags;
  std::memcpy(&flags, reinterpret_cast<const char*>(&caps) + offsetof(DEVICE_CAPABILITIES, Address) - sizeof(ULONG),
              sizeof flags);
  char flagText[32];
  std::snprintf(flagText, sizeof flagText, "flags 0x%08X", flags);
  Record(node, "QUERY_CAPABILITIES", c.status, flagText);
  if (childDriver_ != nullptr) {
    NTSTATUS added = CallChildAddDevice(node);
    if (!NT_SUCCESS(added)) return added;
  }
  return Start(child);
}

NTSTATUS PnpManager::QueryStop(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  Result r = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
  Record(Find(pdo), "QUERY_STOP_DEVICE", r.status, "");
  return r.status;
}

NTSTATUS PnpManager::CancelStop(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  Result r = Send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
  Record(Find(pdo), "CANCEL_STOP_DEVICE", r.status, "");
  return r.status;
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  Result r = Send(pdo, IRP_MN_STOP_DEVICE);
  Record(node, "STOP_DEVICE", r.status, "");
  if (node != nullptr && NT_SUCCESS(r.status)) node->started = false;
  return r.status;
}

NTSTATUS PnpManager::StopAndRestart(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  NTSTATUS status = QueryStop(pdo);
  if (!NT_SUCCESS(status)) {
    CancelStop(pdo);
    return status;
  }
  status = Stop(pdo);
  if (!NT_SUCCESS(status)) return status;
  return Start(pdo);
}

NTSTATUS PnpManager::QueryRemove(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  Result r = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  Record(Find(pdo), "QUERY_REMOVE_DEVICE", r.status, "");
  return r.status;
}

NTSTATUS PnpManager::CancelRemove(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  Result r = Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
  Record(Find(pdo), "CANCEL_REMOVE_DEVICE", r.status, "");
  return r.status;
}

std::vector<PnpNode*> PnpManager::Subtree(PnpNode* node) {
  std::vector<PnpNode*> out;
  std::function<void(PnpNode*)> walk = [&](PnpNode* n) {
    for (auto* c : n->children) {
      if (!c->removed) walk(c);
    }
    out.push_back(n);
  };
  std::lock_guard<std::mutex> guard(lock_);
  walk(node);
  return out;
}

int PnpManager::Handles(PnpNode* node) {
  std::lock_guard<std::mutex> guard(lock_);
  return node->openHandles;
}

void PnpManager::SurpriseSubtree(PnpNode* node) {
  if (node->surprised || node->disabled) return;  // a disabled device has no drivers running to tell
  std::vector<PnpNode*> children;
  {
    std::lock_guard<std::mutex> guard(lock_);
    children = node->children;
  }
  for (auto* c : children) {
    if (!c->removed) SurpriseSubtree(c);
  }
  Result r = Send(node->pdo, IRP_MN_SURPRISE_REMOVAL);
  Record(node, "SURPRISE_REMOVAL", r.status, "");
  node->started = false;
  node->surprised = true;
}

void PnpManager::SurpriseRemove(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  if (node == nullptr) return;
  if (node->removalPending) {
    for (auto* n : Subtree(node)) n->leaving = true;
    return;
  }
  SurpriseSubtree(node);
  BeginRemoval(node, true, true);
  RunRemovals();
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  return RemoveOrderly(node, false);
}

NTSTATUS PnpManager::Disable(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (node->disabled) return STATUS_SUCCESS;
  return RemoveOrderly(node, true);
}

NTSTATUS PnpManager::Enable(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!node->disabled) return STATUS_INVALID_DEVICE_STATE;
  {
    std::lock_guard<std::mutex> guard(lock_);
    node->disabled = false;
  }
  // The function driver left with the removal: it is added again before the start.
  if (node->parent == nullptr || childDriver_ != nullptr) {
    NTSTATUS status = node->parent == nullptr ? CallAddDevice(node) : CallChildAddDevice(node);
    if (!NT_SUCCESS(status)) {
      std::lock_guard<std::mutex> guard(lock_);
      node->disabled = true;
      return status;
    }
  }
  return Start(pdo);
}

// A disabled device in the subtree is asked and removed again, as the platform does: its bus
// driver deletes it on the second REMOVE_DEVICE if it no longer reports it.
NTSTATUS PnpManager::RemoveOrderly(PnpNode* node, bool disable) {
  if (node->removalPending) {
    if (!disable) {
      for (auto* n : Subtree(node)) n->leaving = true;
    }
    return STATUS_SUCCESS;
  }
  std::vector<PnpNode*> subtree = Subtree(node);  // children first
  auto asking = [](PnpNode* n) { return !n->removalPending; };
  // Whoever holds handles hears of the removal before anything is asked, and may close them.
  if (beforeChildRemove) {
    for (auto* n : subtree) {
      if (n->parent != nullptr && asking(n)) beforeChildRemove(n->pdo);
    }
  }
  // Children are asked first; a refusal anywhere cancels the query for those already asked.
  std::vector<PnpNode*> asked;
  NTSTATUS status = STATUS_SUCCESS;
  for (auto* n : subtree) {
    if (!asking(n)) continue;
    status = QueryRemove(n->pdo);
    // The one that refused is told of the cancel too: drivers above it may have said yes.
    asked.push_back(n);
    if (!NT_SUCCESS(status)) break;
  }
  // The platform counts open handles once the queries are answered: one left vetoes the removal.
  if (NT_SUCCESS(status)) {
    for (auto* n : subtree) {
      int open = asking(n) ? Handles(n) : 0;
      if (open != 0) {
        Record(n, "QUERY_REMOVE_DEVICE vetoed", STATUS_PLUGPLAY_QUERY_VETOED,
               std::to_string(open) + " handle(s) open");
        status = STATUS_PLUGPLAY_QUERY_VETOED;
        break;
      }
    }
  }
  if (!NT_SUCCESS(status)) {
    for (auto* n : asked) CancelRemove(n->pdo);
    return status;
  }
  BeginRemoval(node, node->parent == nullptr && !disable, false);
  RunRemovals();
  return STATUS_SUCCESS;
}

void PnpManager::RemoveNow(PDEVICE_OBJECT pdo) {
  Operation op(operation_);
  PnpNode* node = Find(pdo);
  if (node == nullptr) return;
  if (node->removalPending) return;
  BeginRemoval(node, node->parent == nullptr, true);
  RunRemovals();
}

void PnpManager::BeginRemoval(PnpNode* node, bool leaving, bool notify) {
  std::vector<PnpNode*> subtree = Subtree(node);
  if (notify && beforeChildRemove) {
    for (auto* n : subtree) {
      if (n->parent != nullptr && !n->removalPending) beforeChildRemove(n->pdo);
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  for (auto* n : subtree) {
    // What a removed device enumerated leaves with it.
    n->leaving = n == node ? (leaving || n->leaving) : true;
    n->removalPending = true;
  }
}

bool PnpManager::ReadyForRemoval(PnpNode* node) {
  if (!node->removalPending || node->openHandles != 0) return false;
  for (auto* c : node->children) {
    if (!c->removed) return false;
  }
  return true;
}

void PnpManager::RunRemovals() {
  for (;;) {
    PnpNode* next = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      // Children first: the first ready node of a walk that visits children before their parent.
      std::function<bool(PnpNode*)> pick = [&](PnpNode* n) {
        for (auto* c : n->children) {
          if (!c->removed && pick(c)) return true;
        }
        if (!ReadyForRemoval(n)) return false;
        next = n;
        return true;
      };
      for (auto& n : nodes_) {
        if (n->parent == nullptr && !n->removed && pick(n.get())) break;
      }
    }
    if (next == nullptr) break;
    RemoveOne(next);
  }
  std::vector<std::pair<PnpNode*, int>> waiting;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& n : nodes_) {
      if (n->removalPending && n->openHandles != 0 && !n->deferralLogged) {
        n->deferralLogged = true;
        waiting.emplace_back(n.get(), n->openHandles);
      }
    }
  }
  for (auto& [n, open] : waiting) {
    Record(n, "REMOVE_DEVICE deferred", STATUS_PENDING, std::to_string(open) + " handle(s) still open");
  }
}

void PnpManager::RemoveOne(PnpNode* node) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    node->removalPending = false;
    node->deferralLogged = false;
  }
  Result r = Send(node->pdo, IRP_MN_REMOVE_DEVICE);
  Record(node, "REMOVE_DEVICE", r.status, "");
  // The function device's references are not checked here: it may keep its own deleted device
  // referenced while a transfer it could not take back is still out; that must be gone by unload.
  // Whether the physical device went is asked of the test bed, not read from the device.
  bool deleted = IsDeviceDeleted(node->pdo);
  std::vector<PnpNode*> orphans;
  {
    std::lock_guard<std::mutex> guard(lock_);
    node->started = false;
    node->added = false;
    node->surprised = false;
    for (auto* c : node->children) {
      if (!c->removed) orphans.push_back(c);
    }
  }
  // Every child was removed first; one the manager somehow kept cannot outlive its parent.
  for (auto* c : orphans) Retire(c);
  if (deleted || node->leaving) {
    Retire(node);
  } else {
    std::lock_guard<std::mutex> guard(lock_);
    node->disabled = true;
  }
  CheckPoolAfter(node);
}

void PnpManager::Retire(PnpNode* node) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    node->removed = true;
    node->disabled = false;
    node->removalPending = false;
    node->started = false;
  }
  ReleaseHold(node);
}

void PnpManager::ReleaseHold(PnpNode* node) {
  if (!node->held) return;
  node->held = false;
  bool deleted = IsDeviceDeleted(node->pdo);
  LONG_PTR left;
  LONG_PTR queued = 0;
  {
    // The worker's queue holds references of its own; they are counted in the same breath.
    std::lock_guard<std::mutex> guard(queueLock_);
    left = ObfDereferenceObject(node->pdo);
    for (auto& w : queue_) {
      if (w.device == node->pdo) queued++;
    }
    if (inFlight_ == node->pdo) queued++;
  }
  if (deleted && left != queued) {
    Report(Rule::ReferenceUnbalanced, "removal of " + node->name, Hex(node->pdo),
           "deleted with " + std::to_string(left - queued) + " reference(s) nobody gave back");
  }
}

void PnpManager::CheckPoolAfter(PnpNode* node) {
  if (node->parent != nullptr) return;
  // The whole device node is gone: with no other device of the driver left, nothing of its pool
  // may remain.
  bool others = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& n : nodes_) {
      if (n.get() != node && !n->removed && n->added) others = true;
    }
  }
  if (!others && !DriverHoldsDeletedDevices(driver_)) {
    CheckPoolLeaks("removal of " + node->name, tag_);
    CheckIrpLeaks("removal of " + node->name);
  }
}

void PnpManager::OpenHandle(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(lock_);
  PnpNode* node = FindLocked(device);
  if (node != nullptr) node->openHandles++;
}

void PnpManager::CloseHandle(PDEVICE_OBJECT device) {
  bool resume = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    PnpNode* node = FindLocked(device);
    if (node != nullptr && node->openHandles > 0) {
      node->openHandles--;
      resume = node->openHandles == 0 && node->removalPending;
    }
  }
  // A removal that waited for this close goes on later, on the manager's own thread.
  if (resume) Enqueue(Work{nullptr});
}

void PnpManager::RouteHandles(PDEVICE_OBJECT bottom, int delta) {
  std::lock_guard<std::mutex> guard(gManagerLock);
  if (gManager == nullptr) return;
  if (delta > 0) {
    gManager->OpenHandle(bottom);
  } else {
    gManager->CloseHandle(bottom);
  }
}

void PnpManager::RouteInvalidation(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
  std::lock_guard<std::mutex> guard(gManagerLock);
  if (gManager != nullptr) gManager->Invalidate(device, type);
}

void PnpManager::Invalidate(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
  if (Find(device) == nullptr) {
    Report(Rule::ObjectUnknown, "IoInvalidateDeviceRelations", Hex(device),
           "not a physical device object the PnP manager enumerated");
    return;
  }
  // The other relations are gathered when the platform needs them (an eject, a removal).
  if (type != BusRelations) return;
  Enqueue(Work{device});
}

void PnpManager::Enqueue(Work work) {
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (stopping_) return;
    if (work.device != nullptr) ObfReferenceObject(work.device);  // held until the work is done
    queue_.push_back(work);
  }
  queueChanged_.notify_all();
}

void PnpManager::WorkerLoop() {
  std::unique_lock<std::mutex> lock(queueLock_);
  for (;;) {
    queueChanged_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Work work = queue_.front();
    queue_.pop_front();
    working_ = true;
    inFlight_ = work.device;
    lock.unlock();
    {
      Operation op(operation_);
      if (work.device == nullptr) {
        RunRemovals();
      } else {
        // A device that stopped or is leaving meanwhile has nothing to enumerate.
        PnpNode* node = Find(work.device);
        if (node != nullptr && node->started && !node->removalPending) QueryRelationsOf(work.device, node, true);
      }
    }
    lock.lock();
    if (work.device != nullptr) ObfDereferenceObject(work.device);
    working_ = false;
    inFlight_ = nullptr;
    queueChanged_.notify_all();
  }
}

bool PnpManager::WaitIdle() {
  std::unique_lock<std::mutex> lock(queueLock_);
  bool idle = queueChanged_.wait_for(lock, std::chrono::milliseconds(GetSettings().hangLimitMs),
                                     [&] { return queue_.empty() && !working_; });
  lock.unlock();
  if (!idle) {
    Report(Rule::WaitNeverSatisfied, "PnpManager::WaitIdle", "",
           "the PnP manager's worker did not become idle within the hang limit");
  }
  return idle;
}

}  // namespace tb
