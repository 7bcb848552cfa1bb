// The serial control requests of a port: the frame every request shares and the dispatch by
// control code. A code is recognised only with its exact value, METHOD_BUFFERED and any
// access, as the system defines it: the same function number with another transfer method or
// access is not that request (its buffers are not a shared system buffer) and is refused as
// unknown, before anything is read from it.
#include "port/device_control.h"

#include "core/helpers.h"
#include "datapath/immediate.h"
#include "datapath/request_queue.h"
#include "port/line_settings.h"
#include "port/purge.h"
#include "port/queue_timeout_requests.h"
#include "port/status_requests.h"
#include "port/wait_mask.h"

// Runs in the caller's thread at PASSIVE_LEVEL: the settings requests wait for the adapter.
PAGED_ROUTINE NTSTATUS PortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;

  NTSTATUS Status = FailIfErrorAbort(DeviceObject, Irp);
  if (Status != STATUS_SUCCESS) {
    return Status;  // completed there
  }

  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    // Requests that may be queued or left pending complete themselves.
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return PortSetQueueSize(Port, Irp);
    case IOCTL_SERIAL_PURGE:
      return PortPurge(Port, Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK:
      return PortSetWaitMask(Port, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:
      return PortWaitOnMask(Port, Irp);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(UCHAR)) {
        Status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      return PortImmediateChar(Port, Irp);

    case IOCTL_SERIAL_SET_BAUD_RATE:
      Status = PortSetBaudRate(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
      Status = PortGetBaudRate(Port, Irp);
      break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      Status = PortSetLineControl(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      Status = PortGetLineControl(Port, Irp);
      break;
    case IOCTL_SERIAL_SET_HANDFLOW:
      Status = PortSetHandflow(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_HANDFLOW:
      Status = PortGetHandflow(Port, Irp);
      break;
    case IOCTL_SERIAL_SET_CHARS:
      Status = PortSetChars(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_CHARS:
      Status = PortGetChars(Port, Irp);
      break;
    case IOCTL_SERIAL_SET_DTR:
      Status = PortSetDtr(Port, TRUE);
      break;
    case IOCTL_SERIAL_CLR_DTR:
      Status = PortSetDtr(Port, FALSE);
      break;
    case IOCTL_SERIAL_SET_RTS:
      Status = PortSetRts(Port, TRUE);
      break;
    case IOCTL_SERIAL_CLR_RTS:
      Status = PortSetRts(Port, FALSE);
      break;
    case IOCTL_SERIAL_SET_BREAK_ON:
      Status = PortSetBreak(Port, TRUE);
      break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
      Status = PortSetBreak(Port, FALSE);
      break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      Status = PortGetModemStatus(Port, Irp);
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      Status = PortSetTimeouts(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      Status = PortGetTimeouts(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
      Status = PortGetWaitMask(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
      Status = PortGetCommStatus(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_PROPERTIES:
      Status = PortGetProperties(Port, Irp);
      break;
    case IOCTL_SERIAL_GET_STATS:
      Status = PortGetStats(Port, Irp);
      break;
    case IOCTL_SERIAL_CLEAR_STATS:
      Status = PortClearStats(Port);
      break;
    case IOCTL_SERIAL_LSRMST_INSERT:
      Status = PortLsrMstInsert(Port, Irp);
      break;
    case IOCTL_SERIAL_CONFIG_SIZE:
      Status = PortGetConfigSize(Irp);
      break;
    case IOCTL_SERIAL_RESET_DEVICE:
      // Nothing to reset: the adapter's ports have no state beyond their settings.
      break;

    default:
      Status = STATUS_INVALID_PARAMETER;
      break;
  }

  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
