// native_scenarios.exe: the whole-installer scenarios that matter most on
// Windows, run natively by a program of the installer's own target against
// that target's installers (fixtures linked with the setup probe), so that
// they run wherever the installer runs: under ARM64 Wine, on Windows on Arm,
// and in the conformance kit. CTest runs its cases like GoogleTest's on both
// targets (tests/scenarios/CMakeLists.txt); the kit runs the same table.
//
// Each case is a table of rows run through one small engine
// (native_support.h); whatever a case makes, files and registry keys, goes
// again when it ends.
#include "scenarios/native/native_registry.h"

#include <sddl.h>

namespace {

using native::Bytes;
using native::CaseContext;
using native::ClientStateKey;
using native::InstallerRun;
using native::Wide;

constexpr wchar_t PLAIN[] = L"scenario_probe.exe";
constexpr wchar_t COMPRESSED[] = L"scenario_probe_compressed.exe";
constexpr wchar_t NOT_A_PROGRAM[] = L"scenario_not_a_program.exe";

constexpr const wchar_t* BOTH_SETUPS[] = {PLAIN, COMPRESSED};

constexpr DWORD SUCCESS_RECORD = 0x30000;
constexpr DWORD RC_PATH_TOO_LONG = 108;
constexpr DWORD RC_SETUP_NOT_STARTED = 124;

// Setup's command line for the given tail, as the installer composes it.
void ExpectedCommandLine(Wide& out, const Wide& setup_path,
                         const Wide& installer, const wchar_t* tail) {
  out.Set(L"\"").Add(setup_path).Add(L"\" --mini-installer-path=\"")
      .Add(installer)
      .Add(L"\" --archive-resource-name=\"BRIVEL.7Z\""
           L" --archive-resource-type=\"BN\"")
      .Add(tail);
}

void SetupsExitCodePassesThrough(CaseContext& context) {
  const struct {
    const wchar_t* fixture;
    const wchar_t* setting;
    DWORD exit_code;
  } rows[] = {
      {PLAIN, L"0", 0},
      {PLAIN, L"7", 7},
      {PLAIN, L"3010", 3010},
      {PLAIN, L"0xC0000005", 0xC0000005u},
      {COMPRESSED, L"0x8000FFFF", 0x8000FFFFu},
  };
  for (const auto& row : rows) {
    InstallerRun run(context, row.fixture);
    run.Setting(L"BRIVEL_PROBE_EXIT", row.setting);
    context.ExpectNumber("the installer's exit code", run.Run(), row.exit_code);
    Wide setup_path;
    run.ExpectSetupRan(setup_path);
    run.ExpectOnlyTheInstallerLeft();
  }
}

void ArgumentsPassThroughExactly(CaseContext& context) {
  const wchar_t* const tails[] = {L" --x \"a b\"", L"   --system-level",
                                  L"\t--y"};
  for (const wchar_t* tail : tails) {
    InstallerRun run(context, PLAIN);
    context.ExpectNumber("the installer's exit code", run.Run(tail), 0);
    Wide setup_path, report, line, expected;
    run.ExpectSetupRan(setup_path);
    run.Report(report);
    native::ProbeValue(report, L"command_line", line);
    ExpectedCommandLine(expected, setup_path, run.installer(), tail);
    context.ExpectText("setup's command line", line.c_str(), expected.c_str());
  }
}

void CompressedSetupIsExpandedAndRun(CaseContext& context) {
  InstallerRun run(context, COMPRESSED);
  context.ExpectNumber("the installer's exit code", run.Run(L" --x"), 0);
  Wide setup_path, report, line, expected;
  // Only setup.exe is beside setup: the cabinet went before it ran.
  run.ExpectSetupRan(setup_path);
  run.Report(report);
  native::ProbeValue(report, L"command_line", line);
  ExpectedCommandLine(expected, setup_path, run.installer(), L" --x");
  context.ExpectText("setup's command line", line.c_str(), expected.c_str());
  run.ExpectOnlyTheInstallerLeft();
}

// The client-state key the updater makes, in the 32-bit view: the run's
// record lands in it, failure and success alike.
void RecordsInThe32BitView(CaseContext& context) {
  const DWORD one = 1, seven = 7, zero = 0, success = SUCCESS_RECORD;
  const DWORD not_started = RC_SETUP_NOT_STARTED;
  const DWORD bad_format = ERROR_BAD_EXE_FORMAT;
  const struct {
    const wchar_t* fixture;
    const wchar_t* exit_setting;
    DWORD exit_code;
    const DWORD *result, *error, *extra;
  } rows[] = {
      {PLAIN, L"7", 7, &one, &seven, &zero},
      {PLAIN, L"0", 0, nullptr, nullptr, &success},
      // Setup is written out but is not a program: the start's error.
      {NOT_A_PROGRAM, L"0", RC_SETUP_NOT_STARTED, &one, &not_started,
       &bad_format},
  };
  for (const auto& row : rows) {
    ClientStateKey key(HKEY_CURRENT_USER);
    if (!context.ExpectNumber("making the client-state key", key.error(), 0)) {
      return;
    }
    InstallerRun run(context, row.fixture);
    run.Setting(L"BRIVEL_PROBE_EXIT", row.exit_setting);
    context.ExpectNumber("the installer's exit code", run.Run(), row.exit_code);
    key.ExpectRecord(context, row.result, row.error, row.extra);
    run.ExpectOnlyTheInstallerLeft();
  }
}

// A system-level run records under HKEY_LOCAL_MACHINE's 32-bit view
// (WOW6432Node on 64-bit Windows); the per-user key stays untouched.
void SystemLevelRecordsUnderTheMachine(CaseContext& context) {
  ClientStateKey machine(HKEY_LOCAL_MACHINE);
  if (machine.error() == ERROR_ACCESS_DENIED) {
    context.Skip("HKEY_LOCAL_MACHINE cannot be written by this user: run "
                 "elevated to record at system level");
    return;
  }
  ClientStateKey user(HKEY_CURRENT_USER);
  if (!context.ExpectNumber("making the machine's key", machine.error(), 0) ||
      !context.ExpectNumber("making the user's key", user.error(), 0)) {
    return;
  }
  InstallerRun run(context, PLAIN);
  context.ExpectNumber("the installer's exit code", run.Run(L" --system-level"),
                       0);
  const DWORD success = SUCCESS_RECORD;
  machine.ExpectRecord(context, nullptr, nullptr, &success);
  user.ExpectRecord(context, nullptr, nullptr, nullptr);
}

// The installer's folder may have at most 235 characters with its final
// backslash: the work directory's path then has 247, the most Windows'
// CreateDirectoryW makes. One more and the run ends before it makes or
// records anything.
void ParentsOf235And236Characters(CaseContext& context) {
  const struct {
    size_t parent;  // with its final backslash
    DWORD exit_code;
  } rows[] = {{235, 0}, {236, RC_PATH_TOO_LONG}};
  for (const auto& row : rows) {
    native::Folder base;
    Wide folder;
    if (!context.Expect(
            base.path().size() + 3 < row.parent - 1 &&
                native::MakeFolderOfLength(base.path().c_str(), row.parent - 1,
                                           folder),
            "a folder of that length can be made under the temporary "
            "folder")) {
      return;
    }
    ClientStateKey key(HKEY_CURRENT_USER);
    InstallerRun run(context, PLAIN, folder.c_str());
    context.ExpectNumber("the installer's exit code", run.Run(), row.exit_code);
    if (row.exit_code == 0) {
      Wide setup_path;
      run.ExpectSetupRan(setup_path);
      context.ExpectNumber("setup's path length", setup_path.size(),
                           row.parent + 22);
      const DWORD success = SUCCESS_RECORD;
      key.ExpectRecord(context, nullptr, nullptr, &success);
    } else {
      context.Expect(!run.ReportWritten(), "setup did not run");
      key.ExpectRecord(context, nullptr, nullptr, nullptr);
    }
    run.ExpectOnlyTheInstallerLeft();
  }
}

// A copy of setup, started by setup just before it ends, runs from setup's
// own file for a while: removing it takes more than one attempt, and the
// success record says how many.
void HeldSetupFileIsRemovedAfterWaits(CaseContext& context) {
  ClientStateKey key(HKEY_CURRENT_USER);
  InstallerRun run(context, PLAIN);
  run.Setting(L"BRIVEL_PROBE_HOLD_MS", L"400");
  context.ExpectNumber("the installer's exit code", run.Run(), 0);
  Wide report, value;
  run.Report(report);
  native::ProbeValue(report, L"hold_started", value);
  context.ExpectText("the holding copy started", value.c_str(), L"1");
  DWORD record = 0;
  if (context.Expect(key.Dword(L"InstallerExtraCode1", record),
                     "the success record is written")) {
    context.Expect(record > SUCCESS_RECORD && record <= SUCCESS_RECORD + 99,
                   "the success record shows more than one attempt");
  }
  run.ExpectOnlyTheInstallerLeft();
}

// Libraries named like the system's own, beside the installer and in the
// current directory, are never loaded, also not by the expansion of a
// compressed setup. Under Wine the libraries outside Windows' known set
// are planted with Wine told to prefer a library it finds (=n,b), as
// Windows' search would. A decoy that is loaded leaves a marker file,
// which a load of one by its full path shows first.
constexpr const wchar_t* KNOWN_DECOYS[] = {
    L"kernel32", L"kernelbase", L"advapi32", L"sechost", L"msvcrt",
    L"ucrtbase", L"shell32", L"shcore", L"shlwapi", L"user32", L"gdi32",
    L"win32u", L"ole32", L"combase", L"rpcrt4"};
constexpr const wchar_t* SEARCHED_DECOYS[] = {
    L"cabinet", L"version", L"zlib1", L"cryptbase", L"userenv", L"uxtheme",
    L"dwmapi", L"propsys", L"sspicli", L"profapi", L"apphelp", L"ntmarta",
    L"wldp", L"winmm", L"bcrypt", L"cryptsp", L"secur32", L"wintrust",
    L"crypt32", L"windows.storage", L"kernel.appcore", L"cfgmgr32"};

bool PlantDecoys(const Wide& decoy, const Wide& folder) {
  Wide to;
  auto plant = [&](const wchar_t* name) {
    to.Set(folder.c_str()).AddChar(L'\\').Add(name).Add(L".dll");
    return CopyFileW(decoy.c_str(), to.c_str(), FALSE) != 0;
  };
  for (const wchar_t* name : KNOWN_DECOYS) {
    if (!plant(name)) return false;
  }
  for (const wchar_t* name : SEARCHED_DECOYS) {
    if (!plant(name)) return false;
  }
  return true;
}

void ExpectNoMarkers(CaseContext& context, const Wide& folder) {
  Wide entries, markers;
  native::ListFolder(folder.c_str(), entries);
  for (const wchar_t* at = entries.c_str(); *at != 0;) {
    const wchar_t* end = at;
    while (*end != L'\n') ++end;
    if (end - at > 7 && plain::StartsWith(end - 7, L".loaded")) {
      markers.Add(at, static_cast<size_t>(end - at + 1));
    }
    at = end + 1;
  }
  context.ExpectText("decoys that were loaded", markers.c_str(), L"");
}

void PlantedLibrariesAreNotLoaded(CaseContext& context) {
  Wide decoy;
  native::BuildPath(decoy, L"helpers\\decoy.dll");
  {
    native::Folder calibration;
    Wide copy, marker;
    calibration.Join(copy, L"calibration.dll");
    marker.Set(copy.c_str()).Add(L".loaded");
    CopyFileW(decoy.c_str(), copy.c_str(), FALSE);
    const HMODULE loaded = LoadLibraryExW(copy.c_str(), nullptr, 0);
    if (loaded != nullptr) FreeLibrary(loaded);
    if (!context.Expect(GetFileAttributesW(marker.c_str()) !=
                            INVALID_FILE_ATTRIBUTES,
                        "a decoy loaded by its full path leaves its marker")) {
      return;
    }
  }
  Wide overrides;
  if (plain::RunningUnderWine()) {
    plain::ReadVariable(L"WINEDLLOVERRIDES", overrides);
    if (!overrides.empty()) overrides.AddChar(L';');
    for (size_t i = 0; i < sizeof(SEARCHED_DECOYS) / sizeof(*SEARCHED_DECOYS);
         ++i) {
      overrides.Add(i == 0 ? L"" : L",").Add(SEARCHED_DECOYS[i]);
    }
    overrides.Add(L"=n,b");
  }
  for (const wchar_t* fixture : BOTH_SETUPS) {
    InstallerRun run(context, fixture);
    if (!overrides.empty()) run.Setting(L"WINEDLLOVERRIDES", overrides.c_str());
    if (!context.Expect(PlantDecoys(decoy, run.folder()) &&
                            PlantDecoys(decoy, run.cwd()),
                        "the decoys can be planted")) {
      return;
    }
    context.ExpectNumber("the installer's exit code", run.Run(), 0);
    ExpectNoMarkers(context, run.folder());
    ExpectNoMarkers(context, run.cwd());
    Wide setup_path;
    run.ExpectSetupRan(setup_path);
  }
}

// While setup runs, its work directory carries the protected access list
// the installer gave it: full access for Administrators, Local System and
// the token's default owner, and to each file inside its owner. Read back
// from the directory itself, which only Windows can do.
void WorkDirectoryKeepsItsAccessList(CaseContext& context) {
  if (plain::RunningUnderWine()) {
    context.Skip("Wine stores no access list: reading one back gives one "
                 "made from the Unix mode (Windows only)");
    return;
  }
  if (!native::TempVolumeKeepsAccessLists()) {
    context.Skip("the temporary folder's volume keeps no access lists or is "
                 "a share: the installer leaves the work directory the "
                 "volume's default security there");
    return;
  }
  Wide owner;
  if (!context.Expect(native::TokenOwnerSid(owner),
                      "the token's default owner can be read")) {
    return;
  }
  native::Folder signals;
  Wide go, stored, expected;
  signals.Join(go, L"go");
  InstallerRun run(context, PLAIN);
  run.Setting(L"BRIVEL_PROBE_WAIT_FILE", go.c_str());
  if (!run.Start()) return;
  for (int waited = 0; waited < 1500 && !run.ReportWritten() && run.Running();
       ++waited) {
    Sleep(20);
  }
  Wide setup_path;
  run.ExpectSetupRan(setup_path);
  if (!setup_path.empty()) {
    setup_path.Truncate(setup_path.size() - 10);  // "\setup.exe"
    Bytes descriptor;
    constexpr DWORD DESCRIPTOR_CAPACITY = 4096;
    descriptor.Resize(DESCRIPTOR_CAPACITY);
    DWORD size = 0;
    LPWSTR text = nullptr;
    if (context.Expect(GetFileSecurityW(setup_path.c_str(),
                                        DACL_SECURITY_INFORMATION,
                                        descriptor.data(), DESCRIPTOR_CAPACITY,
                                        &size) &&
                           ConvertSecurityDescriptorToStringSecurityDescriptorW(
                               descriptor.data(), SDDL_REVISION_1,
                               DACL_SECURITY_INFORMATION, &text, nullptr),
                       "the work directory's access list can be read")) {
      stored.Set(text);
      LocalFree(text);
    }
    // The installer's own list, put through the same rendering.
    PSECURITY_DESCRIPTOR given = nullptr;
    expected.Set(L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)"
                 L"(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;")
        .Add(owner).Add(L")");
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            expected.c_str(), SDDL_REVISION_1, &given, nullptr) &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(
            given, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
            nullptr)) {
      expected.Set(text);
      LocalFree(text);
    }
    if (given != nullptr) LocalFree(given);
    context.ExpectText("the work directory's access list", stored.c_str(),
                       expected.c_str());
  }
  Bytes nothing;
  DWORD error = 0;
  plain::WriteWholeFile(go.c_str(), nothing, error);
  context.ExpectNumber("the installer's exit code", run.Wait(), 0);
}

