// The application's side of I/O, and the requests the plug-and-play and power managers send:
// build the IRP as the I/O manager would for the target, dispatch it, collect what comes back.
#include <cstring>

#include "io_internal.h"

namespace sim::iom {
namespace {

using Request = io::Request;
using Result = io::Result;
using Preparer = std::function<bool(PIRP, IrpRecord&, PIO_STACK_LOCATION, Request::State&)>;

constexpr ULONG kFileOpen = 0x00000001;  // create disposition: open an existing file

std::shared_ptr<Request::State> NewState(std::string what) {
  auto state = std::make_shared<Request::State>();
  state->id = Io().nextRequestId++;
  state->what = std::move(what);
  KeInitializeEvent(&state->event, NotificationEvent, FALSE);
  return state;
}

Request Refused(NTSTATUS status) {
  auto state = NewState("refused");
  state->complete = true;
  state->dispatched = true;
  state->result.status = status;
  state->result.dispatchStatus = status;
  KeSetEvent(&state->event, IO_NO_INCREMENT, FALSE);
  return Request(state);
}

struct IssueArgs {
  std::string what;
  PDEVICE_OBJECT target = nullptr;
  PFILE_OBJECT file = nullptr;
  UCHAR major = 0;
  UCHAR minor = 0;
  NTSTATUS initialStatus = STATUS_SUCCESS;
  KPROCESSOR_MODE mode = UserMode;
  bool power = false;
  Preparer prepare;
};

Request Issue(IssueArgs args) {
  auto state = NewState(args.what);
  RunInApplication(args.what, [&] {
    PIRP irp = AllocateIrp(args.target->StackSize, IrpOrigin::Manager, false);
    if (!irp) {
      state->complete = true;
      state->result.status = state->result.dispatchStatus = STATUS_INSUFFICIENT_RESOURCES;
      return;
    }
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    irp->Tail.Overlay.OriginalFileObject = args.file;
    irp->RequestorMode = args.mode;
    irp->IoStatus.Status = args.initialStatus;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = args.major;
    next->MinorFunction = args.minor;
    next->FileObject = args.file;
    IrpRecord& record = *FindIrp(irp);
    record.major = args.major;
    record.minor = args.minor;
    if (args.prepare && !args.prepare(irp, record, next, *state)) {
      ReleaseIrp(irp);
      state->complete = true;
      state->result.status = state->result.dispatchStatus = STATUS_INSUFFICIENT_RESOURCES;
      return;
    }
    Request::State* raw = state.get();
    PFILE_OBJECT file = args.major == IRP_MJ_CLOSE ? nullptr : args.file;
    if (file) Io().files[file].requestsInFlight++;
    record.onTop = [state, file](const IO_STATUS_BLOCK& status, CCHAR boost, ULONG_PTR delivered) {
      state->result.status = status.Status;
      state->result.information = status.Information;
      state->result.boost = boost;
      state->result.output.assign(state->buffer.begin(),
                                  state->buffer.begin() + static_cast<ptrdiff_t>(std::min<size_t>(delivered, state->buffer.size())));
      state->complete = true;
      state->irp = nullptr;
      KeSetEvent(&state->event, boost, FALSE);
      if (auto it = Io().files.find(file); file && it != Io().files.end()) {
        it->second.requestsInFlight--;
        FileReferenceReleased(file);
      }
    };
    raw->irp = irp;
    const std::string what = Describe(record);
    NTSTATUS status = args.power ? PoCallDriver(args.target, irp) : IoCallDriver(args.target, irp);
    raw->dispatched = true;
    raw->result.dispatchStatus = status;
    if (status != STATUS_PENDING && !raw->complete)
      Report("irp not completed but status returned",
             what + " returned status " + std::to_string(status) + " from " + DescribeDevice(args.target));
  });
  return Request(state);
}

FileRecord* OpenFile(PFILE_OBJECT file) {
  auto& files = Io().files;
  auto it = files.find(file);
  return it == files.end() || !it->second.open ? nullptr : &it->second;
}

bool FileUnreferenced(PFILE_OBJECT file, const FileRecord& entry) {
  return entry.cleanedUp && !entry.closeSent && entry.requestsInFlight == 0 && io::ObjectReferenceCount(file) == 0;
}

NTSTATUS SendClose(PFILE_OBJECT file) {
  FileRecord& entry = Io().files[file];
  entry.closeSent = true;
  PDEVICE_OBJECT device = entry.device;
  Result close = Issue({"close", entry.target, file, IRP_MJ_CLOSE, 0, STATUS_SUCCESS, KernelMode, false, {}}).Wait();
  Io().files[file].closeStatus = close.status;
  device->ReferenceCount--;
  if (Io().handleClosed) Io().handleClosed(device);
  return close.status;
}

Preparer RawPreparer(io::RawIrp raw) {
  return [raw = std::move(raw)](PIRP irp, IrpRecord& record, PIO_STACK_LOCATION next, Request::State& state) {
    if (!raw.systemBuffer.empty()) {
      record.systemBuffer = std::make_unique<uint8_t[]>(raw.systemBuffer.size());
      std::memcpy(record.systemBuffer.get(), raw.systemBuffer.data(), raw.systemBuffer.size());
      irp->AssociatedIrp.SystemBuffer = record.systemBuffer.get();
      irp->Flags |= IRP_BUFFERED_IO;
      if (raw.copyBack) {
        state.buffer.assign(raw.systemBuffer.size(), 0);
        record.copyBackTo = state.buffer.data();
        record.copyBackLength = static_cast<ULONG>(state.buffer.size());
        record.copyBackFromSystemBuffer = true;
        record.maxInformation = state.buffer.size();
        irp->Flags |= IRP_INPUT_OPERATION;
      }
    }
    if (raw.setup) raw.setup(next);
    return true;
  };
}

Preparer IoctlPreparer(ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  std::vector<uint8_t> bytes(input.begin(), input.end());
  return [code, bytes = std::move(bytes), outputLength](PIRP irp, IrpRecord& record, PIO_STACK_LOCATION next,
                                                        Request::State& state) {
    state.input = bytes;
    state.buffer.assign(outputLength, 0);
    return SetUpIoctlBuffers(irp, record, next, code, state.input.data(), static_cast<ULONG>(state.input.size()),
                             state.buffer.data(), outputLength, false);
  };
}

}  // namespace

void FileReferenceReleased(PFILE_OBJECT file) {
  auto& files = Io().files;
  auto it = files.find(file);
  if (it == files.end() || !FileUnreferenced(file, it->second)) return;
  // The object manager deletes the file object outside the releasing context (it may run at
  // DISPATCH_LEVEL, inside a completion); the close request goes from a worker thread.
  it->second.closeSent = true;
  Machine::Current().Spawn("file close", TaskKind::Worker, [file] {
    SendClose(file);
  });
}

}  // namespace sim::iom

