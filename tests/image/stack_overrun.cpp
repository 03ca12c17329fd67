// stack_overrun.exe [COUNT]: built with the installer's own compile flags and
// its stack protection (base/stack_protection.cpp), it draws the guard as
// the installer's entry point does, then writes COUNT bytes (default 64)
// into a 16-byte array on the stack of a function that returns afterwards.
// The guard check on that return must end the process with
// STATUS_STACK_BUFFER_OVERRUN (0xC0000409); any other ending, an exit code
// of 0 or 1 included, is a failure of the protection. With a COUNT of 16 or
// less nothing is overrun and the program exits with 0.
#include "base/stack_protection.h"
#include "base/windows_api.h"

namespace {

constexpr DWORD DEFAULT_COUNT = 64;

// The count comes from the command line, so that the compiler cannot see
// the overrun coming and refuse or rewrite it.
DWORD CountFromCommandLine() {
  const wchar_t* text = GetCommandLineW();
  const wchar_t* last_space = nullptr;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c == L' ') last_space = c;
  }
  if (last_space == nullptr || last_space[1] < L'0' || last_space[1] > L'9') {
    return DEFAULT_COUNT;
  }
  DWORD count = 0;
  for (const wchar_t* c = last_space + 1; *c >= L'0' && *c <= L'9'; ++c) {
    count = count * 10 + static_cast<DWORD>(*c - L'0');
  }
  return count;
}

__attribute__((noinline)) DWORD Overrun(DWORD count) {
  volatile char buffer[16];
  for (DWORD i = 0; i < count; ++i) buffer[i] = static_cast<char>(0x41 + i);
  return static_cast<DWORD>(buffer[0]);
}

}  // namespace

extern "C" [[noreturn]] __attribute__((no_stack_protector)) void
OverrunEntry() {
  InitializeStackGuard();
  const DWORD count = CountFromCommandLine();
  Overrun(count);
  ExitProcess(0);
}
