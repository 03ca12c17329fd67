#include "run/invocation_config.h"

#include "base/stack_protection.h"
#include "base/system_library.h"
#include "run/registry_string.h"

const WideChar STABLE_APP_GUID[] = L"{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}";
const WideChar BETA_APP_GUID[] = L"{3F0A9C6D-41B2-47E5-9D8A-C7E2B15F6A04}";
const WideChar DEV_APP_GUID[] = L"{6E2D4A91-B7C3-4F10-A5E9-0D8B3C7F2E68}";
const WideChar SXS_APP_GUID[] = L"{9b7c2e14-a3d6-4f58-8e21-c4f0d9a61b37}";

namespace {

enum class SwitchEffect { SYSTEM_LEVEL, CHANNEL, UNSUPPORTED };

struct Switch {
  const WideChar* text;
  SwitchEffect effect;
  const WideChar* channel_guid;
};

// Compared in this order; the first that matches an argument applies.
constexpr Switch SWITCHES[] = {
    {L"--system-level", SwitchEffect::SYSTEM_LEVEL, nullptr},
    {L"--brivel-beta", SwitchEffect::CHANNEL, BETA_APP_GUID},
    {L"--brivel-dev", SwitchEffect::CHANNEL, DEV_APP_GUID},
    {L"--brivel-sxs", SwitchEffect::CHANNEL, SXS_APP_GUID},
    {L"--cleanup", SwitchEffect::UNSUPPORTED, nullptr},
    {L"--brivel-frame", SwitchEffect::UNSUPPORTED, nullptr},
};

// SHELL32 is loaded at run time from the system directory rather than
// imported: a static import would have the loader resolve its dependencies
// and forwarded functions through the installer's own folder.
using SplitCommandLine = LPWSTR*(WINAPI*)(LPCWSTR command_line, int* count);

const WideChar CLEANUP_KEY[] = L"Software\\Morvex";
const WideChar CLEANUP_VALUE[] = L"BrivelInstallerCleanup";
const WideChar MACHINE_VARIABLE[] = L"MorvexUpdateIsMachine";

void ApplySwitch(InvocationConfig& config, const WideChar* argument) {
  for (const Switch& candidate : SWITCHES) {
    if (lstrcmpiW(argument, candidate.text) != 0) continue;
    switch (candidate.effect) {
      case SwitchEffect::SYSTEM_LEVEL:
        config.system_level = true;
        break;
      case SwitchEffect::CHANNEL:
        config.app_guid = candidate.channel_guid;
        break;
      case SwitchEffect::UNSUPPORTED:
        config.unsupported_switch = true;
        break;
    }
    return;
  }
}

}  // namespace

void ResetInvocation(InvocationConfig& config) {
  LPWSTR* held = config.arguments;
  config.arguments = nullptr;
  if (held) LocalFree(held);
  config.app_guid = STABLE_APP_GUID;
  config.command_line = nullptr;
  config.argument_count = 0;
  config.system_level = false;
  config.unsupported_switch = false;
  config.cleanup_enabled = true;
}

bool ParseInvocation(InvocationConfig& config) {
  ResetInvocation(config);

  // Two characters: only the single character '0', stored with or without
  // its terminator, fits and turns removal off.
  WideChar cleanup[2] = {0, 0};
  if (ReadStringValue(HKEY_CURRENT_USER, CLEANUP_KEY, CLEANUP_VALUE, cleanup,
                      2) &&
      cleanup[0] == L'0') {
    config.cleanup_enabled = false;
  }
  return ParseCommandLine(config, GetCommandLineW());
}

bool ParseCommandLine(InvocationConfig& config, const WideChar* command_line) {
  config.command_line = command_line;
  const SplitCommandLine split =
      SystemFunction<SplitCommandLine>(L"shell32.dll", "CommandLineToArgvW");
  if (split == nullptr) return false;  // with the loader's last error
  int count = 0;
  config.arguments = split(command_line, &count);
  if (config.arguments == nullptr) return false;
  config.argument_count = count;

  // The first argument is the program name and is never a switch.
  for (int32_t i = 1; i < config.argument_count; ++i) {
    ApplySwitch(config, config.arguments[i]);
  }

  if (!config.system_level) {
    // A value longer than one character does not fit the buffer, and the call
    // then returns the size it needs instead of 1.
    WideChar machine[2] = {0, 0};
    if (GetEnvironmentVariableW(MACHINE_VARIABLE, machine, 2) == 1 &&
        machine[0] == L'1') {
      config.system_level = true;
    }
  }
  return true;
}

FRAME_WITHOUT_ARRAYS
bool ReadStringValue(HKEY root, const WideChar* sub_key,
                     const WideChar* value_name, WideChar* buffer,
                     uint32_t capacity) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, sub_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = capacity * sizeof(WideChar);
  bool read = false;
  // ERROR_MORE_DATA (data longer than the buffer) is a failure like any other.
  if (RegQueryValueExW(key, value_name, nullptr, &type,
                       reinterpret_cast<BYTE*>(buffer), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    read = TerminateRegistryString(buffer, capacity, size);
  }
  RegCloseKey(key);
  return read;
}
