// WMI registration and the WMI library, driven through a small provider: its registration is
// what the service asks for, its answers travel as real IRP_MJ_SYSTEM_CONTROL requests and
// are decoded from the WNODEs the library lays out.
#include <algorithm>
#include <cstring>

#include "io_test_support.h"
#include "simkernel/registry.h"
#include "simkernel/wmi.h"

namespace {

using Rules = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const GUID kTwoInstances = {0x1c7a5e01, 0x2b3c, 0x4d5e, {0x8f, 0x90, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}};
const GUID kFixedBlock = {0x1c7a5e02, 0x2b3c, 0x4d5e, {0x8f, 0x90, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}};
const GUID kUnknown = {0x1c7a5eff, 0x2b3c, 0x4d5e, {0x8f, 0x90, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}};
const Bytes kFirst = {'h', 'e', 'l', 'l', 'o'};
const Bytes kSecond = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// What a provider device keeps; its device extension points here.
struct Provider {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // passed forwarded and non-WMI requests
  std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WmiProv";
  UNICODE_STRING registryPath{};
  WMIGUIDREGINFO guids[2] = {{&kTwoInstances, 2, 0}, {&kFixedBlock, 1, WMIREG_FLAG_EXPENSIVE}};
  WMILIB_CONTEXT lib{};
  // Ways of being wrong.
  ULONG claimExtra = 0;  // claims this many bytes more than it wrote
  bool namesNoPdo = false;
  bool raisesIrql = false;
  bool skipsLibrary = false;
  int dispatched = 0;
  int setBlockCalls = 0;
};

Provider* Of(PDEVICE_OBJECT device) { return *static_cast<Provider**>(device->DeviceExtension); }

NTSTATUS NTAPI RegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* registryPath,
                       PUNICODE_STRING, PDEVICE_OBJECT* pdo) {
  Provider* p = Of(device);
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *registryPath = &p->registryPath;
  *pdo = p->namesNoPdo ? nullptr : p->pdo;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG count,
                          PULONG lengths, ULONG avail, PUCHAR buffer) {
  std::vector<Bytes> blocks;
  if (guidIndex == 0) {
    const Bytes* both[] = {&kFirst, &kSecond};
    for (ULONG i = instanceIndex; i < instanceIndex + count; ++i) blocks.push_back(*both[i]);
  } else {
    blocks.push_back(Bytes(16, 0x3C));
  }
  ULONG needed = 0;
  for (const Bytes& b : blocks) needed = ((needed + 7) & ~7u) + static_cast<ULONG>(b.size());
  if (!lengths || avail < needed) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, IO_NO_INCREMENT);
  ULONG offset = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    offset = (offset + 7) & ~7u;
    std::memcpy(buffer + offset, blocks[i].data(), blocks[i].size());
    lengths[i] = static_cast<ULONG>(blocks[i].size());
    offset += static_cast<ULONG>(blocks[i].size());
  }
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, needed + Of(device)->claimExtra, IO_NO_INCREMENT);
}

NTSTATUS NTAPI RefuseBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, PUCHAR) {
  ++Of(device)->setBlockCalls;
  return WmiCompleteRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}

// Method 1 answers its input reversed.
NTSTATUS NTAPI Reverse(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG method, ULONG in, ULONG out,
                       PUCHAR buffer) {
  if (method != 1) return WmiCompleteRequest(device, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
  if (out < in) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, in, IO_NO_INCREMENT);
  std::reverse(buffer, buffer + in);
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, in, 2);
}

// A driver's IRP_MJ_SYSTEM_CONTROL as the WMI library's documentation has it.
NTSTATUS SystemControl(PDEVICE_OBJECT device, PIRP irp) {
  Provider* p = Of(device);
  ++p->dispatched;
  if (p->skipsLibrary) return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
  SYSCTL_IRP_DISPOSITION disposition;
  KIRQL old = PASSIVE_LEVEL;
  if (p->raisesIrql) KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = WmiSystemControl(&p->lib, device, irp, &disposition);
  if (p->raisesIrql) KeLowerIrql(old);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    default:
      if (p->lower) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(p->lower, irp);
      }
      status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
  }
}

