// The bus driver's dispatch for its PDOs: URB validation, queueing with a cancel routine,
// refusals completed inside IoCallDriver, and the completion every URB ends with.
#include <algorithm>
#include <cstddef>

#include "simkernel/io.h"
#include "usb_bus_internal.h"

namespace sim::usb::bus {
namespace {

constexpr size_t kSelectConfigurationFixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

uint64_t IrpId(PIRP irp) { return reinterpret_cast<uintptr_t>(irp); }

bool IsKnownFunction(USHORT function) {
  return function <= URB_FUNCTION_LAST && function != URB_FUNCTION_RESERVED0 && function != URB_FUNCTION_RESERVED;
}

// The one length a URB of a fixed-size function may have; 0 where it varies.
size_t FixedLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE: return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default: return 0;
  }
}

// bmRequestType bits of a vendor or class URB function, without the direction.
std::optional<uint8_t> RequestType(USHORT function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE: return 0x41;
    case URB_FUNCTION_VENDOR_ENDPOINT: return 0x42;
    case URB_FUNCTION_VENDOR_OTHER: return 0x43;
    case URB_FUNCTION_CLASS_DEVICE: return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE: return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT: return 0x22;
    case URB_FUNCTION_CLASS_OTHER: return 0x23;
    default: return std::nullopt;
  }
}

// Functions that block in the real bus driver and so may only come at PASSIVE_LEVEL.
bool NeedsPassiveLevel(USHORT function) {
  return function == URB_FUNCTION_SELECT_CONFIGURATION || function == URB_FUNCTION_RESET_PIPE ||
         function == URB_FUNCTION_ABORT_PIPE;
}

// A suspended port carries no traffic: only what the host controller answers by itself (or
// what ends transfers) still goes through.
bool AllowedWhileSuspended(USHORT function) {
  return function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
}

// The buffer the bus moves data through: the MDL's system address when there is an MDL, else
// TransferBuffer. Null with a non-zero length means the URB has no usable buffer.
bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, uint8_t** out) {
  *out = static_cast<uint8_t*>(buffer);
  if (length == 0) return true;
  if (mdl) {
    if (MmGetMdlByteCount(mdl) < length) return false;
    *out = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  }
  return *out != nullptr;
}

Pipe* FindPipe(PVOID handle, const Slot& slot) {
  BusState& bus = Bus();
  auto it = bus.pipes.find(handle);
  if (it == bus.pipes.end() || it->second->slot != &slot) return nullptr;
  return it->second;
}

NTSTATUS Refuse(PIRP irp, PURB urb, USBD_STATUS status, const Slot& slot,
               std::optional<NTSTATUS> irpStatus = std::nullopt) {
  BusState& bus = Bus();
  ++bus.stats.urbsRefused;
  NTSTATUS result = STATUS_INVALID_PARAMETER;
  if (urb) {
    urb->UrbHeader.Status = status;
    result = irpStatus.value_or(MapStatus(status));
    if (bus.capture) {
      bus.capture->SetDevice(1, slot.address);
      bus.capture->RecordSubmit(IrpId(irp), urb->UrbHeader.Function, 0, PcapTransfer::IrpInfo, std::nullopt, {});
      bus.capture->RecordComplete(IrpId(irp), status, urb->UrbHeader.Function, 0, PcapTransfer::IrpInfo, {});
    }
  }
  irp->IoStatus.Status = result;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return result;
}

// The hub refuses traffic to a suspended device before the host controller sees it.
NTSTATUS RefuseSuspended(PIRP irp, PURB urb, const Slot& slot) {
  return Refuse(irp, urb, USBD_STATUS_NOT_ACCESSED, slot, STATUS_DEVICE_POWERED_OFF);
}

