// The Plug and Play manager: adds devices through the driver's AddDevice, starts, stops and
// removes them in the platform's order, enumerates the child from bus relations, and records
// every request it sent with the answer it got.
//
// Its operations are serialized, as the platform's device actions are: a call from a test runs
// on the caller's thread but never alongside another operation, and what the platform does
// later on its own (a query after IoInvalidateDeviceRelations, a removal that waited for the
// last handle to close) runs on the manager's worker thread. WaitIdle waits for that worker.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testbed.h"
#include "usb/usb_bus.h"

// What an orderly removal ends with when a handle is still open after the query.
#ifndef STATUS_PLUGPLAY_QUERY_VETOED
#define STATUS_PLUGPLAY_QUERY_VETOED ((NTSTATUS)0x80000028L)
#endif

namespace tb {

struct PnpLogEntry {
  std::string device;   // "usb#1", "child of usb#1"
  std::string request;  // "START_DEVICE", "QUERY_ID DeviceID" ...
  NTSTATUS status;
  std::string answer;   // the identity answered, a relations list, or empty
};

struct PnpNode {
  PDEVICE_OBJECT pdo = nullptr;
  std::string name;
  PnpNode* parent = nullptr;
  std::vector<PnpNode*> children;
  bool added = false;                // a function driver's AddDevice succeeded on it (top-level nodes)
  bool started = false;
  bool removed = false;              // gone for good: never sent another request
  bool disabled = false;             // removed while still present: may be started again
  bool surprised = false;            // SURPRISE_REMOVAL sent
  bool removalPending = false;       // removal decided; REMOVE_DEVICE waits for handles and children
  bool leaving = false;              // the device itself goes: gone once removed, not disabled
  bool deferralLogged = false;       // the wait for its handles is in the log
  bool held = false;                 // the manager holds a reference on pdo (children)
  std::u16string instancePath;       // given to the test bed for a child's interfaces
  std::u16string deviceId;           // as answered, without terminators
  std::vector<std::u16string> hardwareIds;
  std::u16string instanceId;
  std::u16string text;
  std::vector<uint8_t> deviceIdBytes;    // the answered blocks, byte for byte
  std::vector<uint8_t> hardwareIdBytes;
  std::vector<uint8_t> instanceIdBytes;
  std::vector<uint8_t> textBytes;
  bool identityPaged = true;         // every ID and text block came from paged pool
  DEVICE_CAPABILITIES capabilities{};
  int openHandles = 0;               // handles the client holds (OpenHandle, CloseHandle)
};

class PnpManager {
 public:
  // The newest manager is the one IoInvalidateDeviceRelations reaches.
  explicit PnpManager(PDRIVER_OBJECT driver, ULONG driverPoolTag = 0x206D6457);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // A new USB device on its own bus; AddDevice is called for it. The bus stays owned here.
  PDEVICE_OBJECT Plug(const UsbMidiDevice& device, NTSTATUS* addStatus = nullptr);
  // Called with each new bus before AddDevice, so that a tap sees the device's first URB.
  std::function<void(UsbBus& bus)> onPlug;
  UsbBus* Bus(PDEVICE_OBJECT pdo);

  // AddDevice for a physical device object; checks the new top device is initialised.
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo, const std::string& name = "");
  NTSTATUS Start(PDEVICE_OBJECT pdo);
  // Queries bus relations: new children are enumerated (identity, capabilities, start) when
  // `enumerate` is set; known children missing from the answer are removed.
  std::vector<PDEVICE_OBJECT> QueryBusRelations(PDEVICE_OBJECT pdo, bool enumerate = true);
  NTSTATUS EnumerateChild(PDEVICE_OBJECT child);
  NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
  NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
  NTSTATUS Stop(PDEVICE_OBJECT pdo);
  // Query-stop, stop, then start again.
  NTSTATUS StopAndRestart(PDEVICE_OBJECT pdo);
  NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
  NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
  // The device is gone: surprise removal to the subtree, then removal, children first, each
  // once its handles are closed.
  void SurpriseRemove(PDEVICE_OBJECT pdo);
  // Orderly removal: query-remove of the subtree, then remove, children before their parent.
  // A handle still open once the queries are answered vetoes it (STATUS_PLUGPLAY_QUERY_VETOED).
  NTSTATUS Remove(PDEVICE_OBJECT pdo);
  // Remove without a query first (the subtree still children first, after their handles).
  void RemoveNow(PDEVICE_OBJECT pdo);
  // Orderly removal of a device that stays present: a child its bus still reports, or a
  // top-level device whose bus keeps its physical device object. Enable starts it again
  // (AddDevice first where the function driver went with the removal).
  NTSTATUS Disable(PDEVICE_OBJECT pdo);
  NTSTATUS Enable(PDEVICE_OBJECT pdo);

