// Forced into C++ programs built with zel_add_win32_program: their main, renamed, keeps C
// linkage so the runner finds it.
#pragma once
extern "C" int ZelWin32Main(int argc, char** argv);
