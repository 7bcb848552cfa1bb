// Scenarios of the command channel: a started adapter (the model on the simulated bus, see
// harness/adapter_fixture.h) under the driver, commands issued from application tasks the
// way the port's handlers will issue them, and what the monitor, the model and the records
// show afterwards.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapter_fixture.h"
#include "adapter_model/protocol.h"
#include "adapter_model/scripted_peer.h"
#include "command/command_queue.h"
#include "command/pipe_reset.h"
#include "command/response.h"
#include "datapath/request_queue.h"
#include "driver_test.h"
#include "simkernel/pool.h"

namespace command_test {

using Bytes = std::vector<uint8_t>;
using sim::kMillisecond;
using sim::kSecond;

// A wait-on-mask request as the mask starter arms it (the starter is not built yet): current
// in WaitIrp with its cancel routine and the data path's reference, armed unless history is
// already waiting. Its completion is recorded here; the request is the test's to free.
struct ArmedWait {
  PIRP irp = nullptr;
  ULONG result = 0xDEADBEEF;
  std::atomic<bool> completed = false;  // set by the completion, read by the canceller
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

// Power states as the power requests carry them.
inline POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}
inline POWER_STATE SystemState(SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  return power;
}

inline ULONG_PTR RequestRef(PIRP irp) {
  return reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4);
}
inline void SetRequestRef(PIRP irp, ULONG_PTR ref) {
  IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(ref);
}

inline NTSTATUS NTAPI ArmedWaitDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* wait = static_cast<ArmedWait*>(context);
  wait->completed = true;
  wait->status = irp->IoStatus.Status;
  wait->information = irp->IoStatus.Information;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// What wait on mask's take-back step and cancel routine do (not built yet): the wait is
// taken back from the event sources under the wait-state lock, then finished by the request
// queues unless CommWaitDpc still holds the data path's reference.
inline BOOLEAN ArmedWaitTakeBack(PortExtension* port) {
  KeAcquireSpinLockAtDpcLevel(&port->WaitStateLock);
  if (port->WaitResult != nullptr) {
    *port->WaitResult = 0;
    port->WaitResult = nullptr;
    port->WaitIrp->IoStatus.Information = sizeof(ULONG);
    SetRequestRef(port->WaitIrp, RequestRef(port->WaitIrp) & ~ULONG_PTR(REF_DATA_PATH));
  }
  KeReleaseSpinLockFromDpcLevel(&port->WaitStateLock);
  return FALSE;
}

inline VOID NTAPI ArmedWaitCancel(PDEVICE_OBJECT device, PIRP irp) {
  auto* port = static_cast<PortExtension*>(device->DeviceExtension);
  FinishCurrentRequest(port, ArmedWaitTakeBack, irp->CancelIrql, STATUS_CANCELLED, &port->WaitIrp, nullptr, nullptr,
                       nullptr, nullptr, nullptr, REF_CANCEL_ROUTINE);
}

// Arms the wait as the mask starter does; must be called from a task.
inline void ArmWaitOn(PortExtension* p, ArmedWait& wait) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetCompletionRoutine(irp, ArmedWaitDone, &wait, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
  stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
  stack->DeviceObject = p->Self;
  irp->AssociatedIrp.SystemBuffer = &wait.result;
  wait.irp = irp;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  p->WaitIrp = irp;
  SetRequestRef(irp, REF_CANCEL_ROUTINE);
  IoSetCancelRoutine(irp, ArmedWaitCancel);
  KeAcquireSpinLockAtDpcLevel(&p->WaitStateLock);
  SetRequestRef(irp, RequestRef(irp) | REF_DATA_PATH);
  if (p->EventHistory == 0) {
    p->WaitResult = &wait.result;
  } else {
    wait.result = p->EventHistory;
    p->EventHistory = 0;
    irp->IoStatus.Information = sizeof(ULONG);
    PortQueueDpc(&p->CommWaitDpc, p);
  }
  KeReleaseSpinLockFromDpcLevel(&p->WaitStateLock);
  IoReleaseCancelSpinLock(irql);
}

// What one CommandIssue call returned, and when.
struct Issued {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  sim::VirtualTime started = 0;
  sim::VirtualTime finished = 0;
  sim::VirtualTime Took() const { return finished - started; }
};

// Races are replayed over this many seeds of the scheduler.
constexpr uint64_t kSeeds = 100;

