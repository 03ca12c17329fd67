// The one way product code reaches the platform headers: fixes the target
// version, the wide-character API and the lean header set once. The target
// is Windows 8: the installer relies on its library search flags and on
// 128-bit file IDs (every ARM64 release has both).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

// Every unit that reaches the platform takes the guard straight from its
// place (base/stack_protection.h).
#include "base/stack_protection.h"

// GetLastError, which the installer calls after the failures it reports, and
// CloseHandle, which it calls for every handle it takes, each through one
// shared routine that only calls it: a call of the routine is one
// instruction where a call through the import table is three (the slot's
// page, the slot, the call), in a stub whose code and data must stay within
// 16 KiB. The platform's own function is reached through its import slot
// as before.
[[gnu::noinline]] inline DWORD CallGetLastError() { return GetLastError(); }
[[gnu::noinline]] inline BOOL CallCloseHandle(HANDLE handle) {
  return CloseHandle(handle);
}
