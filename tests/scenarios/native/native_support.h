// What the native scenarios stand on: real installers of this build's
// target copied into folders of their own, run with exact command lines and
// the setup probe's settings, their reports read back, and long paths (the
// registry's side is native_registry.h). No run-time library, so that the
// program runs natively wherever the installer does (ARM64 Wine included).
#pragma once

#include "support/plain_cases.h"

namespace native {

using plain::Bytes;
using plain::CaseContext;
using plain::LongPath;
using plain::RemoveTree;
using plain::Wide;

// <build>\relative, where <build> is BRIVEL_BUILD_DIR (a Unix path under
// Wine is taken on drive Z:) or else the folder three levels above this
// program (<build>\tests\scenarios\native_scenarios.exe).
void BuildPath(Wide& out, const wchar_t* relative);

// A uniquely named folder under the temporary folder, removed with
// everything under it when the object goes.
class Folder {
 public:
  Folder();
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const Wide& path() const { return path_; }
  // path() + "\" + name into out.
  void Join(Wide& out, const wchar_t* name) const;

 private:
  Wide path_;
};

// Makes a chain of folders under base so that out, the deepest, has exactly
// length characters (no final backslash). False when that cannot be done.
bool MakeFolderOfLength(const wchar_t* base, size_t length, Wide& out);

// True when the temporary folder's volume keeps access lists
// (FILE_PERSISTENT_ACLS) and is not a share (GetDriveTypeW): where the
// installer gives its work directory an access list of its own. On FAT32,
// exFAT and shares, which the conformance kit's --folder may name, and on
// a volume that cannot be asked, it leaves default security instead.
bool TempVolumeKeepsAccessLists();

// The names in a folder (no "." or ".."), sorted, each followed by "\n".
void ListFolder(const wchar_t* path, Wide& out);

// One key=value line of a setup probe report (values unescaped).
bool ProbeValue(const Wide& report, const wchar_t* key, Wide& value);

// An installer of fixtures\<fixture> copied as <folder>\<name> (its own
// folder by default), started in a current directory of its own, with the
// setup probe reporting to <report folder>\report.txt.
class InstallerRun {
 public:
  InstallerRun(CaseContext& context, const wchar_t* fixture,
               const wchar_t* folder = nullptr,
               const wchar_t* name = L"installer.exe");
  ~InstallerRun();
  InstallerRun(const InstallerRun&) = delete;
  InstallerRun& operator=(const InstallerRun&) = delete;

  bool ok() const { return ok_; }
  const Wide& installer() const { return installer_; }
  const Wide& folder() const { return folder_; }
  const Wide& cwd() const { return cwd_; }

  // Sets a variable for the installer (and so for setup) until the object
  // goes; value null takes it out.
  void Setting(const wchar_t* name, const wchar_t* value);
  // Starts "<installer>" + arguments and waits for it; its full exit code,
  // or 0xFFFFFFFF (and a failure) when it could not start.
  DWORD Run(const wchar_t* arguments = L"");
  // Starts it and returns at once; Wait ends the run.
  bool Start(const wchar_t* arguments = L"");
  DWORD Wait();
  // True while the started installer runs.
  bool Running() const;

  // The probe's report; false when setup did not write one.
  bool Report(Wide& out) const;
  bool ReportWritten() const;
  // Checks what every run that reached setup shows: setup ran as setup.exe
  // from a BV_XXXXX.tmp beside the installer, alone there, and read the
  // archive through its switches; setup's path into setup_path.
  void ExpectSetupRan(Wide& setup_path);
  // Fails unless only the installer is left in its folder.
  void ExpectOnlyTheInstallerLeft();

 private:
  CaseContext& context_;
  Folder own_;
  Wide folder_, installer_, cwd_, report_;
  bool ok_ = false;
  HANDLE process_ = nullptr;
  static constexpr int SETTINGS = 8;
  Wide setting_names_[SETTINGS];
  int settings_ = 0;
};

}  // namespace native
