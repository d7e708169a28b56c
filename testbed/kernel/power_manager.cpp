// The power manager's whole-system transitions: the requests, their order through the device
// tree, the cancel of a refused query, and the waits with the hang limit.
//
// System state   Entered by                          Left by
// S0             creation, Wake, a refused query     Sleep (every query agreed)
// S1-S4          Sleep                               Wake
// S5             Sleep(PowerSystemShutdown)          (final: no request wakes a shut-down system)
#include "power_manager.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "kernel/internal.h"

namespace tb {

const char* PowerActionName(POWER_ACTION action) {
  switch (action) {
    case PowerActionNone: return "None";
    case PowerActionReserved: return "Reserved";
    case PowerActionSleep: return "Sleep";
    case PowerActionHibernate: return "Hibernate";
    case PowerActionShutdown: return "Shutdown";
    case PowerActionShutdownReset: return "ShutdownReset";
    case PowerActionShutdownOff: return "ShutdownOff";
    case PowerActionWarmEject: return "WarmEject";
  }
  return "?";
}

namespace {
std::string StatusText(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
  return text;
}

std::string RequestText(UCHAR minor, SYSTEM_POWER_STATE state) {
  return std::string(minor == IRP_MN_QUERY_POWER ? "QUERY_POWER" : "SET_POWER") + " S" +
         std::to_string(static_cast<int>(state) - 1);
}

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What the sender learns when the request comes back to the top of the stack.
struct Outcome {
  std::mutex lock;
  std::condition_variable done;
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;
  std::chrono::steady_clock::time_point at;
};
}  // namespace

PowerManager::PowerManager(PnpManager& pnp) : pnp_(pnp), created_(std::chrono::steady_clock::now()) {
  worker_ = std::thread([this] { WorkerLoop(); });
}

PowerManager::~PowerManager() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void PowerManager::WorkerLoop() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job* job = jobs_.front();
    lock.unlock();
    PowerTransition result;
    {
      IrqlScope passive(PASSIVE_LEVEL);
      result = job->run();
    }
    lock.lock();
    jobs_.pop_front();
    job->result = std::move(result);
    changed_.notify_all();
  }
}

PowerTransition PowerManager::Run(std::function<PowerTransition()> run) {
  Job job{std::move(run), std::nullopt};
  std::unique_lock<std::mutex> lock(lock_);
  jobs_.push_back(&job);
  changed_.notify_all();
  changed_.wait(lock, [&] { return job.result.has_value(); });
  return std::move(*job.result);
}

PowerTransition PowerManager::Sleep(SYSTEM_POWER_STATE state, std::optional<POWER_ACTION> action) {
  if (state < PowerSystemSleeping1 || state > PowerSystemShutdown) {
    Report(Rule::Unimplemented, "PowerManager::Sleep", "S" + std::to_string(static_cast<int>(state) - 1),
           "not a sleeping, hibernate or shutdown state; the return to S0 is Wake");
    PowerTransition refused;
    refused.target = state;
    refused.action = PowerActionNone;
    refused.status = STATUS_INVALID_PARAMETER;
    return refused;
  }
  POWER_ACTION sent = action.value_or(state == PowerSystemHibernate  ? PowerActionHibernate
                                      : state == PowerSystemShutdown ? PowerActionShutdownOff
                                                                     : PowerActionSleep);
  return Run([this, state, sent] { return DoSleep(state, sent); });
}

PowerTransition PowerManager::Wake() {
  return Run([this] { return DoWake(); });
}

