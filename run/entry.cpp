// The process's raw entry point: there is no run-time start-up before it and
// no clean-up after it.
#include "base/stack_protection.h"
#include "base/windows_api.h"
#include "run/run_installer.h"

// The executable's own image, placed by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Unprotected itself: the stack guard changes while this frame is live.
extern "C" [[noreturn]] __attribute__((no_stack_protector)) void
InstallerEntry() {
  // First of all, before anything can load a library: from here on every
  // load the process makes, at run time or on behalf of another library
  // (dependencies, forwarded functions), searches the system directory
  // alone. With this flag the call does not fail where the function exists,
  // and a Windows without it cannot start the installer at all.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  InitializeStackGuard();
  const RunOutcome outcome =
      RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  // The detail survives only in the client-state key.
  ExitProcess(outcome.exit_code);
}
