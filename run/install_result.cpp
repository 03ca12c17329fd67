#include "run/install_result.h"

#include "base/stack_protection.h"

namespace {

const WideChar CLIENT_STATE_PREFIX[] = L"Software\\Morvex\\Update\\ClientState\\";
const WideChar INSTALLER_RESULT[] = L"InstallerResult";
const WideChar INSTALLER_ERROR[] = L"InstallerError";
const WideChar INSTALLER_EXTRA_CODE[] = L"InstallerExtraCode1";

constexpr REGSAM RECORD_ACCESS = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr uint32_t SUCCESS_RECORD_BASE = 0x30000;

}  // namespace

void CloseKey(RegistryKey& key) {
  HKEY held = key.handle;
  key.handle = nullptr;
  if (held) RegCloseKey(held);
}

HKEY ClientStateRoot(const InvocationConfig& config) {
  return config.system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

uint32_t OpenClientStateKey(HKEY root, const WideChar* app_guid,
                            REGSAM access, RegistryKey& key) {
  PathBuffer path;
  if (!BoundedCopy(path.text, PATH_CAPACITY, CLIENT_STATE_PREFIX) ||
      !BoundedAppend(path.text, PATH_CAPACITY, app_guid)) {
    return RC_STATE_KEY_TOO_LONG;
  }
  CloseKey(key);
  return static_cast<uint32_t>(RegOpenKeyExW(
      root, path.text, 0, access | KEY_WOW64_32KEY, &key.handle));
}

FRAME_WITHOUT_ARRAYS
uint32_t ReadDwordValue(const RegistryKey& key, const WideChar* name,
                        uint32_t& value) {
  DWORD type = 0;
  DWORD size = sizeof(value);
  const LSTATUS status =
      RegQueryValueExW(key.handle, name, nullptr, &type,
                       reinterpret_cast<BYTE*>(&value), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  if (type != REG_DWORD) return ERROR_NOT_SUPPORTED;
  if (size != sizeof(value)) return ERROR_NO_DATA;
  return 0;
}

FRAME_WITHOUT_ARRAYS
uint32_t WriteDwordValue(const RegistryKey& key, const WideChar* name,
                         uint32_t value) {
  return static_cast<uint32_t>(
      RegSetValueExW(key.handle, name, 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

FRAME_WITHOUT_ARRAYS
void ReportInstallFailure(const InvocationConfig& config,
                          const RunOutcome& outcome) {
  if (outcome.exit_code == RC_OK) return;
  // The key is closed as the record is dropped, on every path.
  RegistryKey key;
  if (OpenClientStateKey(ClientStateRoot(config), config.app_guid,
                         RECORD_ACCESS, key) != 0) {
    return;
  }
  // A result the updater (or an earlier run) already recorded is kept whole.
  uint32_t recorded = 0;
  if (ReadDwordValue(key, INSTALLER_RESULT, recorded) == 0 && recorded != 0) {
    return;
  }
  // A failed write does not stop the next one.
  WriteDwordValue(key, INSTALLER_RESULT, 1);
  WriteDwordValue(key, INSTALLER_ERROR, outcome.exit_code);
  WriteDwordValue(key, INSTALLER_EXTRA_CODE, outcome.os_error);
}

uint32_t SuccessExtraCode(int32_t largest_attempt_count) {
  if (largest_attempt_count < 2) return SUCCESS_RECORD_BASE;
  return SUCCESS_RECORD_BASE |
         (static_cast<uint32_t>(largest_attempt_count - 1) & 0xFFFF);
}

FRAME_WITHOUT_ARRAYS
void ReportInstallSuccess(const InvocationConfig& config,
                          int32_t largest_attempt_count) {
  RegistryKey key;
  if (OpenClientStateKey(ClientStateRoot(config), config.app_guid,
                         RECORD_ACCESS, key) == 0) {
    WriteDwordValue(key, INSTALLER_EXTRA_CODE,
                    SuccessExtraCode(largest_attempt_count));
  }
}