SYSTEM_POWER_STATE PowerManager::SystemState() {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

std::vector<PnpManager::TreeEntry> PowerManager::Started(bool down) {
  std::vector<PnpManager::TreeEntry> out;
  for (auto& e : pnp_.Tree()) {
    if (e.started) out.push_back(e);
  }
  // The tree lists every parent before its children; reversed, every child comes first.
  if (down) std::reverse(out.begin(), out.end());
  return out;
}

PowerTransition PowerManager::DoSleep(SYSTEM_POWER_STATE state, POWER_ACTION action) {
  PowerTransition t;
  t.target = state;
  t.action = action;
  if (SystemState() != PowerSystemWorking) {
    t.status = STATUS_INVALID_DEVICE_STATE;
    return t;
  }
  std::vector<PnpManager::TreeEntry> down = Started(true);
  std::vector<PnpManager::TreeEntry> agreed;
  for (auto& d : down) {
    PowerStep step = Send(d, IRP_MN_QUERY_POWER, state, action);
    t.steps.push_back(step);
    if (step.end == PowerStep::End::Completed && NT_SUCCESS(step.status)) {
      agreed.push_back(d);
      continue;
    }
    t.status = step.status;
    t.refusedBy = d.name;
    break;
  }
  if (!t.refusedBy.empty()) {
    // Cancelled: the devices that prepared for the state are told the system stays where it is.
    for (auto it = agreed.rbegin(); it != agreed.rend(); ++it) {
      t.steps.push_back(Send(*it, IRP_MN_SET_POWER, PowerSystemWorking, action));
    }
    return t;
  }
  for (auto& d : down) t.steps.push_back(Send(d, IRP_MN_SET_POWER, state, action));
  std::lock_guard<std::mutex> guard(lock_);
  state_ = state;
  t.entered = true;
  return t;
}

PowerTransition PowerManager::DoWake() {
  PowerTransition t;
  t.target = PowerSystemWorking;
  t.action = PowerActionSleep;
  SYSTEM_POWER_STATE from = SystemState();
  if (from == PowerSystemWorking || from == PowerSystemShutdown) {
    t.status = STATUS_INVALID_DEVICE_STATE;
    return t;
  }
  for (auto& d : Started(false)) t.steps.push_back(Send(d, IRP_MN_SET_POWER, PowerSystemWorking, t.action));
  std::lock_guard<std::mutex> guard(lock_);
  state_ = PowerSystemWorking;
  t.entered = true;
  return t;
}

PowerStep PowerManager::Send(const PnpManager::TreeEntry& device, UCHAR minor, SYSTEM_POWER_STATE state,
                             POWER_ACTION action) {
  PowerStep step{device.name, device.pdo, minor, state, action, STATUS_PENDING, STATUS_PENDING,
                 PowerStep::End::NotCompleted, std::chrono::steady_clock::now(), {}};
  // As the platform does, the top of the stack is referenced while the request is out.
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device.pdo);
  auto outcome = std::make_shared<Outcome>();
  PIRP irp = AllocateSystemIrp(top->StackSize, [outcome](PIRP done) {
    std::lock_guard<std::mutex> guard(outcome->lock);
    outcome->status = done->IoStatus.Status;
    outcome->completed = true;
    outcome->at = std::chrono::steady_clock::now();
    outcome->done.notify_all();
  });
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_POWER;
  s->MinorFunction = minor;
  s->Parameters.Power.Type = SystemPowerState;
  s->Parameters.Power.State.SystemState = state;
  s->Parameters.Power.ShutdownType = action;
  PDRIVER_DISPATCH routine = top->DriverObject->MajorFunction[IRP_MJ_POWER];
  step.returned = PoCallDriver(top, irp);

  std::unique_lock<std::mutex> lock(outcome->lock);
  if (step.returned != STATUS_PENDING && !outcome->completed) {
    Report(Rule::RequestNotHandled, SymbolName(reinterpret_cast<const void*>(routine)), "IRP " + Hex(irp),
           "dispatch returned " + StatusText(step.returned) + " for " + RequestText(minor, state) +
               " without completing, passing down or pending it");
  }
  auto hangAt = step.sent + std::chrono::milliseconds(GetSettings().hangLimitMs);
  bool heldAtRemoval = false;
  // Completion wakes the wait at once; a deletion that strands the IRP is looked for now and then.
  while (!outcome->completed && !heldAtRemoval) {
    heldAtRemoval = SystemPowerIrpHeldAtRemoval(irp);
    if (heldAtRemoval || std::chrono::steady_clock::now() >= hangAt) break;
    outcome->done.wait_for(lock, std::chrono::milliseconds(2));
  }
  if (outcome->completed) {
    step.end = PowerStep::End::Completed;
    step.status = outcome->status;
    step.took = outcome->at - step.sent;
  } else {
    step.took = std::chrono::steady_clock::now() - step.sent;
    step.end = heldAtRemoval ? PowerStep::End::HeldAtRemoval : PowerStep::End::NotCompleted;
  }
  if (step.end == PowerStep::End::NotCompleted) {
    // Not completed, so not freed while the lock is held: its completion would take it first.
    PDEVICE_OBJECT holder = nullptr;
    {
      Unseen unseen;
      (void)unseen;
      if (irp->CurrentLocation <= irp->StackCount) holder = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    }
    const void* holding = reinterpret_cast<const void*>(routine);
    if (holder != nullptr && !IsDeviceFreed(holder) && holder->DriverObject != nullptr) {
      holding = reinterpret_cast<const void*>(holder->DriverObject->MajorFunction[IRP_MJ_POWER]);
    }
    Report(Rule::SystemPowerIrpNotCompleted, SymbolName(holding),
           "IRP " + Hex(irp) + " at device " + Hex(holder != nullptr ? holder : top),
           RequestText(minor, state) + " sent to " + device.name + " was not completed within the hang limit (" +
               std::to_string(GetSettings().hangLimitMs) +
               " ms): the power manager waits for each device before the next; the transition goes on without it");
  }
  lock.unlock();
  ObfDereferenceObject(top);
  std::lock_guard<std::mutex> guard(lock_);
  log_.push_back(step);
  return step;
}

std::vector<PowerStep> PowerManager::Log() {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

void PowerManager::ClearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  log_.clear();
}

std::string PowerManager::PrintLog() {
  std::ostringstream out;
  char line[64];
  for (const PowerStep& s : Log()) {
    std::snprintf(line, sizeof line, "%+9.1f ms  ", Ms(s.sent - created_));
    out << line << s.device << "  " << RequestText(s.minor, s.state) << " " << PowerActionName(s.action) << " -> ";
    switch (s.end) {
      case PowerStep::End::Completed:
        std::snprintf(line, sizeof line, " (%.1f ms)", Ms(s.took));
        out << StatusText(s.status) << line;
        break;
      case PowerStep::End::NotCompleted:
        out << "not completed";
        break;
      case PowerStep::End::HeldAtRemoval:
        out << "held by a deleted device";
        break;
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace tb