NTSTATUS Succeed(PIRP irp, PURB urb, const Slot& slot, UCHAR endpoint = 0) {
  BusState& bus = Bus();
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  if (bus.capture) {
    bus.capture->SetDevice(1, slot.address);
    bus.capture->RecordUrbComplete(IrpId(irp), urb, endpoint);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Removes a transfer from whichever queue holds it; a pipe whose first transfer changes is
// polled again.
void Unqueue(Transfer& transfer) {
  auto drop = [&](std::deque<TransferPtr>& queue) {
    auto it = std::find_if(queue.begin(), queue.end(), [&](const TransferPtr& t) { return t.get() == &transfer; });
    if (it == queue.end()) return false;
    queue.erase(it);
    return true;
  };
  if (transfer.work == Work::Data) {
    if (transfer.pipe) {
      const bool wasFirst = !transfer.pipe->queue.empty() && transfer.pipe->queue.front().get() == &transfer;
      if (drop(transfer.pipe->queue) && wasFirst) transfer.pipe->parked = false;
    }
  } else {
    drop(transfer.slot->control);
  }
}

VOID NTAPI CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusState& bus = Bus();
  TransferPtr transfer;
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock, &irql);
  if (auto it = bus.pending.find(irp); it != bus.pending.end()) {
    transfer = it->second;
    bus.pending.erase(it);
    transfer->cancelled = true;
    Unqueue(*transfer);
  }
  KeReleaseSpinLock(&bus.lock, irql);
  if (!transfer) return;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  CompleteTransfer(transfer, USBD_STATUS_CANCELED);
  KeLowerIrql(old);
  ScheduleFrame();
}

USBD_STATUS PrepareDescriptor(Transfer& t) {
  auto& r = t.urb->UrbControlDescriptorRequest;
  if (r.TransferBufferLength < sizeof(USB_COMMON_DESCRIPTOR)) return USBD_STATUS_INVALID_PARAMETER;
  if (!ResolveBuffer(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &t.buffer))
    return USBD_STATUS_INVALID_PARAMETER;
  t.work = Work::Descriptor;
  t.in = true;
  t.length = std::min<ULONG>(r.TransferBufferLength, 0xFFFF);
  t.setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index),
                        r.LanguageId, static_cast<uint16_t>(t.length)};
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS PrepareRequest(Transfer& t, uint8_t requestType) {
  auto& r = t.urb->UrbControlVendorClassRequest;
  if (r.TransferBufferLength > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  if (!ResolveBuffer(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &t.buffer))
    return USBD_STATUS_INVALID_PARAMETER;
  t.work = Work::Request;
  t.in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  t.length = r.TransferBufferLength;
  t.setup = SetupPacket{static_cast<uint8_t>((t.in ? 0x80 : 0x00) | requestType | r.RequestTypeReservedBits),
                        r.Request, r.Value, r.Index, static_cast<uint16_t>(t.length)};
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS PrepareSelect(Transfer& t) {
  auto& r = t.urb->UrbSelectConfiguration;
  t.work = Work::SelectConfiguration;
  if (r.Hdr.Length < kSelectConfigurationFixed) return USBD_STATUS_INVALID_PARAMETER;
  if (!r.ConfigurationDescriptor) return USBD_STATUS_SUCCESS;
  if (r.Hdr.Length < kSelectConfigurationFixed + GET_USBD_INTERFACE_SIZE(0)) return USBD_STATUS_INVALID_PARAMETER;
  const auto* configuration = r.ConfigurationDescriptor;
  if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS PrepareData(Transfer& t) {
  auto& r = t.urb->UrbBulkOrInterruptTransfer;
  if (!ResolveBuffer(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &t.buffer))
    return USBD_STATUS_INVALID_PARAMETER;
  t.work = Work::Data;
  t.pipeHandle = r.PipeHandle;
  t.length = r.TransferBufferLength;
  t.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  return USBD_STATUS_SUCCESS;
}

// The pipe-dependent checks, with the lock held so that the pipe stays open until queued.
USBD_STATUS BindPipe(Transfer& t, const Slot& slot) {
  Pipe* pipe = FindPipe(t.pipeHandle, slot);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  t.pipe = pipe;
  t.endpoint = pipe->endpoint;
  t.pipeType = pipe->type == UsbdPipeTypeInterrupt ? PcapTransfer::Interrupt : PcapTransfer::Bulk;
  if (t.work != Work::Data) return USBD_STATUS_SUCCESS;
  if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) return USBD_STATUS_INVALID_PARAMETER;
  if (pipe->maxPacket == 0) return USBD_STATUS_INVALID_PARAMETER;
  if (t.length > pipe->maxTransfer) return USBD_STATUS_INVALID_PARAMETER;
  // The direction is the endpoint's, whatever the flag said.
  t.in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint) != 0;
  auto& flags = t.urb->UrbBulkOrInterruptTransfer.TransferFlags;
  flags = t.in ? (flags | USBD_TRANSFER_DIRECTION_IN) : (flags & ~ULONG(USBD_TRANSFER_DIRECTION_IN));
  return USBD_STATUS_SUCCESS;
}

NTSTATUS AbortPipe(const std::shared_ptr<Slot>& slot, PIRP irp, PURB urb) {
  BusState& bus = Bus();
  std::vector<TransferPtr> aborted;
  UCHAR endpoint = 0;
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock, &irql);
  Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle, *slot);
  if (pipe) {
    endpoint = pipe->endpoint;
    aborted.assign(pipe->queue.begin(), pipe->queue.end());
    pipe->queue.clear();
    pipe->parked = false;
  }
  KeReleaseSpinLock(&bus.lock, irql);
  if (!pipe) return Refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, *slot);
  if (bus.capture) {
    bus.capture->SetDevice(1, slot->address);
    bus.capture->RecordUrbSubmit(IrpId(irp), urb, endpoint);
  }
  for (const auto& transfer : aborted) ClaimAndComplete(transfer, USBD_STATUS_CANCELED);
  return Succeed(irp, urb, *slot, endpoint);
}

