// Pipe resets and aborts: one _URB_PIPE_REQUEST per request, sent down and awaited.
//
// The URB shares its pool block with what the waiter and the completion routine both need:
// the completion event and an owner count. The waiter may stop waiting before the bus driver
// completes (the bounded requests), so neither side frees alone: each drops its ownership when
// it is done with the block, and whichever drops the last frees the request and the block.
// With the event in the block, a late completion can never wake a later request's waiter.
#include "command/pipe_reset.h"

#include "command/command_queue.h"

struct PipeResetBlock {
  struct _URB_PIPE_REQUEST Urb;  // first: the block is the URB the bus driver sees
  KEVENT Done;
  NTSTATUS Status;  // the request's final status, written before Done is set
  LONG Owners;      // the waiter and the completion
};

static VOID PipeResetRelease(PipeResetBlock* Block, PIRP Irp) {
  if (InterlockedDecrement(&Block->Owners) == 0) {
    IoFreeIrp(Irp);
    ExFreePool(Block);
  }
}

static NTSTATUS NTAPI PipeResetComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PipeResetBlock* Block = (PipeResetBlock*)Context;
  Block->Status = Irp->IoStatus.Status;
  KeSetEvent(&Block->Done, EVENT_INCREMENT, FALSE);
  PipeResetRelease(Block, Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Function is URB_FUNCTION_RESET_PIPE or URB_FUNCTION_ABORT_PIPE. Timeout NULL waits
// without limit.
static NTSTATUS PipeRequest(AdapterExtension* Adapter, PUSBD_PIPE_INFORMATION Pipe, USHORT Function, ULONG Tag,
                            PLARGE_INTEGER Timeout) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL || Adapter == NULL || Adapter->LowerDevice == NULL || Pipe == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  PIRP Irp = IoAllocateIrp((CCHAR)(Adapter->LowerDevice->StackSize + 1), FALSE);
  if (Irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PipeResetBlock* Block = (PipeResetBlock*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PipeResetBlock), Tag);
  if (Block == NULL) {
    IoFreeIrp(Irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Block, sizeof(PipeResetBlock));
  Block->Urb.Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  Block->Urb.Hdr.Function = Function;
  Block->Urb.PipeHandle = Pipe->PipeHandle;
  Block->Status = STATUS_PENDING;
  Block->Owners = 2;

  IoSetNextIrpStackLocation(Irp);
  IoGetCurrentIrpStackLocation(Irp)->DeviceObject = Adapter->Self;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  Next->Parameters.Others.Argument1 = &Block->Urb;
  IoSetCompletionRoutine(Irp, PipeResetComplete, Block, TRUE, TRUE, TRUE);

  KeInitializeEvent(&Block->Done, NotificationEvent, FALSE);
  NTSTATUS Status = IoCallDriver(Adapter->LowerDevice, Irp);
  if (Status == STATUS_PENDING) {
    NTSTATUS Wait = KeWaitForSingleObject(&Block->Done, Executive, KernelMode, FALSE, Timeout);
    Status = Wait == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Block->Status;
  }
  PipeResetRelease(Block, Irp);
  return Status;
}

NTSTATUS DataOutPipeReset(PortExtension* Port) {
  if (Port == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  return PipeRequest(Port->Adapter, Port->DataOutPipe, URB_FUNCTION_RESET_PIPE, TAG_BR37, NULL);
}

NTSTATUS ResponsePipeReset(AdapterExtension* Adapter) {
  LARGE_INTEGER Timeout;
  Timeout.QuadPart = COMMAND_WAIT_TIMEOUT;
  return PipeRequest(Adapter, Adapter == NULL ? NULL : Adapter->ResponsePipe, URB_FUNCTION_RESET_PIPE, TAG_BR38,
                     &Timeout);
}

NTSTATUS CommandPipeReset(AdapterExtension* Adapter) {
  LARGE_INTEGER Timeout;
  Timeout.QuadPart = COMMAND_WAIT_TIMEOUT;
  return PipeRequest(Adapter, Adapter == NULL ? NULL : Adapter->CommandPipe, URB_FUNCTION_RESET_PIPE, TAG_BR35,
                     &Timeout);
}

NTSTATUS CommandChannelPipesAbort(AdapterExtension* Adapter) {
  LARGE_INTEGER Timeout;
  Timeout.QuadPart = COMMAND_WAIT_TIMEOUT;
  NTSTATUS Command = PipeRequest(Adapter, Adapter == NULL ? NULL : Adapter->CommandPipe, URB_FUNCTION_ABORT_PIPE,
                                 TAG_BR35, &Timeout);
  NTSTATUS Response = PipeRequest(Adapter, Adapter == NULL ? NULL : Adapter->ResponsePipe, URB_FUNCTION_ABORT_PIPE,
                                  TAG_BR38, &Timeout);
  return NT_SUCCESS(Command) ? Response : Command;
}
