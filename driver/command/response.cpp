// The response read loop and the decoding of the firmware's response blocks.
#include "command/response.h"

#include "command/command_queue.h"
#include "core/helpers.h"

NTSTATUS ResponseReadStart(AdapterExtension* Adapter) {
  NTSTATUS Status;
  PIRP Irp = NULL;
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  if (Adapter->ResponseIrp != NULL) {
    // The loop is already running; a second read would share its URB and buffer.
    Status = STATUS_SUCCESS;
  } else if (Adapter->AdapterRemoved || Adapter->CommandChannelStopped) {
    Status = STATUS_DELETE_PENDING;
  } else if (Adapter->ResponseUrb == NULL || Adapter->ResponseBuffer == NULL || Adapter->ResponsePipe == NULL ||
             Adapter->LowerDevice == NULL) {
    Status = STATUS_INVALID_DEVICE_STATE;
  } else {
    Irp = CommandChannelTransferAllocate(Adapter, Adapter->ResponseBuffer, RESPONSE_BLOCK_SIZE);
    if (Irp == NULL) {
      // Open ports would otherwise go unheard until the last closes: the next command
      // starts the loop again, as after a failed read.
      Adapter->ResponseResetNeeded = TRUE;
      Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      CommandChannelTransferPrepare(Adapter, Irp, &Adapter->ResponseIrp, Adapter->ResponseUrb,
                                    Adapter->ResponsePipe->PipeHandle, RESPONSE_BLOCK_SIZE,
                                    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, ResponseReadComplete);
    }
  }
  AdapterLockLeave(Adapter, Acquired);
  if (Irp != NULL) {
    Status = IoCallDriver(Adapter->LowerDevice, Irp);
  }
  return Status;
}

