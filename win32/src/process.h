// The process around a Win32 program, for the runner (which cannot include windows.h next to
// the simulated kernel's headers).
#pragma once

namespace zelwin32 {
// Process exit, once the program's main has returned: its other threads end where they
// wait, and every handle still open is closed (their cleanup ends pending requests).
void EndProcess();
// Names the calling task as a thread of the program (its id, a fresh last error).
void AdoptCurrentThread();
}  // namespace zelwin32
