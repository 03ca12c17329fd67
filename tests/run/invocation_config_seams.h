// Link seams of invocation_config_seam_test: the program stands in for
// SHELL32 (it exports CommandLineToArgvW, and its LoadLibraryExW fake hands
// its own module back for SHELL32 from the system directory), and its
// imports of GetEnvironmentVariableW and LocalFree are replaced by fakes
// that pass through to the real functions and record what they saw. A split
// failure cannot be provoked for real (CommandLineToArgvW splits every
// string, the empty one included), nor a system without SHELL32, and whether
// a variable was read or a block released is not visible in the results.
#pragma once

#include <windows.h>

namespace seams {

// While non-zero, CommandLineToArgvW fails: null, with this last error.
extern DWORD split_error;
// While non-zero, SHELL32 cannot be loaded: null, with this last error.
extern DWORD shell32_load_error;
// While true, SHELL32 loads but lacks CommandLineToArgvW (the real KERNEL32
// is handed back for it).
extern bool shell32_lacks_split;
// Calls of GetEnvironmentVariableW for "MorvexUpdateIsMachine".
extern int machine_variable_reads;
// The blocks given to LocalFree, in order (the first MAX_FREED).
constexpr int MAX_FREED = 64;
extern HLOCAL freed[MAX_FREED];
extern int freed_count;

// How often block was given to LocalFree since the last Reset.
int TimesFreed(const void* block);

// Back to pass-through with nothing recorded.
void Reset();

}  // namespace seams
