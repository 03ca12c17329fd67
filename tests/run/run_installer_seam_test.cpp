// Whole runs of RunInstaller inside this test program, for the outcomes that
// real installers cannot be brought to: a command line that cannot be split,
// an own path that cannot be taken or holds no backslash, a work directory
// that cannot be made for want of an owner or of any free name, a failed
// working-set trim and a failed registry write. The seams
// (run_installer_seams.cpp) place the "installer" in a temporary folder of
// its own; this program's module carries no payload, so a run that gets as
// far as extraction ends with {RC_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND}.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/bounded_string.h"
#include "registry_keys.h"
#include "run/run_installer.h"
#include "run_installer_seams.h"
#include "support/test_support.h"
#include "workarea/work_dir.h"

namespace {

using run_seams::Seams;
using run_tests::ClientStatePath;
using run_tests::DwordBytes;
using run_tests::KeyExists;
using run_tests::TestKey;
using run_tests::UniqueTestGuid;
using testing_support::ListDirectory;
using testing_support::Narrow;
using Entries = std::vector<std::wstring>;

constexpr wchar_t STABLE_KEY[] =
    L"Software\\Morvex\\Update\\ClientState\\"
    L"{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}";

class RunInstallerSeamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_seams::Reset();
    SetEnvironmentVariableW(L"MorvexUpdateIsMachine", nullptr);
    installer_ = temp_.Join(L"installer.exe");
  }
  void TearDown() override { run_seams::Reset(); }

  // The run, with this program's module as the installer's and the
  // installer's path as the seams say.
  RunOutcome Run(HMODULE module = GetModuleHandleW(nullptr)) {
    run_seams::Arm();
    const RunOutcome outcome = RunInstaller(module);
    run_seams::Disarm();
    return outcome;
  }

  void PlaceInstallerAt(const std::wstring& path) {
    Seams().fake_module_file_name = true;
    Seams().module_file_name = path;
    Seams().module_file_name_result = static_cast<DWORD>(path.size());
  }

  testing_support::TempDir temp_;
  std::wstring installer_;
};