class Wmi : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"WmiProv", [](PDEVICE_OBJECT d, PIRP irp) {
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL) return SystemControl(d, irp);
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    });
  }

  Provider& MakeProvider(const std::u16string& pdoName) {
    auto p = std::make_unique<Provider>();
    sim::io::PhysicalDeviceOptions options;
    options.name = pdoName;
    p->pdo = sim::io::CreatePhysicalDevice(options);
    p->device = CreateDevice(driver, u"", DO_BUFFERED_IO, sizeof(Provider*));
    *static_cast<Provider**>(p->device->DeviceExtension) = p.get();
    RtlInitUnicodeString(&p->registryPath, p->path.c_str());
    p->lib = {2, p->guids, RegInfo, QueryBlock, RefuseBlock, nullptr, Reverse, nullptr};
    providers.push_back(std::move(p));
    return *providers.back();
  }

  NTSTATUS Register(Provider& p, ULONG action = WMIREG_ACTION_REGISTER) {
    NTSTATUS status = STATUS_PENDING;
    RunTask([&] { status = IoWMIRegistrationControl(p.device, action); });
    return status;
  }

  Provider& Registered(const std::u16string& pdoName = u"\\Device\\WmiPdo") {
    Provider& p = MakeProvider(pdoName);
    EXPECT_EQ(Register(p), STATUS_SUCCESS);
    return p;
  }

  static std::u16string Name(const Provider& p, size_t guid, size_t instance) {
    return sim::wmi::RegistrationOf(p.device)->guids.at(guid).instanceNames.at(instance);
  }

  PDRIVER_OBJECT driver = nullptr;
  std::vector<std::unique_ptr<Provider>> providers;
};

TEST_F(Wmi, RegistrationKeepsTheAnswerAndNamesInstancesAfterEachPdo) {
  Provider& plain = MakeProvider(u"\\Device\\WmiPdoA");
  Provider& listed = MakeProvider(u"\\Device\\WmiPdoB");
  sim::registry::SetDeviceInstancePath(listed.pdo, u"ROOT\\WMITEST\\0001");
  // A registry path too long for the service's first buffer: it asks again with the size given.
  listed.path = u"\\REGISTRY\\MACHINE\\" + std::u16string(300, u'X');
  RtlInitUnicodeString(&listed.registryPath, listed.path.c_str());
  EXPECT_FALSE(sim::wmi::IsRegistered(plain.device));
  ASSERT_EQ(Register(plain), STATUS_SUCCESS);
  ASSERT_EQ(Register(listed), STATUS_SUCCESS);

  auto a = sim::wmi::RegistrationOf(plain.device);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->reginfoRequests, 1);
  EXPECT_EQ(a->pdo, plain.pdo);
  EXPECT_EQ(a->registryPath, plain.path);
  ASSERT_EQ(a->guids.size(), 2u);
  EXPECT_EQ(std::memcmp(&a->guids[0].guid, &kTwoInstances, sizeof(GUID)), 0);
  EXPECT_EQ(a->guids[0].flags, ULONG{WMIREG_FLAG_INSTANCE_PDO});
  EXPECT_EQ(a->guids[1].flags, ULONG{WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_EXPENSIVE});
  EXPECT_EQ(a->guids[0].instanceNames, (std::vector<std::u16string>{u"\\Device\\WmiPdoA_0", u"\\Device\\WmiPdoA_1"}));

  auto b = sim::wmi::RegistrationOf(listed.device);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->reginfoRequests, 2);
  EXPECT_EQ(b->registryPath, listed.path);
  EXPECT_EQ(b->guids[1].instanceNames, std::vector<std::u16string>{u"ROOT\\WMITEST\\0001_0"});

  RunTask([&] { EXPECT_EQ(IoWMIRegistrationControl(plain.device, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS); });
  EXPECT_FALSE(sim::wmi::IsRegistered(plain.device));
  EXPECT_FALSE(sim::wmi::QueryAllData(plain.device, kTwoInstances, 0x100).sent);
}

