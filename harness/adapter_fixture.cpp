#include "adapter_fixture.h"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>

#include "command/command_queue.h"
#include "command/pipe_reset.h"
#include "command/response.h"
#include "core/helpers.h"
#include "simkernel/pnp.h"
#include "simkernel/race_detector.h"
#include "simkernel/registry.h"

namespace harness {

// ---- The response injector -----------------------------------------------------------------

void ResponseInjector::Inject(std::vector<uint8_t> packet) {
  injected_.push_back(std::move(packet));
  if (port_) port_->RequestPoll();
}

sim::usb::Handshake ResponseInjector::BulkIn(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& packet) {
  if (endpoint == adapter_model::kResponseEndpoint && !injected_.empty()) {
    packet = std::move(injected_.front());
    injected_.pop_front();
    if (packet.size() > maxPacket) packet.resize(maxPacket);
    return sim::usb::Handshake::Ack;
  }
  return inner_.BulkIn(endpoint, maxPacket, packet);
}

// ---- The monitor filter ----------------------------------------------------------------------

struct MonitorState {
  std::vector<UrbRecord> records;
  std::map<PIRP, size_t> inFlight;  // request -> index in records
  std::vector<std::pair<PVOID, int>> transitions;  // pipe, +1 submitted / -1 completed, in order
  int resetsToHold = 0;
  sim::VirtualTime holdDelay = 0;
  size_t held = 0;
  std::function<void(const UrbRecord&)> onComplete;
  std::function<std::optional<NTSTATUS>(PIRP, PURB)> divert;
};

namespace {

constexpr std::u16string_view kMonitorName = u"ZELMON";

// One monitor device: the fixture's records and the device it is attached to.
struct MonitorDevice {
  MonitorState* state;
  PDEVICE_OBJECT lower;
};

MonitorDevice* DeviceOf(PDEVICE_OBJECT device) { return static_cast<MonitorDevice*>(device->DeviceExtension); }

const uint8_t* TransferBytes(const struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer) {
  if (transfer.TransferBuffer) return static_cast<const uint8_t*>(transfer.TransferBuffer);
  if (transfer.TransferBufferMDL) return static_cast<const uint8_t*>(MmGetMdlVirtualAddress(transfer.TransferBufferMDL));
  return nullptr;
}

NTSTATUS NTAPI MonitorComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  auto* state = static_cast<MonitorState*>(context);
  std::function<void(const UrbRecord&)> callback;
  UrbRecord copy;
  {
    // The records are the test's: completions on two processors may update them at once.
    sim::race::Unobserved unobserved;
    auto found = state->inFlight.find(irp);
    if (found == state->inFlight.end()) return STATUS_SUCCESS;
    UrbRecord& record = state->records[found->second];
    state->inFlight.erase(found);
    PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
    record.completed = true;
    if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) state->transitions.push_back({record.pipe, -1});
    record.completedAt = sim::Machine::Current().Now();
    record.status = irp->IoStatus.Status;
    record.urbStatus = urb->UrbHeader.Status;
    if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      const auto& transfer = urb->UrbBulkOrInterruptTransfer;
      record.reportedLength = transfer.TransferBufferLength;
      // A faulty bus may report more than the buffer holds.
      if (const uint8_t* bytes = TransferBytes(transfer); bytes && record.in)
        record.received.assign(bytes, bytes + std::min(transfer.TransferBufferLength, record.length));
    }
    // A copy: the callback may replace itself.
    callback = state->onComplete;
    copy = record;
  }
  if (callback) callback(copy);
  return STATUS_SUCCESS;
}

NTSTATUS PassDown(MonitorDevice* self, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, MonitorComplete, self->state, TRUE, TRUE, TRUE);
  return IoCallDriver(self->lower, irp);
}

