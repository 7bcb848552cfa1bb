// Untrusted descriptors, failing transfers and failing allocations during an adapter's
// start: each start fails cleanly with a clear status (or succeeds), the plug-and-play
// manager removes the failed stack and unloads the driver, and nothing stays behind (the
// unload's leak check) or is reported.
#include <cstring>

#include "bringup_test_support.h"
#include "simkernel/pool.h"

namespace bringup_test {
namespace {

using Bytes = std::vector<uint8_t>;
using Rewrite = std::function<Bytes(Bytes)>;

// A string descriptor of the given characters (or of a forced bLength).
Bytes StringDescriptor(const std::string& text, int forcedLength = -1) {
  Bytes d{uint8_t(forcedLength >= 0 ? forcedLength : 2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (char c : text) {
    d.push_back(uint8_t(c));
    d.push_back(0);
  }
  return d;
}

// The configuration cut after `endpoints` endpoint descriptors, its lengths made to agree.
Bytes KeepEndpoints(Bytes config, int endpoints) {
  const size_t cut = 9 + 9 + 7 * endpoints;
  config.resize(cut);
  config[2] = uint8_t(cut);
  config[3] = uint8_t(cut >> 8);
  config[9 + 4] = uint8_t(endpoints);
  return config;
}

struct DescriptorCase {
  const char* name;
  uint8_t type;  // which descriptor is rewritten
  Rewrite rewrite;
  NTSTATUS expected;
};

class AdapterStartFaults : public BringUpTest {
 protected:
  // The driver's blocks, its copy of the registry path included (it is unloaded by then).
  size_t DriverBlocks() {
    size_t count = 0;
    for (const auto& block : sim::pool::Outstanding())
      if (sim::pool::TagToString(block.tag).rfind("BR", 0) == 0) ++count;
    return count;
  }
};

TEST_F(AdapterStartFaults, MalformedDescriptorsFailTheStartCleanly) {
  const DescriptorCase cases[] = {
      {"device descriptor one byte short", USB_DEVICE_DESCRIPTOR_TYPE, [](Bytes d) { d.resize(17); return d; },
       STATUS_DEVICE_DATA_ERROR},
      {"device descriptor of the wrong type", USB_DEVICE_DESCRIPTOR_TYPE, [](Bytes d) { d[1] = 5; return d; },
       STATUS_DEVICE_DATA_ERROR},
      {"device descriptor with bLength 9", USB_DEVICE_DESCRIPTOR_TYPE, [](Bytes d) { d[0] = 9; return d; },
       STATUS_DEVICE_DATA_ERROR},
      {"configuration claiming more than comes back", USB_CONFIGURATION_DESCRIPTOR_TYPE,
       [](Bytes d) { d[2] = 200; return d; }, STATUS_DEVICE_DATA_ERROR},
      {"configuration shorter than its header", USB_CONFIGURATION_DESCRIPTOR_TYPE,
       [](Bytes d) { d.resize(6); return d; }, STATUS_DEVICE_DATA_ERROR},
      {"a descriptor of length 0 inside", USB_CONFIGURATION_DESCRIPTOR_TYPE, [](Bytes d) { d[9 + 9] = 0; return d; },
       STATUS_DEVICE_DATA_ERROR},
      {"the last descriptor running past the end", USB_CONFIGURATION_DESCRIPTOR_TYPE,
       [](Bytes d) { d[d.size() - 7] = 20; return d; }, STATUS_DEVICE_DATA_ERROR},
      {"an interface descriptor of 5 bytes", USB_CONFIGURATION_DESCRIPTOR_TYPE, [](Bytes d) { d[9] = 5; return d; },
       STATUS_DEVICE_DATA_ERROR},
      {"no interface at all", USB_CONFIGURATION_DESCRIPTOR_TYPE,
       [](Bytes d) { d.resize(9); d[2] = 9; d[3] = 0; d[4] = 0; return d; }, STATUS_UNSUCCESSFUL},
      {"eight pipes instead of ten", USB_CONFIGURATION_DESCRIPTOR_TYPE, [](Bytes d) { return KeepEndpoints(d, 8); },
       STATUS_DEVICE_DATA_ERROR},
      {"the response pipe pointing out", USB_CONFIGURATION_DESCRIPTOR_TYPE,
       [](Bytes d) { d[9 + 9 + 7 * 8 + 2] = 0x08; return d; }, STATUS_DEVICE_DATA_ERROR},
      {"a data pipe of interrupt type", USB_CONFIGURATION_DESCRIPTOR_TYPE,
       [](Bytes d) { d[9 + 9 + 3] = 3; return d; }, STATUS_DEVICE_DATA_ERROR},
      {"serial number longer than what came back", USB_STRING_DESCRIPTOR_TYPE,
       [](Bytes) { return StringDescriptor("AB", 40); }, STATUS_DEVICE_DATA_ERROR},
      {"serial number of the wrong type", USB_STRING_DESCRIPTOR_TYPE,
       [](Bytes d) { d[1] = 2; return d; }, STATUS_DEVICE_DATA_ERROR},
      {"serial number of 33 characters", USB_STRING_DESCRIPTOR_TYPE,
       [](Bytes) { return StringDescriptor(std::string(33, 'A')); }, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const DescriptorCase& c : cases) {
    SCOPED_TRACE(c.name);
    adapter_model::AdapterOptions options = Running();
    // Enumerated by the hub as it is; what the driver reads afterwards is rewritten.
    harness::PluggedAdapter& unit = pnp().Plug(options, false);
    const uint8_t type = c.type;
    Rewrite rewrite = c.rewrite;
    unit.tap->RewriteDescriptors([type, rewrite](uint8_t t, uint8_t index, Bytes d) {
      return t == type && (t != USB_STRING_DESCRIPTOR_TYPE || index == 3) ? rewrite(std::move(d)) : d;
    });
    pnp().Settle();
    auto node = pnp().Node(unit);
    ASSERT_TRUE(node);
    EXPECT_EQ(harness::PluggedAdapters::LastStatus(node->instancePath, "AddDevice"), STATUS_SUCCESS);
    EXPECT_EQ(pnp().StartStatus(unit), c.expected) << harness::StatusText(pnp().StartStatus(unit));
    EXPECT_EQ(node->state, sim::pnp::NodeState::StartFailed);
    EXPECT_EQ(pnp().Adapter(unit), nullptr) << "the failed stack is removed";
    EXPECT_EQ(AdapterCount, 0u);
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(harness::PluggedAdapters::Driver(), nullptr) << "unloaded with its last device";
    unit.tap->RewriteDescriptors({});
    pnp().Unplug(unit);
  }
}

TEST_F(AdapterStartFaults, SerialNumberCharactersOutsideObjectNamesAreReplaced) {
  harness::PluggedAdapter& unit = pnp().Plug(Running(), false);
  unit.tap->RewriteDescriptors([](uint8_t t, uint8_t index, Bytes d) {
    return t == USB_STRING_DESCRIPTOR_TYPE && index == 3 ? StringDescriptor("A\\B/C D.e-f_\x7f") : d;
  });
  pnp().Settle();
  ASSERT_EQ(pnp().StartStatus(unit), STATUS_SUCCESS);
  EXPECT_STREQ(pnp().Adapter(unit)->SerialNumber, "A_B_C_D.e-f__");
  EXPECT_EQ(sim::io::FindDevice(u"\\Device\\ZelBrUsbA_B_C_D.e-f__-3"), pnp().Port(unit, 4)->Self);
}

// Serial numbers the hub tells apart (two device instances) that the driver's names do not.
TEST_F(AdapterStartFaults, TwoAdaptersWhoseSerialNumbersMakeOneNameLeaveTheFirstAlone) {
  harness::PluggedAdapter& first = pnp().Plug(Running("ZZ_01-000001"));
  ASSERT_EQ(pnp().StartStatus(first), STATUS_SUCCESS);
  harness::PluggedAdapter& second = pnp().Plug(Running("ZZ/01-000001"));
  ASSERT_NE(pnp().Node(second)->instancePath, pnp().Node(first)->instancePath);
  EXPECT_EQ(pnp().StartStatus(second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(pnp().Node(second)->state, sim::pnp::NodeState::StartFailed);
  EXPECT_EQ(pnp().Adapter(second), nullptr);
  EXPECT_EQ(AdapterCount, 1u);
  for (int n = 1; n <= 4; ++n) {
    ASSERT_NE(pnp().Port(first, n), nullptr);
    EXPECT_EQ(pnp().Port(first, n)->DevicePnpState, ULONG(Started));
    EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM" + harness::ToU16(std::to_string(n + 2))), pnp().Port(first, n)->Self);
  }
}

TEST_F(AdapterStartFaults, AFailedDownloadFailsTheStartWithTheCpuHeldAndAReplugRecovers) {
  harness::PluggedAdapter& unit = pnp().Plug(Blank(), false);
  unit.tap->StallControlRequests(1, 40);
  pnp().Settle();
  EXPECT_NE(pnp().StartStatus(unit), STATUS_SUCCESS);
  EXPECT_NE(pnp().StartStatus(unit), STATUS_PENDING);
  EXPECT_EQ(unit.busPort->Presentations(), 1u) << "nothing ran, nothing renumerated";
  EXPECT_TRUE(unit.model->Controller().CpuHeld());
  EXPECT_EQ(unit.tap->Controls().back().setup.wValue, 0x7F92);
  EXPECT_EQ(unit.tap->Controls().back().data, Bytes{1});
  EXPECT_EQ(AdapterCount, 0u);

  unit.model->Unplug();
  unit.model->Replug();
  pnp().Settle();
  ASSERT_NE(pnp().Adapter(unit), nullptr);
  EXPECT_TRUE(pnp().Adapter(unit)->FirmwareRunning);
  EXPECT_EQ(pnp().Children(unit).size(), 4u);
}

// Every allocation from the driver's load through AddDevice and the start (the system's
// own on the way too) fails in turn: each run either comes up with four named ports or fails
// cleanly, and what it made is gone once it is removed.
TEST_F(AdapterStartFaults, EveryAllocationOfCreationAndStartMayFail) {
  int failed = 0, succeeded = 0;
  for (int k = 0;; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    sim::pool::FailNextAllocations(1, std::nullopt, k);
    harness::PluggedAdapter& unit = pnp().Plug(Running());
    const bool injected = sim::pool::PendingFailures() == 0;
    sim::pool::ClearFailurePlans();
    const std::vector<sim::pnp::NodeInfo> children = pnp().Children(unit);
    bool complete = pnp().Adapter(unit) != nullptr && children.size() == 4;
    for (const auto& child : children) complete &= child.state == sim::pnp::NodeState::Started;
    (complete ? succeeded : failed)++;
    if (pnp().Adapter(unit) != nullptr) {
      EXPECT_EQ(pnp().Remove(unit), STATUS_SUCCESS);
    }
    pnp().Unplug(unit);
    EXPECT_EQ(AdapterCount, 0u);
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(harness::PluggedAdapters::Driver(), nullptr) << "unloaded with its last device";
    if (!injected) {
      EXPECT_TRUE(complete) << "without a failure the adapter comes up";
      break;
    }
    ASSERT_LT(k, 400);
  }
  EXPECT_GT(failed, 10);
  RecordProperty("allocations_swept", failed + succeeded);
}

}  // namespace
}  // namespace bringup_test