TEST_F(Wmi, AllDataLaysOutEveryInstanceAtItsAlignedOffset) {
  Provider& p = Registered();
  auto answer = sim::wmi::QueryAllData(p.device, kTwoInstances, 0x100);
  ASSERT_EQ(answer.status, STATUS_SUCCESS) << answer.problem;
  EXPECT_EQ(answer.problem, "");
  // Header (60), two offset-and-length pairs, aligned: data at 80; the second instance at 88.
  EXPECT_EQ(answer.information, 80u + 8 + 12);
  EXPECT_EQ(answer.flags, ULONG{WNODE_FLAG_ALL_DATA | WNODE_FLAG_STATIC_INSTANCE_NAMES});
  ASSERT_EQ(answer.instances.size(), 2u);
  EXPECT_EQ(answer.instances[0].data, kFirst);
  EXPECT_EQ(answer.instances[1].data, kSecond);
  EXPECT_EQ(answer.instances[1].name, Name(p, 0, 1));
  WNODE_ALL_DATA wnode;
  std::memcpy(&wnode, answer.buffer.data(), sizeof(wnode));
  EXPECT_EQ(wnode.DataBlockOffset, 80u);
  EXPECT_EQ(wnode.OffsetInstanceDataAndLength[0].OffsetInstanceData, 80u);
  // The padding after the first instance is nobody's: it keeps the service's poison.
  EXPECT_EQ(Bytes(answer.buffer.begin() + 85, answer.buffer.begin() + 88), Bytes(3, 0xA5));

  auto fixed = sim::wmi::QueryAllData(p.device, kFixedBlock, 0x100);
  ASSERT_EQ(fixed.status, STATUS_SUCCESS);
  EXPECT_TRUE(fixed.flags & WNODE_FLAG_FIXED_INSTANCE_SIZE);
  std::memcpy(&wnode, fixed.buffer.data(), sizeof(wnode));
  EXPECT_EQ(wnode.FixedInstanceSize, 16u);
  ASSERT_EQ(fixed.instances.size(), 1u);
  EXPECT_EQ(fixed.instances[0].data, Bytes(16, 0x3C));
}

TEST_F(Wmi, SingleInstanceAnswersTheNamedInstanceAndMethodsRunOnIt) {
  Provider& p = Registered();
  auto answer = sim::wmi::QuerySingleInstance(p.device, kTwoInstances, Name(p, 0, 1), 0x100);
  ASSERT_EQ(answer.status, STATUS_SUCCESS) << answer.problem;
  ASSERT_EQ(answer.instances.size(), 1u);
  EXPECT_EQ(answer.instances[0].index, 1u);
  EXPECT_EQ(answer.instances[0].data, kSecond);
  WNODE_SINGLE_INSTANCE wnode;
  std::memcpy(&wnode, answer.buffer.data(), sizeof(wnode));
  EXPECT_EQ(wnode.SizeDataBlock, 12u);
  EXPECT_EQ(answer.information, wnode.DataBlockOffset + 12u);
  EXPECT_EQ(sim::wmi::QuerySingleInstance(p.device, kTwoInstances, u"nobody_0", 0x100).status,
            STATUS_WMI_INSTANCE_NOT_FOUND);

  auto method = sim::wmi::ExecuteMethod(p.device, kTwoInstances, Name(p, 0, 0), 1, Bytes{1, 2, 3}, 0x100);
  ASSERT_EQ(method.status, STATUS_SUCCESS) << method.problem;
  EXPECT_EQ(method.boost, 2);
  ASSERT_EQ(method.instances.size(), 1u);
  EXPECT_EQ(method.instances[0].data, (Bytes{3, 2, 1}));
}