NTSTATUS NTAPI MonitorInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  MonitorDevice* self = DeviceOf(device);
  MonitorState* state = self->state;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
    return PassDown(self, irp);
  if (state->divert)
    if (std::optional<NTSTATUS> taken = state->divert(irp, urb)) return *taken;

  // The records are the test's: submissions on two processors may add to them at once.
  std::optional<sim::race::Unobserved> unobserved(std::in_place);
  UrbRecord record;
  record.sequence = state->records.size() + 1;
  record.irp = irp;
  record.function = urb->UrbHeader.Function;
  record.submitted = sim::Machine::Current().Now();
  if (sim::Task* task = sim::Machine::Current().CurrentTask()) record.submitter = task->name;
  if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    const auto& transfer = urb->UrbBulkOrInterruptTransfer;
    record.pipe = transfer.PipeHandle;
    record.in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    record.length = transfer.TransferBufferLength;
    if (!record.in)
      if (const uint8_t* bytes = TransferBytes(transfer))
        record.out.assign(bytes, bytes + transfer.TransferBufferLength);
  } else if (record.function == URB_FUNCTION_RESET_PIPE || record.function == URB_FUNCTION_ABORT_PIPE) {
    record.pipe = urb->UrbPipeRequest.PipeHandle;
  }
  if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) state->transitions.push_back({record.pipe, +1});
  state->records.push_back(std::move(record));
  state->inFlight[irp] = state->records.size() - 1;
  const bool hold = urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE && state->resetsToHold > 0;
  if (hold) {
    --state->resetsToHold;
    ++state->held;
  }
  unobserved.reset();

  if (hold) {
    IoMarkIrpPending(irp);
    const sim::VirtualTime delay = state->holdDelay;
    sim::Machine::Current().Spawn("slow pipe reset", sim::TaskKind::Device, [self, state, irp, delay] {
      LARGE_INTEGER interval;
      interval.QuadPart = -delay;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      {
        sim::race::Unobserved unobserved;
        --state->held;
      }
      PassDown(self, irp);
    });
    return STATUS_PENDING;
  }
  return PassDown(self, irp);
}

NTSTATUS NTAPI MonitorPassThrough(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(DeviceOf(device)->lower, irp);
}

NTSTATUS NTAPI MonitorPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(DeviceOf(device)->lower, irp);
}

NTSTATUS NTAPI MonitorPnp(PDEVICE_OBJECT device, PIRP irp) {
  MonitorDevice* self = DeviceOf(device);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(self->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(self->lower);
    IoDeleteDevice(device);
  }
  return status;
}

// The fixture about to plug its model in: the monitor device AddDevice makes records for it.
MonitorState* pendingState = nullptr;

NTSTATUS NTAPI MonitorAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (pendingState == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(MonitorDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  MonitorDevice* self = DeviceOf(device);
  self->state = pendingState;
  self->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (self->lower == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= self->lower->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI MonitorEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = MonitorPassThrough;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MonitorInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = MonitorPnp;
  driver->MajorFunction[IRP_MJ_POWER] = MonitorPower;
  driver->DriverExtension->AddDevice = MonitorAddDevice;
  return STATUS_SUCCESS;
}

// The driver's adapter on the device the bus presents now, once its start succeeded.
AdapterExtension* StartedAdapterOn(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr) return nullptr;
  std::optional<sim::pnp::NodeInfo> node = sim::pnp::NodeOf(pdo);
  if (!node || node->state != sim::pnp::NodeState::Started) return nullptr;
  // A blank adapter starts too, for its download: the fixture's adapter runs the firmware.
  for (AdapterExtension* adapter : AdapterTable)
    if (adapter != nullptr && adapter->PhysicalDeviceObject == pdo && adapter->FirmwareRunning) return adapter;
  return nullptr;
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("adapter fixture: " + what);
}

}  // namespace

// ---- The fixture -----------------------------------------------------------------------------

AdapterFixture::AdapterFixture(DriverHarness& harness, AdapterFixtureOptions options)
    : harness_(harness), options_(std::move(options)), monitorState_(std::make_shared<MonitorState>()) {}

AdapterFixture::~AdapterFixture() {
  // A deadlock here cannot leave a destructor; the machine keeps its report for the test.
  try {
    if (started_ && !removed_) StopAndRemove();
  } catch (const sim::DeadlockError&) {
  }
}

