#include "driver_harness.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "core/entry.h"
#include "core/helpers.h"

namespace harness {
namespace {

std::u16string ToU16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Counted string over a host string that outlives the call using it.
UNICODE_STRING Counted(std::u16string& text) {
  UNICODE_STRING result;
  result.Buffer = reinterpret_cast<PWSTR>(text.data());
  result.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  result.MaximumLength = result.Length;
  return result;
}

struct OwnIrpContext {
  IrpOutcome* outcome;
  KEVENT* done;
};

// Keeps the request: it belongs to the test, which frees it.
NTSTATUS NTAPI OwnIrpCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* own = static_cast<OwnIrpContext*>(context);
  own->outcome->completed = true;
  own->outcome->status = irp->IoStatus.Status;
  own->outcome->information = irp->IoStatus.Information;
  KeSetEvent(own->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

uint64_t SeedFromEnvironment(uint64_t fallback) {
  const char* text = std::getenv("ZEL_SEED");
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 0);
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

DriverHarness::DriverHarness(uint64_t seed) : machine_(std::make_unique<sim::Machine>(seed)) {}

DriverHarness::~DriverHarness() = default;

NTSTATUS DriverHarness::Load() {
  if (loaded()) throw std::logic_error("driver already loaded");
  // A freshly loaded image starts with its static storage zero.
  DriverRegistryPath = UNICODE_STRING{};
  for (auto& slot : AdapterTable) slot = nullptr;
  AdapterCount = 0;
  return sim::io::LoadDriver(kDriverName, DriverEntry, kServiceKeyPath, &driver_);
}

void DriverHarness::Unload() {
  DeleteDevices();
  if (loaded()) sim::io::UnloadDriver(driver_);
}

AdapterExtension* DriverHarness::CreateAdapter(ULONG state) {
  if (!loaded()) throw std::logic_error("CreateAdapter needs the driver loaded");
  ULONG slot = 0;
  while (slot < MAX_ADAPTERS && AdapterTable[slot] != nullptr) ++slot;
  if (slot == MAX_ADAPTERS) throw std::runtime_error("adapter table full");

  auto lowerRequests = std::make_shared<std::vector<LowerRequest>>();
  sim::io::PhysicalDeviceOptions options;
  options.type = FILE_DEVICE_UNKNOWN;
  options.handler = [lowerRequests](PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    lowerRequests->push_back({stack->MajorFunction, stack->MinorFunction});
    return sim::io::DefaultBusDispatch(pdo, irp);
  };
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice(std::move(options));

  AdapterExtension* adapter = nullptr;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunTask("create adapter", [&] {
    std::u16string text = u"\\Device\\ZelBrUsb" + ToU16(std::to_string(slot));
    UNICODE_STRING name = Counted(text);
    PDEVICE_OBJECT device = nullptr;
    status = IoCreateDevice(driver_, sizeof(AdapterExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return;

    auto* a = static_cast<AdapterExtension*>(device->DeviceExtension);
    RtlZeroMemory(a, sizeof *a);
    a->Self = device;
    a->FunctionDeviceObject = device;
    a->IsAdapter = TRUE;
    a->DevicePnpState = state;
    a->SystemPowerState = PowerSystemWorking;
    a->DevicePowerState = PowerDeviceD0;
    a->PhysicalDeviceObject = pdo;
    a->AdapterIndex = slot;
    InitializeListHead(&a->ChildList);
    ExInitializeFastMutex(&a->ChildListMutex);
    a->PendingIoCount = 1;
    KeInitializeEvent(&a->NoPendingIoEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&a->RemoveEvent, SynchronizationEvent, FALSE);
    InitializeOwnedSpinLock(&a->AdapterLock);
    a->MaximumTransferSize = 4096;
    a->FirmwareRunning = TRUE;
    a->PortCount = MAX_PORTS;
    InitializeListHead(&a->CommandQueue);
    ExInitializeFastMutex(&a->OpenMutex);
    KeInitializeEvent(&a->ResponseResetEvent, NotificationEvent, FALSE);
    AdapterTable[slot] = a;
    ++AdapterCount;
    a->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    adapter = a;
  });
  if (adapter == nullptr) throw std::runtime_error("IoCreateDevice for a test adapter failed: " + StatusText(status));
  adapters_.push_back({adapter, pdo, lowerRequests});
  return adapter;
}

PortExtension* DriverHarness::CreatePort(AdapterExtension* adapter, ULONG portNumber, ULONG state) {
  if (portNumber < 1 || portNumber > MAX_PORTS) throw std::invalid_argument("port number 1..4");
  PortExtension* port = nullptr;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunTask("create port", [&] {
    std::u16string text = u"\\Device\\ZelBrUsbTEST" + ToU16(std::to_string(adapter->AdapterIndex)) + u"-" +
                          ToU16(std::to_string(portNumber - 1));
    UNICODE_STRING name = Counted(text);
    PDEVICE_OBJECT device = nullptr;
    status = IoCreateDevice(driver_, sizeof(PortExtension), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) return;

    auto* p = static_cast<PortExtension*>(device->DeviceExtension);
    RtlZeroMemory(p, sizeof *p);
    p->Self = device;
    p->IsAdapter = FALSE;
    p->DevicePnpState = state;
    p->SystemPowerState = PowerSystemWorking;
    p->DevicePowerState = PowerDeviceD0;
    p->ParentDeviceObject = adapter->Self;
    p->Present = TRUE;
    p->PortInstanceNumber = static_cast<ULONG>(InterlockedIncrement(&adapter->PortInstanceCounter));
    p->Adapter = adapter;
    p->PortDeviceObject = device;
    p->PortNumber = portNumber;

    InitializeListHead(&p->ReadQueue);
    InitializeListHead(&p->WriteQueue);
    InitializeListHead(&p->MaskQueue);
    InitializeListHead(&p->PurgeQueue);
    KeInitializeTimer(&p->ReadTotalTimer);
    KeInitializeTimer(&p->ReadIntervalTimer);
    KeInitializeTimer(&p->WriteTotalTimer);
    KeInitializeTimer(&p->ImmediateTimer);
    KeInitializeEvent(&p->EchoEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&p->DataWriteDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&p->StatusEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&p->CommandDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&p->PipeResetEvent, NotificationEvent, FALSE);
    InitializeOwnedSpinLock(&p->ReceiveLock);
    InitializeOwnedSpinLock(&p->WriteLock);
    InitializeOwnedSpinLock(&p->ControlLock);

    p->Config.PortNumber = static_cast<UCHAR>(portNumber);
    p->Config.BaudRate = 9600;
    p->Config.DataBits = 8;
    p->Config.StopBits = 1;
    p->Config.Parity = 'n';
    p->Config.FlowControl = 'n';
    p->Config.XoffChar = 0x13;
    p->Config.XonChar = 0x11;
    p->Config.Handshake = 'n';
    p->IntervalPollShort.QuadPart = -1;
    p->IntervalPollLong.QuadPart = -10'000'000;
    p->IntervalPollCutOver.QuadPart = 200'000'000;
    p->SpecialChars.XonChar = 0x11;
    p->SpecialChars.XoffChar = 0x13;
    p->Handflow.ControlHandShake = SERIAL_DTR_CONTROL;
    p->Handflow.FlowReplace = SERIAL_RTS_CONTROL;
    p->SettableBaud = 0x1007FFFF;

    ExAcquireFastMutex(&adapter->ChildListMutex);
    InsertTailList(&adapter->ChildList, &p->AdapterLink);
    ++adapter->ChildCount;
    ExReleaseFastMutex(&adapter->ChildListMutex);
    adapter->Ports[portNumber - 1] = p;

    device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    port = p;
  });
  if (port == nullptr) throw std::runtime_error("IoCreateDevice for a test port failed: " + StatusText(status));
  ports_.push_back(port);
  return port;
}

void DriverHarness::DeleteDevices() {
  if (ports_.empty() && adapters_.empty()) return;
  RunTask("delete test devices", [&] {
    for (PortExtension* port : ports_) {
      AdapterExtension* adapter = port->Adapter;
      ExAcquireFastMutex(&adapter->ChildListMutex);
      RemoveEntryList(&port->AdapterLink);
      --adapter->ChildCount;
      ExReleaseFastMutex(&adapter->ChildListMutex);
      adapter->Ports[port->PortNumber - 1] = nullptr;
      IoDeleteDevice(port->Self);
    }
    for (TestAdapter& adapter : adapters_) {
      AdapterExtension* a = adapter.record;
      IoDetachDevice(a->LowerDevice);
      AdapterTable[a->AdapterIndex] = nullptr;
      --AdapterCount;
      IoDeleteDevice(a->Self);
    }
  });
  ports_.clear();
  adapters_.clear();
}

const std::vector<LowerRequest>& DriverHarness::LowerRequests(AdapterExtension* adapter) {
  for (const TestAdapter& entry : adapters_)
    if (entry.record == adapter) return *entry.lowerRequests;
  throw std::invalid_argument("not a test adapter");
}

void DriverHarness::RunTask(std::string name, std::function<void()> body) {
  machine_->RunTask(std::move(name), std::move(body));
}

sim::Task* DriverHarness::Spawn(std::string name, std::function<void()> body) {
  return machine_->Spawn(std::move(name), sim::TaskKind::Application, std::move(body));
}

bool DriverHarness::RunUntil(const std::function<bool()>& done, sim::VirtualTime limit) {
  return machine_->RunUntil(done, limit);
}

void DriverHarness::RunUntilIdle(sim::VirtualTime limit) { machine_->RunUntilIdle(limit); }

void DriverHarness::Advance(sim::VirtualTime span) { machine_->RunFor(span); }

sim::io::Result DriverHarness::Send(PDEVICE_OBJECT device, sim::io::RawIrp irp) {
  return sim::io::Send(device, std::move(irp));
}

IrpOutcome DriverHarness::SendIrp(PDEVICE_OBJECT device, IrpSpec irpSpec) {
  IrpOutcome outcome;
  RunTask("send irp", [&] {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    OwnIrpContext context{&outcome, &done};
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return;
    irp->IoStatus.Status = irpSpec.initialStatus;
    irp->IoStatus.Information = irpSpec.initialInformation;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = irpSpec.major;
    next->MinorFunction = irpSpec.minor;
    if (irpSpec.setup) irpSpec.setup(next);
    IoSetCompletionRoutine(irp, OwnIrpCompletion, &context, TRUE, TRUE, TRUE);
    outcome.dispatchStatus = irpSpec.major == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp);
    if (!outcome.completed) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
  });
  return outcome;
}

}  // namespace harness
