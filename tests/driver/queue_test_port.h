// A port whose serial requests go through the request-queue machinery with test request
// kinds. The real starters (reads, writes, wait on mask, purge) come with their own
// subsystems; these follow the same starter pattern with the least behind it:
//   - read (ReadQueue): timeouts from the port's Timeouts: ReadTotalTimeoutConstant arms the
//     total timer, a ReadIntervalTimeout other than 0 and MAXULONG arms the interval timer,
//     MAXULONG with both totals 0 returns at once. The "receive path" holds an armed read
//     (REF_DATA_PATH) until DeliverRead hands it back through ReadCompleteDpc.
//   - write (WriteQueue): WriteTotalTimeoutConstant arms the total timer; DeliverWrite ends it
//     through WriteCompleteDpc; the next-request step takes the length back from
//     QueuedCharCount as the write path does.
//   - IOCTL_SERIAL_SET_QUEUE_SIZE waits in the read queue carrying a new buffer (pool) in its
//     fourth argument slot; served, it frees it.
//   - IOCTL_SERIAL_PURGE (PurgeQueue): TXABORT and RXABORT cancel writes and reads with
//     CancelAllRequests; IOCTL_SERIAL_GET_COMMSTATUS reports and clears ErrorFlags.
//   - cleanup cancels every kind.
// The port is port 1 of a plugged adapter, its dispatch routines and DPCs the test's while
// the world lasts. Below the adapter a test bus takes what goes to the port's data OUT pipe:
// it holds bulk transfers until the test completes them and counts pipe resets, so that a
// data transfer left in flight can race a new write. Like a host controller it may finish a
// cancelled transfer only some time after its cancel routine ran
// (World::cancelCompletesAfter). Everything else goes to the simulated bus.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapter_fixture.h"
#include "driver_harness.h"
#include "simkernel/machine.h"

namespace queue_test {

struct TransferOutcome {
  NTSTATUS status;
  bool claimed;  // Cancel flag set when it completed: a canceller frees it
};

// A request the test builds and keeps, as a driver above the port would: its completion
// routine records the outcome and keeps the request, so the test may cancel it at any moment
// without racing its release. (An application's request is released as it completes.)
struct OwnRequest {
  PIRP irp = nullptr;
  bool complete = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  int order = -1;  // place among the own requests' completions
};

struct World {
  std::unique_ptr<harness::AdapterFixture> fixture;
  PortExtension* port = nullptr;
  AdapterExtension* adapter = nullptr;
  PFILE_OBJECT file = nullptr;

  // The fake data paths: they hold the current read / write.
  bool readAttached = false;
  bool writeAttached = false;
  ULONG readPartial = 0;  // bytes a read taken back reports as received

  // The dispatch routine cancels each request just before it queues or starts it, as
  // another thread's IoCancelIrp would.
  bool cancelOnArrival = false;

  std::deque<OwnRequest> own;
  LONG ownCompleted = 0;  // completions may run on two processors at once

  // Called at the start of each read timer DPC with its name.
  std::function<void(const std::string&)> onReadTimerDpc;

  // Test bus.
  std::vector<PIRP> busHeld;  // bulk transfers waiting, oldest first
  // 0: a cancelled transfer completes inside its cancel routine; otherwise a device task
  // completes it this long afterwards, with the bus still owning it until then.
  sim::VirtualTime cancelCompletesAfter = 0;
  int cancelsPending = 0;  // cancelled transfers the bus has not completed yet
  int pipeResets = 0;
  std::vector<TransferOutcome> transfers;
  int followUpsOnClaim = 0;  // transfers the completion starts after a claimed one ends
  USBD_PIPE_HANDLE dataOutPipe = nullptr;  // the port's, as its start selected it
  std::deque<URB> urbs;
  uint8_t bytes[64] = {};
};

// On a loaded harness: an adapter plugged in and started, the test dispatch routines in the
// driver object, the port's DPCs and the test bus. Opens the port (world.file).
void SetUp(harness::DriverHarness& h, World& world);
// Closes the port (cleanup cancels what is left), lets everything settle, gives the driver
// its own routines back, removes the adapter and unloads.
void TearDown(harness::DriverHarness& h, World& world);

// Inside a task: sends a read or write of `length` bytes built by the test (see OwnRequest)
// to the port; returns it with the dispatch status in *dispatched.
OwnRequest& SendOwn(UCHAR major, ULONG length, NTSTATUS* dispatched = nullptr);

// Inside a task: the fake receive / transmit path finishes the current read / write.
// A read is delivered only if it is still the current one (expected, when given).
void DeliverRead(PIRP expected = nullptr);
void DeliverWrite();
// Inside a task: a data write transfer as the write path sends it, stored in DataWriteIrp.
void SendTransfer();
// Inside a task: the bus completes its oldest held transfer, with success or with a stall;
// false if the transfer was already being cancelled.
bool BusCompleteOldest(bool succeed = true);

std::vector<uint8_t> Bytes(size_t count);
std::vector<uint8_t> AsBytes(ULONG value);

}  // namespace queue_test
