// The Plug and Play manager: device addition, the start/stop/remove sequences in the platform's
// order, bus relations and the child's enumeration, and the checks that go with them.
#include "pnp.h"

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
}  // namespace

PnpManager::PnpManager(PDRIVER_OBJECT driver, ULONG driverPoolTag) : driver_(driver), tag_(driverPoolTag) {}

PnpManager::~PnpManager() {
  // The references the manager still holds on children it never removed go with it.
  for (auto& n : nodes_) {
    if (n->held && !n->removed) ObfDereferenceObject(n->pdo);
  }
  buses_.clear();
}

PnpNode* PnpManager::Find(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& n : nodes_) {
    if (n->pdo == pdo && !n->removed) return n.get();
  }
  return nullptr;
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
  auto bus = std::make_unique<UsbBus>(device);
  PDEVICE_OBJECT pdo = bus->Pdo();
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
  std::string label = name;
  if (label.empty()) {
    std::lock_guard<std::mutex> guard(lock_);
    label = "usb#" + std::to_string(++units_);
  }
  PnpNode* node = NewNode(pdo, label, nullptr);
  PDRIVER_ADD_DEVICE add = driver_->DriverExtension->AddDevice;
  NTSTATUS status;
  {
    IrqlScope passive(PASSIVE_LEVEL);
    status = RunDriverRoutine(reinterpret_cast<const void*>(add), "AddDevice", [&] { return add(driver_, pdo); });
  }
  Record(node, "AddDevice", status, "");
  if (!NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> guard(lock_);
    node->removed = true;
    return status;
  }
  node->added = true;
  PDEVICE_OBJECT top = TopOfStack(pdo);
  if (top != pdo && (top->Flags & DO_DEVICE_INITIALIZING)) {
    Report(Rule::DeviceInitializingLeftSet, SymbolName(reinterpret_cast<const void*>(add)), Hex(top),
           "AddDevice returned with DO_DEVICE_INITIALIZING still set on the new device");
  }
  return status;
}

Result PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                        const std::string& label) {
  IrqlScope passive(PASSIVE_LEVEL);
  PDEVICE_OBJECT top = TopOfStack(pdo);
  PIRP irp = AllocateSystemIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (fill) fill(next);
  Result r = SendAndWait(top, irp);
  // Freed by the I/O manager once completed; a request the driver dropped stays with it.
  (void)label;
  return r;
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT pdo) {
  PnpNode* node = Find(pdo);
  Result r = Send(pdo, IRP_MN_START_DEVICE);
  Record(node, "START_DEVICE", r.status, "");
  if (node != nullptr) node->started = NT_SUCCESS(r.status);
  return r.status;
}

std::vector<PDEVICE_OBJECT> PnpManager::QueryBusRelations(PDEVICE_OBJECT pdo, bool enumerate) {
  PnpNode* node = Find(pdo);
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
    PnpNode* child = Find(d);
    if (child == nullptr) {
      child = NewNode(d, "child of " + node->name, node);
      ObfReferenceObject(d);  // the manager's own hold on a device it knows
      child->held = true;
      fresh.push_back(child);
    }
  }
  // Each answered object carried one reference for the manager to drop; what is left is the
  // manager's own hold.
  for (PDEVICE_OBJECT d : listed) {
    ObfDereferenceObject(d);
    long held = ObjectReferences(d);
    if (held != 1) {
      Report(Rule::ReferenceUnbalanced, "bus relations of " + node->name, Hex(d),
             "after the manager dropped the answer's reference the device holds " + std::to_string(held) +
                 " references, expected the manager's 1");
    }
  }
  // A known child missing from the answer is gone.
  std::vector<PnpNode*> missing;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto* c : node->children) {
      if (!c->removed && std::find(listed.begin(), listed.end(), c->pdo) == listed.end()) missing.push_back(c);
    }
  }
  // As the platform does: the whole subtree of a vanished child is surprise-removed if it ran,
  // then removed, children first.
  for (auto* c : missing) {
    if (c->started) SurpriseSubtree(c);
    RemoveSubtree(c);
  }
  if (enumerate) {
    for (auto* c : fresh) EnumerateChild(c->pdo);
  }
  return listed;
}

NTSTATUS PnpManager::EnumerateChild(PDEVICE_OBJECT child) {
  PnpNode* node = Find(child);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
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
  return Start(child);
}

NTSTATUS PnpManager::QueryStop(PDEVICE_OBJECT pdo) {
  Result r = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
  Record(Find(pdo), "QUERY_STOP_DEVICE", r.status, "");
  return r.status;
}

