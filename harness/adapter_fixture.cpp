#include "adapter_fixture.h"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>

#include "command/command_queue.h"
#include "command/pipe_reset.h"
#include "command/response.h"
#include "core/helpers.h"
#include "simkernel/race_detector.h"
#include "test_records.h"

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
  PDEVICE_OBJECT lower = nullptr;
  std::vector<UrbRecord> records;
  std::map<PIRP, size_t> inFlight;  // request -> index in records
  std::vector<std::pair<PVOID, int>> transitions;  // pipe, +1 submitted / -1 completed, in order
  int resetsToHold = 0;
  sim::VirtualTime holdDelay = 0;
  size_t held = 0;
  std::function<void(const UrbRecord&)> onComplete;
};

namespace {

constexpr std::u16string_view kMonitorName = u"ZELMON";

MonitorState* StateOf(PDEVICE_OBJECT device) { return *static_cast<MonitorState**>(device->DeviceExtension); }

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

NTSTATUS PassDown(MonitorState* state, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, MonitorComplete, state, TRUE, TRUE, TRUE);
  return IoCallDriver(state->lower, irp);
}

NTSTATUS NTAPI MonitorInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  MonitorState* state = StateOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
    return PassDown(state, irp);

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
    sim::Machine::Current().Spawn("slow pipe reset", sim::TaskKind::Device, [state, irp, delay] {
      LARGE_INTEGER interval;
      interval.QuadPart = -delay;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      {
        sim::race::Unobserved unobserved;
        --state->held;
      }
      PassDown(state, irp);
    });
    return STATUS_PENDING;
  }
  return PassDown(state, irp);
}

NTSTATUS NTAPI MonitorEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MonitorInternalControl;
  return STATUS_SUCCESS;
}