// The bus owns a pending URB and its buffer until it gives the URB back. A second transfer on
// the same URB memory overwrites what the bus works with (even a refusal writes its status).
void CheckUrbNotInFlight(PURB urb) {
  for (const auto& [irp, other] : Bus().pending) {
    if (other->urb != urb) continue;
    Machine::Current().Report("urb submitted while in flight",
                              "URB function " + std::to_string(urb->UrbHeader.Function) +
                                  " submitted again before its earlier transfer completed");
    return;
  }
}

// A buffer that overlaps one the bus writes into (an IN transfer) races it; two OUT transfers
// may read the same bytes. Lock held.
void CheckBufferNotInFlight(const Transfer& transfer) {
  if (!transfer.buffer || transfer.length == 0) return;
  const uint8_t* begin = transfer.buffer;
  const uint8_t* end = begin + transfer.length;
  for (const auto& [irp, other] : Bus().pending) {
    if (other->urb == transfer.urb || !other->buffer || other->length == 0 || (!transfer.in && !other->in)) continue;
    if (begin < other->buffer + other->length && other->buffer < end) {
      Machine::Current().Report("transfer buffer submitted while in flight",
                                std::to_string(transfer.length) + "-byte " + (transfer.in ? "IN" : "OUT") +
                                    " buffer overlaps that of a pending " + (other->in ? "IN" : "OUT") + " transfer");
      return;
    }
  }
}

