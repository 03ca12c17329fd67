// The invocation configuration with real inputs: explicit command lines, the
// process environment set in-process, and real registry values written under
// HKEY_CURRENT_USER by the test and removed afterwards.
#include "run/invocation_config.h"
#include "run/registry_string.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "registry_keys.h"
#include "support/test_support.h"

namespace {

using run_tests::DwordBytes;
using run_tests::RegistryValue;
using run_tests::TestKey;
using run_tests::WideBytes;

const wchar_t MACHINE_VARIABLE[] = L"MorvexUpdateIsMachine";
const wchar_t CLEANUP_KEY[] = L"Software\\Morvex";
const wchar_t CLEANUP_VALUE[] = L"BrivelInstallerCleanup";

// The environment variable is saved and removed for each test and restored
// afterwards, so the tests see only what they set themselves.
class InvocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t value[256];
    const DWORD length = GetEnvironmentVariableW(MACHINE_VARIABLE, value, 256);
    had_variable_ = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (had_variable_ && length < 256) saved_variable_.assign(value, length);
    SetEnvironmentVariableW(MACHINE_VARIABLE, nullptr);
  }
  void TearDown() override {
    ResetInvocation(config_);
    SetEnvironmentVariableW(MACHINE_VARIABLE,
                            had_variable_ ? saved_variable_.c_str() : nullptr);
  }

  InvocationConfig config_;

 private:
  bool had_variable_ = false;
  std::wstring saved_variable_;
};

// Every field at its default, as a new record has it and a reset leaves it.
void ExpectDefaults(const InvocationConfig& config) {
  EXPECT_EQ(nullptr, config.arguments);
  EXPECT_EQ(STABLE_APP_GUID, config.app_guid);
  EXPECT_EQ(nullptr, config.command_line);
  EXPECT_EQ(0, config.argument_count);
  EXPECT_FALSE(config.system_level);
  EXPECT_FALSE(config.unsupported_switch);
  EXPECT_TRUE(config.cleanup_enabled);
}

// ---------------------------------------------------------------- defaults

TEST(ApplicationGuids, AreTheFourChannelStrings) {
  EXPECT_STREQ(L"{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}", STABLE_APP_GUID);
  EXPECT_STREQ(L"{3F0A9C6D-41B2-47E5-9D8A-C7E2B15F6A04}", BETA_APP_GUID);
  EXPECT_STREQ(L"{6E2D4A91-B7C3-4F10-A5E9-0D8B3C7F2E68}", DEV_APP_GUID);
  EXPECT_STREQ(L"{9b7c2e14-a3d6-4f58-8e21-c4f0d9a61b37}", SXS_APP_GUID);
}

TEST(InvocationConfigRecord, StartsAtItsDefaults) {
  InvocationConfig config;
  ExpectDefaults(config);
}

// ---------------------------------------------------------------- switches

