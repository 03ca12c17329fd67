// The process's raw entry point: there is no run-time start-up before it and
// no clean-up after it.
#include "base/windows_api.h"
#include "run/run_installer.h"

// The executable's own image, placed by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" [[noreturn]] void InstallerEntry() {
  const RunOutcome outcome =
      RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  // The detail survives only in the client-state key.
  ExitProcess(outcome.exit_code);
}
