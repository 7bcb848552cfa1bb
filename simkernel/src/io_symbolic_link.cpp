// IoCreateSymbolicLink and IoDeleteSymbolicLink over the name table, and what a driver leaves
// in the kernel's tables when it goes.
#include "io_internal.h"

using namespace sim::iom;

namespace {

void CheckPassive(const char* call) {
  SetCall(call);
  if (CurrentIrql() != PASSIVE_LEVEL)
    Report("symbolic link routine above PASSIVE_LEVEL", std::string(call) + " at IRQL " + std::to_string(CurrentIrql()));
}

bool Name(PCUNICODE_STRING string, std::u16string* text) {
  if (!string || (string->Length & 1) || string->Length > string->MaximumLength || (string->Length && !string->Buffer))
    return false;
  text->assign(string->Buffer ? string->Buffer : u"", string->Length / sizeof(WCHAR));
  return !text->empty();
}

}  // namespace

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  CheckPassive("IoCreateSymbolicLink");
  std::u16string link, target;
  if (!Name(SymbolicLinkName, &link) || !Name(DeviceName, &target)) return STATUS_OBJECT_NAME_INVALID;
  if (link[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  NTSTATUS status = sim::io::CreateSymbolicLink(link, target);
  if (!NT_SUCCESS(status)) return status;
  // A link belongs to the driver of the device it names, or else to the driver that made it.
  PDEVICE_OBJECT device = sim::io::FindDevice(target);
  PDRIVER_OBJECT owner = device ? device->DriverObject : RunningDriver();
  if (owner) Io().driverLinks[NameKey(link)] = owner;
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  CheckPassive("IoDeleteSymbolicLink");
  std::u16string link;
  if (!Name(SymbolicLinkName, &link)) return STATUS_OBJECT_NAME_INVALID;
  return sim::io::DeleteSymbolicLink(link);
}

namespace sim::iom {

void ReportLeftAtUnload(PDRIVER_OBJECT driver) {
  ReportRegistryHandlesAtUnload(driver);
  IoState& io = Io();
  for (auto it = io.driverLinks.begin(); it != io.driverLinks.end();) {
    if (it->second != driver) {
      ++it;
      continue;
    }
    auto link = io.links.find(it->first);
    Report("symbolic link left at unload",
           Narrow(it->first) + " -> " + (link == io.links.end() ? std::string("?") : Narrow(link->second)));
    it = io.driverLinks.erase(it);  // reported once; the link itself stays, as on Windows
  }
}

}  // namespace sim::iom