NTSTATUS SubmitUrb(const std::shared_ptr<Slot>& slot, PIRP irp) {
  BusState& bus = Bus();
  auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (!urb) return Refuse(irp, nullptr, USBD_STATUS_INVALID_PARAMETER, *slot);
  CheckUrbNotInFlight(urb);
  const USHORT function = urb->UrbHeader.Function;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && NeedsPassiveLevel(function))
    Machine::Current().Report("URB function requires PASSIVE_LEVEL",
                              "function " + std::to_string(function) + " at IRQL " +
                                  std::to_string(KeGetCurrentIrql()));
  if (!slot->present) return Refuse(irp, urb, USBD_STATUS_DEVICE_GONE, *slot);
  if (!IsKnownFunction(function)) return Refuse(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, *slot);
  if (size_t fixed = FixedLength(function); fixed && urb->UrbHeader.Length != fixed)
    return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, *slot);
  if (Suspended(*slot) && !AllowedWhileSuspended(function)) return RefuseSuspended(irp, urb, *slot);

  auto transfer = std::make_shared<Transfer>();
  transfer->irp = irp;
  transfer->urb = urb;
  transfer->slot = slot.get();
  USBD_STATUS status;
  bool onPipe = false;
  if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    status = PrepareDescriptor(*transfer);
  } else if (auto type = RequestType(function)) {
    status = PrepareRequest(*transfer, *type);
  } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    status = PrepareSelect(*transfer);
  } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    status = PrepareData(*transfer);
    onPipe = true;
  } else if (function == URB_FUNCTION_RESET_PIPE) {
    transfer->work = Work::ResetPipe;
    transfer->pipeHandle = urb->UrbPipeRequest.PipeHandle;
    status = USBD_STATUS_SUCCESS;
    onPipe = true;
  } else if (function == URB_FUNCTION_ABORT_PIPE) {
    return AbortPipe(slot, irp, urb);
  } else if (function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
    if (bus.capture) {
      bus.capture->SetDevice(1, slot->address);
      bus.capture->RecordUrbSubmit(IrpId(irp), urb);
    }
    urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(Machine::Current().Now() / kFrameLength);
    return Succeed(irp, urb, *slot);
  } else {
    status = USBD_STATUS_NOT_SUPPORTED;
  }
  if (!USBD_SUCCESS(status)) return Refuse(irp, urb, status, *slot);

  KIRQL irql;
  KeAcquireSpinLock(&bus.lock, &irql);
  if (!slot->present) status = USBD_STATUS_DEVICE_GONE;
  else if (Suspended(*slot)) status = USBD_STATUS_NOT_ACCESSED;  // suspended on another processor
  else if (onPipe) status = BindPipe(*transfer, *slot);
  if (USBD_SUCCESS(status)) CheckBufferNotInFlight(*transfer);
  if (!USBD_SUCCESS(status)) {
    KeReleaseSpinLock(&bus.lock, irql);
    return status == USBD_STATUS_NOT_ACCESSED ? RefuseSuspended(irp, urb, *slot) : Refuse(irp, urb, status, *slot);
  }
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  RecordSubmit(*transfer);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelRoutine);
  // Cancelled before it was queued: refuse it unless the cancel routine is already on its
  // way, in which case it must find the transfer.
  const bool cancelledNow = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
  if (!cancelledNow) {
    bus.pending[irp] = transfer;
    if (transfer->work == Work::Data) {
      if (transfer->pipe->queue.empty()) transfer->pipe->parked = false;
      transfer->pipe->queue.push_back(transfer);
    } else {
      slot->control.push_back(transfer);
    }
  }
  KeReleaseSpinLock(&bus.lock, irql);
  if (cancelledNow) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteTransfer(transfer, USBD_STATUS_CANCELED);
    KeLowerIrql(old);
    return STATUS_PENDING;
  }
  // The device may have gone while the request was being queued.
  if (!slot->present) RequestService();
  ScheduleFrame();
  return STATUS_PENDING;
}

NTSTATUS RemoveDevice(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp) {
  BusState& bus = Bus();
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock, &irql);
  const bool present = slot->present;
  std::vector<TransferPtr> taken = TakeAllTransfers(*slot);
  if (present) {
    // The stack above is gone; a new one starts from the unconfigured device, in D0 (its
    // START assumes it).
    ClosePipes(*slot);
    slot->configurationHandle = nullptr;
    slot->configurationValue = 0;
    slot->power = PowerDeviceD0;
  } else {
    slot->removeReceived = true;
  }
  KeReleaseSpinLock(&bus.lock, irql);
  for (const auto& transfer : taken)
    ClaimAndComplete(transfer, present ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE);
  const NTSTATUS status = io::DefaultBusDispatch(pdo, irp);
  if (!present) {
    // The function driver detaches after the request has come back; delete once it has.
    TryDeletePdo(slot);
    if (!slot->pdoDeleted) Machine::Current().AddClockEvent(Machine::Current().Now(), [slot] { TryDeletePdo(slot); });
  }
  return status;
}

}  // namespace

