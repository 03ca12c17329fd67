// The record a run leaves in the updater's client-state key,
// "Software\Morvex\Update\ClientState\" followed by the application GUID,
// under HKEY_LOCAL_MACHINE for a system-level run and HKEY_CURRENT_USER
// otherwise, always in the 32-bit registry view. The key belongs to the
// updater: it is only ever opened, never created, so when it is missing
// nothing is recorded.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/run_outcome.h"
#include "base/windows_api.h"
#include "run/invocation_config.h"

// Holds at most one open key; CloseKey closes and empties it.
struct RegistryKey {
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey();

  HKEY handle = nullptr;
};

// Closes the held key, if any, and empties the holder. Safe to call twice.
void CloseKey(RegistryKey& key);

inline RegistryKey::~RegistryKey() { CloseKey(*this); }

// The root that a configuration's record goes under.
HKEY ClientStateRoot(const InvocationConfig& config);

// Opens the client-state key of app_guid under root into key, with access
// plus KEY_WOW64_32KEY. Returns 0 on success, RC_STATE_KEY_TOO_LONG when the
// path does not fit (the holder is then left as it was), otherwise the
// error of the open. A key already held is closed first.
uint32_t OpenClientStateKey(HKEY root, const WideChar* app_guid,
                            REGSAM access, RegistryKey& key);

// 0 and the value when the named value is a REG_DWORD of exactly 4 bytes;
// otherwise the query's error, ERROR_NOT_SUPPORTED for another type or
// ERROR_NO_DATA for another size. value is meaningful only on 0.
uint32_t ReadDwordValue(const RegistryKey& key, const WideChar* name,
                        uint32_t& value);

// Stores value as a 4-byte REG_DWORD and returns the write's status.
uint32_t WriteDwordValue(const RegistryKey& key, const WideChar* name,
                         uint32_t value);

// Records a failed run: "InstallerResult" 1, "InstallerError" the exit code,
// "InstallerExtraCode1" the detail, unless a non-zero "InstallerResult" is
// already there. Does nothing for a successful outcome or a missing key.
void ReportInstallFailure(const InvocationConfig& config,
                          const RunOutcome& outcome);

// Records a successful run: only "InstallerExtraCode1", 0x30000 whose low 16
// bits hold the largest removal attempt count minus 1 when that count is 2 or
// more. Nothing else is read or written.
void ReportInstallSuccess(const InvocationConfig& config,
                          int32_t largest_attempt_count);

// The success record's value for a largest attempt count.
uint32_t SuccessExtraCode(int32_t largest_attempt_count);
