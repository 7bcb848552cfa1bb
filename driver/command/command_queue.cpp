// The command FIFO of an adapter: one bulk OUT transfer in flight at a time, strictly in
// queue order, with a bounded wait for the firmware's answer. AdapterLock guards the queue and
// the transfer slots; every request goes down, and every pipe request is made, with it
// released: the bus driver may complete inside the call, and the completion takes the lock.
#include "command/command_queue.h"

#include "command/pipe_reset.h"
#include "command/response.h"
#include "core/helpers.h"
#include "core/usb_transfer.h"

BOOLEAN AdapterLockEnter(AdapterExtension* Adapter) {
  if (OwnedSpinLockHeldHere(&Adapter->AdapterLock)) {
    return FALSE;
  }
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  return TRUE;
}

VOID AdapterLockLeave(AdapterExtension* Adapter, BOOLEAN Acquired) {
  if (Acquired) {
    ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  }
}

CommandMessage* CommandAllocate(UCHAR Code, const VOID* Payload, ULONG PayloadLength) {
  ULONG Length = PayloadLength + 1;
  CommandMessage* Message = (CommandMessage*)ExAllocatePoolWithTag(
      NonPagedPool, FIELD_OFFSET(CommandMessage, Bytes) + Length, TAG_BR11);
  if (Message == NULL) {
    return NULL;
  }
  Message->Link.Flink = Message->Link.Blink = &Message->Link;
  Message->Length = Length;
  Message->Bytes[0] = Code;
  RtlCopyMemory(&Message->Bytes[1], Payload, PayloadLength);
  return Message;
}

// Brings back what a failure left behind, before this issuer's command is queued: a response
// pipe whose read failed, and a command channel that stalled. Each recovery is claimed under
// the lock so that two issuers never reset the same pipe at once. PASSIVE_LEVEL.
static VOID CommandRecoverPipes(AdapterExtension* Adapter) {
  BOOLEAN ResetResponse = FALSE;
  BOOLEAN RestartCommands = FALSE;

  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  if (!Adapter->CommandChannelStopped && !Adapter->AdapterRemoved) {
    if (Adapter->ResponseResetNeeded) {
      Adapter->ResponseResetNeeded = FALSE;
      // A read started since the failure owns the pipe now; a reset would abort it. Should it
      // fail as well, its completion asks for the reset again.
      ResetResponse = Adapter->ResponseIrp == NULL;
    }
    if (Adapter->CommandRestartNeeded) {
      Adapter->CommandRestartNeeded = FALSE;
      RestartCommands = TRUE;
    }
  }
  AdapterLockLeave(Adapter, Acquired);

  if (ResetResponse) {
    ResponsePipeReset(Adapter);
    ResponseReadStart(Adapter);
  }
  if (RestartCommands) {
    // A failed bulk OUT transfer halts the pipe at the host controller: clear that first.
    CommandPipeReset(Adapter);
    Acquired = AdapterLockEnter(Adapter);
    if (Adapter->CommandIrp == NULL) {
      Adapter->CommandBusy = FALSE;
    }
    AdapterLockLeave(Adapter, Acquired);
    CommandSendNext(Adapter);
  }
}

