#include "base/stack_protection.h"

#include <stdint.h>

#include "base/system_library.h"
#include "base/windows_api.h"

extern "C" {

// What each protected frame keeps a copy of. The built-in value serves only
// until the entry point has drawn a random one.
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2B992DDFA232F6B1ull);

// A failed check: the frame's memory was overwritten, so nothing in this
// process can be trusted to run any more. End it as the platform's own
// check does, at once and with STATUS_STACK_BUFFER_OVERRUN, running no
// handler: through the fast-fail mechanism where the processor has it
// (every Windows 8 and later), else by terminating the process.
[[noreturn]] void __stack_chk_fail() {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
#if defined(__aarch64__)
    register uint64_t code __asm__("x0") = FAST_FAIL_STACK_COOKIE_CHECK_FAILURE;
    __asm__ volatile("brk #0xF003" : : "r"(code));
#else
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
#endif
  }
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  for (;;) {
  }
}

}  // extern "C"

__attribute__((no_stack_protector)) void InitializeStackGuard() {
  uintptr_t drawn = 0;
  if (DrawRandomBytes(&drawn, sizeof(drawn)) && drawn != 0) {
    __stack_chk_guard = drawn;
  }
}
