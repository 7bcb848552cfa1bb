// The download of the two firmware images into a blank adapter: the loader through the
// controller's own request 0xA0, then the main firmware, its external part through the
// running loader's 0xA3 and its internal part through 0xA0, the CPU held in reset and
// released around them. Runs inside the adapter's start, PASSIVE_LEVEL; non-pageable.
#pragma once

#include "adapter/firmware_record.h"
#include "core/records.h"

#define REQUEST_LOAD_INTERNAL 0xA0
#define REQUEST_LOAD_EXTERNAL 0xA3
#define CPU_CONTROL_REGISTER 0x7F92
#define INTERNAL_RAM_LAST 0x1B3F

// One write of the CPU control register: 1 holds the 8051 in reset, 0 lets it run.
NTSTATUS SetCpuReset(AdapterExtension* Adapter, UCHAR Value);

// Pass 1 sends the records above INTERNAL_RAM_LAST with 0xA3, the CPU is put in reset, pass
// 2 sends the others with 0xA0; records go in stored order, the end record is never sent.
// Stops at the first failure and returns it; else STATUS_SUCCESS.
NTSTATUS DownloadFirmwareImage(AdapterExtension* Adapter, const FirmwareRecord* Image);

// The whole sequence: reset, loader, run, main image, reset, run. The first failure ends it
// with the CPU held in reset (a partly written program must not run) and is returned, so the
// start that asked for it fails instead of reporting a download that did not happen.
NTSTATUS DownloadFirmware(AdapterExtension* Adapter);
