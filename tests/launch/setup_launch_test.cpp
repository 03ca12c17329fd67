// The process runner and setup's launch, with real child processes
// (helpers/setup_probe.exe) and real missing or unrunnable files under Wine.
#include "launch/setup_launch.h"

#include <gtest/gtest.h>

#include <string>

#include "launch_test_support.h"
#include "support/test_support.h"

namespace {

using launch_testing::Composed;
using testing_support::MakeDirectoryOfLength;
using testing_support::Narrow;
using testing_support::ProbeReport;
using testing_support::ReadProbeReport;

// Real child processes (helpers/setup_probe.exe).
class RunAndWaitTest : public launch_testing::ProbeTest {
 protected:
  RunOutcome Run(const std::wstring& application, std::wstring command_line) {
    return RunAndWait(application.c_str(), command_line.data(), 122, 123, 124);
  }
};

TEST_F(RunAndWaitTest, ReturnsTheChildsExitCodeInAll32Bits) {
  struct Case {
    const wchar_t* setting;
    uint32_t exit_code;
  } const cases[] = {
      {L"0", 0},
      {L"7", 7},
      {L"3010", 3010},
      {L"0xC0000005", 0xC0000005u},
      {L"0xFFFFFFFF", 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.setting));
    SetEnvironmentVariableW(L"BRIVEL_PROBE_EXIT", c.setting);
    EXPECT_EQ((RunOutcome{c.exit_code, 0}),
              Run(probe_, L"\"" + probe_ + L"\""));
  }
}

TEST_F(RunAndWaitTest, ChildGetsTheCommandLineExactlyAndInheritsTheDirectory) {
  // Not even starting with the program's path: the application name is
  // given separately.
  const std::wstring command_line = L"setup\tfirst  \"second\" \n third\\";
  ASSERT_EQ((RunOutcome{0, 0}), Run(probe_, command_line));
  const ProbeReport report = ReadProbeReport(report_);
  EXPECT_EQ(command_line, report.Value(L"command_line"));
  EXPECT_EQ(probe_, report.Value(L"own_path"));
  wchar_t directory[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, directory);
  EXPECT_EQ(std::wstring(directory), report.Value(L"current_directory"));
}

TEST_F(RunAndWaitTest, UsesTheCallersCodesForAFailedStart) {
  std::wstring line = L"x";
  const std::wstring missing = temp_.Join(L"missing.exe");
  EXPECT_EQ((RunOutcome{201, INVALID_FILE_ATTRIBUTES}),
            RunAndWait(missing.c_str(), line.data(), 201, 202, 203));
}

TEST_F(RunAndWaitTest, MissingFileGivesItsAttributeWord) {
  EXPECT_EQ((RunOutcome{122, INVALID_FILE_ATTRIBUTES}),
            Run(temp_.Join(L"setup.exe"), L"setup"));
}

TEST_F(RunAndWaitTest, MissingDirectoryGivesItsAttributeWord) {
  EXPECT_EQ((RunOutcome{123, INVALID_FILE_ATTRIBUTES}),
            Run(temp_.Join(L"gone\\setup.exe"), L"setup"));
}

TEST_F(RunAndWaitTest, FileThatIsNotAProgramGivesTheError) {
  const std::wstring text = temp_.Join(L"setup.exe");
  testing_support::WriteFileBytes(text, "not a program\r\n");
  EXPECT_EQ((RunOutcome{124, ERROR_BAD_EXE_FORMAT}), Run(text, L"setup"));
}

// LaunchSetup end to end with this test program as the "installer": its own
// path goes into --mini-installer-path, and setup runs with the composed
// line and the pass-through.
class LaunchSetupTest : public RunAndWaitTest {};