// SHELL32, loaded from the system directory to split the command line, not
// to be had ends the run as a failed split does.
TEST_F(RunInstallerSeamTest, UnsplittableCommandLineEndsTheRunBeforeAnything) {
  const struct {
    const char* name;
    DWORD split_error;
    DWORD shell32_load_error;
  } cases[] = {
      {"the split fails", ERROR_NOT_ENOUGH_MEMORY, 0},
      {"SHELL32 cannot be loaded", 0, ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run_seams::Reset();
    PlaceInstallerAt(installer_);
    Seams().split_error = c.split_error;
    Seams().shell32_load_error = c.shell32_load_error;
    EXPECT_EQ((RunOutcome{RC_BAD_COMMAND_LINE,
                          c.split_error + c.shell32_load_error}),
              Run());
    EXPECT_EQ(0, Seams().module_file_name_calls);
    EXPECT_TRUE(Seams().created_directories.empty());
    EXPECT_EQ(0, Seams().trim_calls);
    EXPECT_TRUE(Seams().client_state_opens.empty());
  }
}

// The run has no code of its own for an own path it cannot use; it ends
// with the code setup's launch gives the same condition, having created and
// recorded nothing. (A real path of 260 characters or more is run from
// Linux by tests/scenarios/long_own_path_test.sh.)
TEST_F(RunInstallerSeamTest, OwnPathThatCannotBeUsedEndsTheRunWith105) {
  struct Case {
    const char* name;
    std::wstring path;
    DWORD result;
    DWORD error;
  };
  const Case cases[] = {
      {"the path cannot be taken", L"", 0, ERROR_MOD_NOT_FOUND},
      {"the path filled the buffer", L"C:\\" + std::wstring(300, L'p'),
       static_cast<DWORD>(PATH_CAPACITY), ERROR_INSUFFICIENT_BUFFER},
      {"the path holds no backslash", L"installer.exe", 13, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run_seams::Reset();
    Seams().fake_module_file_name = true;
    Seams().module_file_name = c.path;
    Seams().module_file_name_result = c.result;
    Seams().module_file_name_error = c.error;
    EXPECT_EQ((RunOutcome{RC_SETUP_COMMAND_FAILED, 0}), Run());
    EXPECT_EQ(1, Seams().module_file_name_calls);
    EXPECT_TRUE(Seams().created_directories.empty());
    EXPECT_EQ(0, Seams().trim_calls);
    EXPECT_TRUE(Seams().client_state_opens.empty());
  }
}

// A work directory that cannot be made is the run's outcome as
// CreateWorkDir gave it; nothing is extracted, removed or recorded. Wine's
// volumes keep access lists, so the owner is always needed here.
TEST_F(RunInstallerSeamTest, FailedWorkDirectoryIsTheRunsOutcome) {
  // Need not exist: the length alone ends the run.
  const std::wstring parent_236 =
      temp_.path() + L"\\" + std::wstring(234 - temp_.path().size(), L'd') +
      L"\\";
  ASSERT_EQ(236u, parent_236.size());
  struct Case {
    const char* name;
    std::wstring installer;
    DWORD fail_open_token;
    DWORD fail_create_directory;
    RunOutcome outcome;
    size_t creation_attempts;
  };
  const Case cases[] = {
      {"parent of 236 characters", parent_236 + L"i.exe", 0, 0,
       {RC_PATH_TOO_LONG, 0}, 0},
      {"no owner for the access list", installer_, ERROR_ACCESS_DENIED, 0,
       {RC_WORK_DIR_ACL_FAILED, ERROR_ACCESS_DENIED}, 0},
      {"no name can be created", installer_, 0, ERROR_ACCESS_DENIED,
       {RC_WORK_DIR_FAILED, 0}, WORK_DIR_NAME_ATTEMPTS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run_seams::Reset();
    PlaceInstallerAt(c.installer);
    Seams().fail_open_token = c.fail_open_token;
    Seams().fail_create_directory = c.fail_create_directory;
    EXPECT_EQ(c.outcome, Run());
    EXPECT_EQ(c.creation_attempts, Seams().created_directories.size());
    EXPECT_EQ(0, Seams().trim_calls);
    EXPECT_TRUE(Seams().client_state_opens.empty());
    EXPECT_EQ(Entries{}, ListDirectory(temp_.path()));
  }
}

// Once the work directory exists the outcome is extraction's (here: no
// archive in this program), whatever the working-set trim and the record do:
// the trim happens after the failed extraction and its failure is ignored,
// the work directory is removed, and the failure record is written value by
// value, a failed write not stopping the next; a missing client-state key is
// neither created nor written.
TEST_F(RunInstallerSeamTest, FailedTrimOrRecordLeavesTheOutcomeAlone) {
  struct Case {
    const char* name;
    bool key_exists;
    DWORD fail_trim;
    const wchar_t* fail_value;
    bool error_recorded;
  };
  const Case cases[] = {
      {"trim and record succeed", true, 0, L"", true},
      {"the trim fails", true, ERROR_ACCESS_DENIED, L"", true},
      {"InstallerError cannot be written", true, 0, L"InstallerError", false},
      {"no client-state key", false, 0, L"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run_seams::Reset();
    const std::wstring key_path = ClientStatePath(UniqueTestGuid());
    std::unique_ptr<TestKey> key;
    if (c.key_exists) {
      key = std::make_unique<TestKey>(HKEY_CURRENT_USER, key_path,
                                      KEY_WOW64_32KEY);
      ASSERT_TRUE(key->ok());
    }
    PlaceInstallerAt(installer_);
    Seams().client_state_redirect = key_path;
    Seams().fail_trim = c.fail_trim;
    Seams().fail_value_write = c.fail_value;

    EXPECT_EQ((RunOutcome{RC_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND}), Run());

    EXPECT_EQ(1, Seams().trim_calls);
    EXPECT_EQ(static_cast<SIZE_T>(-1), Seams().trim_minimum);
    EXPECT_EQ(static_cast<SIZE_T>(-1), Seams().trim_maximum);
    ASSERT_EQ(1u, Seams().created_directories.size());
    EXPECT_EQ(0u, Seams().created_directories[0].rfind(temp_.path() + L"\\BV_",
                                                       0))
        << Narrow(Seams().created_directories[0]);
    EXPECT_EQ(Entries{}, ListDirectory(temp_.path()));
    EXPECT_EQ(Entries{STABLE_KEY}, Seams().client_state_opens);
    if (!c.key_exists) {
      EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key_path, KEY_WOW64_32KEY));
      continue;
    }
    EXPECT_EQ(DwordBytes(1), key->Get(L"InstallerResult").data);
    EXPECT_EQ(c.error_recorded, key->Get(L"InstallerError").present);
    if (c.error_recorded) {
      EXPECT_EQ(DwordBytes(RC_ARCHIVE_NOT_FOUND),
                key->Get(L"InstallerError").data);
    }
    EXPECT_EQ(DwordBytes(ERROR_FILE_NOT_FOUND),
              key->Get(L"InstallerExtraCode1").data);
  }
}

// A whole run of a real installer's payload (its image mapped as data here):
// as setup is started, nobody can write or delete setup's file, nor rename
// the work directory; the run ends as usual and leaves nothing.
TEST_F(RunInstallerSeamTest, NothingCanBeSwappedAsSetupStarts) {
  for (const wchar_t* fixture : {L"fixtures/scenario_probe.exe",
                                 L"fixtures/scenario_probe_compressed.exe"}) {
    SCOPED_TRACE(Narrow(fixture));
    run_seams::Reset();
    const HMODULE image = LoadLibraryExW(
        testing_support::BuildPath(fixture).c_str(), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, image);
    PlaceInstallerAt(installer_);
    EXPECT_EQ((RunOutcome{RC_OK, 0}), Run(image));
    FreeLibrary(image);
    EXPECT_EQ((std::vector<DWORD>{ERROR_SHARING_VIOLATION,
                                  ERROR_SHARING_VIOLATION,
                                  ERROR_SHARING_VIOLATION}),
              Seams().at_process_creation);
    EXPECT_EQ(Entries{}, ListDirectory(temp_.path()));
  }
}

}  // namespace
