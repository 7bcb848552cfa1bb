// The process around a Win32 program, for the runner (which cannot include windows.h next to
// the simulated kernel's headers).
#pragma once

namespace zelwin32 {
// Process exit: every handle still open is closed (their cleanup ends pending requests).
void CloseAllHandles();
// Names the calling task as a thread of the program (its id, a fresh last error).
void AdoptCurrentThread();
}  // namespace zelwin32