NTSTATUS PnpManager::CancelStop(PDEVICE_OBJECT pdo) {
  Result r = Send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
  Record(Find(pdo), "CANCEL_STOP_DEVICE", r.status, "");
  return r.status;
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT pdo) {
  PnpNode* node = Find(pdo);
  Result r = Send(pdo, IRP_MN_STOP_DEVICE);
  Record(node, "STOP_DEVICE", r.status, "");
  if (node != nullptr && NT_SUCCESS(r.status)) node->started = false;
  return r.status;
}

NTSTATUS PnpManager::StopAndRestart(PDEVICE_OBJECT pdo) {
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
  Result r = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  Record(Find(pdo), "QUERY_REMOVE_DEVICE", r.status, "");
  return r.status;
}

NTSTATUS PnpManager::CancelRemove(PDEVICE_OBJECT pdo) {
  Result r = Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
  Record(Find(pdo), "CANCEL_REMOVE_DEVICE", r.status, "");
  return r.status;
}

void PnpManager::SurpriseSubtree(PnpNode* node) {
  for (auto* c : node->children) {
    if (!c->removed) SurpriseSubtree(c);
  }
  Result r = Send(node->pdo, IRP_MN_SURPRISE_REMOVAL);
  Record(node, "SURPRISE_REMOVAL", r.status, "");
  node->started = false;
}

void PnpManager::SurpriseRemove(PDEVICE_OBJECT pdo) {
  PnpNode* node = Find(pdo);
  if (node == nullptr) return;
  SurpriseSubtree(node);
  RemoveSubtree(node);
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo) {
  PnpNode* node = Find(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  // Children are asked first; a refusal anywhere cancels the query for those already asked.
  std::vector<PnpNode*> asked;
  std::function<NTSTATUS(PnpNode*)> query = [&](PnpNode* n) -> NTSTATUS {
    for (auto* c : n->children) {
      if (c->removed) continue;
      NTSTATUS s = query(c);
      if (!NT_SUCCESS(s)) return s;
    }
    // The one that refused is told of the cancel too: drivers above it may have said yes.
    NTSTATUS s = QueryRemove(n->pdo);
    asked.push_back(n);
    return s;
  };
  NTSTATUS status = query(node);
  if (!NT_SUCCESS(status)) {
    for (auto* n : asked) CancelRemove(n->pdo);
    return status;
  }
  RemoveSubtree(node);
  return STATUS_SUCCESS;
}

void PnpManager::RemoveNow(PDEVICE_OBJECT pdo) {
  PnpNode* node = Find(pdo);
  if (node != nullptr) RemoveSubtree(node);
}

void PnpManager::RemoveSubtree(PnpNode* node) {
  std::vector<PnpNode*> children;
  {
    std::lock_guard<std::mutex> guard(lock_);
    children = node->children;
  }
  for (auto* c : children) {
    if (!c->removed) RemoveSubtree(c);
  }
  RemoveOne(node);
}

void PnpManager::RemoveOne(PnpNode* node) {
  if (node->parent != nullptr) {
    if (beforeChildRemove) beforeChildRemove(node->pdo);
    if (node->openHandles != 0) {
      Record(node, "REMOVE_DEVICE deferred", STATUS_PENDING,
             std::to_string(node->openHandles) + " handle(s) still open");
      return;
    }
  }
  PDEVICE_OBJECT top = TopOfStack(node->pdo);
  Result r = Send(node->pdo, IRP_MN_REMOVE_DEVICE);
  Record(node, "REMOVE_DEVICE", r.status, "");
  {
    std::lock_guard<std::mutex> guard(lock_);
    node->removed = true;
    node->started = false;
  }
  CheckAfterRemoval(node, top);
}

void PnpManager::CheckAfterRemoval(PnpNode* node, PDEVICE_OBJECT formerTop) {
  if (node->held) {
    node->held = false;
    ObfDereferenceObject(node->pdo);
    if (IsDeviceDeleted(node->pdo) && ObjectReferences(node->pdo) != 0) {
      Report(Rule::ReferenceUnbalanced, "removal of " + node->name, Hex(node->pdo),
             "deleted with " + std::to_string(ObjectReferences(node->pdo)) + " reference(s) nobody gave back");
    }
  }
  // A function device may keep its own deleted device referenced while a transfer it could not
  // take back is still out; that memory, and what it holds, must be gone by unload.
  (void)formerTop;
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

void PnpManager::OpenHandle(PDEVICE_OBJECT child) {
  PnpNode* node = Find(child);
  if (node != nullptr) node->openHandles++;
}

void PnpManager::CloseHandle(PDEVICE_OBJECT child) {
  PnpNode* node = Find(child);
  if (node != nullptr && node->openHandles > 0) node->openHandles--;
}

}  // namespace tb