TEST_F(Wmi, TooSmallBuffersAreAnsweredWithTheSizeNeeded) {
  Provider& p = Registered();
  // Not even the length array fits: the provider gets no buffer and says what it needs.
  auto all = sim::wmi::QueryAllData(p.device, kTwoInstances, 64);
  EXPECT_EQ(all.status, STATUS_SUCCESS);
  EXPECT_TRUE(all.tooSmall);
  EXPECT_EQ(all.sizeNeeded, 100u);
  EXPECT_EQ(all.information, sizeof(WNODE_TOO_SMALL));
  auto retried = sim::wmi::QueryAllData(p.device, kTwoInstances, all.sizeNeeded);
  EXPECT_FALSE(retried.tooSmall);
  EXPECT_EQ(retried.instances.size(), 2u);

  // Room for the WNODE and the name (data at 104) but not for the 12 bytes.
  auto one = sim::wmi::QuerySingleInstance(p.device, kTwoInstances, Name(p, 0, 1), 110);
  WNODE_SINGLE_INSTANCE wnode;
  std::memcpy(&wnode, one.buffer.data(), sizeof(wnode));
  EXPECT_TRUE(one.tooSmall);
  EXPECT_EQ(wnode.DataBlockOffset, 104u);
  EXPECT_EQ(one.sizeNeeded, 104u + 12);
  EXPECT_EQ(sim::wmi::QuerySingleInstance(p.device, kTwoInstances, Name(p, 0, 1), one.sizeNeeded).instances.size(), 1u);
}

