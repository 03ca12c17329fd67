// Windows' Control Flow Guard rule, applied under Wine, which never enforces
// it: a stand-in for base/control_flow_guard.cpp that a test kit and test
// programs link in its place (the product's objects stay as they are). Its
// check and dispatch validate the target of each indirect call before the
// call is made, and end the process at once with CONTROL_FLOW_GUARD_MISS
// where Windows would end it with a fast fail ("Control Flow Guard for
// platform security"):
//
// - A target inside this image must be listed in the image's own
//   GuardCFFunctionTable, read through its headers as the loader reads it
//   (an entry flagged as suppressed does not count). Windows accepts, in
//   addition, any address in the same 16-byte slot as an unaligned listed
//   function; this check wants the listed address exactly.
// - A target in another module passes: Windows checks it against that
//   module's table.
//
// Calls that other modules make into this image (the cabinet library
// calling the installer's callbacks) are checked on Windows by those
// modules' own guard and never pass through here; the image checks
// (tests/image/check_image.py) show that every function whose address the
// code takes is listed.
#include <stddef.h>
#include <stdint.h>

#include "base/windows_api.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// "CF" and FAST_FAIL_GUARD_ICALL_CHECK_FAILURE, the code Windows' check
// fails with: not an exit code any run of the installer has otherwise.
constexpr UINT CONTROL_FLOW_GUARD_MISS = 0xCF00000A;

// Fields of the 64-bit load configuration (base/load_config.cpp).
constexpr size_t GUARD_CF_FUNCTION_TABLE = 0x80;
constexpr size_t GUARD_CF_FUNCTION_COUNT = 0x88;
constexpr size_t GUARD_FLAGS = 0x90;
// The top four bits of GuardFlags: bytes of each table entry beyond its
// 4-byte address; the first of them holds the entry's flags.
constexpr uint32_t FUNCTION_TABLE_SIZE_SHIFT = 28;
constexpr uint8_t ENTRY_SUPPRESSED = 0x1;  // IMAGE_GUARD_FLAG_FID_SUPPRESSED

template <typename T>
T Field(const uint8_t* at) {
  T value;
  __builtin_memcpy(&value, at, sizeof(value));
  return value;
}

const IMAGE_NT_HEADERS64* Headers(const uint8_t* base) {
  return reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
}

bool IsListed(const uint8_t* base, uint32_t rva) {
  const IMAGE_DATA_DIRECTORY& directory =
      Headers(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  if (directory.VirtualAddress == 0 || directory.Size < GUARD_FLAGS + 4) return false;
  const uint8_t* config = base + directory.VirtualAddress;
  const uint8_t* table = reinterpret_cast<const uint8_t*>(
      static_cast<uintptr_t>(Field<uint64_t>(config + GUARD_CF_FUNCTION_TABLE)));
  const uint64_t count = Field<uint64_t>(config + GUARD_CF_FUNCTION_COUNT);
  const uint32_t extra = Field<uint32_t>(config + GUARD_FLAGS) >> FUNCTION_TABLE_SIZE_SHIFT;
  for (uint64_t i = 0; table != nullptr && i < count; ++i) {
    const uint8_t* entry = table + i * (4 + extra);
    if (Field<uint32_t>(entry) == rva) {
      return extra == 0 || (entry[4] & ENTRY_SUPPRESSED) == 0;
    }
  }
  return false;
}

}  // namespace

extern "C" {

// Called by the thunks below with the call's target.
void ValidateCallTarget(uintptr_t target) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(&__ImageBase);
  const uintptr_t start = reinterpret_cast<uintptr_t>(base);
  if (target - start < Headers(base)->OptionalHeader.SizeOfImage &&
      !IsListed(base, static_cast<uint32_t>(target - start))) {
    TerminateProcess(GetCurrentProcess(), CONTROL_FLOW_GUARD_MISS);
    for (;;) {
    }
  }
}