// One URB to the device below the adapter, awaited without limit: adapter start's way.
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT lower, PURB urb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE, &done,
                                           &io);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  return status;
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

  model_ = std::make_unique<adapter_model::Adapter>(options_.model);
  injector_ = std::make_unique<ResponseInjector>(model_->Device());
  busPort_ = &sim::usb::AddPort(*injector_);
  injector_->SetBusPort(busPort_);
  model_->Plug(*busPort_);
  pdo_ = busPort_->Pdo();
  Check(pdo_ != nullptr, "the adapter model did not attach to the bus");

  NTSTATUS loaded = sim::io::LoadDriver(kMonitorName, MonitorEntry,
                                        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\ZELMON",
                                        &monitorDriver_);
  Check(NT_SUCCESS(loaded), "monitor driver did not load");

  std::string failure;
  harness_.RunTask("adapter start", [&] {
    MonitorState* state = monitorState_.get();
    NTSTATUS status = IoCreateDevice(monitorDriver_, sizeof(MonitorState*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &monitor_);
    if (!NT_SUCCESS(status)) {
      failure = "monitor device";
      return;
    }
    *static_cast<MonitorState**>(monitor_->DeviceExtension) = state;
    state->lower = IoAttachDeviceToDeviceStack(monitor_, pdo_);
    monitor_->Flags &= ~DO_DEVICE_INITIALIZING;

    // The adapter device, as adapter creation makes it.
    const ULONG slot = FreeAdapterSlot();
    if (slot == MAX_ADAPTERS) {
      failure = "adapter table full";
      return;
    }
    status = CreateAdapterRecord(harness_.driver(), pdo_, slot, Started, &adapter_);
    if (!NT_SUCCESS(status)) {
      failure = "adapter device";
      return;
    }
    AdapterExtension* a = adapter_;

    // Device descriptor: bit 15 of the product id says the main firmware runs.
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), TAG_BR16));
    a->DeviceDescriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), TAG_BR17));
    if (!urb || !a->DeviceDescriptor) {
      if (urb) ExFreePool(urb);
      failure = "descriptor allocations";
      return;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, a->DeviceDescriptor, nullptr,
                                 sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
    status = SubmitUrbAndWait(a->LowerDevice, urb);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
      failure = "device descriptor";
      return;
    }
    a->PortCount = MAX_PORTS;
    a->FirmwareRunning = (a->DeviceDescriptor->idProduct & 0x8000) != 0;
    if (!a->FirmwareRunning) {
      failure = "the model runs no main firmware";
      return;
    }

    // Serial number, string descriptor 3: it names the port devices.
    urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), TAG_BR24));
    auto* text = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, MAXIMUM_USB_STRING_LENGTH, TAG_BR25));
    if (!urb || !text) {
      if (urb) ExFreePool(urb);
      if (text) ExFreePool(text);
      failure = "serial number allocations";
      return;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, text, nullptr, MAXIMUM_USB_STRING_LENGTH,
                                 nullptr);
    status = SubmitUrbAndWait(a->LowerDevice, urb);
    ExFreePool(urb);
    const int characters = NT_SUCCESS(status) ? (static_cast<int>(text[0]) - 2) / 2 : -1;
    if (characters < 0 || characters > 32) {
      ExFreePool(text);
      failure = "serial number";
      return;
    }
    a->SerialNumber = static_cast<PCHAR>(ExAllocatePoolWithTag(NonPagedPool, characters + 1, TAG_BR26));
    if (!a->SerialNumber) {
      ExFreePool(text);
      failure = "serial number copy";
      return;
    }
    for (int i = 0; i < characters; ++i) a->SerialNumber[i] = static_cast<CHAR>(text[2 + 2 * i]);
    a->SerialNumber[characters] = '\0';
    ExFreePool(text);

    // Configuration descriptor: 521 bytes, then the whole of it if longer.
    urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), TAG_BR21));
    if (!urb) {
      failure = "configuration URB";
      return;
    }
    ULONG size = 521;
    for (;;) {
      a->ConfigurationDescriptor =
          static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_BR22));
      if (!a->ConfigurationDescriptor) break;
      RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
      UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                   USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, a->ConfigurationDescriptor, nullptr, size,
                                   nullptr);
      status = SubmitUrbAndWait(a->LowerDevice, urb);
      if (!NT_SUCCESS(status)) {
        FreePoolAndClear(&a->ConfigurationDescriptor);
        break;
      }
      if (urb->UrbControlDescriptorRequest.TransferBufferLength == 0 ||
          a->ConfigurationDescriptor->wTotalLength <= size)
        break;
      size = a->ConfigurationDescriptor->wTotalLength;
      FreePoolAndClear(&a->ConfigurationDescriptor);
    }
    ExFreePool(urb);
    if (!a->ConfigurationDescriptor) {
      failure = "configuration descriptor";
      return;
    }

    // Select the configuration's first interface; the pipes come back in endpoint order.
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(a->ConfigurationDescriptor, a->ConfigurationDescriptor, -1, -1, -1, -1, -1);
    USHORT urbSize = 0;
    PURB select = interface ? USBD_CreateConfigurationRequest(a->ConfigurationDescriptor, &urbSize) : nullptr;
    if (!select) {
      failure = "select-configuration request";
      return;
    }
    PUSBD_INTERFACE_INFORMATION info = &select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      info->Pipes[i].MaximumTransferSize = a->MaximumTransferSize;
      info->Pipes[i].PipeFlags = 0;
    }
    select->UrbHeader.Length = urbSize;
    select->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select->UrbSelectConfiguration.ConfigurationDescriptor = a->ConfigurationDescriptor;
    status = SubmitUrbAndWait(a->LowerDevice, select);
    if (!NT_SUCCESS(status) || info->NumberOfPipes < 2 * MAX_PORTS + 2) {
      ExFreePool(select);
      failure = "select configuration";
      return;
    }
    a->InterfaceInformation =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, info->Length, TAG_BR23));
    if (!a->InterfaceInformation) {
      ExFreePool(select);
      failure = "interface information";
      return;
    }
    RtlCopyMemory(a->InterfaceInformation, info, info->Length);
    ExFreePool(select);
    a->ResponsePipe = &a->InterfaceInformation->Pipes[2 * a->PortCount];
    a->CommandPipe = &a->InterfaceInformation->Pipes[2 * a->PortCount + 1];

    // The command channel's URBs and buffer.
    a->CommandUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR18));
    a->ResponseUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR19));
    a->ResponseBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, RESPONSE_BLOCK_SIZE, TAG_BR20));
    if (!a->CommandUrb || !a->ResponseUrb || !a->ResponseBuffer) {
      failure = "command channel blocks";
      return;
    }

    // The four ports, as port creation and set-up make them.
    for (ULONG number = 1; number <= a->PortCount; ++number) {
      std::u16string portName =
          u"\\Device\\ZelBrUsb" + ToU16(a->SerialNumber) + u"-" + ToU16(std::to_string(number - 1));
      PortExtension* p = nullptr;
      status = CreatePortRecord(harness_.driver(), a, number, std::move(portName), Started, &p);
      if (!NT_SUCCESS(status)) {
        failure = "port device";
        return;
      }
      p->DataInPipe = &a->InterfaceInformation->Pipes[2 * (number - 1)];
      p->DataOutPipe = &a->InterfaceInformation->Pipes[2 * (number - 1) + 1];
      ports_.push_back(p);
    }
    a->PortsCreated = TRUE;
  });
  if (!failure.empty()) {
    StopAndRemove();
    throw std::runtime_error("adapter fixture start failed: " + failure);
  }
}

void AdapterFixture::DeletePort(int number) {
  PortExtension*& slot = ports_.at(number - 1);
  if (slot == nullptr) return;
  PortExtension* p = slot;
  harness_.RunTask("port removal", [&] { DeletePortRecord(p); });
  slot = nullptr;
}

void AdapterFixture::StopAndRemove() {
  if (!started_ || removed_) return;
  removed_ = true;
  // A held reset still belongs to the monitor; let it reach the bus first.
  harness_.RunUntil([&] { return monitorState_->held == 0; });
  harness_.RunTask("adapter removal", [&] {
    AdapterExtension* a = adapter_;
    if (a != nullptr) {
      CommandChannelStop(a);
      for (PortExtension* p : ports_)
        if (p != nullptr) DeletePortRecord(p);
      FreePoolAndClear(&a->CommandUrb);
      FreePoolAndClear(&a->ResponseUrb);
      FreePoolAndClear(&a->ResponseBuffer);
      FreePoolAndClear(&a->DeviceDescriptor);
      FreePoolAndClear(&a->ConfigurationDescriptor);
      FreePoolAndClear(&a->InterfaceInformation);
      FreePoolAndClear(&a->SerialNumber);
      a->AdapterRemoved = TRUE;
      DeleteAdapterRecord(a);
    }
    if (monitor_ != nullptr) {
      if (monitorState_->lower) IoDetachDevice(monitorState_->lower);
      IoDeleteDevice(monitor_);
    }
  });
  ports_.clear();
  adapter_ = nullptr;
  monitor_ = nullptr;
  if (model_) model_->Unplug();
  harness_.RunUntilIdle();
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

}  // namespace harness
