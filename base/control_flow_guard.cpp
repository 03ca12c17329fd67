// Control Flow Guard without a run-time library: the two pointers that the
// compiler's checks call through (-mguard=cf), and what they point to until
// the loader installs its own.
//
// ARM64 code calls through __guard_check_icall_fptr before every indirect
// call, with the target in x15; the check returns when the target is valid,
// and it keeps the call's arguments (x0-x8, q0-q7) as they were. x64 code
// calls through __guard_dispatch_icall_fptr instead, with the target in rax
// and the call's arguments in place; the dispatch jumps on to the target
// when it is valid. The load configuration (base/load_config.cpp) tells the
// loader where both pointers are. A loader that enforces the guard writes
// its own check and dispatch into them (it lifts the page's protection for
// that write); in the image they lie in read-only data, where nothing else
// can change them. A loader that does not enforce it (Windows before 8.1
// Update 3, Wine) leaves them on the pass-throughs below, which accept
// every target: the program runs as if it had no guard.
//
// This object stands alone so that a test build can link another in its
// place (tests/image/strict_control_flow_guard.cpp) and apply Windows' rule
// under Wine, which never enforces the guard.
#include <stdint.h>

extern "C" {

// No frame and no register touched: the target was valid before the guard
// and still is.
__attribute__((naked)) void GuardCheckPassThrough() { __asm__("ret"); }

#if defined(__aarch64__)
// ARM64 code never calls through the dispatch pointer, but the loader wants
// both pointers set: the check's bare return serves for it, rather than a
// second one (every function in the guard's table is aligned to 16 bytes).
#define GUARD_DISPATCH_PASS_THROUGH GuardCheckPassThrough
#else
__attribute__((naked)) void GuardDispatchPassThrough() {
  __asm__("jmp *%rax");
}
#define GUARD_DISPATCH_PASS_THROUGH GuardDispatchPassThrough
#endif

// Read-only data (lld places .00cfg with .rdata).
__attribute__((section(".00cfg"))) extern void* const __guard_check_icall_fptr =
    reinterpret_cast<void*>(&GuardCheckPassThrough);
__attribute__((section(".00cfg"))) extern void* const
    __guard_dispatch_icall_fptr =
        reinterpret_cast<void*>(&GUARD_DISPATCH_PASS_THROUGH);

}  // extern "C"