TEST_F(Wmi, BadRequestsAreRefusedBeforeAnyCallback) {
  Provider& p = Registered();
  sim::wmi::RawRequest unknown;
  unknown.guid = kUnknown;
  auto answer = sim::wmi::Send(p.device, unknown);
  EXPECT_TRUE(answer.sent);
  EXPECT_EQ(answer.status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(answer.information, 0u);
  EXPECT_FALSE(sim::wmi::QueryAllData(p.device, kUnknown, 0x100).sent);

  sim::wmi::RawRequest beyond;
  beyond.minor = IRP_MN_QUERY_SINGLE_INSTANCE;
  beyond.guid = kTwoInstances;
  beyond.instanceIndex = 2;
  EXPECT_EQ(sim::wmi::Send(p.device, beyond).status, STATUS_WMI_INSTANCE_NOT_FOUND);

  sim::wmi::RawRequest tiny;
  tiny.guid = kTwoInstances;
  tiny.bufferSize = 8;
  EXPECT_EQ(sim::wmi::Send(p.device, tiny).status, STATUS_INVALID_PARAMETER);

  sim::wmi::RawRequest notWmi;
  notWmi.minor = 0x0B;
  EXPECT_EQ(sim::wmi::Send(p.device, notWmi).status, STATUS_NOT_SUPPORTED);
}

TEST_F(Wmi, ChangesAreRefusedByTheCallbackOrTheLibrary) {
  Provider& p = Registered();
  const Bytes data(16, 0);
  EXPECT_EQ(sim::wmi::SetSingleInstance(p.device, kFixedBlock, Name(p, 1, 0), data).status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(p.setBlockCalls, 1);
  // No item callback: the library answers for it.
  EXPECT_EQ(sim::wmi::SetSingleItem(p.device, kFixedBlock, Name(p, 1, 0), 3, Bytes{1}).status, STATUS_WMI_READ_ONLY);
  EXPECT_EQ(sim::wmi::SetEvents(p.device, kFixedBlock, true).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::wmi::SetCollection(p.device, kFixedBlock, false).status, STATUS_SUCCESS);
}

TEST_F(Wmi, RequestsGoToTheTopOfTheStackAndAreForwardedToTheirProvider) {
  Provider& lower = Registered();
  Provider& filter = MakeProvider(u"\\Device\\WmiFilterPdo");
  filter.lib.GuidCount = 0;
  RunTask([&] { filter.lower = IoAttachDeviceToDeviceStack(filter.device, lower.device); });
  ASSERT_EQ(filter.lower, lower.device);

  auto answer = sim::wmi::QueryAllData(lower.device, kTwoInstances, 0x100);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.instances.size(), 2u);
  EXPECT_EQ(filter.dispatched, 1);
  EXPECT_EQ(lower.dispatched, 2);  // its registration, then the query

  // The filter is asked for itself: its own library answers and nothing goes down.
  sim::wmi::RawRequest own;
  own.guid = kTwoInstances;
  own.providerId = reinterpret_cast<ULONG_PTR>(filter.device);
  EXPECT_EQ(sim::wmi::Send(filter.device, own).status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(lower.dispatched, 2);
  RunTask([&] { IoDetachDevice(lower.device); });
}

// ---- Deliberately wrong providers --------------------------------------------------------------

TEST_F(Wmi, RegisteringTwiceIsReportedAndKeepsTheRegistration) {
  Provider& p = Registered();
  EXPECT_EQ(Register(p), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(TakeViolations(), Rules{"wmi registered twice"});
  EXPECT_TRUE(sim::wmi::IsRegistered(p.device));
}

TEST_F(Wmi, DeregisteringWhenNotRegisteredIsReported) {
  Provider& p = MakeProvider(u"\\Device\\WmiPdo");
  EXPECT_EQ(Register(p, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeViolations(), Rules{"wmi deregistered when not registered"});
}

TEST_F(Wmi, DeletingARegisteredDeviceIsReported) {
  Provider& p = Registered();
  RunTask([&] { IoDeleteDevice(p.device); });
  EXPECT_EQ(TakeViolations(), Rules{"device deleted while registered with wmi"});
  EXPECT_FALSE(sim::wmi::IsRegistered(p.device));
}

TEST_F(Wmi, ClaimingMoreThanTheBufferIsReportedAndAnsweredAsTooSmall) {
  Provider& p = Registered();
  p.claimExtra = 0x200;
  auto answer = sim::wmi::QueryAllData(p.device, kTwoInstances, 0x100);
  EXPECT_EQ(TakeViolations(), Rules{"WmiCompleteRequest BufferUsed exceeds buffer"});
  EXPECT_TRUE(answer.tooSmall);
  EXPECT_EQ(answer.sizeNeeded, 100u + 0x200);
}

TEST_F(Wmi, RegistrationAboveNormalLevelIsReported) {
  Provider& p = MakeProvider(u"\\Device\\WmiPdo");
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_NE(IoWMIRegistrationControl(p.device, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    KeLowerIrql(old);
  });
  EXPECT_EQ(TakeViolations(), Rules{"wmi registration above PASSIVE_LEVEL"});
  EXPECT_FALSE(sim::wmi::IsRegistered(p.device));
}

TEST_F(Wmi, RegistrationAnswerNamingNoPdoIsReportedAndNotKept) {
  Provider& p = MakeProvider(u"\\Device\\WmiPdo");
  p.namesNoPdo = true;
  EXPECT_EQ(Register(p), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeViolations(), Rules{"wmi reginfo malformed"});
  EXPECT_FALSE(sim::wmi::IsRegistered(p.device));
}

TEST_F(Wmi, ContextWithoutQueryCallbackIsReported) {
  Provider& p = MakeProvider(u"\\Device\\WmiPdo");
  p.lib.QueryWmiDataBlock = nullptr;
  EXPECT_EQ(Register(p), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(TakeViolations(), Rules{"wmilib context without required callback"});
}

TEST_F(Wmi, LibraryCalledAboveNormalLevelIsReported) {
  Provider& p = Registered();
  p.raisesIrql = true;
  sim::wmi::QueryAllData(p.device, kTwoInstances, 0x100);
  EXPECT_EQ(TakeViolations(), Rules{"WmiSystemControl above PASSIVE_LEVEL"});
}

TEST_F(Wmi, CompletingARequestTheLibraryNeverSawIsReported) {
  Provider& p = Registered();
  p.skipsLibrary = true;
  sim::wmi::RawRequest request;
  request.guid = kTwoInstances;
  EXPECT_EQ(sim::wmi::Send(p.device, request).status, STATUS_SUCCESS);
  EXPECT_EQ(TakeViolations(), Rules{"WmiCompleteRequest on irp not from WmiSystemControl"});
}

TEST_F(Wmi, FiredEventsReachTheServiceWhichFreesTheirData) {
  Provider& p = Registered();
  RunTask([&] {
    auto* data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 3, sim::pool::TagFromString("WEvt")));
    std::memcpy(data, "abc", 3);
    EXPECT_EQ(WmiFireEvent(p.device, &kFixedBlock, 0, 3, data), STATUS_SUCCESS);
  });
  auto events = sim::wmi::FiredEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].device, p.device);
  EXPECT_EQ(events[0].data, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(sim::pool::AllocationCount(sim::pool::TagFromString("WEvt")), 1u);
  EXPECT_EQ(sim::pool::OutstandingCount(sim::pool::TagFromString("WEvt")), 0u);
}

}  // namespace