void AdapterFixture::Start() {
  if (started_) throw std::logic_error("adapter fixture started twice");
  started_ = true;
  if (!harness_.loaded()) throw std::logic_error("the adapter fixture needs the driver loaded");

  InstallPlugAndPlayServices();
  sim::pnp::InstallService(kMonitorName, MonitorEntry, {}, sim::pnp::DeviceClass::Unknown);

  model_ = std::make_unique<adapter_model::Adapter>(options_.model);
  injector_ = std::make_unique<ResponseInjector>(model_->Device());
  busPort_ = &sim::usb::AddPort(*injector_);
  injector_->SetBusPort(busPort_);
  PlugAndAwaitStart();
  if (adapter_ == nullptr) {
    StopAndRemove();
    throw std::runtime_error("adapter fixture: the adapter did not start through plug and play");
  }
  for (ULONG i = 0; i < adapter_->PortCount; ++i) {
    PortExtension* p = adapter_->Ports[i];
    std::optional<sim::pnp::NodeInfo> node = p ? sim::pnp::NodeOf(p->Self) : std::nullopt;
    Check(node && node->state == sim::pnp::NodeState::Started, "port " + std::to_string(i + 1) + " did not start");
  }
}

void AdapterFixture::PlugAndAwaitStart() {
  // The monitor is the class's filter only while this adapter arrives: other adapters the
  // test plugs in have their stacks as installed.
  const std::u16string classKey = std::u16string(sim::registry::kClassKeys) + u"\\" +
                                  sim::pnp::ClassGuidText(sim::pnp::DeviceClass::MultiPortSerial);
  sim::registry::SetMultiSz(classKey, u"LowerFilters", {std::u16string(kMonitorName)});
  pendingState = monitorState_.get();
  model_->Plug(*busPort_);
  sim::pnp::WaitIdle();
  // A blank model comes back running the main firmware a little after the download.
  if (StartedAdapterOn(busPort_->Pdo()) == nullptr) {
    harness_.RunUntil([&] { return StartedAdapterOn(busPort_->Pdo()) != nullptr; }, 5 * sim::kSecond);
    sim::pnp::WaitIdle();
  }
  pendingState = nullptr;
  sim::registry::DeleteValue(classKey, u"LowerFilters");
  pdo_ = busPort_->Pdo();
  adapter_ = StartedAdapterOn(pdo_);
  if (adapter_ != nullptr) {
    commandPipe_ = adapter_->CommandPipe->PipeHandle;
    responsePipe_ = adapter_->ResponsePipe->PipeHandle;
  }
}

void AdapterFixture::Replug() {
  model_->Unplug();
  sim::pnp::WaitIdle();
  adapter_ = nullptr;
  PlugAndAwaitStart();
  Check(adapter_ != nullptr, "the adapter did not start again after the replug");
}

AdapterExtension* AdapterFixture::adapter() const {
  for (AdapterExtension* each : AdapterTable)
    if (each != nullptr && each == adapter_) return each;
  return nullptr;
}

PortExtension* AdapterFixture::port(int number) const {
  AdapterExtension* a = adapter();
  if (a == nullptr || number < 1 || number > MAX_PORTS) return nullptr;
  return a->Ports[number - 1];
}

std::u16string AdapterFixture::InstancePath() const {
  std::optional<sim::pnp::NodeInfo> node = pdo_ ? sim::pnp::NodeOf(pdo_) : std::nullopt;
  return node ? node->instancePath : u"";
}

std::u16string AdapterFixture::PortInstancePath(int number) const {
  PortExtension* p = port(number);
  std::optional<sim::pnp::NodeInfo> node = p ? sim::pnp::NodeOf(p->Self) : std::nullopt;
  return node ? node->instancePath : u"";
}

NTSTATUS AdapterFixture::DisableAndEjectPort(int number) {
  PortExtension* p = port(number);
  if (p == nullptr) return STATUS_NO_SUCH_DEVICE;
  std::optional<sim::pnp::NodeInfo> node = sim::pnp::NodeOf(p->Self);
  NTSTATUS disabled = STATUS_SUCCESS;
  if (!node || node->state != sim::pnp::NodeState::Disabled) disabled = sim::pnp::DisableDevice(PortInstancePath(number));
  if (!NT_SUCCESS(disabled)) return disabled;
  sim::io::SendPnp(p->Self, IRP_MN_EJECT);
  harness_.RunTask("relations changed", [&] { IoInvalidateDeviceRelations(pdo_, BusRelations); });
  sim::pnp::WaitIdle();
  return disabled;
}

