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

// Code built with stack protection checks every protected frame against the
// guard (base/stack_protection.cpp). Declared, and referenced, in every such
// unit, with external data taken to lie in this image (-fno-auto-import),
// the compiler loads the guard straight from its place, where it would
// otherwise go through an import-style pointer: one load less at each of the
// two ends of every protected function, the price of a stub that must stay
// small.
#if defined(__SSP_STRONG__)
#include <stdint.h>
extern "C" uintptr_t __stack_chk_guard;
[[gnu::used]] static const uintptr_t* const stack_guard_of_this_image =
    &__stack_chk_guard;
#endif
