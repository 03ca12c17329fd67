// Runs setup as a child process and waits for it. Setup's command line tells
// it where the installation archive lives, inside this very executable:
//   "S" --mini-installer-path="M" --archive-resource-name="N"
//       --archive-resource-type="T"
// followed by the arguments the installer itself was started with, passed
// through as it received them.
#pragma once

#include "base/bounded_string.h"
#include "base/run_outcome.h"
#include "base/windows_api.h"
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

// Composes the command line for setup_path, own_path, archive_name and
// archive_type into command_line, then the pass-through of
// installer_command_line. False when the composed part does not fit.
bool ComposeSetupCommandLine(const WideChar* setup_path,
                             const WideChar* own_path,
                             const WideChar* archive_name,
                             const WideChar* archive_type,
                             const WideChar* installer_command_line,
                             CommandBuffer& command_line);

// Appends what follows the program name of installer_command_line to
// command_line: a remainder that begins with a space or tab goes unchanged,
// other text gets one separating space first. A remainder that does not fit
// is dropped whole; a missing closing quotation mark on the program name
// passes nothing.
void AppendPassThrough(const WideChar* installer_command_line,
                       CommandBuffer& command_line);

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
