// Whole runs of real installers (the x64 twin, linked with
// helpers/setup_probe.exe as setup and a small archive): what setup receives,
// where it runs, and the exit codes that come back.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
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

// A setup whose manifest requires administrator rights cannot be started
// by an installer that runs as invoker without elevation: CreateProcessW
// fails with ERROR_ELEVATION_REQUIRED, recorded as {124, 740}.
TEST_F(ScenarioTest, SetupThatRequiresAdministratorEndsWith124And740) {
  if (testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Windows only: Wine runs every process elevated";
  }
  if (testing_support::RunningElevated()) {
    GTEST_SKIP() << "this test runs elevated, so setup would start: run it "
                    "from a standard user's prompt";
  }
  ScopedKey key =
      ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
  ASSERT_TRUE(key.ok());
  InstallerRun run(L"scenario_probe_admin.exe");
  EXPECT_EQ(124u, run.RunQuoted(L""));
  EXPECT_FALSE(run.ReportWritten()) << "setup ran";
  EXPECT_EQ(124u, key.Dword(L"InstallerError"));
  EXPECT_EQ(740u, key.Dword(L"InstallerExtraCode1"));  // elevation required
  EXPECT_EQ(Entries{L"installer.exe"}, run.AppEntries());
}

// Someone with access to the installer's folder: for every work directory
// there, tries to rename it, to open setup.exe for writing and to rename
// setup.exe, putting back at once whatever moved. Counts what succeeded,
// and how often setup.exe was there to try.
struct Intrusions {
  int directory_renamed = 0;
  int setup_opened_for_writing = 0;
  int setup_renamed = 0;
  int setup_seen = 0;
};

bool Renamed(const std::wstring& path) {
  if (!MoveFileExW(path.c_str(), (path + L"~").c_str(), 0)) return false;
  MoveFileExW((path + L"~").c_str(), path.c_str(), 0);
  return true;
}