#if defined(__aarch64__)
// The check: target in x15. It keeps x0-x15 and q0-q7 (the call's
// arguments among them) as they were.
__attribute__((naked)) void StrictGuardCheck() {
  __asm__(
      "stp x29, x30, [sp, #-272]!\n"
      "mov x29, sp\n"
      "stp x0, x1, [sp, #16]\n"
      "stp x2, x3, [sp, #32]\n"
      "stp x4, x5, [sp, #48]\n"
      "stp x6, x7, [sp, #64]\n"
      "stp x8, x9, [sp, #80]\n"
      "stp x10, x11, [sp, #96]\n"
      "stp x12, x13, [sp, #112]\n"
      "stp x14, x15, [sp, #128]\n"
      "stp q0, q1, [sp, #144]\n"
      "stp q2, q3, [sp, #176]\n"
      "stp q4, q5, [sp, #208]\n"
      "stp q6, q7, [sp, #240]\n"
      "mov x0, x15\n"
      "bl ValidateCallTarget\n"
      "ldp q6, q7, [sp, #240]\n"
      "ldp q4, q5, [sp, #208]\n"
      "ldp q2, q3, [sp, #176]\n"
      "ldp q0, q1, [sp, #144]\n"
      "ldp x14, x15, [sp, #128]\n"
      "ldp x12, x13, [sp, #112]\n"
      "ldp x10, x11, [sp, #96]\n"
      "ldp x8, x9, [sp, #80]\n"
      "ldp x6, x7, [sp, #64]\n"
      "ldp x4, x5, [sp, #48]\n"
      "ldp x2, x3, [sp, #32]\n"
      "ldp x0, x1, [sp, #16]\n"
      "ldp x29, x30, [sp], #272\n"
      "ret\n");
}

// Never called by ARM64 code.
__attribute__((naked)) void StrictGuardDispatch() { __asm__("brk #0xF003"); }
#else
// Saves the argument registers, rax, r10, r11 and xmm0-xmm3 (entered with
// the stack 8 bytes off its 16-byte alignment, as after a call), validates
// the target in the named register, and puts everything back: the call's
// arguments, in registers and on the stack, stay as they were.
#define STRICT_GUARD_X64(target)         \
  "sub $0xA8, %rsp\n"                    \
  "mov %rcx, 0x20(%rsp)\n"               \
  "mov %rdx, 0x28(%rsp)\n"               \
  "mov %r8, 0x30(%rsp)\n"                \
  "mov %r9, 0x38(%rsp)\n"                \
  "mov %rax, 0x40(%rsp)\n"               \
  "mov %r10, 0x48(%rsp)\n"               \
  "mov %r11, 0x50(%rsp)\n"               \
  "movups %xmm0, 0x60(%rsp)\n"           \
  "movups %xmm1, 0x70(%rsp)\n"           \
  "movups %xmm2, 0x80(%rsp)\n"           \
  "movups %xmm3, 0x90(%rsp)\n"           \
  "mov " target ", %rcx\n"               \
  "call ValidateCallTarget\n"            \
  "movups 0x90(%rsp), %xmm3\n"           \
  "movups 0x80(%rsp), %xmm2\n"           \
  "movups 0x70(%rsp), %xmm1\n"           \
  "movups 0x60(%rsp), %xmm0\n"           \
  "mov 0x50(%rsp), %r11\n"               \
  "mov 0x48(%rsp), %r10\n"               \
  "mov 0x40(%rsp), %rax\n"               \
  "mov 0x38(%rsp), %r9\n"                \
  "mov 0x30(%rsp), %r8\n"                \
  "mov 0x28(%rsp), %rdx\n"               \
  "mov 0x20(%rsp), %rcx\n"               \
  "add $0xA8, %rsp\n"

// The check: target in rcx (x64 code compiled here calls the dispatch).
__attribute__((naked)) void StrictGuardCheck() {
  __asm__(STRICT_GUARD_X64("%rcx") "ret\n");
}

// The dispatch: target in rax, the call's arguments in place; jumps on.
__attribute__((naked)) void StrictGuardDispatch() {
  __asm__(STRICT_GUARD_X64("%rax") "jmp *%rax\n");
}
#endif

__attribute__((section(".00cfg"))) extern void* const __guard_check_icall_fptr =
    reinterpret_cast<void*>(&StrictGuardCheck);
__attribute__((section(".00cfg"))) extern void* const
    __guard_dispatch_icall_fptr = reinterpret_cast<void*>(&StrictGuardDispatch);

}  // extern "C"
