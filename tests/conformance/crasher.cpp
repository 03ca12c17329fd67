// crasher.exe: a test program whose every case dies, in the three shapes a
// crash takes under a runner that reads exit codes. Each must be counted as
// failed, never as passed: CTest runs it with WILL_FAIL on both targets,
// and the conformance runner judges it before the suite (its calibration).
//
//   Crash.AccessViolation        writes through a null pointer: the process
//                                ends with 0xC0000005 and no closing line
//   Crash.DumpThenExitZero       the shape Wine 8 sometimes gives: the
//                                debugger's dump, then exit code 0 (a
//                                top-level filter prints winedbg's header
//                                and exits with 0)
//   Crash.FaultAfterClosingLines GoogleTest's closing pass lines, then a
//                                write through a null pointer
//
// No run-time library: raw entry point, KERNEL32 only.
#include "support/plain_cases.h"

namespace {

// The address comes from a volatile, so that the compiler emits the store
// itself rather than a trap of its own for a known null pointer.
volatile uintptr_t g_nowhere = 0;

void WriteThroughNull() { *reinterpret_cast<volatile int*>(g_nowhere) = 1; }

LONG WINAPI DumpAndExitZero(EXCEPTION_POINTERS* pointers) {
  plain::Bytes dump;
  dump.Add("Unhandled exception: page fault on write access to "
           "0x0000000000000000 (code ")
      .AddHex32(pointers->ExceptionRecord->ExceptionCode)
      .Add(")\nRegister dump:\n");
  plain::Print(dump);
  ExitProcess(0);
}

void AccessViolation(plain::CaseContext&) { WriteThroughNull(); }

void DumpThenExitZero(plain::CaseContext&) {
  SetUnhandledExceptionFilter(DumpAndExitZero);
  WriteThroughNull();
}

void FaultAfterClosingLines(plain::CaseContext&) {
  plain::Print(
      "[       OK ] Crash.FaultAfterClosingLines (0 ms)\n"
      "[==========] 1 test ran. (0 ms)\n"
      "[  PASSED  ] 1 test.\n");
  WriteThroughNull();
}

constexpr plain::Case CASES[] = {
    {"Crash", "AccessViolation", AccessViolation},
    {"Crash", "DumpThenExitZero", DumpThenExitZero},
    {"Crash", "FaultAfterClosingLines", FaultAfterClosingLines},
};

}  // namespace

extern "C" [[noreturn]] void CrasherEntry() {
  ExitProcess(static_cast<UINT>(plain::RunCases(
      CASES, sizeof(CASES) / sizeof(CASES[0]), nullptr, nullptr)));
}