using namespace sim::iom;

namespace sim::io {

// ---- Request ---------------------------------------------------------------------------------

uint64_t Request::Id() const { return state_ ? state_->id : 0; }
bool Request::IsComplete() const { return state_ && state_->complete; }
NTSTATUS Request::Status() const { return IsComplete() ? state_->result.status : STATUS_PENDING; }
ULONG_PTR Request::Information() const { return IsComplete() ? state_->result.information : 0; }
std::vector<uint8_t> Request::Output() const { return IsComplete() ? state_->result.output : std::vector<uint8_t>(); }
CCHAR Request::PriorityBoost() const { return IsComplete() ? state_->result.boost : 0; }
NTSTATUS Request::DispatchStatus() const { return state_ ? state_->result.dispatchStatus : STATUS_PENDING; }
PIRP Request::Irp() const { return state_ && !state_->complete ? state_->irp : nullptr; }

bool Request::Cancel() {
  if (!state_ || state_->complete || !state_->irp) return false;
  bool cancelled = false;
  auto state = state_;
  RunInApplication("cancel", [&] {
    if (state->complete || !state->irp) return;
    PIRP irp = state->irp;
    FindIrp(irp)->cancelHolds++;
    cancelled = IoCancelIrp(irp);
    IrpRecord* record = FindIrp(irp);
    if (--record->cancelHolds == 0 && record->releaseDeferred) ReleaseIrp(irp);
  });
  return cancelled;
}

Result Request::Wait() {
  if (!state_) return {};
  Machine& machine = Machine::Current();
  if (machine.CurrentTask()) {
    if (!state_->complete) KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, nullptr);
  } else {
    auto state = state_;
    machine.RunUntil([state] { return state->complete; });
  }
  return Snapshot();
}

Result Request::Snapshot() const {
  if (!state_) return {};
  Result result = state_->result;
  if (!state_->complete) result.status = STATUS_PENDING;
  return result;
}

// ---- Files -------------------------------------------------------------------------------------