// The work directory is held from its creation to its removal: not even
// setup, running from it, can rename it (a sharing violation).
void SetupCannotRenameItsWorkDirectory(CaseContext& context) {
  for (const wchar_t* fixture : BOTH_SETUPS) {
    InstallerRun run(context, fixture);
    run.Setting(L"BRIVEL_PROBE_RENAME_OWN_DIRECTORY", L"1");
    context.ExpectNumber("the installer's exit code", run.Run(), 0);
    Wide setup_path, report, value;
    run.ExpectSetupRan(setup_path);
    run.Report(report);
    native::ProbeValue(report, L"rename_own_directory", value);
    context.ExpectText("error of setup's rename of its work directory",
                       value.c_str(), L"32");
    run.ExpectOnlyTheInstallerLeft();
  }
}

constexpr plain::Case CASES[] = {
    {"NativeScenario", "SetupsExitCodePassesThrough",
     SetupsExitCodePassesThrough},
    {"NativeScenario", "ArgumentsPassThroughExactly",
     ArgumentsPassThroughExactly},
    {"NativeScenario", "CompressedSetupIsExpandedAndRun",
     CompressedSetupIsExpandedAndRun},
    {"NativeScenario", "RecordsInThe32BitView", RecordsInThe32BitView},
    {"NativeScenario", "SystemLevelRecordsUnderTheMachine",
     SystemLevelRecordsUnderTheMachine},
    {"NativeScenario", "ParentsOf235And236Characters",
     ParentsOf235And236Characters},
    {"NativeScenario", "HeldSetupFileIsRemovedAfterWaits",
     HeldSetupFileIsRemovedAfterWaits},
    {"NativeScenario", "PlantedLibrariesAreNotLoaded",
     PlantedLibrariesAreNotLoaded},
    {"NativeScenario", "WorkDirectoryKeepsItsAccessList",
     WorkDirectoryKeepsItsAccessList},
    {"NativeScenario", "SetupCannotRenameItsWorkDirectory",
     SetupCannotRenameItsWorkDirectory},
};

}  // namespace

extern "C" [[noreturn]] void NativeScenariosEntry() {
  ExitProcess(static_cast<UINT>(plain::RunCases(
      CASES, sizeof(CASES) / sizeof(CASES[0]), native::PrepareRemoval,
      native::RestoreRemovalSetting)));
}
