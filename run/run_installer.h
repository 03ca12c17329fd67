// The run: read the invocation, create the work directory beside the
// executable, have setup written into it, run setup, remove what was
// written, record the result in the client-state key, and hand back the
// outcome whose exit_code becomes the process exit code.
#pragma once

#include "base/run_outcome.h"
#include "base/windows_api.h"

// Carries one run from start to end for the executable whose module is
// module. Removal and recording never change the outcome. A run that ends
// before its work directory exists removes and records nothing; one whose own
// path cannot be taken in 259 characters, or holds no backslash, ends with
// {RC_SETUP_COMMAND_FAILED, 0}.
RunOutcome RunInstaller(HMODULE module);