NTSTATUS OpenDevice(PDEVICE_OBJECT device, PFILE_OBJECT* file, std::u16string_view fileName) {
  *file = nullptr;
  DeviceRecord* record = FindDeviceRecord(device);
  if (!record || record->deleted || (device->Flags & DO_DEVICE_INITIALIZING)) return STATUS_NO_SUCH_DEVICE;
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) return STATUS_ACCESS_DENIED;

  auto object = std::make_unique<FILE_OBJECT>();
  std::memset(object.get(), 0, sizeof(FILE_OBJECT));
  PFILE_OBJECT fileObject = object.get();
  FileRecord& entry = Io().files[fileObject];
  entry.file = std::move(object);
  entry.fileName = std::u16string(fileName);
  entry.device = device;
  entry.target = TopOfStack(device);
  fileObject->Type = kTypeFile;
  fileObject->Size = sizeof(FILE_OBJECT);
  fileObject->DeviceObject = device;
  fileObject->FileName.Buffer = entry.fileName.data();
  fileObject->FileName.Length = static_cast<USHORT>(entry.fileName.size() * sizeof(WCHAR));
  fileObject->FileName.MaximumLength = static_cast<USHORT>(fileObject->FileName.Length + sizeof(WCHAR));

  device->ReferenceCount++;
  Result result = Issue({"create", entry.target, fileObject, IRP_MJ_CREATE, 0, STATUS_SUCCESS, UserMode, false,
                         [](PIRP, IrpRecord&, PIO_STACK_LOCATION next, Request::State&) {
                           next->Parameters.Create.Options = kFileOpen << 24;
                           return true;
                         }})
                      .Wait();
  if (!NT_SUCCESS(result.status) || result.status == STATUS_PENDING) {
    device->ReferenceCount--;
    Io().files.erase(fileObject);
    return result.status;
  }
  Io().files[fileObject].open = true;
  *file = fileObject;
  return result.status;
}

NTSTATUS Open(std::u16string_view name, PFILE_OBJECT* file) {
  *file = nullptr;
  const std::u16string full(name);
  size_t split = full.size();
  PDEVICE_OBJECT device = nullptr;
  while (split > 0) {
    device = FindDevice(full.substr(0, split));
    if (device) break;
    size_t previous = full.rfind(u'\\', split - 1);
    if (previous == std::u16string::npos || previous == 0) break;
    split = previous;
  }
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenDevice(device, file, std::u16string_view(full).substr(split));
}

NTSTATUS Close(PFILE_OBJECT file, NTSTATUS* cleanupStatus) {
  FileRecord* entry = OpenFile(file);
  if (!entry) return STATUS_INVALID_HANDLE;
  entry->open = false;
  PDEVICE_OBJECT target = entry->target;
  Result cleanup = Issue({"cleanup", target, file, IRP_MJ_CLEANUP, 0, STATUS_SUCCESS, UserMode, false, {}}).Wait();
  if (cleanupStatus) *cleanupStatus = cleanup.status;
  FileRecord& cleaned = Io().files[file];
  cleaned.cleanedUp = true;
  if (!FileUnreferenced(file, cleaned)) return STATUS_PENDING;
  NTSTATUS status = STATUS_SUCCESS;
  RunInApplication("close", [&] { status = SendClose(file); });
  return status;
}

std::optional<NTSTATUS> CloseStatus(PFILE_OBJECT file) {
  auto& files = Io().files;
  auto it = files.find(file);
  return it == files.end() ? std::nullopt : it->second.closeStatus;
}

PDEVICE_OBJECT FileTarget(PFILE_OBJECT file) {
  FileRecord* entry = OpenFile(file);
  return entry ? entry->target : nullptr;
}

// ---- Requests ------------------------------------------------------------------------------------

Request ReadAsync(PFILE_OBJECT file, ULONG length, LONGLONG offset) {
  FileRecord* entry = OpenFile(file);
  if (!entry) return Refused(STATUS_INVALID_HANDLE);
  PDEVICE_OBJECT target = entry->target;
  return Issue({"read", target, file, IRP_MJ_READ, 0, STATUS_SUCCESS, UserMode, false,
                [=](PIRP irp, IrpRecord& record, PIO_STACK_LOCATION next, Request::State& state) {
                  state.buffer.assign(length, 0);
                  next->Parameters.Read.Length = length;
                  next->Parameters.Read.ByteOffset.QuadPart = offset;
                  return SetUpTransferBuffers(irp, record, target, true, state.buffer.data(), length, false);
                }});
}