// One machine per seed, with the driver loaded and the adapter started; `body` runs the
// scenario. Returns the verifier's reports and the leaks, as text, empty when clean.
inline std::vector<std::string> RunSeed(
    uint64_t seed, const std::function<void(harness::DriverHarness&, harness::AdapterFixture&)>& body) {
  std::vector<std::string> problems;
  harness::DriverHarness h(seed);
  if (h.Load() != STATUS_SUCCESS) return {"driver did not load"};
  {
    harness::AdapterFixture fixture(h);
    fixture.Start();
    body(h, fixture);
    fixture.StopAndRemove();
  }
  h.Unload();
  for (const auto& violation : h.machine().Violations()) problems.push_back(violation.ToString());
  return problems;
}

// Inside a task: lets a span of virtual time pass.
inline void Delay(sim::VirtualTime span) {
  LARGE_INTEGER interval;
  interval.QuadPart = -span;
  if (span > 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class CommandChannelTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    fixture_ = std::make_unique<harness::AdapterFixture>(h(), Options());
    fixture_->Start();
  }

  void TearDown() override {
    if (fixture_) {
      Guarded([&] { fixture_->StopAndRemove(); });
      fixture_.reset();
    }
    DriverTest::TearDown();
  }

  virtual harness::AdapterFixtureOptions Options() { return {}; }

  harness::AdapterFixture& fixture() { return *fixture_; }
  AdapterExtension* adapter() { return fixture_->adapter(); }
  PortExtension* port(int number) { return fixture_->port(number); }
  adapter_model::Adapter& model() { return fixture_->model(); }
  adapter_model::Faults& faults() { return model().FaultPlan(); }
  sim::VirtualTime Now() { return h().machine().Now(); }
  // When a kernel wait of `span` begun at `start` ends: on a clock tick.
  sim::VirtualTime WaitEnd(sim::VirtualTime start, sim::VirtualTime span) {
    return h().machine().TickAfter(start, span);
  }

  // CommandIssue from an application task, run to its return.
  Issued Issue(UCHAR code, Bytes payload) {
    Issued result;
    h().RunTask("issue", [&] { Run(result, code, payload); });
    Settle();
    return result;
  }
  // The same without waiting for it: run the machine to make it progress.
  std::shared_ptr<Issued> IssueAsync(std::string name, UCHAR code, Bytes payload) {
    auto result = std::make_shared<Issued>();
    h().Spawn(std::move(name), [this, result, code, payload] { Run(*result, code, payload); });
    return result;
  }
  void Run(Issued& result, UCHAR code, const Bytes& payload) {
    result.started = Now();
    result.status = CommandIssue(adapter(), code, payload.empty() ? nullptr : payload.data(),
                                 static_cast<ULONG>(payload.size()));
    result.finished = Now();
    result.done = true;
  }

  void OpenPort(int number) {
    h().RunTask("open", [&] { fixture().OpenPort(number); });
    Settle();
  }
  void ClosePort(int number) {
    h().RunTask("close", [&] { fixture().ClosePort(number); });
    Settle();
  }
  // Lets what is runnable now run, without moving the clock: a task that returned may have
  // left a completion routine half way.
  void Settle() { h().Advance(0); }

  std::vector<Bytes> Blocks() { return fixture().CommandBlocks(); }
  // Blocks sent since an earlier count of them.
  std::vector<Bytes> BlocksSince(size_t count) {
    auto all = Blocks();
    return std::vector<Bytes>(all.begin() + static_cast<long>(std::min(count, all.size())), all.end());
  }

  static Bytes EchoPayload(UCHAR portNumber) {
    Bytes payload(ECHO_PAYLOAD_LENGTH);
    CommandBuildEchoPayload(portNumber, payload.data());
    return payload;
  }

  bool Signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }

  // IOCTL_SERIAL_SET_WAIT_MASK's effect on the wait state (no wait armed).
  void SetWaitMask(int number, ULONG mask) {
    PortExtension* p = port(number);
    h().RunTask("set wait mask", [&] {
      KIRQL irql;
      KeAcquireSpinLock(&p->WaitStateLock, &irql);
      p->WaitMask = mask;
      p->EventHistory &= mask;
      KeReleaseSpinLock(&p->WaitStateLock, irql);
    });
  }

  void ArmWait(int number, ArmedWait& wait) {
    h().RunTask("wait on mask", [&] { ArmWaitOn(port(number), wait); });
  }
  // Cancels the wait if it is still pending, then frees its request.
  void EndWait(ArmedWait& wait) {
    if (!wait.irp) return;
    h().RunTask("end wait", [&] {
      if (!wait.completed) IoCancelIrp(wait.irp);
    });
    ASSERT_TRUE(h().RunUntil([&] { return wait.completed.load(); }));
    h().RunTask("free wait", [&] { IoFreeIrp(wait.irp); });
    wait.irp = nullptr;
  }

 private:
  std::unique_ptr<harness::AdapterFixture> fixture_;
};

}  // namespace command_test
