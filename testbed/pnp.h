// The Plug and Play manager: adds devices through the driver's AddDevice, starts, stops and
// removes them in the platform's order, enumerates the child from bus relations, and records
// every request it sent with the answer it got.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "testbed.h"
#include "usb/usb_bus.h"

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
  bool added = false;
  bool started = false;
  bool removed = false;
  bool held = false;                 // the manager holds a reference on pdo (children)
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
  int openHandles = 0;
};

class PnpManager {
 public:
  explicit PnpManager(PDRIVER_OBJECT driver, ULONG driverPoolTag = 0x206D6457);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // A new USB device on its own bus; AddDevice is called for it. The bus stays owned here.
  PDEVICE_OBJECT Plug(const UsbMidiDevice& device, NTSTATUS* addStatus = nullptr);
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
  // The device is gone: surprise removal to the subtree, then removal (children first).
  void SurpriseRemove(PDEVICE_OBJECT pdo);
  // Orderly removal: query-remove of the subtree, then remove, children before their parent.
  NTSTATUS Remove(PDEVICE_OBJECT pdo);
  // Remove without a query first (the subtree still children first).
  void RemoveNow(PDEVICE_OBJECT pdo);

  // Any PnP request to the top of pdo's stack, IoStatus preset to STATUS_NOT_SUPPORTED.
  Result Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr,
              const std::string& label = "");

  const PnpNode* Node(PDEVICE_OBJECT pdo);
  std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT pdo);

  // Handles the client holds on a child; removal of a child waits for them to be closed.
  void OpenHandle(PDEVICE_OBJECT child);
  void CloseHandle(PDEVICE_OBJECT child);
  // Called before a child's removal so that the client can close its handles.
  std::function<void(PDEVICE_OBJECT child)> beforeChildRemove;

  std::vector<PnpLogEntry> Log();
  std::string PrintLog();
  void ClearLog();

 private:
  PnpNode* Find(PDEVICE_OBJECT pdo);
  PnpNode* NewNode(PDEVICE_OBJECT pdo, const std::string& name, PnpNode* parent);
  void Record(PnpNode* node, const std::string& request, NTSTATUS status, const std::string& answer);
  void SurpriseSubtree(PnpNode* node);
  void RemoveSubtree(PnpNode* node);
  void RemoveOne(PnpNode* node);
  void CheckAfterRemoval(PnpNode* node, PDEVICE_OBJECT formerTop);

  PDRIVER_OBJECT driver_;
  ULONG tag_;
  std::mutex lock_;
  std::vector<std::unique_ptr<PnpNode>> nodes_;
  std::vector<std::unique_ptr<UsbBus>> buses_;
  std::vector<PnpLogEntry> log_;
  unsigned units_ = 0;
};

const char* PnpMinorName(UCHAR minor);

}  // namespace tb
