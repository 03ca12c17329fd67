// The invocation configuration: filled once at the start of a run from the
// registry value "BrivelInstallerCleanup", the process command line and the
// environment variable "MorvexUpdateIsMachine", then read by the rest of the
// run. There is no configuration file.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"

extern const WideChar STABLE_APP_GUID[];
extern const WideChar BETA_APP_GUID[];
extern const WideChar DEV_APP_GUID[];
extern const WideChar SXS_APP_GUID[];

struct InvocationConfig {
  InvocationConfig() = default;
  InvocationConfig(const InvocationConfig&) = delete;
  InvocationConfig& operator=(const InvocationConfig&) = delete;

  // Made by SHELL32's CommandLineToArgvW from command_line; owned, released
  // with LocalFree by ResetInvocation.
  LPWSTR* arguments = nullptr;
  // Names the client-state key; always one of the four constant GUIDs.
  const WideChar* app_guid = STABLE_APP_GUID;
  // The process command line as GetCommandLineW returns it; not owned.
  const WideChar* command_line = nullptr;
  int32_t argument_count = 0;  // the program name included
  bool system_level = false;
  bool unsupported_switch = false;
  bool cleanup_enabled = true;
};

// Releases the argument vector, if any, and restores every default. Safe on a
// record in any state, any number of times.
void ResetInvocation(InvocationConfig& config);

// Resets the record, then reads the cleanup setting, the command line and,
// unless "--system-level" was given, the environment variable. False only
// when the command line cannot be split, or SHELL32's CommandLineToArgvW
// cannot be had from the system directory; the last-error value is then the
// one the split, the load or the lookup left. Missing values leave their
// defaults silently.
bool ParseInvocation(InvocationConfig& config);

// The command-line half of ParseInvocation, together with the environment
// variable. Stores command_line, splits it, applies the switches of every
// argument after the program name (letter case ignored, whole strings only,
// the last channel switch wins) and reads the variable when no system-level
// switch was seen. False, with nothing after the split done, when the split
// fails.
bool ParseCommandLine(InvocationConfig& config, const WideChar* command_line);

// Reads a short REG_SZ value into buffer (capacity in wide characters) and
// makes sure it ends with a terminator. False when the key or value is
// missing, the type is not REG_SZ, or the data fill the buffer without a
// terminator. The key is opened for reading only, in the default view.
bool ReadStringValue(HKEY root, const WideChar* sub_key,
                     const WideChar* value_name, WideChar* buffer,
                     uint32_t capacity);
