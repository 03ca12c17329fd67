// Stack protection for the functions that hold arrays: the compiler
// (-fstack-protector-strong) places a copy of the guard below each such
// frame's locals and checks it on return; a changed copy means the frame
// was overrun, and the process ends at once.
#pragma once

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
