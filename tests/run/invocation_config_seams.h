// Link seams of invocation_config_seam_test: the program's imports of
// CommandLineToArgvW, GetEnvironmentVariableW and LocalFree are replaced by
// fakes that pass through to the real functions and record what they saw.
// A split failure cannot be provoked for real (CommandLineToArgvW splits
// every string, the empty one included), and whether a variable was read or
// a block released is not visible in the results.
#pragma once

#include <windows.h>

namespace seams {

// While non-zero, CommandLineToArgvW fails: null, with this last error.
extern DWORD split_error;
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
