// Scenario harness for the driver: a simulated machine with the driver loaded into it,
// requests sent from application tasks, and the driver's unload with its leak check.
// Free of any test framework, so the simulator can use it too; driver_test.h wraps it in a
// gtest fixture.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/records.h"
#include "simkernel/io.h"
#include "simkernel/machine.h"
#include "simkernel/pool.h"

namespace harness {

// The service key the system hands DriverEntry for this driver.
inline constexpr std::u16string_view kServiceKeyPath =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\ZELBRUSB";
inline constexpr std::u16string_view kDriverName = u"ZELBRUSB";
inline constexpr uint64_t kDefaultSeed = 20240601;

// ZEL_SEED from the environment (decimal, or hex with 0x) if set, else the fallback.
uint64_t SeedFromEnvironment(uint64_t fallback = kDefaultSeed);

// A request the test builds itself (IoAllocateIrp) and sends with IoCallDriver, or with
// PoCallDriver for IRP_MJ_POWER, so that it can preset what the I/O manager would not.
struct IrpSpec {
  UCHAR major = IRP_MJ_DEVICE_CONTROL;
  UCHAR minor = 0;
  NTSTATUS initialStatus = STATUS_NOT_SUPPORTED;
  ULONG_PTR initialInformation = 0;
  std::function<void(PIO_STACK_LOCATION)> setup;  // parameters of the target's stack location
};

struct IrpOutcome {
  bool completed = false;
  NTSTATUS dispatchStatus = STATUS_PENDING;  // what the call returned
  NTSTATUS status = STATUS_PENDING;          // IoStatus.Status at completion
  ULONG_PTR information = 0;                 // IoStatus.Information at completion
};

class DriverHarness {
 public:
  explicit DriverHarness(uint64_t seed);
  ~DriverHarness();
  DriverHarness(const DriverHarness&) = delete;
  DriverHarness& operator=(const DriverHarness&) = delete;

  sim::Machine& machine() { return *machine_; }

  // ---- The driver ----
  // Loads the driver as the system does: its image fresh (static storage zero), DriverEntry
  // called with kServiceKeyPath. Returns DriverEntry's status.
  NTSTATUS Load();
  bool loaded() const { return driver_ != nullptr && sim::io::IsLoaded(driver_); }
  PDRIVER_OBJECT driver() const { return driver_; }
  // Unloads the driver. Blocks and devices left behind are reported by the I/O manager as
  // verifier violations ("pool leak at unload", ...).
  void Unload();

  // ---- Running ----
  // Runs a body as an application task until it returns; other tasks interleave.
  void RunTask(std::string name, std::function<void()> body);
  // Starts an application task and returns at once; run the machine to make it progress.
  sim::Task* Spawn(std::string name, std::function<void()> body);
  // Runs until the condition holds (true) or nothing can move any more (false). A task left
  // blocked for good is a deadlock and throws sim::DeadlockError.
  bool RunUntil(const std::function<bool()>& done, sim::VirtualTime limit = 60 * sim::kSecond);
  void RunUntilIdle(sim::VirtualTime limit = 60 * sim::kSecond);
  // Lets a span of virtual time pass with everything that is due in it; blocked tasks may
  // stay blocked.
  void Advance(sim::VirtualTime span);

  // ---- Requests ----
  sim::io::Result Send(PDEVICE_OBJECT device, sim::io::RawIrp irp);
  IrpOutcome SendIrp(PDEVICE_OBJECT device, IrpSpec irpSpec);

 private:
  std::unique_ptr<sim::Machine> machine_;
  PDRIVER_OBJECT driver_ = nullptr;
};

// Turns the simulated plug-and-play manager on and installs the driver's service for what
// its setup information files name: the adapter's USB ids, blank and running its firmware,
// and its four ports' ids under Ports. A device plugged in afterwards is brought up by it;
// each load of the driver is of a fresh image (static storage zero).
void InstallPlugAndPlayServices();

// Text for a status in failure messages: "0xC0000010".
std::string StatusText(NTSTATUS status);

}  // namespace harness
