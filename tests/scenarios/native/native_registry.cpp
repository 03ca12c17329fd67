#include "scenarios/native/native_registry.h"

#include <sddl.h>

namespace native {
namespace {

constexpr wchar_t CLIENT_STATE_LEVELS[][48] = {
    L"Software", L"Morvex", L"Update", L"ClientState",
    L"{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}"};
constexpr int LEVELS = 5;

constexpr wchar_t MORVEX_KEY[] = L"Software\\Morvex";
constexpr const wchar_t* RECORD_VALUES[] = {
    L"InstallerResult", L"InstallerError", L"InstallerExtraCode1"};
constexpr wchar_t CLEANUP_VALUE[] = L"BrivelInstallerCleanup";

// What PrepareRemoval took out of the registry, for RestoreRemovalSetting
// (zero until then, as static storage starts).
struct SavedSetting {
  bool taken;
  DWORD type;
  DWORD size;
  BYTE data[512];
};
SavedSetting g_saved_setting;

void LevelPath(Wide& out, int levels) {
  out.Clear();
  for (int i = 0; i < levels; ++i) {
    if (i > 0) out.AddChar(L'\\');
    out.Add(CLIENT_STATE_LEVELS[i]);
  }
}

}  // namespace

ClientStateKey::ClientStateKey(HKEY root) : root_(root) {
  Wide path;
  for (int levels = 1; levels <= LEVELS; ++levels) {
    LevelPath(path, levels);
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(root_, path.c_str(), 0,
                                      KEY_READ | KEY_WOW64_32KEY, &key);
    if (opened == ERROR_SUCCESS) {
      RegCloseKey(key);
      continue;
    }
    made_from_ = levels;
    break;
  }
  LevelPath(path, LEVELS);
  error_ = static_cast<DWORD>(RegCreateKeyExW(
      root_, path.c_str(), 0, nullptr, 0,
      KEY_READ | KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key_, nullptr));
  if (error_ != 0) {
    key_ = nullptr;
    made_from_ = -1;
    return;
  }
  // Empty for the case: the values a key of an earlier run kept go.
  for (const wchar_t* name : RECORD_VALUES) RegDeleteValueW(key_, name);
}

ClientStateKey::~ClientStateKey() {
  if (key_ != nullptr) RegCloseKey(key_);
  Wide path;
  if (made_from_ < 0) {
    // The key was there before: only the values this run may have left go.
    LevelPath(path, LEVELS);
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                      &key) == ERROR_SUCCESS) {
      for (const wchar_t* name : RECORD_VALUES) RegDeleteValueW(key, name);
      RegCloseKey(key);
    }
    return;
  }
  for (int levels = LEVELS; levels >= made_from_; --levels) {
    LevelPath(path, levels);
    RegDeleteKeyExW(root_, path.c_str(), KEY_WOW64_32KEY, 0);
  }
}

bool ClientStateKey::Dword(const wchar_t* name, DWORD& value) const {
  DWORD type = 0, size = sizeof(value);
  return key_ != nullptr &&
         RegQueryValueExW(key_, name, nullptr, &type,
                          reinterpret_cast<BYTE*>(&value), &size) == 0 &&
         type == REG_DWORD && size == sizeof(value);
}

void ClientStateKey::SetDword(const wchar_t* name, DWORD value) {
  if (key_ == nullptr) return;
  RegSetValueExW(key_, name, 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void ClientStateKey::ExpectRecord(CaseContext& context, const DWORD* result,
                                  const DWORD* error, const DWORD* extra) const {
  const struct {
    const wchar_t* name;
    const char* what;
    const DWORD* expected;
  } values[] = {{L"InstallerResult", "InstallerResult", result},
                {L"InstallerError", "InstallerError", error},
                {L"InstallerExtraCode1", "InstallerExtraCode1", extra}};
  for (const auto& v : values) {
    DWORD got = 0;
    const bool present = Dword(v.name, got);
    if (v.expected == nullptr) {
      if (present) {
        Bytes message;
        message.Add(v.what).Add(" is recorded (").AddNumber(got)
            .Add(") where nothing should be");
        context.Fail(message);
      }
    } else if (!present) {
      Bytes message;
      message.Add(v.what).Add(" is not recorded");
      context.Fail(message);
    } else {
      context.ExpectNumber(v.what, got, *v.expected);
    }
  }
}

void PrepareRemoval(Bytes& failure) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;  // no setting at all
  }
  SavedSetting& saved = g_saved_setting;
  saved.size = sizeof(saved.data);
  const LONG read = RegQueryValueExW(key, CLEANUP_VALUE, nullptr, &saved.type,
                                     saved.data, &saved.size);
  if (read == ERROR_SUCCESS) {
    const LONG removed = RegDeleteValueW(key, CLEANUP_VALUE);
    saved.taken = removed == ERROR_SUCCESS;
    if (!saved.taken) {
      failure.Add("cannot take BrivelInstallerCleanup out for the run: error ")
          .AddNumber(static_cast<DWORD>(removed));
    }
  } else if (read != ERROR_FILE_NOT_FOUND) {
    failure.Add("cannot read BrivelInstallerCleanup: error ")
        .AddNumber(static_cast<DWORD>(read));
  }
  RegCloseKey(key);
}

void RestoreRemovalSetting() {
  SavedSetting& saved = g_saved_setting;
  if (!saved.taken) return;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0, KEY_SET_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegSetValueExW(key, CLEANUP_VALUE, 0, saved.type, saved.data, saved.size);
    RegCloseKey(key);
  }
  saved.taken = false;
}

bool TokenOwnerSid(Wide& out) {
  out.Clear();
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(8) BYTE block[512];
  DWORD size = 0;
  LPWSTR text = nullptr;
  const bool ok = GetTokenInformation(token, TokenOwner, block, sizeof(block),
                                      &size) &&
                  ConvertSidToStringSidW(
                      reinterpret_cast<TOKEN_OWNER*>(block)->Owner, &text);
  CloseHandle(token);
  if (!ok) return false;
  out.Set(text);
  LocalFree(text);
  return true;
}

}  // namespace native
