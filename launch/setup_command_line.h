// Composition of setup's command line. Platform-free: it only joins bounded
// strings, so it builds and can be exercised anywhere.
//
//   "S" --mini-installer-path="M" --archive-resource-name="N"
//       --archive-resource-type="T"
//
// followed by the arguments the installer itself was started with, passed
// through as it received them.
#pragma once

#include "base/bounded_string.h"

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
