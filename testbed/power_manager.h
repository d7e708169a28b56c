// The power manager's whole-system transitions, driven through the PnP manager's device tree as
// the platform drives them.
//
// Going to sleep (S1, S2, S3), hibernating (S4) or shutting down (S5): IRP_MN_QUERY_POWER for the
// state to the top of every started device's stack, children before their parents; when every
// device agreed, IRP_MN_SET_POWER for it in the same order. A device that refuses the query
// cancels the transition: those that had agreed get IRP_MN_SET_POWER for the working state, which
// reaffirms it, parents before children. Waking: IRP_MN_SET_POWER for S0 to every device, parents
// before children; there is no query and nothing to wake from a shutdown.
//
// Every request is sent from the manager's own thread at PASSIVE_LEVEL with PoCallDriver,
// IoStatus preset to STATUS_NOT_SUPPORTED, and waited for before the next: a device's parent may
// depend on it. One that does not complete within the hang limit is reported and the transition
// goes on without it; one still pending at a device that its driver deletes is reported by the
// verifier and no longer waited for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pnp.h"
#include "testbed.h"

namespace tb {

struct PowerStep {
  enum class End {
    Completed,      // came back to the power manager
    NotCompleted,   // still out when the hang limit ran out
    HeldAtRemoval,  // pending at a device its driver deleted
  };
  std::string device;  // the PnP manager's name for the device ("usb#1", "child of usb#1")
  PDEVICE_OBJECT pdo;
  UCHAR minor;         // IRP_MN_QUERY_POWER or IRP_MN_SET_POWER
  SYSTEM_POWER_STATE state;
  POWER_ACTION action;  // ShutdownType as sent
  NTSTATUS returned;    // what the top driver's dispatch routine returned
  NTSTATUS status;      // IoStatus.Status at completion; STATUS_PENDING when it never came back
  End end;
  std::chrono::steady_clock::time_point sent;
  std::chrono::steady_clock::duration took;  // until completion, or until the wait ended
};

struct PowerTransition {
  SYSTEM_POWER_STATE target;
  POWER_ACTION action;
  bool entered = false;  // the system is now in `target`
  NTSTATUS status = STATUS_SUCCESS;  // the refusal that cancelled it, or why nothing was sent
  std::string refusedBy;             // the device that refused the query
  std::vector<PowerStep> steps;      // this transition's requests, in the order sent
};

class PowerManager {
 public:
  explicit PowerManager(PnpManager& pnp);
  ~PowerManager();
  PowerManager(const PowerManager&) = delete;
  PowerManager& operator=(const PowerManager&) = delete;

  // From the working state to S1-S5. `action` is the ShutdownType sent; by default the one the
  // platform sends for the state: PowerActionSleep for S1-S3, PowerActionHibernate for S4,
  // PowerActionShutdownOff for S5.
  PowerTransition Sleep(SYSTEM_POWER_STATE state, std::optional<POWER_ACTION> action = std::nullopt);
  // Back to S0 from a sleeping or hibernate state. The S0 request carries PowerActionSleep, as
  // the platform's does after either.
  PowerTransition Wake();
  SYSTEM_POWER_STATE SystemState();

  // Every request of every transition, kept until cleared.
  std::vector<PowerStep> Log();
  std::string PrintLog();
  void ClearLog();

 private:
  struct Job {
    std::function<PowerTransition()> run;
    std::optional<PowerTransition> result;
  };
  PowerTransition Run(std::function<PowerTransition()> run);
  PowerTransition DoSleep(SYSTEM_POWER_STATE state, POWER_ACTION action);
  PowerTransition DoWake();
  PowerStep Send(const PnpManager::TreeEntry& device, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action);
  // The started devices: `down` children before their parents, otherwise parents first.
  std::vector<PnpManager::TreeEntry> Started(bool down);
  void WorkerLoop();

  PnpManager& pnp_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job*> jobs_;
  bool stopping_ = false;
  SYSTEM_POWER_STATE state_ = PowerSystemWorking;
  std::vector<PowerStep> log_;
  std::chrono::steady_clock::time_point created_;
  std::thread worker_;
};

const char* PowerActionName(POWER_ACTION action);

}  // namespace tb