void AdapterFixture::StopAndRemove() {
  if (!started_ || removed_) return;
  removed_ = true;
  // A held reset still belongs to the monitor; let it reach the bus first.
  harness_.RunUntil([&] { return monitorState_->held == 0; });
  // Removed as Windows removes it: in order when no handle is open, otherwise the cable
  // pulled (the surprise removal, the rest once the handles close).
  const std::u16string path = InstancePath();
  if (!path.empty() && StartedAdapterOn(pdo_) != nullptr) sim::pnp::RequestRemoval(path);
  if (model_) model_->Unplug();
  sim::pnp::WaitIdle();
  harness_.RunUntilIdle();
  adapter_ = nullptr;
}

void AdapterFixture::OpenPort(int number) {
  PortExtension* p = port(number);
  AdapterExtension* a = adapter_;
  ExAcquireFastMutex(&a->OpenMutex);
  if (InterlockedIncrement(reinterpret_cast<LONG volatile*>(&a->OpenPortCount)) == 1) ResponseReadStart(a);
  ExReleaseFastMutex(&a->OpenMutex);
  DataOutPipeReset(p);
  p->IsOpen = TRUE;
  UCHAR payload = static_cast<UCHAR>(number);
  CommandIssue(a, COMMAND_OPEN_PORT, &payload, 1);
}

void AdapterFixture::ClosePort(int number) {
  PortExtension* p = port(number);
  AdapterExtension* a = adapter_;
  p->IsOpen = FALSE;
  ExAcquireFastMutex(&a->OpenMutex);
  InterlockedDecrement(reinterpret_cast<LONG volatile*>(&a->OpenPortCount));
  UCHAR payload = static_cast<UCHAR>(number);
  CommandIssue(a, COMMAND_CLOSE_PORT, &payload, 1);
  ExReleaseFastMutex(&a->OpenMutex);
}

std::vector<UrbRecord> AdapterFixture::Urbs() const { return monitorState_->records; }

std::vector<UrbRecord> AdapterFixture::Urbs(PVOID pipe) const {
  std::vector<UrbRecord> result;
  for (const auto& record : monitorState_->records)
    if (record.pipe == pipe && record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) result.push_back(record);
  return result;
}

std::vector<std::vector<uint8_t>> AdapterFixture::CommandBlocks() const {
  std::vector<std::vector<uint8_t>> blocks;
  for (const auto& record : Urbs(CommandPipe())) blocks.push_back(record.out);
  return blocks;
}

size_t AdapterFixture::MaxInFlight(PVOID pipe) const {
  size_t most = 0;
  long current = 0;
  for (const auto& [which, step] : monitorState_->transitions) {
    if (which != pipe) continue;
    current += step;
    most = std::max<size_t>(most, static_cast<size_t>(std::max(current, 0L)));
  }
  return most;
}

size_t AdapterFixture::InFlight(PVOID pipe) const {
  size_t count = 0;
  for (const auto& record : Urbs(pipe))
    if (!record.completed) ++count;
  return count;
}

void AdapterFixture::HoldPipeResets(int count, sim::VirtualTime delay) {
  monitorState_->resetsToHold = count;
  monitorState_->holdDelay = delay;
}

size_t AdapterFixture::PipeResetsHeld() const { return monitorState_->held; }

void AdapterFixture::OnUrbComplete(std::function<void(const UrbRecord&)> callback) {
  monitorState_->onComplete = std::move(callback);
}

void AdapterFixture::DivertUrbs(std::function<std::optional<NTSTATUS>(PIRP, PURB)> take) {
  monitorState_->divert = std::move(take);
}

void AdapterFixture::HoldFirstConfiguration(std::function<void(AdapterExtension*)> whileHeld) {
  auto held = std::make_shared<bool>(false);
  DivertUrbs([this, held, whileHeld = std::move(whileHeld)](PIRP irp, PURB urb) -> std::optional<NTSTATUS> {
    if (*held || urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION) return std::nullopt;
    *held = true;
    IoMarkIrpPending(irp);
    harness_.Spawn("held configuration", [this, irp, whileHeld] {
      AdapterExtension* found = nullptr;
      for (AdapterExtension* each : AdapterTable)
        if (each != nullptr && each->PhysicalDeviceObject == busPort_->Pdo()) found = each;
      whileHeld(found);
      IoSkipCurrentIrpStackLocation(irp);
      IoCallDriver(busPort_->Pdo(), irp);
    });
    return STATUS_PENDING;
  });
}

}  // namespace harness
