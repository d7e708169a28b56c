// The PnP manager's sequences with the real driver: enumeration, removal order, the log.
#include "support/usb_fixture.h"

class PnpManagerTest : public UsbDriverTest {
 protected:
  size_t IndexOf(const std::string& device, const std::string& request) {
    auto log = pnp_->Log();
    for (size_t i = 0; i < log.size(); i++) {
      if (log[i].device == device && log[i].request == request) return i;
    }
    return SIZE_MAX;
  }
};

TEST_F(PnpManagerTest, EnumeratesTheChildAndLogsItsIdentity) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  auto children = pnp_->QueryBusRelations(pdo);
  ASSERT_EQ(children.size(), 1u);
  const tb::PnpNode* child = pnp_->Node(children[0]);
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(child->started);
  EXPECT_EQ(tb::Narrow(child->deviceId), "USB\\{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}");
  ASSERT_EQ(child->hardwareIds.size(), 1u);
  EXPECT_EQ(child->hardwareIds[0], child->deviceId);
  EXPECT_EQ(tb::Narrow(child->instanceId), "{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}");
  EXPECT_EQ(tb::Narrow(child->text), "TARVEL Manifold USB");
  EXPECT_TRUE(child->identityPaged);
  std::string printed = pnp_->PrintLog();
  EXPECT_NE(printed.find("QUERY_ID InstanceID -> 0x00000000  {0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}||"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("QUERY_DEVICE_TEXT Description -> 0x00000000  TARVEL Manifold USB"), std::string::npos);
  EXPECT_EQ(PdoExt(children[0])->Flags, static_cast<ULONG>(PDO_STARTED));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, ChildrenAreRemovedBeforeTheirParent) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  pnp_->QueryBusRelations(pdo);
  pnp_->ClearLog();
  ASSERT_EQ(pnp_->Remove(pdo), STATUS_SUCCESS);
  size_t childQuery = IndexOf("child of usb#1", "QUERY_REMOVE_DEVICE");
  size_t parentQuery = IndexOf("usb#1", "QUERY_REMOVE_DEVICE");
  size_t childRemove = IndexOf("child of usb#1", "REMOVE_DEVICE");
  size_t parentRemove = IndexOf("usb#1", "REMOVE_DEVICE");
  EXPECT_LT(childQuery, parentQuery);
  EXPECT_LT(parentQuery, childRemove);
  EXPECT_LT(childRemove, parentRemove);
  EXPECT_NE(parentRemove, SIZE_MAX);
}

TEST_F(PnpManagerTest, RemovalOfAChildWaitsForItsHandles) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  pnp_->OpenHandle(child);
  int calls = 0;
  pnp_->beforeChildRemove = [&](PDEVICE_OBJECT c) {
    calls++;
    EXPECT_EQ(c, child);
    pnp_->CloseHandle(c);
  };
  pnp_->Remove(pdo);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
}

TEST_F(PnpManagerTest, AChildMissingFromANewAnswerIsRemoved) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  ext_->ChildCount = 0;  // the parent no longer reports it
  EXPECT_TRUE(pnp_->QueryBusRelations(pdo).empty());
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
  EXPECT_LT(IndexOf("child of usb#1", "SURPRISE_REMOVAL"), IndexOf("child of usb#1", "REMOVE_DEVICE"));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, StopAndRestartKeepsTheDeviceUsable) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  EXPECT_EQ(pnp_->StopAndRestart(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(IsReady(fdo_));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, TwoProductsLiveSideBySide) {
  PDEVICE_OBJECT one = PlugAndStart(tb::UsbMidiDevice::Product(0x0001));
  PDEVICE_OBJECT duet = PlugAndStart(tb::UsbMidiDevice::Product(0x0003));
  PDEVICE_OBJECT c1 = pnp_->QueryBusRelations(one)[0];
  PDEVICE_OBJECT c3 = pnp_->QueryBusRelations(duet)[0];
  EXPECT_EQ(tb::Narrow(pnp_->Node(c3)->text), "TARVEL DUET");
  EXPECT_NE(pnp_->Node(c1)->instanceId, pnp_->Node(c3)->instanceId);
  pnp_->Remove(one);
  pnp_->Remove(duet);
}
