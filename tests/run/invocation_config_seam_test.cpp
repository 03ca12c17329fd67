// What the invocation configuration does with its platform calls, seen
// through the seams of invocation_config_seams.cpp: a failed split, whether
// the machine variable is read at all, and the release of the argument
// vector.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "invocation_config_seams.h"
#include "run/invocation_config.h"
#include "support/test_support.h"

namespace {

const wchar_t MACHINE_VARIABLE[] = L"MorvexUpdateIsMachine";

class InvocationSeamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seams::Reset();
    // The variable is set to the value that would make a difference, so a
    // read that must not happen would also show in the result.
    SetEnvironmentVariableW(MACHINE_VARIABLE, L"1");
  }
  void TearDown() override {
    seams::Reset();
    ResetInvocation(config_);
    SetEnvironmentVariableW(MACHINE_VARIABLE, nullptr);
  }

  InvocationConfig config_;
};

// SHELL32 comes from the system directory at run time; a system without it,
// or without its CommandLineToArgvW, fails the parse as a split would.
TEST_F(InvocationSeamTest, FailedSplitEndsTheParseWithItsLastError) {
  const struct {
    const char* name;
    DWORD split_error;
    DWORD shell32_load_error;
    bool shell32_lacks_split;
    DWORD error;
  } cases[] = {
      {"the split fails", ERROR_NOT_ENOUGH_MEMORY, 0, false,
       ERROR_NOT_ENOUGH_MEMORY},
      {"SHELL32 cannot be loaded", 0, ERROR_MOD_NOT_FOUND, false,
       ERROR_MOD_NOT_FOUND},
      {"SHELL32 lacks CommandLineToArgvW", 0, 0, true, ERROR_PROC_NOT_FOUND},
  };
  const wchar_t command_line[] = L"prog.exe --brivel-dev --system-level";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    seams::Reset();
    seams::split_error = c.split_error;
    seams::shell32_load_error = c.shell32_load_error;
    seams::shell32_lacks_split = c.shell32_lacks_split;
    EXPECT_FALSE(ParseCommandLine(config_, command_line));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_EQ(command_line, config_.command_line);
    EXPECT_EQ(nullptr, config_.arguments);
    EXPECT_EQ(0, config_.argument_count);
    EXPECT_EQ(STABLE_APP_GUID, config_.app_guid);
    EXPECT_FALSE(config_.system_level);
    EXPECT_EQ(0, seams::machine_variable_reads)
        << "nothing after the split runs";
    ResetInvocation(config_);
  }
}

TEST_F(InvocationSeamTest, FailedSplitFailsTheWholeParseAndReleasesTheOldVector) {
  ASSERT_TRUE(ParseCommandLine(config_, L"prog.exe --brivel-beta"));
  LPWSTR* const earlier = config_.arguments;
  seams::Reset();
  seams::split_error = ERROR_INVALID_PARAMETER;

  EXPECT_FALSE(ParseInvocation(config_));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(1, seams::TimesFreed(earlier));
  EXPECT_EQ(nullptr, config_.arguments);
  EXPECT_EQ(STABLE_APP_GUID, config_.app_guid);
  EXPECT_FALSE(config_.system_level);
  EXPECT_EQ(0, seams::machine_variable_reads);
}

TEST_F(InvocationSeamTest, VariableIsReadOnlyWithoutTheSystemLevelSwitch) {
  struct Case {
    const wchar_t* command_line;
    int reads;
  };
  const Case cases[] = {
      {L"prog.exe", 1},
      {L"prog.exe --brivel-beta", 1},
      {L"prog.exe --system-level", 0},
      {L"prog.exe --brivel-dev --SYSTEM-LEVEL", 0},
      {L"prog.exe --system-level=1", 1},
      {L"--system-level", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing_support::Narrow(c.command_line));
    seams::Reset();
    InvocationConfig config;
    ASSERT_TRUE(ParseCommandLine(config, c.command_line));
    EXPECT_EQ(c.reads, seams::machine_variable_reads);
    EXPECT_TRUE(config.system_level);
    ResetInvocation(config);
  }
}

TEST_F(InvocationSeamTest, ResetReleasesTheArgumentVectorExactlyOnce) {
  ASSERT_TRUE(ParseCommandLine(config_, L"prog.exe a b c"));
  LPWSTR* const vector = config_.arguments;
  ASSERT_NE(nullptr, vector);
  seams::Reset();

  ResetInvocation(config_);
  ResetInvocation(config_);
  EXPECT_EQ(1, seams::TimesFreed(vector));
  EXPECT_EQ(1, seams::freed_count) << "nothing else is released";
}

TEST_F(InvocationSeamTest, ParseReleasesTheVectorOfAnEarlierParse) {
  ASSERT_TRUE(ParseCommandLine(config_, L"prog.exe --brivel-dev"));
  LPWSTR* const earlier = config_.arguments;
  seams::Reset();

  ASSERT_TRUE(ParseInvocation(config_));
  EXPECT_EQ(1, seams::TimesFreed(earlier));
  EXPECT_NE(nullptr, config_.arguments);
  EXPECT_EQ(STABLE_APP_GUID, config_.app_guid);
}

TEST_F(InvocationSeamTest, ResetOfAnUnparsedRecordReleasesNothing) {
  ResetInvocation(config_);
  EXPECT_EQ(0, seams::freed_count);
}

}  // namespace
