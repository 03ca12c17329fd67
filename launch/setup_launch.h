// Runs setup as a child process and waits for it. Setup's command line
// (setup_command_line.h) tells it where the installation archive lives:
// inside this very executable.
#pragma once

#include "base/bounded_string.h"
#include "base/run_outcome.h"
#include "base/windows_api.h"
#include "launch/setup_command_line.h"
#include "run/invocation_config.h"

// Composes setup's command line and runs setup to its end. Returns {setup's
// exit code, 0} when it ran, {RC_SETUP_COMMAND_FAILED, 0} when the
// executable's path cannot be taken in 259 characters or the command line
// does not fit (nothing started), or a start or wait failure from
// RunAndWait. Arguments that do not fit after the composed text are dropped
// whole and setup still runs.
RunOutcome LaunchSetup(const InvocationConfig& config, HMODULE module,
                       const WideChar* archive_name,
                       const WideChar* archive_type,
                       const WideChar* setup_path);

// Starts application_path with child_command_line (writable), with no window,
// no inherited handles, the installer's environment and current directory,
// and waits without a time limit. {exit code, 0} when the child ran to its
// end. A failed start gives file_not_found_code or path_not_found_code with
// the attribute word of application_path, or start_failed_code with the
// error; a failed wait or exit-code read gives {RC_SETUP_WAIT_FAILED, error}.
RunOutcome RunAndWait(const WideChar* application_path,
                      WideChar* child_command_line,
                      uint32_t file_not_found_code,
                      uint32_t path_not_found_code,
                      uint32_t start_failed_code);
