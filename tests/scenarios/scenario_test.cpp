// Whole runs of real installers (the x64 twin, linked with
// helpers/setup_probe.exe as setup and a small archive): what setup receives,
// where it runs, and the exit codes that come back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario_support.h"
#include "support/test_support.h"

namespace scenarios {
namespace {

using testing_support::BuildPath;
using testing_support::Narrow;
using testing_support::ProbeReport;
using Entries = std::vector<std::wstring>;

constexpr wchar_t PLAIN[] = L"scenario_probe.exe";
constexpr wchar_t COMPRESSED[] = L"scenario_probe_compressed.exe";
constexpr wchar_t NOT_A_PROGRAM[] = L"scenario_not_a_program.exe";

class ScenarioTest : public ::testing::Test {
 protected:
  // Every run removes what it wrote unless a test says otherwise.
  ScopedCleanupSetting cleanup_setting_;
};

// What every run that reached setup shows: setup ran as setup.exe in a
// fresh BV_XXXXX.tmp beside the installer, alone there, in the current
// directory the installer was started in, and read the archive through its
// three switches; afterwards only the installer is left. Returns setup's
// path.
std::wstring ExpectSetupRanInWorkDir(const InstallerRun& run) {
  const ProbeReport report = run.Report();
  const std::wstring setup_path = report.Value(L"own_path");
  EXPECT_TRUE(IsWorkDirSetupPath(setup_path, run.app_dir()))
      << Narrow(setup_path);
  EXPECT_EQ(Entries{L"setup.exe"}, report.Values(L"sibling"));
  EXPECT_EQ(run.cwd(), report.Value(L"current_directory"));

  const std::string archive = testing_support::ReadFileBytes(
      BuildPath(L"fixtures/scenario_archive.bin"));
  EXPECT_FALSE(archive.empty());
  EXPECT_EQ(L"1", report.Value(L"archive_opened"))
      << Narrow(report.Value(L"archive_error"));
  EXPECT_EQ(std::to_wstring(archive.size()), report.Value(L"archive_size"));
  EXPECT_EQ(testing_support::Widen(testing_support::Fnv1a64Hex(archive)),
            report.Value(L"archive_fnv"));

  EXPECT_EQ(Entries{L"installer.exe"}, run.AppEntries());
  return setup_path;
}

// The installer's own command line, as the test composes it from the
// installer's path.
struct PassThroughCase {
  const char* name;
  std::wstring (*command_line)(const std::wstring& installer);
  const wchar_t* tail;  // what setup's command line must end with
};

const PassThroughCase PASS_THROUGH_CASES[] = {
    {"only a quoted program name",
     [](const std::wstring& i) { return L"\"" + i + L"\""; }, L""},
    {"quoted, then a switch",
     [](const std::wstring& i) { return L"\"" + i + L"\" --system-level"; },
     L" --system-level"},
    {"text directly after the closing quotation mark",
     [](const std::wstring& i) { return L"\"" + i + L"\"--x \"a b\""; },
     L" --x \"a b\""},
    {"unquoted, three spaces, an argument",
     [](const std::wstring& i) { return i + L"   --x"; }, L"   --x"},
    {"unquoted, a tab", [](const std::wstring& i) { return i + L"\t--x"; },
     L"\t--x"},
    {"a line feed inside the program name",
     [](const std::wstring& i) { return i + L"\nname --x"; }, L" --x"},
    {"missing closing quotation mark",
     [](const std::wstring& i) { return L"\"" + i + L" --x"; }, L""},
    // Wine hands a program started with an empty command line the quoted
    // application name instead (Windows passes the empty string on); either
    // way nothing follows a program name, and setup gets the composed part
    // alone.
    {"empty command line", [](const std::wstring&) { return std::wstring(); },
     L""},
};

TEST_F(ScenarioTest, SetupGetsTheComposedLineAndThePassThroughExactly) {
  for (const PassThroughCase& c : PASS_THROUGH_CASES) {
    SCOPED_TRACE(c.name);
    InstallerRun run(PLAIN);
    EXPECT_EQ(0u, run.Run(c.command_line(run.installer())));
    const std::wstring setup_path = ExpectSetupRanInWorkDir(run);
    EXPECT_EQ(run.ExpectedSetupCommandLine(setup_path, c.tail),
              run.Report().Value(L"command_line"));
  }
}

// The composed part leaves room for 1299 characters in all; arguments that
// fit it exactly pass, one character more and they are dropped whole while
// setup still runs.
TEST_F(ScenarioTest, ArgumentsLongerThanTheRoomLeftAreDroppedWhole) {
  for (const bool over : {false, true}) {
    SCOPED_TRACE(over ? "one character over the room" : "exactly the room");
    InstallerRun run(PLAIN);
    // Setup's path is the installer's folder plus "\BV_XXXXX.tmp\setup.exe".
    const std::wstring setup_length_probe =
        run.app_dir() + L"\\BV_00000.tmp\\setup.exe";
    const size_t composed =
        run.ExpectedSetupCommandLine(setup_length_probe, L"").size();
    const size_t room = 1299 - composed;
    const std::wstring tail = L" " + std::wstring(room - 1 + over, L'a');
    EXPECT_EQ(0u, run.RunQuoted(tail, {L"BRIVEL_PROBE_EXIT=0"}));
    const std::wstring setup_path = ExpectSetupRanInWorkDir(run);
    EXPECT_EQ(run.ExpectedSetupCommandLine(setup_path, over ? L"" : tail),
              run.Report().Value(L"command_line"));
  }
}

TEST_F(ScenarioTest, CompressedSetupIsExpandedAndRunTheSameWay) {
  InstallerRun run(COMPRESSED);
  EXPECT_EQ(0u, run.RunQuoted(L" --x"));
  // Only setup.exe is beside setup: the cabinet was removed before it ran.
  const std::wstring setup_path = ExpectSetupRanInWorkDir(run);
  EXPECT_EQ(run.ExpectedSetupCommandLine(setup_path, L" --x"),
            run.Report().Value(L"command_line"));
}

TEST_F(ScenarioTest, SetupsExitCodeIsTheInstallersInAll32Bits) {
  struct Case {
    const wchar_t* fixture;
    const wchar_t* setting;
    uint32_t exit_code;
  } const cases[] = {
      {PLAIN, L"0", 0},       {PLAIN, L"7", 7},
      {PLAIN, L"3010", 3010}, {PLAIN, L"0xC0000005", 0xC0000005u},
      {PLAIN, L"112", 112},   {COMPRESSED, L"0xC0000005", 0xC0000005u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(
        Narrow(std::wstring(c.fixture) + L" exiting with " + c.setting));
    InstallerRun run(c.fixture);
    EXPECT_EQ(
        c.exit_code,
        run.RunQuoted(L"", {std::wstring(L"BRIVEL_PROBE_EXIT=") + c.setting}));
    ExpectSetupRanInWorkDir(run);
  }
}

TEST_F(ScenarioTest, RetiredSwitchesEndTheRunBeforeAnything) {
  const wchar_t* const arguments[] = {
      L" --cleanup",       L" --CLEANUP",
      L" --brivel-frame",  L" --system-level --x --Brivel-Frame --brivel-beta",
      L"\t--x\t--cleanup",
  };
  ScopedKey key =
      ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
  ASSERT_TRUE(key.ok());
  for (const wchar_t* argument : arguments) {
    SCOPED_TRACE(Narrow(argument));
    InstallerRun run(PLAIN);
    EXPECT_EQ(118u, run.RunQuoted(argument));
    EXPECT_FALSE(run.ReportWritten()) << "setup ran";
    EXPECT_EQ(Entries{L"installer.exe"}, run.AppEntries());
    EXPECT_TRUE(key.Values().empty());
  }
}

TEST_F(ScenarioTest, SetupThatIsNotAProgramEndsWith124) {
  ScopedKey key =
      ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
  ASSERT_TRUE(key.ok());
  InstallerRun run(NOT_A_PROGRAM);
  EXPECT_EQ(124u, run.RunQuoted(L""));
  EXPECT_EQ(Entries{L"installer.exe"}, run.AppEntries());
  EXPECT_EQ(1u, key.Dword(L"InstallerResult"));
  EXPECT_EQ(124u, key.Dword(L"InstallerError"));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_BAD_EXE_FORMAT),
            key.Dword(L"InstallerExtraCode1"));
}

}  // namespace
}  // namespace scenarios
