// guard_calibration.exe MODE: built with the installer's flags and Control
// Flow Guard, and linked with the strict validator in place of the guard's
// pass-throughs (strict_control_flow_guard.cpp), as the strict kit is. It
// makes one indirect call of the kind MODE names and exits with 0, unless
// the validator ends it first (with 0xCF00000A):
//   0  a function of this image whose address the compiler saw taken
//   1  a function of another module (KERNEL32)
//   2  a function of this image whose address only assembly takes, so the
//      compiler never listed it: what a function reached through a pointer
//      the compiler cannot see looks like
// A call that gets through to the unlisted function exits with 77. The
// image checks find that function unlisted in this program's image too
// (check_image.py --guard-calibration).
#include "base/windows_api.h"

namespace {

using Function = DWORD (*)();
using OtherModuleFunction = HANDLE(WINAPI*)();

DWORD ModeFromCommandLine() {
  const wchar_t* text = GetCommandLineW();
  const wchar_t* last = text;
  for (const wchar_t* c = text; *c; ++c) last = c;
  return *last >= L'0' && *last <= L'9' ? static_cast<DWORD>(*last - L'0') : 0;
}

__attribute__((noinline)) DWORD Listed() { return 0; }

}  // namespace

extern "C" __attribute__((noinline)) DWORD Unlisted() { return 77; }

namespace {

Function UnlistedAddress() {
  Function address;
#if defined(__aarch64__)
  __asm__("adrp %0, Unlisted\n\tadd %0, %0, :lo12:Unlisted" : "=r"(address));
#else
  __asm__("leaq Unlisted(%%rip), %0" : "=r"(address));
#endif
  return address;
}

}  // namespace

extern "C" [[noreturn]] void CalibrationEntry() {
  // Through volatile pointers, so that every call stays indirect.
  Function volatile listed = Listed;
  Function volatile unlisted = UnlistedAddress();
  OtherModuleFunction volatile other_module = &GetCurrentProcess;
  DWORD code = 0;
  switch (ModeFromCommandLine()) {
    case 0: code = listed(); break;
    case 1: other_module(); break;
    case 2: code = unlisted(); break;
  }
  ExitProcess(code);
}
