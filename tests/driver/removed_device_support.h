// Devices the driver has deleted that requests can still reach: a driver above that holds a
// reference on a device object keeps the object (and its extension) after IoDeleteDevice,
// and whatever it sends there arrives at this driver in state Deleted. Both are reached as
// Windows reaches them: a port disabled and ejected while its adapter stays, and a second
// adapter removed in order while the first keeps the driver loaded.
#pragma once

#include <memory>
#include <vector>

#include "command_test_support.h"

namespace removed_test {

class RemovedDeviceTest : public command_test::CommandChannelTest {
 protected:
  void TearDown() override {
    Guarded([&] {
      if (!referenced_.empty())
        h().RunTask("release references", [&] {
          for (PDEVICE_OBJECT device : referenced_) ObDereferenceObject(device);
        });
    });
    referenced_.clear();
    second_.reset();
    CommandChannelTest::TearDown();
  }

  // Port `number` of the plugged adapter, taken away for good with a reference held.
  PortExtension* EjectedPort(int number) {
    PortExtension* p = port(number);
    Reference(p->Self);
    EXPECT_EQ(fixture().DisableAndEjectPort(number), STATUS_SUCCESS);
    EXPECT_EQ(port(number), nullptr) << "the adapter still has the port";
    EXPECT_EQ(p->DevicePnpState, ULONG(Deleted));
    return p;
  }

  struct Removed {
    AdapterExtension* adapter = nullptr;
    PortExtension* port = nullptr;  // its port 1
  };
  // A second adapter plugged in and removed, with references held on it and its port 1.
  Removed RemovedAdapter() {
    second_ = std::make_unique<harness::AdapterFixture>(h());
    second_->Start();
    Removed removed{second_->adapter(), second_->port(1)};
    Reference(removed.adapter->Self);
    Reference(removed.port->Self);
    second_->StopAndRemove();
    EXPECT_EQ(second_->adapter(), nullptr) << "the second adapter was not removed";
    EXPECT_EQ(removed.adapter->DevicePnpState, ULONG(Deleted));
    EXPECT_EQ(removed.port->DevicePnpState, ULONG(Deleted));
    EXPECT_TRUE(h().loaded()) << "the first adapter keeps the driver loaded";
    return removed;
  }

 private:
  void Reference(PDEVICE_OBJECT device) {
    h().RunTask("reference", [&] { ObReferenceObject(device); });
    referenced_.push_back(device);
  }

  std::vector<PDEVICE_OBJECT> referenced_;
  std::unique_ptr<harness::AdapterFixture> second_;
};

}  // namespace removed_test
