// What cannot be provoked for real around setup's launch: a failed wait, a
// failed exit-code read and an own path that cannot be taken, through link
// seams (launch_seams.cpp); and the order in which the child's handles are
// closed, on every path. The child itself is real (helpers/setup_probe.exe).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch/setup_launch.h"
#include "launch_seams.h"
#include "launch_test_support.h"
#include "support/test_support.h"

namespace {

using launch_seams::faults;
using launch_seams::record;
using testing_support::Narrow;
using Calls = std::vector<std::string>;

class LaunchSeamTest : public launch_testing::ProbeTest {
 protected:
  void SetUp() override {
    launch_seams::ResetLaunchSeams();
    ProbeTest::SetUp();
  }
  void TearDown() override {
    launch_seams::ResetLaunchSeams();
    ProbeTest::TearDown();
  }

  RunOutcome RunProbe() {
    std::wstring line = L"\"" + probe_ + L"\"";
    launch_seams::StartRecording();
    const RunOutcome outcome =
        RunAndWait(probe_.c_str(), line.data(), RC_SETUP_FILE_MISSING,
                   RC_SETUP_PATH_MISSING, RC_SETUP_NOT_STARTED);
    launch_seams::StopRecording();
    return outcome;
  }

  RunOutcome Launch() {
    InvocationConfig config;
    config.command_line = L"mini.exe --x";
    launch_seams::StartRecording();
    const RunOutcome outcome =
        LaunchSetup(config, nullptr, L"BRIVEL.7Z", L"BN", probe_.c_str());
    launch_seams::StopRecording();
    return outcome;
  }
};

TEST_F(LaunchSeamTest, ClosesTheThreadBeforeWaitingAndTheProcessAfter) {
  SetEnvironmentVariableW(L"BRIVEL_PROBE_EXIT", L"7");
  EXPECT_EQ((RunOutcome{7, 0}), RunProbe());
  EXPECT_EQ((Calls{"create", "close thread", "wait process",
                   "exit-code process", "close process"}),
            record.calls);
  // No window, not even for a console setup, and nothing else: no handles
  // inherited, the installer's own environment and current directory.
  EXPECT_EQ("flags=0x08000000 inherit=0 environment=own directory=own",
            record.creation);
}

TEST_F(LaunchSeamTest, FailedWaitGives107WithTheErrorAndClosesTheProcess) {
  struct Case {
    const char* name;
    DWORD result;
    DWORD error;
  } const cases[] = {
      {"wait failed", WAIT_FAILED, ERROR_INVALID_HANDLE},
      {"wait timed out", WAIT_TIMEOUT, ERROR_TIMEOUT},
      {"wait abandoned", WAIT_ABANDONED, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    launch_seams::ResetLaunchSeams();
    faults.fail_wait = true;
    faults.wait_result = c.result;
    faults.wait_error = c.error;
    EXPECT_EQ((RunOutcome{RC_SETUP_WAIT_FAILED, c.error}), RunProbe());
    // The exit code is never read after a failed wait.
    EXPECT_EQ(
        (Calls{"create", "close thread", "wait process", "close process"}),
        record.calls);
  }
}

TEST_F(LaunchSeamTest, FailedExitCodeReadGives107WithTheError) {
  faults.fail_exit_code = true;
  faults.exit_code_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ((RunOutcome{RC_SETUP_WAIT_FAILED, ERROR_ACCESS_DENIED}),
            RunProbe());
  EXPECT_EQ((Calls{"create", "close thread", "wait process",
                   "exit-code process", "close process"}),
            record.calls);
  // No window, not even for a console setup, and nothing else: no handles
  // inherited, the installer's own environment and current directory.
  EXPECT_EQ("flags=0x08000000 inherit=0 environment=own directory=own",
            record.creation);
}

TEST_F(LaunchSeamTest, FailedStartClosesNothing) {
  probe_ = temp_.Join(L"missing.exe");
  EXPECT_EQ((RunOutcome{RC_SETUP_FILE_MISSING, INVALID_FILE_ATTRIBUTES}),
            RunProbe());
  EXPECT_EQ((Calls{"create-failed"}), record.calls);
}

// GetModuleFileNameW reports failure with 0 and a path that did not fit with
// the buffer's size; either way nothing is started.
TEST_F(LaunchSeamTest, OwnPathThatCannotBeTakenGives105) {
  struct Case {
    const char* name;
    std::wstring path;
    DWORD result;
    DWORD error;
  } const cases[] = {
      {"call failed", L"", 0, ERROR_MOD_NOT_FOUND},
      {"path filled the buffer", L"C:\\" + std::wstring(300, L'p'),
       static_cast<DWORD>(PATH_CAPACITY), ERROR_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    launch_seams::ResetLaunchSeams();
    faults.fake_module_file_name = true;
    faults.module_file_name = c.path;
    faults.module_file_name_result = c.result;
    faults.module_file_name_error = c.error;
    EXPECT_EQ((RunOutcome{RC_SETUP_COMMAND_FAILED, 0}), Launch());
    EXPECT_EQ((Calls{"module-file-name"}), record.calls);
  }
}

// The other side of the limit: a 259-character own path is used as it is.
TEST_F(LaunchSeamTest, OwnPathOf259CharactersReachesSetup) {
  const std::wstring own = L"C:\\" + std::wstring(PATH_CAPACITY - 4, L'p');
  ASSERT_EQ(PATH_CAPACITY - 1, own.size());
  faults.fake_module_file_name = true;
  faults.module_file_name = own;
  faults.module_file_name_result = static_cast<DWORD>(own.size());
  SetEnvironmentVariableW(L"BRIVEL_PROBE_EXIT", L"0");
  EXPECT_EQ((RunOutcome{0, 0}), Launch());
  const std::wstring line =
      testing_support::ReadProbeReport(report_).Value(L"command_line");
  EXPECT_NE(std::wstring::npos,
            line.find(L" --mini-installer-path=\"" + own + L"\" "))
      << Narrow(line);
  EXPECT_EQ(1, record.create_calls);
}

}  // namespace
