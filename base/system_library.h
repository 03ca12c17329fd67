// Libraries and functions of the system directory, and the system's random
// generator. A library the installer loads at run time comes from the
// system directory alone, never from the installer's own folder, the
// current directory or PATH, where anything downloaded beside the installer
// could stand; it stays loaded for the life of the process.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"

// Loads name (a bare file name such as L"shell32.dll") from the system
// directory. Null, with the loader's last error, when it cannot be had.
HMODULE LoadSystemLibrary(const WideChar* name);

// The entry point function of the system library, or null with the last
// error of the load or of the lookup (ERROR_PROC_NOT_FOUND).
FARPROC FindSystemFunction(const WideChar* library, const char* function);

// An address from GetProcAddress as the function type the caller knows it
// by.
template <typename Function>
Function AsFunction(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

template <typename Function>
Function SystemFunction(const WideChar* library, const char* function) {
  return AsFunction<Function>(FindSystemFunction(library, function));
}

// Fills buffer with count bytes from the system's random generator
// (ADVAPI32's SystemFunction036, looked up at run time: Windows forwards it
// to a library outside its known set, which the lookup then takes from the
// system directory). False, with the buffer's contents unspecified, when the
// generator cannot be had (the last error is the lookup's) or reports a
// failure (ERROR_GEN_FAILURE).
bool DrawRandomBytes(void* buffer, uint32_t count);
