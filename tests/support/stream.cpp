#include "support/stream.h"

#include <algorithm>

void StreamTest::SetUp() { DriverTest::SetUp(); }

void StreamTest::TearDown() {
  if (pdo_ != nullptr) Remove();
  ep_.reset();
  pnp_.reset();
  DriverTest::TearDown();
}

tb::UsbMidiDevice StreamTest::WithIdleState() {
  return tb::UsbMidiDevice::Product(0x0001).WithIdleState();
}

void StreamTest::Plug(int completers, const tb::UsbMidiDevice& device) {
  pnp_ = std::make_unique<tb::PnpManager>(driver_);
  pnp_->onPlug = onPlug_;
  pdo_ = pnp_->Plug(device);
  ASSERT_NE(pdo_, nullptr);
  ASSERT_EQ(pnp_->Start(pdo_), STATUS_SUCCESS);
  bus_ = pnp_->Bus(pdo_);
  ep_ = std::make_unique<tb::MidiEndpoints>(*bus_, completers);
  fdo_ = tb::TopOfStack(pdo_);
  ext_ = FdoExt(fdo_);
  ASSERT_EQ(ext_->Signature, FDO_SIGNATURE);
  ASSERT_TRUE(IsReady(fdo_));
  std::vector<PDEVICE_OBJECT> children = pnp_->QueryBusRelations(pdo_);
  ASSERT_EQ(children.size(), 1u);
  child_ = children[0];
  // A client closes what it opened before its device goes.
  pnp_->beforeChildRemove = [this](PDEVICE_OBJECT) { CloseAll(); };
}

ChildOpen* StreamTest::Open() {
  opens_.push_back(OpenChild(child_));
  EXPECT_EQ(opens_.back()->status, STATUS_SUCCESS);
  // An open handle: the PnP manager removes the child only once it is closed.
  if (opens_.back()->status == STATUS_SUCCESS) pnp_->OpenHandle(child_);
  return opens_.back().get();
}

void StreamTest::Close(ChildOpen* open) {
  auto it = std::find_if(opens_.begin(), opens_.end(), [open](auto& o) { return o.get() == open; });
  ASSERT_NE(it, opens_.end());
  bool counted = open->status == STATUS_SUCCESS;
  EXPECT_EQ(CloseChild(child_, *open), STATUS_SUCCESS);
  opens_.erase(it);
  if (counted) pnp_->CloseHandle(child_);
}

void StreamTest::CloseAll() {
  while (!opens_.empty()) Close(opens_.back().get());
}

void StreamTest::Remove() {
  CloseAll();
  ep_.reset();  // the endpoints' threads end before the bus goes away with the device
  pnp_->Remove(pdo_);
  pdo_ = nullptr;
}