Request WriteAsync(PFILE_OBJECT file, std::span<const uint8_t> data, LONGLONG offset) {
  FileRecord* entry = OpenFile(file);
  if (!entry) return Refused(STATUS_INVALID_HANDLE);
  PDEVICE_OBJECT target = entry->target;
  std::vector<uint8_t> bytes(data.begin(), data.end());
  return Issue({"write", target, file, IRP_MJ_WRITE, 0, STATUS_SUCCESS, UserMode, false,
                [=](PIRP irp, IrpRecord& record, PIO_STACK_LOCATION next, Request::State& state) {
                  state.input = bytes;
                  const auto length = static_cast<ULONG>(state.input.size());
                  next->Parameters.Write.Length = length;
                  next->Parameters.Write.ByteOffset.QuadPart = offset;
                  return SetUpTransferBuffers(irp, record, target, false, state.input.data(), length, false);
                }});
}

Request DeviceControlAsync(PFILE_OBJECT file, ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  FileRecord* entry = OpenFile(file);
  if (!entry) return Refused(STATUS_INVALID_HANDLE);
  return Issue({"ioctl", entry->target, file, IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS, UserMode, false,
                IoctlPreparer(code, input, outputLength)});
}

Request SendAsync(PFILE_OBJECT file, RawIrp irp) {
  FileRecord* entry = OpenFile(file);
  if (!entry) return Refused(STATUS_INVALID_HANDLE);
  const UCHAR major = irp.major, minor = irp.minor;
  const NTSTATUS initial = irp.initialStatus;
  return Issue({"raw", entry->target, file, major, minor, initial, UserMode, major == IRP_MJ_POWER,
                RawPreparer(std::move(irp))});
}

Request SendAsync(PDEVICE_OBJECT device, RawIrp irp) {
  if (!device) return Refused(STATUS_INVALID_PARAMETER);
  const UCHAR major = irp.major, minor = irp.minor;
  const NTSTATUS initial = irp.initialStatus;
  return Issue({"raw", device, nullptr, major, minor, initial, KernelMode, major == IRP_MJ_POWER,
                RawPreparer(std::move(irp))});
}

Result Read(PFILE_OBJECT file, ULONG length, LONGLONG offset) { return ReadAsync(file, length, offset).Wait(); }
Result Write(PFILE_OBJECT file, std::span<const uint8_t> data, LONGLONG offset) {
  return WriteAsync(file, data, offset).Wait();
}
Result DeviceControl(PFILE_OBJECT file, ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  return DeviceControlAsync(file, code, input, outputLength).Wait();
}
Result Send(PFILE_OBJECT file, RawIrp irp) { return SendAsync(file, std::move(irp)).Wait(); }
Result Send(PDEVICE_OBJECT device, RawIrp irp) { return SendAsync(device, std::move(irp)).Wait(); }

Result InternalDeviceControl(PDEVICE_OBJECT device, ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  if (!device) return Refused(STATUS_INVALID_PARAMETER).Snapshot();
  return Issue({"internal ioctl", device, nullptr, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, STATUS_SUCCESS, KernelMode,
                false, IoctlPreparer(code, input, outputLength)})
      .Wait();
}

// ---- Plug and play and power -------------------------------------------------------------------

Request SendPnpAsync(PDEVICE_OBJECT device, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup) {
  if (!device) return Refused(STATUS_INVALID_PARAMETER);
  return Issue({"pnp", TopOfStack(device), nullptr, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, KernelMode, false,
                [setup = std::move(setup)](PIRP, IrpRecord&, PIO_STACK_LOCATION next, Request::State&) {
                  if (setup) setup(next);
                  return true;
                }});
}

Result SendPnp(PDEVICE_OBJECT device, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup) {
  return SendPnpAsync(device, minor, std::move(setup)).Wait();
}

Request SendPowerAsync(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                       POWER_ACTION action) {
  if (!device) return Refused(STATUS_INVALID_PARAMETER);
  return Issue({"power", TopOfStack(device), nullptr, IRP_MJ_POWER, minor, STATUS_NOT_SUPPORTED, KernelMode, true,
                [=](PIRP, IrpRecord&, PIO_STACK_LOCATION next, Request::State&) {
                  if (minor == IRP_MN_WAIT_WAKE) {
                    next->Parameters.WaitWake.PowerState = state.SystemState;
                  } else {
                    next->Parameters.Power.SystemContext = 0;
                    next->Parameters.Power.Type = type;
                    next->Parameters.Power.State = state;
                    next->Parameters.Power.ShutdownType = action;
                  }
                  return true;
                }});
}

Result SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action) {
  return SendPowerAsync(device, minor, type, state, action).Wait();
}

}  // namespace sim::io