NTSTATUS MapStatus(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_PIPE_FLAGS:
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_UNSUCCESSFUL;
  }
}

void RecordSubmit(const Transfer& transfer) {
  BusState& bus = Bus();
  if (!bus.capture) return;
  bus.capture->SetDevice(1, transfer.slot->address);
  bus.capture->RecordUrbSubmit(IrpId(transfer.irp), transfer.urb, transfer.endpoint, transfer.pipeType);
}

void CompleteTransfer(const TransferPtr& transfer, USBD_STATUS status) {
  BusState& bus = Bus();
  PURB urb = transfer->urb;
  PIRP irp = transfer->irp;
  urb->UrbHeader.Status = status;
  switch (transfer->work) {
    case Work::Data: urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transfer->done; break;
    case Work::Descriptor: urb->UrbControlDescriptorRequest.TransferBufferLength = transfer->done; break;
    case Work::Request: urb->UrbControlVendorClassRequest.TransferBufferLength = transfer->done; break;
    default: break;
  }
  // The capture shows what crossed the bus; a faulty lower driver misreports it afterwards.
  if (bus.capture) {
    bus.capture->SetDevice(1, transfer->slot->address);
    bus.capture->RecordUrbComplete(IrpId(irp), urb, transfer->endpoint, transfer->pipeType);
  }
  if (transfer->work == Work::Data && status == USBD_STATUS_SUCCESS) {
    if (long delta = transfer->slot->port->TakeLengthFault(transfer->endpoint)) {
      const long long reported = static_cast<long long>(transfer->done) + delta;
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength =
          static_cast<ULONG>(std::clamp<long long>(reported, 0, 0xFFFFFFFFll));
    }
  }
  ++bus.stats.transfersCompleted;
  Machine::Current().Progress();
  irp->IoStatus.Status = MapStatus(status);
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void ClaimAndComplete(const TransferPtr& transfer, USBD_STATUS status) {
  BusState& bus = Bus();
  bool mine = false;
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock, &irql);
  auto it = bus.pending.find(transfer->irp);
  if (it != bus.pending.end() && it->second == transfer && !transfer->cancelled &&
      IoSetCancelRoutine(transfer->irp, nullptr) != nullptr) {
    bus.pending.erase(transfer->irp);
    mine = true;
  }
  KeReleaseSpinLock(&bus.lock, irql);
  if (!mine) return;  // its cancel routine completes it
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  CompleteTransfer(transfer, status);
  KeLowerIrql(old);
}

std::vector<TransferPtr> TakeAllTransfers(Slot& slot) {
  std::vector<TransferPtr> taken(slot.control.begin(), slot.control.end());
  slot.control.clear();
  for (auto& pipe : slot.pipes) {
    taken.insert(taken.end(), pipe->queue.begin(), pipe->queue.end());
    pipe->queue.clear();
  }
  return taken;
}

std::vector<TransferPtr> ClosePipes(Slot& slot) {
  BusState& bus = Bus();
  std::vector<TransferPtr> taken;
  for (auto& pipe : slot.pipes) {
    for (auto& transfer : pipe->queue) transfer->pipe = nullptr;
    taken.insert(taken.end(), pipe->queue.begin(), pipe->queue.end());
    pipe->queue.clear();
    bus.pipes.erase(pipe->handle);
  }
  // A pipe reset still queued on endpoint 0 now names a closed pipe.
  for (auto& transfer : slot.control)
    if (transfer->work == Work::ResetPipe) transfer->pipe = nullptr;
  slot.pipes.clear();
  return taken;
}

NTSTATUS DispatchPdo(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
    return SubmitUrb(slot, irp);
  if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE)
    return RemoveDevice(slot, pdo, irp);
  if (sp->MajorFunction == IRP_MJ_PNP) return DispatchPdoPnp(slot, pdo, irp);
  if (sp->MajorFunction == IRP_MJ_POWER) return DispatchPdoPower(slot, pdo, irp);
  return io::DefaultBusDispatch(pdo, irp);
}

}  // namespace sim::usb::bus