void IntrudeOnce(const std::wstring& folder, Intrusions& done) {
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((folder + L"\\BV_*.tmp").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring directory = folder + L"\\" + entry.cFileName;
    done.directory_renamed += Renamed(directory);
    const std::wstring setup = directory + L"\\setup.exe";
    if (GetFileAttributesW(setup.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    ++done.setup_seen;
    const HANDLE file = CreateFileW(setup.c_str(), GENERIC_WRITE, 7, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ++done.setup_opened_for_writing;
      CloseHandle(file);
    }
    done.setup_renamed += Renamed(setup);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

// Runs of plain and compressed setups, one after another, beside someone
// who, while each setup runs, tries again and again to swap the work
// directory or setup: none of it succeeds, and every run ends with setup's
// 0. Calibrated on a directory that nothing holds, which the same attempts
// do swap. (The instants between the directory's creation and its hold, and
// between setup's writing and its hold, no share mode can cover: there the
// owner and the file ID are checked instead, see the work directory's and
// the output file's tests.)
TEST_F(ScenarioTest, NothingCanBeSwappedWhileSetupRuns) {
  testing_support::TempDir unheld;
  ASSERT_TRUE(CreateDirectoryW(unheld.Join(L"BV_00000.tmp").c_str(), nullptr));
  testing_support::WriteFileBytes(unheld.Join(L"BV_00000.tmp\\setup.exe"), "x");
  Intrusions calibration;
  IntrudeOnce(unheld.path(), calibration);
  EXPECT_EQ(1, calibration.directory_renamed);
  EXPECT_EQ(1, calibration.setup_opened_for_writing);
  EXPECT_EQ(1, calibration.setup_renamed);

  constexpr int ROUNDS = 6;
  constexpr int PASSES = 20;  // attempts at each of the three, per run
  testing_support::TempDir folder;
  InstallerRun plain(PLAIN, folder.path(), L"plain.exe");
  InstallerRun compressed(COMPRESSED, folder.path(), L"compressed.exe");
  const std::wstring go = unheld.Join(L"go");
  Intrusions done;
  std::atomic<bool> stop(false);
  // Setup runs once its report exists, until the file "go" does. Between
  // runs the reports go before "go" does, and "go" is looked at first, so a
  // report of an earlier run is never taken for a running setup.
  std::thread intruder([&] {
    while (!stop) {
      using testing_support::FileExists;
      const bool running = !FileExists(go) &&
                           (FileExists(plain.report_path()) ||
                            FileExists(compressed.report_path()));
      if (!running) continue;
      for (int pass = 0; pass < PASSES; ++pass) IntrudeOnce(folder.path(), done);
      testing_support::WriteFileBytes(go, "");
    }
  });
  for (int round = 0; round < ROUNDS; ++round) {
    for (InstallerRun* run : {&plain, &compressed}) {
      DeleteFileW(plain.report_path().c_str());
      DeleteFileW(compressed.report_path().c_str());
      DeleteFileW(go.c_str());
      EXPECT_EQ(0u, run->RunQuoted(L"", {L"BRIVEL_PROBE_WAIT_FILE=" + go}));
    }
  }
  stop = true;
  intruder.join();
  EXPECT_EQ(2 * ROUNDS * PASSES, done.setup_seen);
  EXPECT_EQ(0, done.directory_renamed);
  EXPECT_EQ(0, done.setup_opened_for_writing);
  EXPECT_EQ(0, done.setup_renamed);
  EXPECT_EQ((Entries{L"compressed.exe", L"plain.exe"}), plain.AppEntries());
}

// Wine deletes what a handle refers to by the name it was opened under, so
// something renamed after that survives its deletion through the handle;
// Windows deletes the object itself, wherever its name is by then. Shown
// on a directory renamed between the open and the deletion.
bool DeletionFollowsTheName() {
  testing_support::TempDir temp;
  const std::wstring before = temp.Join(L"before");
  const std::wstring after = temp.Join(L"after");
  CreateDirectoryW(before.c_str(), nullptr);
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE kept =
      CreateFileW(before.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr,
                  OPEN_EXISTING, flags, nullptr);
  MoveFileExW(before.c_str(), after.c_str(), 0);
  const HANDLE deleter =
      ReOpenFile(kept, DELETE, 7, flags | FILE_FLAG_DELETE_ON_CLOSE);
  CloseHandle(deleter);
  CloseHandle(kept);
  const bool survived =
      GetFileAttributesW(after.c_str()) != INVALID_FILE_ATTRIBUTES;
  RemoveDirectoryW(after.c_str());
  return survived;
}

// Beside someone who keeps renaming every work directory and setup.exe
// there (putting each back at once) while each run goes on: every run ends
// with setup's 0 or fails safe, and leaves nothing behind. A hold whose
// open meets a rename is tried again at once; removal goes through the
// holds, so it deletes what the run made wherever it was renamed to. Under
// Wine, which deletes by name (calibrated above), a run that removes what
// was renamed in the instant after its hold was let go can leave it:
// allowed there for a run that held everything (it ended with 0), never for
// a run that failed.
TEST_F(ScenarioTest, RenamingIntruderLeavesNothingBehind) {
  const bool deletion_follows_the_name = DeletionFollowsTheName();
  EXPECT_EQ(testing_support::RunningUnderWine(), deletion_follows_the_name);
  constexpr int ROUNDS = 6;
  testing_support::TempDir folder;
  InstallerRun plain(PLAIN, folder.path(), L"plain.exe");
  InstallerRun compressed(COMPRESSED, folder.path(), L"compressed.exe");
  std::atomic<bool> stop(false), active(false);
  std::mutex pass;
  Intrusions done;
  std::thread intruder([&] {
    while (!stop) {
      {
        std::lock_guard<std::mutex> lock(pass);
        if (active) IntrudeOnce(folder.path(), done);
      }
      std::this_thread::yield();
    }
  });
  for (int round = 0; round < ROUNDS; ++round) {
    for (InstallerRun* run : {&plain, &compressed}) {
      active = true;
      const uint32_t code = run->RunQuoted(L"");
      active = false;
      std::lock_guard<std::mutex> lock(pass);
      EXPECT_TRUE(code == 0 || code == 109 || code == 115 || code == 116)
          << code;
      for (const std::wstring& entry : plain.AppEntries()) {
        if (entry == L"plain.exe" || entry == L"compressed.exe") continue;
        EXPECT_TRUE(deletion_follows_the_name && code == 0)
            << "a run that ended with " << code << " left " << Narrow(entry);
        const std::wstring left = folder.Join(entry);
        for (const wchar_t* name : {L"setup.exe", L"SETUP.EX_"}) {
          DeleteFileW((left + L"\\" + name).c_str());
        }
        RemoveDirectoryW(left.c_str());
      }
    }
  }
  stop = true;
  intruder.join();
  EXPECT_GT(done.setup_seen, 0);
  EXPECT_EQ((Entries{L"compressed.exe", L"plain.exe"}), plain.AppEntries());
}

}  // namespace
}  // namespace scenarios
