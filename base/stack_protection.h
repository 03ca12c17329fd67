// Stack protection for the functions that hold arrays: the compiler
// (-fstack-protector-strong) places a copy of the guard below each such
// frame's locals and checks it on return; a changed copy means the frame
// was overrun, and the process ends at once.
#pragma once

// Draws the guard from the system's random generator. Called by the entry
// point before any protected frame is live, and never again: a frame live
// across the change would fail its check. When the generator cannot be had
// the guard keeps its built-in value; the run then ends before it creates
// anything, since no work directory name can be drawn either.
void InitializeStackGuard();
