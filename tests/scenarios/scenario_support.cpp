#include "scenario_support.h"

#include <cwctype>

namespace scenarios {

using testing_support::BuildPath;
using testing_support::Narrow;

std::wstring ClientStatePath(const std::wstring& guid) {
  return CLIENT_STATE + guid;
}

namespace {

std::vector<SavedValue> ReadAllValues(HKEY key) {
  std::vector<SavedValue> values;
  DWORD count = 0;
  DWORD longest_name = 0;
  DWORD longest_data = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, &count, &longest_name, &longest_data, nullptr,
                       nullptr) != ERROR_SUCCESS) {
    return values;
  }
  for (DWORD i = 0; i < count; ++i) {
    std::wstring name(longest_name + 1, L'\0');
    std::string data(longest_data + 1, '\0');
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    if (RegEnumValueW(key, i, name.data(), &name_size, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()),
                      &data_size) != ERROR_SUCCESS) {
      continue;
    }
    name.resize(name_size);
    data.resize(data_size);
    values.push_back({name, type, data});
  }
  return values;
}

bool KeyIsEmpty(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD sub_keys = 0;
  DWORD values = 0;
  const LSTATUS status =
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &sub_keys, nullptr,
                       nullptr, &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && sub_keys == 0 && values == 0;
}

}  // namespace

ScopedKey::ScopedKey(HKEY root, const std::wstring& path, REGSAM view,
                     Start start)
    : root_(root), path_(path), view_(view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ | view_, &key) ==
      ERROR_SUCCESS) {
    existed_ = true;
    saved_ = ReadAllValues(key);
    DWORD sub_keys = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &sub_keys, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    // A key with sub-keys is not ours to take away.
    if (sub_keys != 0 ||
        RegDeleteKeyExW(root_, path_.c_str(), view_, 0) != ERROR_SUCCESS) {
      untouched_ = true;
      return;
    }
  }
  if (start == Start::EMPTY) {
    // Level by level, to know which ones this object made.
    size_t end = 0;
    while (end != std::wstring::npos) {
      end = path_.find(L'\\', end + 1);
      const std::wstring level = path_.substr(0, end);
      DWORD disposition = 0;
      if (RegCreateKeyExW(root_, level.c_str(), 0, nullptr, 0, KEY_READ | view_,
                          nullptr, &key, &disposition) != ERROR_SUCCESS) {
        return;
      }
      RegCloseKey(key);
      if (disposition == REG_CREATED_NEW_KEY) created_.push_back(level);
    }
  }
  ok_ = true;
}

ScopedKey::~ScopedKey() {
  if (untouched_) return;
  if (Exists()) RegDeleteKeyExW(root_, path_.c_str(), view_, 0);
  for (auto level = created_.rbegin(); level != created_.rend(); ++level) {
    if (*level != path_ && KeyIsEmpty(root_, *level, view_)) {
      RegDeleteKeyExW(root_, level->c_str(), view_, 0);
    }
  }
  if (!existed_) return;
  HKEY key = nullptr;
  if (RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE | view_, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot restore " << Narrow(path_);
    return;
  }
  for (const SavedValue& value : saved_) {
    RegSetValueExW(key, value.name.c_str(), 0, value.type,
                   reinterpret_cast<const BYTE*>(value.data.data()),
                   static_cast<DWORD>(value.data.size()));
  }
  RegCloseKey(key);
}

bool ScopedKey::Exists() const {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ | view_, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::vector<SavedValue> ScopedKey::Values() const {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ | view_, &key) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::vector<SavedValue> values = ReadAllValues(key);
  RegCloseKey(key);
  return values;
}

std::optional<uint32_t> ScopedKey::Dword(const wchar_t* name) const {
  for (const SavedValue& value : Values()) {
    if (value.name == name && value.type == REG_DWORD &&
        value.data.size() == 4) {
      uint32_t number = 0;
      value.data.copy(reinterpret_cast<char*>(&number), 4);
      return number;
    }
  }
  return std::nullopt;
}

void ScopedKey::SetDword(const wchar_t* name, uint32_t value) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root_, path_.c_str(), 0,
                                         KEY_SET_VALUE | view_, &key));
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

void ScopedKey::SetString(const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root_, path_.c_str(), 0,
                                         KEY_SET_VALUE | view_, &key));
  RegSetValueExW(key, name, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

namespace {
constexpr wchar_t MORVEX_KEY[] = L"Software\\Morvex";
constexpr wchar_t CLEANUP_VALUE[] = L"BrivelInstallerCleanup";
}  // namespace

ScopedCleanupSetting::ScopedCleanupSetting() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  key_existed_ = true;
  for (const SavedValue& value : ReadAllValues(key)) {
    if (value.name == CLEANUP_VALUE) {
      value_existed_ = true;
      saved_ = value;
    }
  }
  RegDeleteValueW(key, CLEANUP_VALUE);
  RegCloseKey(key);
}

