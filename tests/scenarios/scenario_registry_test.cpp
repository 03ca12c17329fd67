// What whole runs record in the updater's client-state keys: real keys in
// the 32-bit view (under Wine, HKEY_LOCAL_MACHINE's land under Wow6432Node
// and HKEY_CURRENT_USER's are shared by both views; the process runs
// elevated, so the machine-wide key is writable). Every key is put back as
// it was found.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scenario_support.h"
#include "support/test_support.h"

namespace scenarios {
namespace {

using testing_support::Narrow;
using Entries = std::vector<std::wstring>;

constexpr wchar_t PLAIN[] = L"scenario_probe.exe";

class ScenarioRegistryTest : public ::testing::Test {
 protected:
  ScopedCleanupSetting cleanup_setting_;
};

// The names of a key's values, sorted.
Entries ValueNames(const ScopedKey& key) {
  Entries names;
  for (const SavedValue& value : key.Values()) names.push_back(value.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ScenarioRegistryTest, SuccessIsRecordedUnderTheRootOfTheRun) {
  struct Case {
    const char* name;
    const wchar_t* arguments;
    std::vector<std::wstring> environment;
    bool machine;
  } const cases[] = {
      {"per-user", L"", {}, false},
      {"system-level switch", L" --system-level", {}, true},
      {"system-level switch in upper case", L" --SYSTEM-LEVEL", {}, true},
      {"machine variable", L"", {L"MorvexUpdateIsMachine=1"}, true},
      {"machine variable other than 1",
       L"",
       {L"MorvexUpdateIsMachine=10"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedKey user =
        ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
    ScopedKey machine = ClientStateKey(HKEY_LOCAL_MACHINE, STABLE_GUID,
                                       ScopedKey::Start::EMPTY);
    ASSERT_TRUE(user.ok() && machine.ok());
    InstallerRun run(PLAIN);
    EXPECT_EQ(0u, run.RunQuoted(c.arguments, c.environment));
    const ScopedKey& recorded = c.machine ? machine : user;
    const ScopedKey& untouched = c.machine ? user : machine;
    EXPECT_EQ(Entries{L"InstallerExtraCode1"}, ValueNames(recorded));
    EXPECT_EQ(SUCCESS_RECORD, recorded.Dword(L"InstallerExtraCode1"));
    EXPECT_TRUE(untouched.Values().empty());
  }
}

TEST_F(ScenarioRegistryTest, ChannelSwitchesSelectTheKey) {
  struct Case {
    const char* name;
    const wchar_t* arguments;
    const wchar_t* guid;
  } const cases[] = {
      {"stable", L" --x", STABLE_GUID},
      {"beta", L" --brivel-beta", BETA_GUID},
      {"dev", L" --BRIVEL-DEV", DEV_GUID},
      {"side by side", L" --brivel-sxs", SXS_GUID},
      {"the last channel wins", L" --brivel-sxs --brivel-beta", BETA_GUID},
  };
  const wchar_t* const guids[] = {STABLE_GUID, BETA_GUID, DEV_GUID, SXS_GUID};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<ScopedKey>> keys;
    for (const wchar_t* guid : guids) {
      keys.push_back(std::make_unique<ScopedKey>(
          HKEY_CURRENT_USER, ClientStatePath(guid), KEY_WOW64_32KEY,
          ScopedKey::Start::EMPTY));
      ASSERT_TRUE(keys.back()->ok());
    }
    InstallerRun run(PLAIN);
    EXPECT_EQ(0u, run.RunQuoted(c.arguments));
    for (size_t i = 0; i < keys.size(); ++i) {
      SCOPED_TRACE(Narrow(guids[i]));
      if (std::wstring(guids[i]) == c.guid) {
        EXPECT_EQ(SUCCESS_RECORD, keys[i]->Dword(L"InstallerExtraCode1"));
      } else {
        EXPECT_TRUE(keys[i]->Values().empty());
      }
    }
  }
}

// The machine-wide key exists only in the 64-bit view: the run does not
// find it and writes nothing anywhere.
TEST_F(ScenarioRegistryTest, SystemLevelRecordUsesOnlyThe32BitView) {
  ScopedKey view32 =
      ClientStateKey(HKEY_LOCAL_MACHINE, STABLE_GUID, ScopedKey::Start::ABSENT);
  ScopedKey view64(HKEY_LOCAL_MACHINE, ClientStatePath(STABLE_GUID),
                   KEY_WOW64_64KEY, ScopedKey::Start::EMPTY);
  ASSERT_TRUE(view32.ok() && view64.ok());
  ASSERT_FALSE(view32.Exists()) << "the views are not separate here";
  InstallerRun run(PLAIN);
  EXPECT_EQ(7u, run.RunQuoted(L" --system-level", {L"BRIVEL_PROBE_EXIT=7"}));
  EXPECT_TRUE(view64.Values().empty());
  EXPECT_FALSE(view32.Exists());
}

TEST_F(ScenarioRegistryTest, MissingKeyIsNeitherCreatedNorWritten) {
  for (const wchar_t* exit_setting : {L"0", L"7"}) {
    SCOPED_TRACE(Narrow(exit_setting));
    ScopedKey user = ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID,
                                    ScopedKey::Start::ABSENT);
    ASSERT_TRUE(user.ok());
    InstallerRun run(PLAIN);
    EXPECT_EQ(std::stoul(exit_setting),
              run.RunQuoted(
                  L"", {std::wstring(L"BRIVEL_PROBE_EXIT=") + exit_setting}));
    EXPECT_FALSE(user.Exists());
  }
}

// A copy of setup, started by setup just before it ends, runs from setup's
// own file for a while: the file cannot be deleted until it ends, and the
// removal needs more than one attempt.
TEST_F(ScenarioRegistryTest, HeldSetupFileRaisesTheAttemptCount) {
  ScopedKey user =
      ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
  ASSERT_TRUE(user.ok());
  InstallerRun run(PLAIN);
  EXPECT_EQ(0u, run.RunQuoted(L"", {L"BRIVEL_PROBE_HOLD_MS=400"}));
  EXPECT_EQ(L"1", run.Report().Value(L"hold_started"));
  const std::optional<uint32_t> record = user.Dword(L"InstallerExtraCode1");
  ASSERT_TRUE(record.has_value());
  EXPECT_GE(*record, SUCCESS_RECORD + 2) << std::hex << *record;
  EXPECT_LE(*record, SUCCESS_RECORD + 99) << std::hex << *record;
  EXPECT_EQ(Entries{L"installer.exe"}, run.AppEntries());
}

TEST_F(ScenarioRegistryTest, FailuresAreRecordedWithTheirDetail) {
  struct Case {
    const char* name;
    const wchar_t* fixture;
    const wchar_t* exit_setting;
    uint32_t exit_code;
    uint32_t detail;
  } const cases[] = {
      {"setup exits with 7", PLAIN, L"7", 7, 0},
      {"setup exits with 0xC0000005", PLAIN, L"0xC0000005", 0xC0000005u, 0},
      // Setup's own 112 is told from the installer's by its detail.
      {"setup exits with 112", PLAIN, L"112", 112, 0},
      {"no archive in the installer", L"scenario_no_archive.exe", L"0", 112,
       ERROR_FILE_NOT_FOUND},
      {"no setup in the installer", L"scenario_no_setup.exe", L"0", 115,
       ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedKey user =
        ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
    ASSERT_TRUE(user.ok());
    InstallerRun run(c.fixture);
    EXPECT_EQ(c.exit_code,
              run.RunQuoted(
                  L"", {std::wstring(L"BRIVEL_PROBE_EXIT=") + c.exit_setting}));
    EXPECT_EQ(1u, user.Dword(L"InstallerResult"));
    EXPECT_EQ(c.exit_code, user.Dword(L"InstallerError"));
    EXPECT_EQ(c.detail, user.Dword(L"InstallerExtraCode1"));
    EXPECT_EQ(Entries{L"installer.exe"}, run.AppEntries());
  }
}

// A non-zero "InstallerResult" is a result recorded earlier: a failure
// leaves all three values alone, a success still writes its own value.
TEST_F(ScenarioRegistryTest, EarlierResultIsKeptOnFailureButNotOnSuccess) {
  for (const bool success : {false, true}) {
    SCOPED_TRACE(success ? "success" : "failure");
    ScopedKey user =
        ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
    ASSERT_TRUE(user.ok());
    user.SetDword(L"InstallerResult", 5);
    user.SetDword(L"InstallerError", 42);
    user.SetDword(L"InstallerExtraCode1", 43);
    InstallerRun run(PLAIN);
    EXPECT_EQ(success ? 0u : 7u,
              run.RunQuoted(L"", {success ? L"BRIVEL_PROBE_EXIT=0"
                                          : L"BRIVEL_PROBE_EXIT=7"}));
    EXPECT_EQ(5u, user.Dword(L"InstallerResult"));
    EXPECT_EQ(42u, user.Dword(L"InstallerError"));
    EXPECT_EQ(success ? SUCCESS_RECORD : 43u,
              user.Dword(L"InstallerExtraCode1"));
  }
}

// "BrivelInstallerCleanup" = "0" keeps what the run wrote: the work
// directory with setup in it stays beside the installer.
TEST_F(ScenarioRegistryTest, CleanupSettingZeroKeepsTheWorkArea) {
  cleanup_setting_.Set(L"0");
  ScopedKey user =
      ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
  ASSERT_TRUE(user.ok());
  InstallerRun run(PLAIN);
  EXPECT_EQ(0u, run.RunQuoted(L""));
  const std::wstring setup_path = run.Report().Value(L"own_path");
  std::wstring work_dir;
  ASSERT_TRUE(IsWorkDirSetupPath(setup_path, run.app_dir(), &work_dir))
      << Narrow(setup_path);
  const std::wstring work_dir_name = work_dir.substr(run.app_dir().size() + 1);
  EXPECT_EQ((Entries{work_dir_name, L"installer.exe"}), run.AppEntries());
  EXPECT_EQ(Entries{L"setup.exe"}, testing_support::ListDirectory(work_dir));
  // Nothing was removed, so no removal needed a second attempt.
  EXPECT_EQ(SUCCESS_RECORD, user.Dword(L"InstallerExtraCode1"));
}

}  // namespace
}  // namespace scenarios