NTSTATUS CommandIssue(AdapterExtension* Adapter, UCHAR Code, const VOID* Payload, ULONG PayloadLength) {
  if (Adapter == NULL || Payload == NULL || PayloadLength == 0 || PayloadLength > COMMAND_PAYLOAD_MAX) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG PortNumber = ((const UCHAR*)Payload)[0];
  if (PortNumber == 0 || PortNumber > Adapter->PortCount || PortNumber > MAX_PORTS) {
    return STATUS_INVALID_PARAMETER;
  }
  PortExtension* Port = Adapter->Ports[PortNumber - 1];
  if (Port == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  // The hardware is gone: nothing to send and nobody to answer. Surprise removal sets the
  // state on another processor under AdapterLock.
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  const BOOLEAN Gone = Port->DevicePnpState == SurpriseRemoved;
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  if (Gone) {
    return STATUS_SUCCESS;
  }

  KeClearEvent(&Port->CommandDoneEvent);
  KeClearEvent(&Port->StatusEvent);

  CommandMessage* Message = CommandAllocate(Code, Payload, PayloadLength);
  if (Message == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // Pipe resets wait, so they are left to an issuer that may.
  BOOLEAN CanWait = KeGetCurrentIrql() < DISPATCH_LEVEL;
  if (CanWait) {
    CommandRecoverPipes(Adapter);
  }

  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  if (Adapter->CommandChannelStopped) {
    AdapterLockLeave(Adapter, Acquired);
    ExFreePool(Message);
    return STATUS_SUCCESS;
  }
  InsertTailList(&Adapter->CommandQueue, &Message->Link);
  AdapterLockLeave(Adapter, Acquired);
  CommandSendNext(Adapter);

  if (!CanWait) {
    return STATUS_SUCCESS;
  }
  // The outcome is not examined: an unanswered command still succeeds after its wait.
  LARGE_INTEGER Timeout;
  Timeout.QuadPart = COMMAND_WAIT_TIMEOUT;
  switch (Code) {
    case COMMAND_OPEN_PORT:
    case COMMAND_CLOSE_PORT:
    case COMMAND_SET_CONFIGURATION:
    case COMMAND_SET_RTS:
    case COMMAND_SET_DTR:
    case COMMAND_SET_BREAK:
    case COMMAND_PURGE:
      KeWaitForSingleObject(&Port->CommandDoneEvent, Executive, KernelMode, FALSE, &Timeout);
      break;
    case COMMAND_GET_STATUS:
      KeWaitForSingleObject(&Port->StatusEvent, Executive, KernelMode, FALSE, &Timeout);
      break;
    default:
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CommandSendNext(AdapterExtension* Adapter) {
  NTSTATUS Status;
  PIRP Irp = NULL;
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  if (Adapter->CommandBusy) {
    Status = STATUS_PENDING;
  } else if (IsListEmpty(&Adapter->CommandQueue)) {
    Status = STATUS_SUCCESS;
  } else if (Adapter->CommandChannelStopped || Adapter->AdapterRemoved) {
    // What is queued stays for CommandChannelStop to free.
    Status = STATUS_DELETE_PENDING;
  } else if (Adapter->CommandUrb == NULL || Adapter->CommandPipe == NULL || Adapter->LowerDevice == NULL) {
    // Not started: nothing to send with yet.
    Status = STATUS_INVALID_DEVICE_STATE;
  } else {
    Adapter->CommandBusy = TRUE;
    Status = CommandSubmit(Adapter, &Irp);
  }
  AdapterLockLeave(Adapter, Acquired);
  if (Irp != NULL) {
    Status = IoCallDriver(Adapter->LowerDevice, Irp);
  }
  return Status;
}

NTSTATUS CommandSubmit(AdapterExtension* Adapter, PIRP* Irp) {
  PLIST_ENTRY Head = Adapter->CommandQueue.Flink;
  CommandMessage* Message = CONTAINING_RECORD(Head, CommandMessage, Link);

  // Both allocations come before the message leaves the queue: a failure leaves it at the
  // head, and the stalled channel sends it once the next issuer has restarted it.
  *Irp = CommandChannelTransferAllocate(Adapter, Message->Bytes, Message->Length);
  if (*Irp == NULL) {
    Adapter->CommandRestartNeeded = TRUE;
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  RemoveEntryList(Head);
  Adapter->CurrentCommand = Message;
  CommandChannelTransferPrepare(Adapter, *Irp, &Adapter->CommandIrp, Adapter->CommandUrb,
                                Adapter->CommandPipe->PipeHandle, Message->Length, 0, CommandSendComplete);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CommandSendComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  AdapterExtension* Adapter = (AdapterExtension*)Context;

  BOOLEAN SendNext = FALSE;
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  // The acknowledged length is not examined: a block is one transfer and cannot be completed
  // by sending its rest, and sending it again could carry the command out twice. A command
  // the firmware did not take whole goes unanswered, and its issuer's wait is bounded.
  BOOLEAN Succeeded = CommandChannelTransferEnd(Irp, Adapter->CommandUrb, &Adapter->CommandIrp);
  FreePoolAndClear(&Adapter->CurrentCommand);

  if (Adapter->AdapterRemoved || Adapter->CommandChannelStopped) {
    // Nothing more goes out; CommandBusy stays set.
  } else if (!Succeeded) {
    // Stalled until the next issuer resets the pipe; the queue keeps its messages.
    Adapter->CommandRestartNeeded = TRUE;
  } else {
    Adapter->CommandBusy = FALSE;
    SendNext = TRUE;
  }
  AdapterLockLeave(Adapter, Acquired);
  if (SendNext) {
    CommandSendNext(Adapter);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP CommandChannelTransferAllocate(AdapterExtension* Adapter, PVOID Buffer, ULONG Length) {
  return UsbTransferAllocate(Adapter->LowerDevice, Buffer, Length);
}

VOID CommandChannelTransferPrepare(AdapterExtension* Adapter, PIRP Irp, PIRP* Slot, PURB Urb, USBD_PIPE_HANDLE Pipe,
                                   ULONG Length, ULONG TransferFlags, PIO_COMPLETION_ROUTINE CompletionRoutine) {
  UsbTransferBuild(Adapter->Self, Irp, Urb, Pipe, Length, TransferFlags, CompletionRoutine, Adapter);
  // Recorded before the call: the completion may run inside it.
  *Slot = Irp;
}

BOOLEAN CommandChannelTransferEnd(PIRP Irp, PURB Urb, PIRP* Slot) {
  BOOLEAN Succeeded = UsbTransferSucceeded(Irp, Urb);
  UsbTransferFree(Irp);
  if (*Slot == Irp) {
    *Slot = NULL;
  }
  return Succeeded;
}

VOID CommandChannelInitialize(AdapterExtension* Adapter) {
  InitializeListHead(&Adapter->CommandQueue);
  Adapter->CurrentCommand = NULL;
  Adapter->CommandIrp = NULL;
  Adapter->CommandBusy = FALSE;
  Adapter->ResponseIrp = NULL;
  Adapter->ResponseResetNeeded = FALSE;
  Adapter->CommandRestartNeeded = FALSE;
  Adapter->CommandChannelStopped = FALSE;
}

VOID CommandChannelStop(AdapterExtension* Adapter) {
  LARGE_INTEGER Poll;
  Poll.QuadPart = -10 * 10000LL;  // 10 ms
  for (;;) {
    BOOLEAN Acquired = AdapterLockEnter(Adapter);
    Adapter->CommandChannelStopped = TRUE;
    BOOLEAN InFlight = Adapter->CommandIrp != NULL || Adapter->ResponseIrp != NULL;
    AdapterLockLeave(Adapter, Acquired);
    if (!InFlight) {
      break;
    }
    // Aborting the pipes, not cancelling the requests: a request's completion frees it, so
    // only the lock could keep it alive for IoCancelIrp, and the completion that runs inside
    // the cancel takes that lock. A transfer claimed before the stop but sent after the
    // abort is caught by the next round.
    CommandChannelPipesAbort(Adapter);
    KeDelayExecutionThread(KernelMode, FALSE, &Poll);
  }

  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  while (!IsListEmpty(&Adapter->CommandQueue)) {
    PLIST_ENTRY Entry = RemoveHeadList(&Adapter->CommandQueue);
    ExFreePool(CONTAINING_RECORD(Entry, CommandMessage, Link));
  }
  AdapterLockLeave(Adapter, Acquired);
}
