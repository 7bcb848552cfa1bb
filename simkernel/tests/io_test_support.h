// Small drivers written inside tests: every major function of a test driver goes to a lambda,
// completion and cancel routines can be lambdas too.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "machine_fixture.h"
#include "simkernel/io.h"
#include "simkernel/pool.h"

using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A completion routine that calls the std::function its context points at.
struct CompletionThunk {
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> fn;
  static NTSTATUS NTAPI Call(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return static_cast<CompletionThunk*>(context)->fn(device, irp);
  }
  void Install(PIRP irp, bool success = true, bool error = true, bool cancel = true) {
    IoSetCompletionRoutine(irp, Call, this, success, error, cancel);
  }
};

class IoTest : public MachineTest {
 protected:
  void TearDown() override {
    MachineTest::TearDown();
    Handlers().clear();
    CancelHandler() = nullptr;
  }

  static std::map<PDRIVER_OBJECT, DispatchFn>& Handlers() {
    static std::map<PDRIVER_OBJECT, DispatchFn> handlers;
    return handlers;
  }
  static std::function<void(PDEVICE_OBJECT, PIRP)>& CancelHandler() {
    static std::function<void(PDEVICE_OBJECT, PIRP)> handler;
    return handler;
  }
  static NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp) { return Handlers().at(device->DriverObject)(device, irp); }
  static VOID NTAPI RouteCancel(PDEVICE_OBJECT device, PIRP irp) { CancelHandler()(device, irp); }
  static NTSTATUS NTAPI EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

  // Loads a driver whose every major function goes to `dispatch`.
  PDRIVER_OBJECT LoadTestDriver(const std::u16string& name, DispatchFn dispatch) {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(sim::io::LoadDriver(name, EmptyEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\Test\\" + name, &driver),
              STATUS_SUCCESS);
    for (auto& entry : driver->MajorFunction) entry = Route;
    Handlers()[driver] = std::move(dispatch);
    return driver;
  }

  // A ready device (initialising flag cleared) of a test driver.
  static PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const std::u16string& name = u"", ULONG flags = DO_BUFFERED_IO,
                                     ULONG extensionSize = 0, BOOLEAN exclusive = FALSE) {
    UNICODE_STRING unicodeName;
    RtlInitUnicodeString(&unicodeName, name.c_str());
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, extensionSize, name.empty() ? nullptr : &unicodeName, FILE_DEVICE_UNKNOWN,
                                     0, exclusive, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (device) device->Flags = (device->Flags | flags) & ~DO_DEVICE_INITIALIZING;
    return device;
  }

  static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, boost);
    return status;
  }

  static bool Contains(const std::vector<std::string>& rules, const std::string& rule) {
    return std::find(rules.begin(), rules.end(), rule) != rules.end();
  }
};
