#include "driver_harness.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "core/entry.h"
#include "simkernel/pnp.h"

namespace harness {
namespace {

struct OwnIrpContext {
  IrpOutcome* outcome;
  KEVENT* done;
};

// Keeps the request: it belongs to the test, which frees it.
NTSTATUS NTAPI OwnIrpCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* own = static_cast<OwnIrpContext*>(context);
  own->outcome->completed = true;
  own->outcome->status = irp->IoStatus.Status;
  own->outcome->information = irp->IoStatus.Information;
  KeSetEvent(own->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A freshly loaded image starts with its static storage zero.
void ZeroImageStatics() {
  DriverRegistryPath = UNICODE_STRING{};
  for (auto& slot : AdapterTable) slot = nullptr;
  AdapterCount = 0;
}

// What the plug-and-play manager loads: the image anew each time, as the system maps it.
NTSTATUS NTAPI FreshImageEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  ZeroImageStatics();
  return DriverEntry(driver, registryPath);
}

}  // namespace

uint64_t SeedFromEnvironment(uint64_t fallback) {
  const char* text = std::getenv("ZEL_SEED");
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 0);
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

DriverHarness::DriverHarness(uint64_t seed) : machine_(std::make_unique<sim::Machine>(seed)) {}

DriverHarness::~DriverHarness() = default;

NTSTATUS DriverHarness::Load() {
  if (loaded()) throw std::logic_error("driver already loaded");
  ZeroImageStatics();
  return sim::io::LoadDriver(kDriverName, DriverEntry, kServiceKeyPath, &driver_);
}

void DriverHarness::Unload() {
  if (loaded()) sim::io::UnloadDriver(driver_);
}

void DriverHarness::RunTask(std::string name, std::function<void()> body) {
  machine_->RunTask(std::move(name), std::move(body));
}

sim::Task* DriverHarness::Spawn(std::string name, std::function<void()> body) {
  return machine_->Spawn(std::move(name), sim::TaskKind::Application, std::move(body));
}

bool DriverHarness::RunUntil(const std::function<bool()>& done, sim::VirtualTime limit) {
  return machine_->RunUntil(done, limit);
}

void DriverHarness::RunUntilIdle(sim::VirtualTime limit) { machine_->RunUntilIdle(limit); }

void DriverHarness::Advance(sim::VirtualTime span) { machine_->RunFor(span); }

sim::io::Result DriverHarness::Send(PDEVICE_OBJECT device, sim::io::RawIrp irp) {
  return sim::io::Send(device, std::move(irp));
}

IrpOutcome DriverHarness::SendIrp(PDEVICE_OBJECT device, IrpSpec irpSpec) {
  IrpOutcome outcome;
  RunTask("send irp", [&] {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    OwnIrpContext context{&outcome, &done};
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return;
    irp->IoStatus.Status = irpSpec.initialStatus;
    irp->IoStatus.Information = irpSpec.initialInformation;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = irpSpec.major;
    next->MinorFunction = irpSpec.minor;
    if (irpSpec.setup) irpSpec.setup(next);
    IoSetCompletionRoutine(irp, OwnIrpCompletion, &context, TRUE, TRUE, TRUE);
    outcome.dispatchStatus = irpSpec.major == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp);
    if (!outcome.completed) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
  });
  return outcome;
}

void InstallPlugAndPlayServices() {
  sim::pnp::Enable();
  sim::pnp::InstallService(kDriverName, FreshImageEntry, {u"USB\\Vid_5a45&Pid_0421", u"USB\\Vid_5a45&Pid_8421"},
                           sim::pnp::DeviceClass::MultiPortSerial);
  sim::pnp::InstallService(kDriverName, FreshImageEntry,
                           {u"ZELBUS\\BRPORTS01", u"ZELBUS\\BRPORTS02", u"ZELBUS\\BRPORTS03", u"ZELBUS\\BRPORTS04"},
                           sim::pnp::DeviceClass::Ports);
}

}  // namespace harness