  // Any PnP request to the top of pdo's stack, IoStatus preset to STATUS_NOT_SUPPORTED.
  Result Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr,
              const std::string& label = "");

  // Waits until the worker has nothing queued and nothing running; false (and a report) when it
  // does not get there within the hang limit.
  bool WaitIdle();

  // The newest record of pdo, kept after the device is gone.
  const PnpNode* Node(PDEVICE_OBJECT pdo);
  std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT pdo);
  // The present devices as one consistent view, each parent before its children (the power
  // manager walks the tree with it).
  struct TreeEntry {
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT parent;  // null at the top
    std::string name;
    bool started;
  };
  std::vector<TreeEntry> Tree();

  // Handles the client holds on a device; its removal waits for them to be closed, and the
  // last close lets a waiting removal go on (on the worker). Every file object opened on a
  // device's stack (OpenFile) counts here by itself, from its open until its close completed.
  void OpenHandle(PDEVICE_OBJECT device);
  void CloseHandle(PDEVICE_OBJECT device);

  // The driver the platform loads on every child it enumerates from now on, found by its
  // hardware ID: its AddDevice after the child's identity and capabilities are known, then the
  // START_DEVICE to the top of the child's stack; again on the Enable of a disabled child. A
  // child whose AddDevice fails is not started. Null: children run without one.
  void LoadChildDriver(PDRIVER_OBJECT driver);
  // Called for each child of a subtree being removed, so that the client can close its
  // handles: before the queries of an orderly removal, after the surprise removal otherwise.
  std::function<void(PDEVICE_OBJECT child)> beforeChildRemove;

  std::vector<PnpLogEntry> Log();
  std::string PrintLog();
  void ClearLog();

 private:
  struct Work {
    PDEVICE_OBJECT device;  // referenced while queued; null for "removals may go on"
  };
  static void RouteInvalidation(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type);
  static void RouteHandles(PDEVICE_OBJECT bottom, int delta);
  NTSTATUS CallChildAddDevice(PnpNode* node);

  PnpNode* Find(PDEVICE_OBJECT pdo);
  PnpNode* FindLocked(PDEVICE_OBJECT pdo);
  PnpNode* NewNode(PDEVICE_OBJECT pdo, const std::string& name, PnpNode* parent);
  void Record(PnpNode* node, const std::string& request, NTSTATUS status, const std::string& answer);
  NTSTATUS CallAddDevice(PnpNode* node);
  std::vector<PDEVICE_OBJECT> QueryRelationsOf(PDEVICE_OBJECT pdo, PnpNode* node, bool enumerate);
  NTSTATUS EnumerateNode(PnpNode* node);
  NTSTATUS RemoveOrderly(PnpNode* node, bool disable);
  std::vector<PnpNode*> Subtree(PnpNode* node);
  int Handles(PnpNode* node);
  void SurpriseSubtree(PnpNode* node);
  void BeginRemoval(PnpNode* node, bool leaving, bool notify);
  void RunRemovals();
  bool ReadyForRemoval(PnpNode* node);
  void RemoveOne(PnpNode* node);
  void Retire(PnpNode* node);
  void ReleaseHold(PnpNode* node);
  void CheckPoolAfter(PnpNode* node);
  void Invalidate(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type);
  void Enqueue(Work work);
  void WorkerLoop();

  PDRIVER_OBJECT driver_;
  ULONG tag_;
  PDRIVER_OBJECT childDriver_ = nullptr;  // loaded on the children (LoadChildDriver)
  std::recursive_mutex operation_;   // one operation at a time, the worker's included
  std::mutex lock_;                  // the records below
  std::vector<std::unique_ptr<PnpNode>> nodes_;
  std::vector<std::unique_ptr<UsbBus>> buses_;
  std::vector<PnpLogEntry> log_;
  unsigned units_ = 0;
  unsigned provisional_ = 0;
  std::mutex queueLock_;
  std::condition_variable queueChanged_;
  std::deque<Work> queue_;
  bool working_ = false;
  PDEVICE_OBJECT inFlight_ = nullptr;  // the device of the work being done
  bool stopping_ = false;
  std::thread worker_;
};

const char* PnpMinorName(UCHAR minor);

}  // namespace tb
