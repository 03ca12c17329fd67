// A link seam for the runner's own test: CreateProcessW refuses a program
// whose file name begins "blocked_<error>" with that error, as Windows does
// when a policy refuses to start a program (Smart App Control and App
// Control for Business: 4551 and the reputation answers beside it;
// AppLocker: 1260), which Wine never does. Every other program, reg.exe
// among them, starts as it would.
#include "conformance/runner.h"

namespace {

BOOL WINAPI SeamCreateProcessW(LPCWSTR application, LPWSTR command_line,
                               LPSECURITY_ATTRIBUTES process,
                               LPSECURITY_ATTRIBUTES thread, BOOL inherit,
                               DWORD flags, LPVOID environment,
                               LPCWSTR folder, LPSTARTUPINFOW startup,
                               LPPROCESS_INFORMATION information) {
  const wchar_t* name = application != nullptr ? application : L"";
  for (const wchar_t* c = name; *c != 0; ++c) {
    if (*c == L'\\') name = c + 1;
  }
  if (plain::StartsWith(name, L"blocked_")) {
    DWORD error = 0;
    for (const wchar_t* c = name + 8; *c >= L'0' && *c <= L'9'; ++c) {
      error = error * 10 + static_cast<DWORD>(*c - L'0');
    }
    SetLastError(error);
    return FALSE;
  }
  const auto real = reinterpret_cast<decltype(&CreateProcessW)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                             "CreateProcessW")));
  return real(application, command_line, process, thread, inherit, flags,
              environment, folder, startup, information);
}

}  // namespace

extern "C" {
decltype(&CreateProcessW) __imp_CreateProcessW = SeamCreateProcessW;
}
