// Shared by the Win32 layer's files: the handle table's I/O core and the status mapping.
#pragma once

#include <windows.h>

#include "process.h"

namespace zelwin32 {

// What RtlNtStatusToDosError gives for the statuses this machine produces.
DWORD Win32Error(NTSTATUS status);
// Sets the thread's last error from a status and returns FALSE, as kernel32 does.
BOOL FailWith(NTSTATUS status);
BOOL FailWithError(DWORD error);

// A device control that is waited for whatever the handle's mode, as kernel32's comm
// functions do. Returns the final status; *returned gets the bytes returned.
NTSTATUS SyncDeviceControl(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output,
                           DWORD outputLength, DWORD* returned);
// The same, setting the last error: TRUE on success.
BOOL DeviceControlOk(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned = nullptr);

}  // namespace zelwin32