TEST_F(LaunchSetupTest, RunsSetupWithTheComposedCommandLine) {
  InvocationConfig config;
  config.command_line = L"\"C:\\x\\mini.exe\"\t--system-level";
  SetEnvironmentVariableW(L"BRIVEL_PROBE_EXIT", L"3010");
  EXPECT_EQ((RunOutcome{3010, 0}),
            LaunchSetup(config, nullptr, L"BRIVEL.7Z", L"BN", probe_.c_str()));
  wchar_t own[MAX_PATH];
  GetModuleFileNameW(nullptr, own, MAX_PATH);
  const ProbeReport report = ReadProbeReport(report_);
  EXPECT_EQ(Composed(probe_, own, L"BRIVEL.7Z", L"BN") + L"\t--system-level",
            report.Value(L"command_line"));
}

// Setup's path fills its copy up to 259 characters; one more does not fit
// and nothing is started.
TEST_F(LaunchSetupTest, SetupPathAtItsLimit) {
  const std::wstring directory = MakeDirectoryOfLength(
      temp_.path(), PATH_CAPACITY - 1 - std::wstring(L"\\setup.exe").size());
  ASSERT_FALSE(directory.empty());
  const std::wstring setup = directory + L"\\setup.exe";
  ASSERT_EQ(PATH_CAPACITY - 1, setup.size());
  ASSERT_TRUE(CopyFileW(probe_.c_str(), (L"\\\\?\\" + setup).c_str(), FALSE));
  SetEnvironmentVariableW(L"BRIVEL_PROBE_EXIT", L"7");
  InvocationConfig config;
  config.command_line = L"mini.exe";
  EXPECT_EQ((RunOutcome{7, 0}),
            LaunchSetup(config, nullptr, L"BRIVEL.7Z", L"BN", setup.c_str()));
  EXPECT_EQ(setup, ReadProbeReport(report_).Value(L"own_path"));

  DeleteFileW(report_.c_str());
  const std::wstring longer = directory + L"\\setup.exe0";
  ASSERT_TRUE(CopyFileW(probe_.c_str(), (L"\\\\?\\" + longer).c_str(), FALSE));
  EXPECT_EQ((RunOutcome{RC_SETUP_COMMAND_FAILED, 0}),
            LaunchSetup(config, nullptr, L"BRIVEL.7Z", L"BN", longer.c_str()));
  EXPECT_FALSE(testing_support::FileExists(report_)) << "setup was started";
}

// What LaunchSetup hands back when setup cannot be started: the failed
// start mapped to its own three codes, or a command line that cannot be
// composed (an archive name far beyond anything a run records) before
// anything is started.
TEST_F(LaunchSetupTest, SetupThatCannotBeStartedGivesTheLaunchCodes) {
  const std::wstring not_a_program = temp_.Join(L"text.exe");
  testing_support::WriteFileBytes(not_a_program, "not a program\r\n");
  const std::wstring huge_name(COMMAND_CAPACITY, L'N');
  struct Case {
    const char* name;
    std::wstring setup;
    const wchar_t* archive_name;
    RunOutcome outcome;
  };
  const Case cases[] = {
      {"setup's file is gone", temp_.Join(L"setup.exe"), L"BRIVEL.7Z",
       {RC_SETUP_FILE_MISSING, INVALID_FILE_ATTRIBUTES}},
      {"setup's directory is gone", temp_.Join(L"gone\\setup.exe"),
       L"BRIVEL.7Z", {RC_SETUP_PATH_MISSING, INVALID_FILE_ATTRIBUTES}},
      {"setup is not a program", not_a_program, L"BRIVEL.7Z",
       {RC_SETUP_NOT_STARTED, ERROR_BAD_EXE_FORMAT}},
      {"command line does not fit", probe_, huge_name.c_str(),
       {RC_SETUP_COMMAND_FAILED, 0}},
  };
  InvocationConfig config;
  config.command_line = L"mini.exe --x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.outcome, LaunchSetup(config, nullptr, c.archive_name, L"BN",
                                     c.setup.c_str()));
    EXPECT_FALSE(testing_support::FileExists(report_)) << "setup was started";
  }
}

}  // namespace
