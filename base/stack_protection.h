// Stack protection for the functions that hold arrays: the compiler
// (-fstack-protector-strong) places a copy of the guard below each such
// frame's locals and checks it on return; a changed copy means the frame
// was overrun, and the process ends at once.
#pragma once

// Code built with stack protection checks every protected frame against the
// guard (base/stack_protection.cpp). Declared, and referenced, in every such
// unit, with external data taken to lie in this image (-fno-auto-import),
// the compiler loads the guard straight from its place, where it would
// otherwise go through an import-style pointer: one load less at each of the
// two ends of every protected function, the price of a stub that must stay
// small. Units built for other hosts (the fuzz targets) have a guard of
// their own run-time library's.
#if defined(__SSP_STRONG__) && defined(_WIN32)
#include <stdint.h>
extern "C" uintptr_t __stack_chk_guard;
[[gnu::used]] static const uintptr_t* const stack_guard_of_this_image =
    &__stack_chk_guard;
#endif

// Marks a function whose frame holds no array, only values and records that
// the platform fills by the size it is given: nothing the installer does
// can overrun it. -fstack-protector-strong guards such a frame all the same
// once a local's address is taken; there the check would only cost code, in
// a stub whose code and data must stay within 16 KiB.
#define FRAME_WITHOUT_ARRAYS __attribute__((no_stack_protector))

// Draws the guard from the system's random generator. Called by the entry
// point before any protected frame is live, and never again: a frame live
// across the change would fail its check. When the generator cannot be had
// the guard keeps its built-in value; the run then ends before it creates
// anything, since no work directory name can be drawn either.
void InitializeStackGuard();
