// Read requests: served from the ring, then attached to the receive path under the serial
// timeout rules, and ended by whichever of completion, total timeout, interval timeout or
// cancel drops the last reference.
#include "datapath/read.h"

#include "command/response.h"
#include "core/helpers.h"
#include "datapath/due_time.h"
#include "datapath/receive.h"
#include "datapath/request_queue.h"
#include "datapath/request_ref.h"

static VOID NTAPI ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Cancel spin lock held. Takes the read back from the receive path if it is still attached:
// its information becomes the bytes stored so far.
static BOOLEAN TakeReadFromReceive(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  if (Port->ReceiveTarget != Port->ReceiveBuffer) {
    PIRP Read = Port->CurrentRead;
    ULONG Length = IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
    Read->IoStatus.Information = Length - (ULONG)(Port->ReceiveLast - Port->ReceivePut + 1);
    ReceiveReturnToRing(Port);
    RequestRefClear(Read, REF_DATA_PATH);
  }
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  return FALSE;
}

static VOID FinishRead(PortExtension* Port, PPORT_TAKE_BACK_ROUTINE TakeBack, KIRQL CancelIrql, NTSTATUS Status,
                       ULONG RefBit) {
  FinishCurrentRequest(Port, TakeBack, CancelIrql, Status, &Port->CurrentRead, &Port->ReadQueue,
                       &Port->ReadIntervalTimer, &Port->ReadTotalTimer, PortStartRead, TakeNextRequest, RefBit);
}

NTSTATUS PortRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  NTSTATUS Status = FailIfErrorAbort(DeviceObject, Irp);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  return StartOrQueueRequest(Port, Irp, &Port->ReadQueue, &Port->CurrentRead, PortStartRead);
}

// How a read waits, from the port's timeouts.
struct ReadRules {
  BOOLEAN UseInterval;
  BOOLEAN UseTotal;
  BOOLEAN ReturnWithPresent;  // return at once with whatever the ring holds
  BOOLEAN ReturnOnAny;        // return as soon as anything is there
  BOOLEAN OneByte;            // wait for one byte only
  LARGE_INTEGER TotalDueTime;
};

static ReadRules ReadRulesFor(PortExtension* Port, ULONG Length) {
  AcquireOwnedSpinLock(&Port->ControlLock);
  SERIAL_TIMEOUTS Timeouts = Port->Timeouts;
  ReleaseOwnedSpinLock(&Port->ControlLock);

  ReadRules Rules;
  RtlZeroMemory(&Rules, sizeof(Rules));
  ULONG Interval = Timeouts.ReadIntervalTimeout;
  ULONG Multiplier = Timeouts.ReadTotalTimeoutMultiplier;
  ULONG Constant = Timeouts.ReadTotalTimeoutConstant;

  if (Interval != 0 && Interval != MAXULONG) {
    Rules.UseInterval = TRUE;
    Port->ReadIntervalTime = (ULONG64)Interval * 10000;
    Port->IntervalPoll = Port->ReadIntervalTime >= (ULONG64)Port->IntervalPollCutOver.QuadPart
                             ? &Port->IntervalPollLong
                             : &Port->IntervalPollShort;
  }
  if (Interval == MAXULONG) {
    if (Multiplier == 0 && Constant == 0) {
      Rules.ReturnWithPresent = TRUE;
    } else if (Constant != MAXULONG) {
      Rules.UseTotal = TRUE;
      if (Multiplier == MAXULONG) {
        Rules.ReturnOnAny = TRUE;
        Rules.OneByte = TRUE;
        Multiplier = 0;
      }
    }
  } else if (Multiplier != 0 || Constant != 0) {
    Rules.UseTotal = TRUE;
  }
  if (Rules.UseTotal) {
    Rules.TotalDueTime = TotalTimeoutDueTime(Length, Multiplier, Constant);
  }
  return Rules;
}

// ReceiveLock and the cancel spin lock held. The receive path now fills the read's buffer
// from the first byte it still lacks.
static VOID AttachReadToReceive(PortExtension* Port, PIRP Read) {
  ULONG Length = IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
  PUCHAR Buffer = (PUCHAR)Read->AssociatedIrp.SystemBuffer;
  Port->ReceivedSinceTick = 0;
  Port->ReadProgress = (LONG)Read->IoStatus.Information;
  Port->ReceiveTarget = Buffer;
  Port->ReceivePut = Buffer + Read->IoStatus.Information;
  Port->ReceiveLast = Buffer + Length - 1;
  RequestRefSet(Read, REF_DATA_PATH);
  RequestRefSet(Read, REF_CANCEL_ROUTINE);
  IoSetCancelRoutine(Read, ReadCancel);
}