TEST_F(InvocationTest, SwitchesMatchWholeArgumentsIgnoringCase) {
  struct Case {
    const char* name;
    const wchar_t* command_line;
    bool system_level;
    const WideChar* app_guid;
    bool unsupported;
    int32_t argument_count;
  };
  const WideChar* const stable = STABLE_APP_GUID;
  const Case cases[] = {
      {"program name only", L"prog.exe", false, stable, false, 1},
      {"system level", L"prog.exe --system-level", true, stable, false, 2},
      {"system level upper case", L"prog.exe --SYSTEM-LEVEL", true, stable,
       false, 2},
      {"system level mixed case", L"prog.exe --System-Level", true, stable,
       false, 2},
      {"system level quoted", L"prog.exe \"--system-level\"", true, stable,
       false, 2},
      {"system level with a value", L"prog.exe --system-level=1", false,
       stable, false, 2},
      {"system level with a suffix", L"prog.exe --system-levelx", false,
       stable, false, 2},
      {"system level cut short", L"prog.exe --system-leve", false, stable,
       false, 2},
      {"system level with one hyphen", L"prog.exe -system-level", false,
       stable, false, 2},
      {"system level inside a quoted argument",
       L"prog.exe \"--system-level x\"", false, stable, false, 2},
      {"beta", L"prog.exe --brivel-beta", false, BETA_APP_GUID, false, 2},
      {"beta upper case", L"prog.exe --BRIVEL-BETA", false, BETA_APP_GUID,
       false, 2},
      {"beta mixed case", L"prog.exe --Brivel-Beta", false, BETA_APP_GUID,
       false, 2},
      {"dev", L"prog.exe --brivel-dev", false, DEV_APP_GUID, false, 2},
      {"side by side", L"prog.exe --brivel-sxs", false, SXS_APP_GUID, false,
       2},
      {"side by side upper case", L"prog.exe --BRIVEL-SXS", false,
       SXS_APP_GUID, false, 2},
      {"beta then dev", L"prog.exe --brivel-beta --brivel-dev", false,
       DEV_APP_GUID, false, 3},
      {"dev then beta", L"prog.exe --brivel-dev --brivel-beta", false,
       BETA_APP_GUID, false, 3},
      {"sxs, beta, sxs", L"prog.exe --brivel-sxs --brivel-beta --brivel-sxs",
       false, SXS_APP_GUID, false, 4},
      {"cleanup", L"prog.exe --cleanup", false, stable, true, 2},
      {"cleanup upper case", L"prog.exe --CLEANUP", false, stable, true, 2},
      {"frame mixed case", L"prog.exe --Brivel-Frame", false, stable, true,
       2},
      {"cleanup among other switches",
       L"prog.exe --system-level --brivel-beta --cleanup", true, BETA_APP_GUID,
       true, 4},
      {"cleanup first", L"prog.exe --cleanup --brivel-dev --system-level",
       true, DEV_APP_GUID, true, 4},
      {"frame after a channel", L"prog.exe --brivel-sxs --BRIVEL-FRAME",
       false, SXS_APP_GUID, true, 3},
      {"cleanup with a value", L"prog.exe --cleanup=1", false, stable, false,
       2},
      {"tab between switches", L"prog.exe\t--system-level\t--brivel-dev", true,
       DEV_APP_GUID, false, 3},
      {"other arguments ignored", L"prog.exe /S --verbose-logging x", false,
       stable, false, 4},
      {"program name equal to a switch", L"--system-level", false, stable,
       false, 1},
      {"program name equal to the cleanup switch", L"--cleanup --brivel-dev",
       false, DEV_APP_GUID, false, 2},
      {"quoted program name equal to a switch", L"\"--brivel-beta\" x", false,
       stable, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InvocationConfig config;
    ASSERT_TRUE(ParseCommandLine(config, c.command_line));
    EXPECT_EQ(c.command_line, config.command_line);
    EXPECT_NE(nullptr, config.arguments);
    EXPECT_EQ(c.argument_count, config.argument_count);
    EXPECT_EQ(c.system_level, config.system_level);
    EXPECT_STREQ(c.app_guid, config.app_guid);
    EXPECT_EQ(c.app_guid, config.app_guid) << "one of the constant GUIDs";
    EXPECT_EQ(c.unsupported, config.unsupported_switch);
    EXPECT_TRUE(config.cleanup_enabled);
    ResetInvocation(config);
  }
}

TEST_F(InvocationTest, EmptyCommandLineIsTheProgramNameAlone) {
  // CommandLineToArgvW gives one argument, the program's path, for an empty
  // string: an empty command line is not a split failure.
  ASSERT_TRUE(ParseCommandLine(config_, L""));
  EXPECT_EQ(1, config_.argument_count);
  EXPECT_FALSE(config_.system_level);
  EXPECT_EQ(STABLE_APP_GUID, config_.app_guid);
}

// ------------------------------------------------- environment variable

TEST_F(InvocationTest, MachineVariableMeansSystemLevelOnlyWhenExactlyOne) {
  struct Case {
    const char* name;
    const wchar_t* value;  // null: the variable is absent
    bool system_level;
  };
  const Case cases[] = {
      {"1", L"1", true},        {"absent", nullptr, false},
      {"empty", L"", false},    {"0", L"0", false},
      {"2", L"2", false},       {"10", L"10", false},
      {"11", L"11", false},     {"1 and a space", L"1 ", false},
      {"space and 1", L" 1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(SetEnvironmentVariableW(MACHINE_VARIABLE, c.value));
    InvocationConfig config;
    ASSERT_TRUE(ParseCommandLine(config, L"prog.exe --brivel-beta"));
    EXPECT_EQ(c.system_level, config.system_level);
    EXPECT_EQ(BETA_APP_GUID, config.app_guid);
    ResetInvocation(config);
  }
}

TEST_F(InvocationTest, MachineVariableAloneLeavesEveryOtherDefault) {
  ASSERT_TRUE(SetEnvironmentVariableW(MACHINE_VARIABLE, L"1"));
  ASSERT_TRUE(ParseCommandLine(config_, L"\"C:\\dir\\prog.exe\""));
  EXPECT_TRUE(config_.system_level);
  EXPECT_EQ(1, config_.argument_count);
  EXPECT_EQ(STABLE_APP_GUID, config_.app_guid);
  EXPECT_FALSE(config_.unsupported_switch);
  EXPECT_TRUE(config_.cleanup_enabled);
}

TEST_F(InvocationTest, SystemLevelSwitchWinsWhateverTheVariableHolds) {
  // With the switch given the variable is not consulted at all; that it is
  // not even read is shown with a counting seam in
  // invocation_config_seam_test. Here: the result is the switch's.
  for (const wchar_t* value : {L"1", L"0", L"10", static_cast<const wchar_t*>(nullptr)}) {
    SCOPED_TRACE(value ? testing_support::Narrow(value) : "absent");
    ASSERT_TRUE(SetEnvironmentVariableW(MACHINE_VARIABLE, value));
    InvocationConfig config;
    ASSERT_TRUE(ParseCommandLine(config, L"prog.exe --SYSTEM-LEVEL"));
    EXPECT_TRUE(config.system_level);
    ResetInvocation(config);
  }
}

// ------------------------------------------------------------------ reset

TEST_F(InvocationTest, ResetRestoresEveryDefaultAndIsSafeTwice) {
  ASSERT_TRUE(ParseCommandLine(
      config_, L"prog.exe --system-level --brivel-dev --cleanup"));
  config_.cleanup_enabled = false;
  ASSERT_NE(nullptr, config_.arguments);

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ResetInvocation(config_);
    ExpectDefaults(config_);
  }

  InvocationConfig never_parsed;
  ResetInvocation(never_parsed);
  EXPECT_EQ(nullptr, never_parsed.arguments);
}

// ------------------------------------------------------ ReadStringValue

// A key of the test's own under HKEY_CURRENT_USER for the direct reads.
class StringValueTest : public ::testing::Test {
 protected:
  StringValueTest()
      : key_(HKEY_CURRENT_USER,
             run_tests::ScratchKeyPath(),
             0) {}

  TestKey key_;
};

TEST_F(StringValueTest, ReadsOneCharacterAndMakesSureItIsTerminated) {
  ASSERT_TRUE(key_.ok());
  constexpr WideChar UNSET = 0xBEEF;
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    bool read;
    const wchar_t* text;  // what the buffer reads as when read
  };
  const Case cases[] = {
      {"'0' with terminator", REG_SZ, WideBytes(L"0", true), true, L"0"},
      {"'0' without terminator", REG_SZ, WideBytes(L"0", false), true, L"0"},
      {"'1' with terminator", REG_SZ, WideBytes(L"1", true), true, L"1"},
      {"only a terminator", REG_SZ, WideBytes(L"", true), true, L""},
      {"no data", REG_SZ, "", true, L""},
      {"one byte", REG_SZ, std::string("0", 1), true, L""},
      {"three bytes", REG_SZ, std::string("0\0A", 3), true, L"0"},
      {"'00' without terminator", REG_SZ, WideBytes(L"00", false), false,
       nullptr},
      {"'0 ' without terminator", REG_SZ, WideBytes(L"0 ", false), false,
       nullptr},
      {"'00' with terminator", REG_SZ, WideBytes(L"00", true), false, nullptr},
      {"five bytes", REG_SZ, std::string("0\0\0\0\0", 5), false, nullptr},
      {"expandable string", REG_EXPAND_SZ, WideBytes(L"0", true), false,
       nullptr},
      {"multi-string", REG_MULTI_SZ, WideBytes(L"0", true), false, nullptr},
      {"DWORD 0", REG_DWORD, DwordBytes(0), false, nullptr},
      {"binary '0'", REG_BINARY, WideBytes(L"0", true), false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    key_.Set(L"Value", c.type, c.data);
    ASSERT_EQ(c.data, key_.Get(L"Value").data) << "stored as given";
    WideChar buffer[3] = {UNSET, UNSET, UNSET};
    EXPECT_EQ(c.read, ReadStringValue(HKEY_CURRENT_USER, key_.path().c_str(),
                                      L"Value", buffer, 2));
    if (c.read) EXPECT_EQ(std::wstring(c.text), std::wstring(buffer));
    EXPECT_EQ(UNSET, buffer[2]) << "nothing beyond the capacity is written";
  }
}

TEST_F(StringValueTest, MissingValueOrKeyIsNotRead) {
  ASSERT_TRUE(key_.ok());
  WideChar buffer[2] = {0, 0};
  EXPECT_FALSE(ReadStringValue(HKEY_CURRENT_USER, key_.path().c_str(),
                               L"Missing", buffer, 2));
  const std::wstring missing_key = key_.path() + L"\\Missing";
  EXPECT_FALSE(ReadStringValue(HKEY_CURRENT_USER, missing_key.c_str(),
                               L"Value", buffer, 2));
}

TEST(RegistryString, TerminatesDataThatLeavesRoomAndRejectsDataThatDoesNot) {
  // The normalisation alone, also for sizes no real query returns (more data
  // than the buffer holds).
  constexpr WideChar UNSET = 0xBEEF;
  struct Case {
    const char* name;
    uint32_t capacity;
    uint32_t data_size;
    std::wstring data;  // what the query stored
    bool read;
    const wchar_t* text;
  };
  const Case cases[] = {
      {"no data", 2, 0, L"", true, L""},
      {"one byte", 2, 1, L"0", true, L""},
      {"one character", 2, 2, L"0", true, L"0"},
      {"a terminator", 2, 2, std::wstring(1, L'\0'), true, L""},
      {"three bytes", 2, 3, L"0", true, L"0"},
      {"two characters, last a terminator", 2, 4, std::wstring(L"0\0", 2), true,
       L"0"},
      {"two characters filling capacity 2", 2, 4, L"00", false, nullptr},
      {"more than the buffer holds", 2, 6, L"00", false, nullptr},
      {"259 characters in capacity 260", 260, 518, std::wstring(259, L'x'),
       true, nullptr},
      {"260 characters in capacity 260", 260, 520, std::wstring(260, L'x'),
       false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring buffer(c.capacity + 1, UNSET);
    buffer.replace(0, c.data.size(), c.data);
    EXPECT_EQ(c.read, TerminateRegistryString(&buffer[0], c.capacity,
                                              c.data_size));
    if (c.read) {
      EXPECT_EQ(c.text ? std::wstring(c.text) : c.data,
                std::wstring(buffer.c_str()));
    }
    EXPECT_EQ(UNSET, buffer[c.capacity]) << "the guard is not written";
  }
}

// ---------------------------------------- the cleanup setting, end to end

// The real "BrivelInstallerCleanup" under HKCU\Software\Morvex: whatever was
// there before the test is put back afterwards. Only one test writes it, so
// that two tests running at once cannot save and restore each other's values.
class CleanupSettingTest : public InvocationTest {
 protected:
  void SetUp() override {
    InvocationTest::SetUp();
    key_ = std::make_unique<TestKey>(HKEY_CURRENT_USER, CLEANUP_KEY, 0);
    ASSERT_TRUE(key_->ok());
    saved_ = key_->Get(CLEANUP_VALUE);
  }
  void TearDown() override {
    if (saved_.present) {
      key_->Set(CLEANUP_VALUE, saved_.type, saved_.data);
    } else {
      RegDeleteValueW(key_->handle(), CLEANUP_VALUE);
    }
    key_.reset();
    InvocationTest::TearDown();
  }

  std::unique_ptr<TestKey> key_;
  RegistryValue saved_;
};

TEST_F(CleanupSettingTest, OnlyAStringHoldingTheSingleCharacterZeroTurnsRemovalOff) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    bool cleanup_enabled;
  };
  const Case cases[] = {
      {"REG_SZ '0' with terminator", REG_SZ, WideBytes(L"0", true), false},
      {"REG_SZ '0' without terminator", REG_SZ, WideBytes(L"0", false), false},
      {"REG_SZ '00'", REG_SZ, WideBytes(L"00", true), true},
      {"REG_SZ '0 '", REG_SZ, WideBytes(L"0 ", true), true},
      {"REG_SZ empty", REG_SZ, WideBytes(L"", true), true},
      {"REG_SZ '1'", REG_SZ, WideBytes(L"1", true), true},
      {"REG_EXPAND_SZ '0'", REG_EXPAND_SZ, WideBytes(L"0", true), true},
      {"REG_MULTI_SZ '0'", REG_MULTI_SZ,
       WideBytes(L"0", true) + WideBytes(L"", true), true},
      {"REG_DWORD 0", REG_DWORD, DwordBytes(0), true},
      {"REG_BINARY '0'", REG_BINARY, WideBytes(L"0", true), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    key_->Set(CLEANUP_VALUE, c.type, c.data);
    ASSERT_TRUE(ParseInvocation(config_));
    EXPECT_EQ(c.cleanup_enabled, config_.cleanup_enabled);
  }

  SCOPED_TRACE("value missing");
  RegDeleteValueW(key_->handle(), CLEANUP_VALUE);
  ASSERT_TRUE(ParseInvocation(config_));
  EXPECT_TRUE(config_.cleanup_enabled);
}

TEST_F(InvocationTest, MissingCleanupKeyLeavesRemovalOn) {
  // HKCU\Software\Morvex is shared with other test programs (and with the
  // updater's keys), so it is not removed here: for this test the process's
  // HKEY_CURRENT_USER is mapped onto an empty key of the test's own, under
  // which the product's open of Software\Morvex really fails.
  TestKey empty_root(HKEY_CURRENT_USER,
                     run_tests::ScratchKeyPath(),
                     0);
  ASSERT_TRUE(empty_root.ok());
  ASSERT_EQ(ERROR_SUCCESS,
            RegOverridePredefKey(HKEY_CURRENT_USER, empty_root.handle()));
  const bool key_seen = run_tests::KeyExists(HKEY_CURRENT_USER, CLEANUP_KEY, 0);
  const bool parsed = ParseInvocation(config_);
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);

  ASSERT_FALSE(key_seen);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(config_.cleanup_enabled);
}

TEST_F(InvocationTest, ParseStartsFromDefaultsAndReadsTheProcessCommandLine) {
  ASSERT_TRUE(ParseCommandLine(
      config_, L"prog.exe --brivel-dev --cleanup --system-level"));

  // This test program is started without any of the switches.
  ASSERT_TRUE(ParseInvocation(config_));
  EXPECT_EQ(GetCommandLineW(), config_.command_line);
  EXPECT_NE(nullptr, config_.arguments);
  EXPECT_GE(config_.argument_count, 1);
  EXPECT_EQ(STABLE_APP_GUID, config_.app_guid);
  EXPECT_FALSE(config_.system_level);
  EXPECT_FALSE(config_.unsupported_switch);

  SCOPED_TRACE("with the machine variable");
  ASSERT_TRUE(SetEnvironmentVariableW(MACHINE_VARIABLE, L"1"));
  ASSERT_TRUE(ParseInvocation(config_));
  EXPECT_TRUE(config_.system_level);
}

}  // namespace