ScopedCleanupSetting::~ScopedCleanupSetting() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, CLEANUP_VALUE);
    if (value_existed_) {
      RegSetValueExW(key, CLEANUP_VALUE, 0, saved_.type,
                     reinterpret_cast<const BYTE*>(saved_.data.data()),
                     static_cast<DWORD>(saved_.data.size()));
    }
    RegCloseKey(key);
  }
  if (!key_existed_ && KeyIsEmpty(HKEY_CURRENT_USER, MORVEX_KEY, 0)) {
    RegDeleteKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0, 0);
  }
}

void ScopedCleanupSetting::Set(const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key, nullptr));
  RegSetValueExW(key, CLEANUP_VALUE, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

InstallerRun::InstallerRun(const std::wstring& fixture,
                           const std::wstring& name) {
  app_dir_ = temp_.Join(L"app");
  CreateDirectoryW(app_dir_.c_str(), nullptr);
  cwd_ = temp_.Join(L"cwd");
  CreateDirectoryW(cwd_.c_str(), nullptr);
  report_ = temp_.Join(L"report.txt");
  installer_ = app_dir_ + L"\\" + name;
  testing_support::CopyFileOrDie(BuildPath(L"fixtures/" + fixture), installer_);
}

InstallerRun::InstallerRun(const std::wstring& fixture,
                           const std::wstring& app_dir,
                           const std::wstring& name)
    : app_dir_(app_dir) {
  cwd_ = temp_.Join(L"cwd");
  CreateDirectoryW(cwd_.c_str(), nullptr);
  report_ = temp_.Join(L"report.txt");
  installer_ = app_dir_ + L"\\" + name;
  // The long-path prefix: Windows copies to no deeper path without it.
  testing_support::CopyFileOrDie(BuildPath(L"fixtures/" + fixture),
                                 L"\\\\?\\" + installer_);
}

uint32_t InstallerRun::Run(const std::wstring& command_line,
                           const std::vector<std::wstring>& environment) {
  // An empty MorvexUpdateIsMachine stands for "not set" (only "1" counts),
  // so a value in the test's own environment cannot leak in.
  std::vector<std::wstring> entries = {L"BRIVEL_PROBE_REPORT=" + report_,
                                       L"MorvexUpdateIsMachine="};
  entries.insert(entries.end(), environment.begin(), environment.end());
  const testing_support::ProcessResult result =
      testing_support::RunProgram(installer_, command_line, cwd_, entries);
  EXPECT_TRUE(result.started) << "error " << result.start_error;
  return result.exit_code;
}

uint32_t InstallerRun::RunQuoted(const std::wstring& arguments,
                                 const std::vector<std::wstring>& environment) {
  return Run(L"\"" + installer_ + L"\"" + arguments, environment);
}

testing_support::ProbeReport InstallerRun::Report() const {
  return testing_support::ReadProbeReport(report_);
}

bool InstallerRun::ReportWritten() const {
  return testing_support::FileExists(report_);
}

std::vector<std::wstring> InstallerRun::AppEntries() const {
  return testing_support::ListDirectory(app_dir_);
}

std::wstring InstallerRun::ExpectedSetupCommandLine(
    const std::wstring& setup_path, const std::wstring& tail) const {
  return L"\"" + setup_path + L"\" --mini-installer-path=\"" + installer_ +
         L"\" --archive-resource-name=\"BRIVEL.7Z\" "
         L"--archive-resource-type=\"BN\"" +
         tail;
}

bool IsWorkDirSetupPath(const std::wstring& path, const std::wstring& directory,
                        std::wstring* work_dir) {
  const std::wstring prefix = directory + L"\\BV_";
  const std::wstring suffix = L".tmp\\setup.exe";
  if (path.size() != prefix.size() + 5 + suffix.size()) return false;
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < prefix.size() + 5; ++i) {
    if (!std::iswxdigit(path[i]) || std::iswlower(path[i])) return false;
  }
  if (path.compare(prefix.size() + 5, suffix.size(), suffix) != 0) return false;
  if (work_dir != nullptr) {
    *work_dir =
        path.substr(0, path.size() - std::wstring(L"\\setup.exe").size());
  }
  return true;
}

}  // namespace scenarios
