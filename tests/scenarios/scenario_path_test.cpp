// The installer's own path at its limits, with real folders deep enough.
// A path of exactly 259 characters passes the installer's own checks; what
// follows depends on the folder's length D (with its final backslash): the
// work directory "BV_XXXXX.tmp" is a path of D + 12 characters, which
// Windows creates only up to 247 (MAX_PATH - 12 with the terminator), so D
// may be at most 235; setup's path then has D + 22 characters. Wine creates
// longer directories; the installer does not ask it to.
//
// Paths of 260 characters or more cannot be started from here (Wine's
// CreateProcessW refuses them with error 123); long_own_path_test.sh starts
// such an installer from Linux.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario_support.h"
#include "support/test_support.h"

namespace scenarios {
namespace {

using testing_support::Narrow;
using Entries = std::vector<std::wstring>;

constexpr size_t OWN_PATH = 259;

class ScenarioPathTest : public ::testing::Test {
 protected:
  ScopedCleanupSetting cleanup_setting_;
};

TEST_F(ScenarioPathTest, OwnPathOf259CharactersRunsWhenSetupsPathFits) {
  struct Case {
    const char* name;
    size_t folder;  // with its final backslash
    uint32_t exit_code;
    bool setup_runs;
  } const cases[] = {
      {"the deepest folder a work directory is made in", 235, 0, true},
      {"one character more", 236, 108, false},
      {"a work directory's path of 259 characters", 246, 108, false},
      {"no room for the work directory's name", 247, 108, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir deep;
    const std::wstring folder =
        testing_support::MakeDirectoryOfLength(deep.path(), c.folder - 1);
    ASSERT_EQ(c.folder - 1, folder.size());
    const std::wstring name =
        std::wstring(OWN_PATH - c.folder - 4, L'i') + L".exe";
    ScopedKey user =
        ClientStateKey(HKEY_CURRENT_USER, STABLE_GUID, ScopedKey::Start::EMPTY);
    ASSERT_TRUE(user.ok());
    InstallerRun run(L"scenario_probe.exe", folder, name);
    ASSERT_EQ(OWN_PATH, run.installer().size());

    EXPECT_EQ(c.exit_code, run.RunQuoted(L""));
    EXPECT_EQ(c.setup_runs, run.ReportWritten());
    if (c.setup_runs) {
      const std::wstring setup_path = run.Report().Value(L"own_path");
      EXPECT_EQ(c.folder + 22, setup_path.size());
      EXPECT_TRUE(IsWorkDirSetupPath(setup_path, folder)) << Narrow(setup_path);
      EXPECT_EQ(L"1", run.Report().Value(L"archive_opened"));
      EXPECT_EQ(SUCCESS_RECORD, user.Dword(L"InstallerExtraCode1"));
    } else {
      // Ended before its work directory existed: nothing is recorded.
      EXPECT_TRUE(user.Values().empty());
    }
    EXPECT_EQ(Entries{name}, run.AppEntries());
  }
}

}  // namespace
}  // namespace scenarios