NTSTATUS PortStartRead(PortExtension* Port) {
  NTSTATUS FirstStatus = STATUS_PENDING;
  BOOLEAN First = TRUE;

  for (;;) {
    PIRP Irp = Port->CurrentRead;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    if (Stack->MajorFunction != IRP_MJ_READ) {
      // A queue-size request, served in order with the reads.
      Status = ResizeReceiveBuffer(Port);
    } else {
      KeCancelTimer(&Port->ReadTotalTimer);
      KeCancelTimer(&Port->ReadIntervalTimer);
      ULONG Length = Stack->Parameters.Read.Length;
      Port->ReadRemaining = Length;
      ReadRules Rules = ReadRulesFor(Port, Length);

      // The cancel spin lock first, as the take-back steps take ReceiveLock inside it.
      KIRQL CancelIrql;
      IoAcquireCancelSpinLock(&CancelIrql);
      AcquireOwnedSpinLock(&Port->ReceiveLock);
      if (Port->ReceiveBuffer == NULL) {
        // Closed meanwhile: there is no stream to read from.
        Status = STATUS_INVALID_DEVICE_STATE;
      } else {
        CopyReceiveBufferToRead(Port);
        if (Rules.ReturnWithPresent || Port->ReadRemaining == 0 ||
            (Rules.ReturnOnAny && Irp->IoStatus.Information != 0)) {
          Status = STATUS_SUCCESS;
        } else {
          RequestRefReset(Irp);
          if (Irp->Cancel) {
            // Bytes it took from the ring are lost with it.
            Irp->IoStatus.Information = 0;
            Status = STATUS_CANCELLED;
          } else {
            if (Rules.OneByte) {
              Port->ReadRemaining = 1;
              Stack->Parameters.Read.Length = 1;
            }
            AttachReadToReceive(Port, Irp);
            if (Rules.UseTotal) {
              RequestRefSet(Irp, REF_TOTAL_TIMER);
              KeSetTimer(&Port->ReadTotalTimer, Rules.TotalDueTime, &Port->ReadTotalTimeoutDpc);
            }
            if (Rules.UseInterval) {
              RequestRefSet(Irp, REF_INTERVAL_TIMER);
              KeQuerySystemTime(&Port->LastReceiveTime);
              KeSetTimer(&Port->ReadIntervalTimer, *Port->IntervalPoll, &Port->ReadIntervalTimeoutDpc);
            }
            // Nothing can end it before ReceiveLock is released: every path that does takes
            // it back from the receive path first.
            if (First) {
              IoMarkIrpPending(Irp);
            }
            ReleaseOwnedSpinLock(&Port->ReceiveLock);
            IoReleaseCancelSpinLock(CancelIrql);
            return FirstStatus;
          }
        }
      }
      ReleaseOwnedSpinLock(&Port->ReceiveLock);
      IoReleaseCancelSpinLock(CancelIrql);
    }

    // Finished at once: complete it and serve the next one.
    Irp->IoStatus.Status = Status;
    if (First) {
      FirstStatus = Status;
      First = FALSE;
    }
    PIRP Next = NULL;
    TakeNextRequest(&Port->CurrentRead, &Port->ReadQueue, &Next, TRUE);
    if (Next == NULL) {
      return FirstStatus;
    }
  }
}

VOID NTAPI ReadCompleteDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  Port->ReadProgress = READ_ENDED_COMPLETE;
  FinishRead(Port, NULL, CancelIrql, STATUS_SUCCESS, REF_DATA_PATH);
  InterlockedDecrement(&Port->DpcPendingCount);
}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  Port->ReadProgress = READ_ENDED_TOTAL;
  FinishRead(Port, TakeReadFromReceive, CancelIrql, STATUS_TIMEOUT, REF_TOTAL_TIMER);
}

static VOID NTAPI ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  Port->ReadProgress = READ_ENDED_CANCEL;
  FinishRead(Port, TakeReadFromReceive, Irp->CancelIrql, STATUS_CANCELLED, REF_CANCEL_ROUTINE);
}

VOID NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);

  // The read already ended another way while this DPC was on its way: it holds the last
  // reference and finishes it with that ending's status.
  switch (Port->ReadProgress) {
    case READ_ENDED_TOTAL:
      FinishRead(Port, TakeReadFromReceive, CancelIrql, STATUS_TIMEOUT, REF_INTERVAL_TIMER);
      return;
    case READ_ENDED_COMPLETE:
      FinishRead(Port, TakeReadFromReceive, CancelIrql, STATUS_SUCCESS, REF_INTERVAL_TIMER);
      return;
    case READ_ENDED_CANCEL:
      FinishRead(Port, TakeReadFromReceive, CancelIrql, STATUS_CANCELLED, REF_INTERVAL_TIMER);
      return;
    default:
      break;
  }

  LARGE_INTEGER Now;
  KeQuerySystemTime(&Now);
  BOOLEAN Expired = FALSE;
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  if (Port->ReceivedSinceTick != 0) {
    // Bytes arrived since the last check: the interval starts again.
    Port->ReadProgress = (LONG)Port->ReceivedSinceTick;
    Port->ReceivedSinceTick = 0;
    Port->LastReceiveTime = Now;
  } else if (Port->ReadProgress > 0) {
    // The interval clock runs only once the read has its first byte.
    Expired = (ULONG64)(Now.QuadPart - Port->LastReceiveTime.QuadPart) >= Port->ReadIntervalTime;
  }
  ReleaseOwnedSpinLock(&Port->ReceiveLock);

  if (Expired) {
    FinishRead(Port, TakeReadFromReceive, CancelIrql, STATUS_TIMEOUT, REF_INTERVAL_TIMER);
    return;
  }
  KeSetTimer(&Port->ReadIntervalTimer, *Port->IntervalPoll, &Port->ReadIntervalTimeoutDpc);
  IoReleaseCancelSpinLock(CancelIrql);
}
