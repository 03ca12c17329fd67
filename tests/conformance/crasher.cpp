// crasher.exe: a test program whose every case dies, in the three shapes a
// crash takes; each must be counted as failed. CTest runs it with WILL_FAIL
// on both targets; the conformance runner judges it first (its calibration).
//   Crash.AccessViolation         a write through a null pointer
//   Crash.DumpThenExitZero        the shape Wine 8's debugger sometimes gives:
//                                 its crash report, then exit code 0
//   Crash.FaultAfterClosingLines  GoogleTest's closing pass lines, then the
//                                 write through a null pointer
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
