// Shared by the scenario tests: real installers (fixtures linked with
// helpers/setup_probe.exe as setup) copied into a temporary folder and run
// with exact command lines, and real registry keys that are put back as they
// were found.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace scenarios {

// The client-state key paths, written out here rather than taken from the
// product so that a changed GUID or path fails the tests.
constexpr wchar_t CLIENT_STATE[] = L"Software\\Morvex\\Update\\ClientState\\";
constexpr wchar_t STABLE_GUID[] = L"{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}";
constexpr wchar_t BETA_GUID[] = L"{3F0A9C6D-41B2-47E5-9D8A-C7E2B15F6A04}";
constexpr wchar_t DEV_GUID[] = L"{6E2D4A91-B7C3-4F10-A5E9-0D8B3C7F2E68}";
constexpr wchar_t SXS_GUID[] = L"{9b7c2e14-a3d6-4f58-8e21-c4f0d9a61b37}";

std::wstring ClientStatePath(const std::wstring& guid);

// One registry value as stored.
struct SavedValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::string data;
};

// A registry key that a test needs present (and empty) or absent. Whatever
// was there before, values included, is put back when the object goes; the
// levels of the path it had to create are removed again when they are left
// empty.
class ScopedKey {
 public:
  enum class Start { EMPTY, ABSENT };
  ScopedKey(HKEY root, const std::wstring& path, REGSAM view, Start start);
  ~ScopedKey();
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  // False when the starting state could not be made (say so in the test).
  bool ok() const { return ok_; }
  bool Exists() const;
  // The REG_DWORD value, or nothing when it is missing or of another type.
  std::optional<uint32_t> Dword(const wchar_t* name) const;
  std::vector<SavedValue> Values() const;
  void SetDword(const wchar_t* name, uint32_t value);
  void SetString(const wchar_t* name, const std::wstring& text);

 private:
  HKEY root_;
  std::wstring path_;
  REGSAM view_;
  bool ok_ = false;
  bool untouched_ = false;  // someone else's key with sub-keys: left alone
  bool existed_ = false;
  std::vector<SavedValue> saved_;
  std::vector<std::wstring>
      created_;  // levels made by this object, outermost first
};

// The value "BrivelInstallerCleanup" under HKEY_CURRENT_USER
// "Software\Morvex" (default view): absent while the object lives unless
// Set, put back as it was found afterwards. "Software\Morvex" is removed
// again when it did not exist before and is left empty.
class ScopedCleanupSetting {
 public:
  ScopedCleanupSetting();
  ~ScopedCleanupSetting();
  ScopedCleanupSetting(const ScopedCleanupSetting&) = delete;
  ScopedCleanupSetting& operator=(const ScopedCleanupSetting&) = delete;

  void Set(const std::wstring& text);  // as REG_SZ with its terminator

 private:
  bool key_existed_ = false;
  bool value_existed_ = false;
  SavedValue saved_;
};

// An installer from <build>/fixtures copied into a temporary folder:
//   <temp>\app\<name>   the installer (nothing else is there)
//   <temp>\cwd          the current directory it is started in
//   <temp>\report.txt   where setup_probe.exe writes its report
class InstallerRun {
 public:
  explicit InstallerRun(const std::wstring& fixture,
                        const std::wstring& name = L"installer.exe");
  // In an existing folder (for paths of a chosen length).
  InstallerRun(const std::wstring& fixture, const std::wstring& app_dir,
               const std::wstring& name);

  const std::wstring& installer() const { return installer_; }
  const std::wstring& app_dir() const { return app_dir_; }
  const std::wstring& cwd() const { return cwd_; }
  const std::wstring& report_path() const { return report_; }

  // Runs the installer with exactly this command line (the application name
  // is given separately) and the probe's environment plus `environment`;
  // returns the full exit code. Fails the test when it cannot start.
  uint32_t Run(const std::wstring& command_line,
               const std::vector<std::wstring>& environment = {});
  // "<installer>" followed by `arguments` (which start with a space when
  // not empty).
  uint32_t RunQuoted(const std::wstring& arguments,
                     const std::vector<std::wstring>& environment = {});

  testing_support::ProbeReport Report() const;
  bool ReportWritten() const;
  // Entries of the installer's folder, the installer included.
  std::vector<std::wstring> AppEntries() const;

  // What setup's command line must read for the setup path in the report
  // (own_path) and the given pass-through tail.
  std::wstring ExpectedSetupCommandLine(const std::wstring& setup_path,
                                        const std::wstring& tail) const;

 private:
  testing_support::TempDir temp_;
  std::wstring app_dir_;
  std::wstring installer_;
  std::wstring cwd_;
  std::wstring report_;
};

// True when path is <directory>\BV_XXXXX.tmp\setup.exe with five upper-case
// hexadecimal digits; the work directory goes into *work_dir.
bool IsWorkDirSetupPath(const std::wstring& path, const std::wstring& directory,
                        std::wstring* work_dir = nullptr);

// The success record for a largest attempt count.
constexpr uint32_t SUCCESS_RECORD = 0x30000;

// The client-state key of guid under root in the 32-bit view.
inline ScopedKey ClientStateKey(HKEY root, const std::wstring& guid,
                                ScopedKey::Start start) {
  return ScopedKey(root, ClientStatePath(guid), KEY_WOW64_32KEY, start);
}

}  // namespace scenarios