NTSTATUS NTAPI ResponseReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  AdapterExtension* Adapter = (AdapterExtension*)Context;

  BOOLEAN ReadAgain = FALSE;
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  BOOLEAN Succeeded = CommandChannelTransferEnd(Irp, Adapter->ResponseUrb, &Adapter->ResponseIrp);

  if (Adapter->AdapterRemoved || Adapter->CommandChannelStopped) {
    // No new read.
  } else if (!Succeeded) {
    // The pipe may be halted: the next command resets it and restarts the loop.
    Adapter->ResponseResetNeeded = TRUE;
  } else {
    UCHAR Code = ResponseDispatch(Adapter);
    // Closing the last port sends command 2 after lowering OpenPortCount, so its
    // acknowledgement is the last block read until a port opens again. Open and close change
    // the count under OpenMutex, not this lock, and with interlocked operations: read it so.
    LONG OpenPorts = InterlockedCompareExchange((LONG volatile*)&Adapter->OpenPortCount, 0, 0);
    ReadAgain = !(OpenPorts == 0 && Code == RESPONSE_COMMAND_COMPLETE);
  }
  AdapterLockLeave(Adapter, Acquired);
  if (ReadAgain) {
    ResponseReadStart(Adapter);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The port a status reply or event names, if it is one of the adapter's.
static PortExtension* ResponsePort(AdapterExtension* Adapter, UCHAR PortNumber) {
  if (PortNumber == 0 || PortNumber > Adapter->PortCount || PortNumber > MAX_PORTS) {
    return NULL;
  }
  return Adapter->Ports[PortNumber - 1];
}

UCHAR ResponseDispatch(AdapterExtension* Adapter) {
  const UCHAR* Block = Adapter->ResponseBuffer;
  ULONG Received = Adapter->ResponseUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (Received > RESPONSE_BLOCK_SIZE) {
    Received = RESPONSE_BLOCK_SIZE;
  }
  if (Received == 0) {
    return 0;
  }
  UCHAR Code = Block[RESPONSE_CODE];
  PortExtension* Port;

  switch (Code) {
    case RESPONSE_STATUS_REPLY:
      if (Received < RESPONSE_STATUS_REPLY_LENGTH) {
        return 0;
      }
      Port = ResponsePort(Adapter, Block[RESPONSE_PORT]);
      if (Port == NULL) {
        break;
      }
      if (Port->IsOpen) {
        RtlCopyMemory(&Port->Status, &Block[RESPONSE_PORT], sizeof(PortStatusSnapshot));
      }
      KeSetEvent(&Port->StatusEvent, EVENT_INCREMENT, FALSE);
      break;

    case RESPONSE_EVENT: {
      if (Received < RESPONSE_EVENT_LENGTH) {
        return 0;
      }
      Port = ResponsePort(Adapter, Block[RESPONSE_PORT]);
      if (Port == NULL || !Port->IsOpen) {
        break;
      }
      UCHAR Flags = Block[RESPONSE_EVENT_FLAGS];
      UCHAR Value = Block[RESPONSE_EVENT_VALUE];
      Port->Status.PortNumber = Block[RESPONSE_PORT];
      Port->Status.EventFlags = Flags;
      if (Flags & EVENT_MODEM_STATUS) {
        Port->Status.ModemStatus = Value;
        ModemStatusUpdate(Port);
      } else if (Flags & EVENT_LINE_STATUS) {
        Port->Status.LineStatus = Value;
        LineStatusUpdate(Port);
      } else if (Flags & EVENT_EXTRA_STATUS_0) {
        Port->Status.Extra[0] = Value;
      } else if (Flags & EVENT_EXTRA_STATUS_1) {
        Port->Status.Extra[1] = Value;
      }
      break;
    }

    case RESPONSE_COMMAND_COMPLETE: {
      if (Received < RESPONSE_COMMAND_COMPLETE_LENGTH) {
        return 0;
      }
      Port = ResponsePort(Adapter, Block[RESPONSE_COMPLETE_PORT]);
      if (Port != NULL) {
        KeSetEvent(&Port->CommandDoneEvent, EVENT_INCREMENT, FALSE);
      }
      break;
    }

    default:
      break;
  }
  return Code;
}

UCHAR ModemStatusUpdate(PortExtension* Port) {
  UCHAR Modem = Port->Status.ModemStatus;
  ULONG Events = 0;
  if (Modem & SERIAL_MSR_DCTS) {
    Events |= SERIAL_EV_CTS;
  }
  if (Modem & SERIAL_MSR_DDSR) {
    Events |= SERIAL_EV_DSR;
  }
  if (Modem & SERIAL_MSR_TERI) {
    Events |= SERIAL_EV_RING;
  }
  if (Modem & SERIAL_MSR_DDCD) {
    Events |= SERIAL_EV_RLSD;
  }
  // A port on its way out tells its waiter with any modem event, change or not.
  if (Port->DevicePnpState == SurpriseRemoved || Port->DevicePnpState == RemovePending) {
    Events |= SERIAL_EV_EVENT1;
  }
  PortDeliverEvents(Port, Events);
  return Modem;
}

UCHAR LineStatusUpdate(PortExtension* Port) {
  UCHAR Line = Port->Status.LineStatus;
  if ((Line & LINE_STATUS_EVENT_BITS) == 0) {
    return Line;
  }
  if (Line & SERIAL_LSR_OE) {
    InterlockedIncrement((LONG volatile*)&Port->PerfStats.SerialOverrunErrorCount);
    InterlockedIncrement((LONG volatile*)&Port->WmiPerfData.SerialOverrunErrorCount);
    InterlockedSetBits(&Port->ErrorFlags, SERIAL_ERROR_OVERRUN);
  }
  if (Line & SERIAL_LSR_BI) {
    // A break reads as a framing (and often parity) error too; it is reported as a break.
    InterlockedSetBits(&Port->ErrorFlags, SERIAL_ERROR_BREAK);
  } else {
    if (Line & SERIAL_LSR_PE) {
      InterlockedIncrement((LONG volatile*)&Port->PerfStats.ParityErrorCount);
      InterlockedIncrement((LONG volatile*)&Port->WmiPerfData.ParityErrorCount);
      InterlockedSetBits(&Port->ErrorFlags, SERIAL_ERROR_PARITY);
    }
    if (Line & SERIAL_LSR_FE) {
      InterlockedIncrement((LONG volatile*)&Port->PerfStats.FrameErrorCount);
      InterlockedIncrement((LONG volatile*)&Port->WmiPerfData.FrameErrorCount);
      InterlockedSetBits(&Port->ErrorFlags, SERIAL_ERROR_FRAMING);
    }
  }
  ULONG Events = 0;
  if (Line & LINE_STATUS_ERROR_BITS) {
    Events |= SERIAL_EV_ERR;
  }
  if (Line & SERIAL_LSR_BI) {
    Events |= SERIAL_EV_BREAK;
  }
  PortDeliverEvents(Port, Events);
  return Line;
}

VOID PortDeliverEvents(PortExtension* Port, ULONG Events) {
  KIRQL OldIrql;
  KeAcquireSpinLock(&Port->WaitStateLock, &OldIrql);
  ULONG Mask = Port->WaitMask;
  if (Mask != 0) {
    Port->EventHistory |= Events & Mask;
    if (Port->WaitResult != NULL && Port->EventHistory != 0) {
      // Armed: the data path's reference keeps WaitIrp alive until CommWaitDpc has run.
      *Port->WaitResult = Port->EventHistory;
      Port->EventHistory = 0;
      Port->WaitResult = NULL;
      Port->WaitIrp->IoStatus.Information = sizeof(ULONG);
      PortQueueDpc(&Port->CommWaitDpc, Port);
    }
  }
  KeReleaseSpinLock(&Port->WaitStateLock, OldIrql);
}

BOOLEAN PortQueueDpc(PKDPC Dpc, PortExtension* Port) {
  InterlockedIncrement(&Port->DpcPendingCount);
  if (!KeInsertQueueDpc(Dpc, NULL, NULL)) {
    InterlockedDecrement(&Port->DpcPendingCount);
    return FALSE;
  }
  return TRUE;
}
