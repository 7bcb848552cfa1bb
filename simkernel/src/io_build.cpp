// Requests a driver builds for another (IoBuild*Request), their buffers, and MDLs.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "io_internal.h"
#include "simkernel/pool.h"

namespace sim::iom {
namespace {

constexpr uint8_t kUninitialisedFill = 0xA5;  // system buffers are pool: not zeroed

uint8_t* MakeSystemBuffer(IrpRecord& record, size_t size) {
  record.systemBuffer = std::make_unique<uint8_t[]>(size);
  std::memset(record.systemBuffer.get(), kUninitialisedFill, size);
  return record.systemBuffer.get();
}

bool AttachLockedMdl(PIRP irp, void* buffer, ULONG length, bool injectable) {
  PMDL mdl = AllocateMdl(buffer, length, injectable);
  if (!mdl) return false;
  LockMdl(mdl);
  irp->MdlAddress = mdl;
  return true;
}

PVOID MdlVirtualAddress(PMDL mdl) { return static_cast<PCHAR>(mdl->StartVa) + mdl->ByteOffset; }

void InitializeBuiltIrp(PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  irp->RequestorMode = KernelMode;
  irp->UserEvent = event;
  irp->UserIosb = iosb;
}

}  // namespace

bool SetUpTransferBuffers(PIRP irp, IrpRecord& record, PDEVICE_OBJECT device, bool read, void* buffer,
                          ULONG length, bool injectable) {
  record.maxInformation = length;
  irp->UserBuffer = buffer;
  if (device->Flags & DO_BUFFERED_IO) {
    if (length) {
      uint8_t* system = MakeSystemBuffer(record, length);
      if (!read && buffer) std::memcpy(system, buffer, length);
      irp->AssociatedIrp.SystemBuffer = system;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (read) {
        irp->Flags |= IRP_INPUT_OPERATION;
        record.copyBackFromSystemBuffer = true;
      }
    }
  } else if (device->Flags & DO_DIRECT_IO) {
    if (length && !AttachLockedMdl(irp, buffer, length, injectable)) return false;
  }
  if (read) {
    record.copyBackTo = static_cast<uint8_t*>(buffer);
    record.copyBackLength = length;
  }
  return true;
}

bool SetUpIoctlBuffers(PIRP irp, IrpRecord& record, PIO_STACK_LOCATION sp, ULONG code, const void* input,
                       ULONG inputLength, void* output, ULONG outputLength, bool injectable) {
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  record.maxInformation = outputLength;
  record.copyBackTo = static_cast<uint8_t*>(output);
  record.copyBackLength = outputLength;
  switch (code & 3) {
    case METHOD_BUFFERED: {
      const ULONG size = std::max(inputLength, outputLength);
      if (size) {
        uint8_t* system = MakeSystemBuffer(record, size);
        if (inputLength && input) std::memcpy(system, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (outputLength) {
          irp->Flags |= IRP_INPUT_OPERATION;
          record.copyBackFromSystemBuffer = true;
        }
      }
      irp->UserBuffer = output;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inputLength) {
        uint8_t* system = MakeSystemBuffer(record, inputLength);
        if (input) std::memcpy(system, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (outputLength && !AttachLockedMdl(irp, output, outputLength, injectable)) return false;
      break;
    case METHOD_NEITHER:
      sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
      irp->UserBuffer = output;
      break;
  }
  return true;
}

PMDL AllocateMdl(PVOID address, ULONG length, bool injectable) {
  if (injectable && Io().mdlFailures.Consume()) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(address);
  const size_t pages = ((start & 0xFFF) + length + 0xFFF) >> 12;
  const size_t size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
  auto* mdl = static_cast<PMDL>(std::calloc(1, size));
  if (!mdl) return nullptr;
  mdl->Size = static_cast<CSHORT>(std::min<size_t>(size, 0x7FFF));
  mdl->StartVa = reinterpret_cast<PVOID>(start & ~uintptr_t(0xFFF));
  mdl->ByteOffset = static_cast<ULONG>(start & 0xFFF);
  mdl->ByteCount = length;
  Io().mdls.insert(mdl);
  return mdl;
}

void FreeMdl(PMDL mdl) {
  if (!Io().mdls.erase(mdl)) {
    Report("free of unknown mdl", "IoFreeMdl on an MDL not allocated by IoAllocateMdl or already freed");
    return;
  }
  std::free(mdl);
}

void LockMdl(PMDL mdl) { mdl->MdlFlags |= kMdlPagesLocked; }

}  // namespace sim::iom

using namespace sim::iom;

namespace sim::io {
void FailNextMdlAllocations(int count, int skip) { Io().mdlFailures = FailurePlan{std::max(skip, 0), count}; }
}  // namespace sim::io

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  SetCall("IoBuildDeviceIoControlRequest");
  PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Built, true);
  if (!irp) return nullptr;
  InitializeBuiltIrp(irp, Event, IoStatusBlock);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  IrpRecord& record = *FindIrp(irp);
  record.major = next->MajorFunction;
  if (!SetUpIoctlBuffers(irp, record, next, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                         OutputBufferLength, true)) {
    ReleaseIrp(irp);
    return nullptr;
  }
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  SetCall("IoBuildSynchronousFsdRequest");
  PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Built, true);
  if (!irp) return nullptr;
  InitializeBuiltIrp(irp, Event, IoStatusBlock);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(MajorFunction);
  IrpRecord& record = *FindIrp(irp);
  record.major = next->MajorFunction;
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = Length;
    next->Parameters.Read.ByteOffset.QuadPart = StartingOffset ? StartingOffset->QuadPart : 0;
    if (!SetUpTransferBuffers(irp, record, DeviceObject, MajorFunction == IRP_MJ_READ, Buffer, Length, true)) {
      ReleaseIrp(irp);
      return nullptr;
    }
  }
  return irp;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  SetCall("IoAllocateMdl");
  PMDL mdl = AllocateMdl(VirtualAddress, Length, true);
  if (!mdl || !Irp) return mdl;
  if (!SecondaryBuffer || !Irp->MdlAddress) {
    Irp->MdlAddress = mdl;
  } else {
    PMDL last = Irp->MdlAddress;
    while (last->Next) last = last->Next;
    last->Next = mdl;
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  SetCall("IoFreeMdl");
  FreeMdl(Mdl);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  SetCall("MmBuildMdlForNonPagedPool");
  PVOID address = MdlVirtualAddress(MemoryDescriptorList);
  if (auto block = sim::pool::FindBlock(address); block && (block->type & 1))
    Report("mdl built on paged pool", block->ToString());
  MemoryDescriptorList->MappedSystemVa = address;
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, MM_PAGE_PRIORITY Priority) {
  UNREFERENCED_PARAMETER(Priority);
  SetCall("MmGetSystemAddressForMdlSafe");
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
  if (Mdl->MdlFlags & kMdlPagesLocked) {
    Mdl->MappedSystemVa = MdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
  }
  Report("mdl mapped without being built", "the MDL's pages were neither locked nor built for non-paged pool");
  return nullptr;
}
