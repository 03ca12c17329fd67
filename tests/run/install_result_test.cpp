// The record in the updater's client-state key, on real keys in the 32-bit
// registry view. Each test creates the keys it needs, named with a GUID of
// its own where the product lets it choose one, and removes them afterwards.
//
// Under Wine, as under Windows, HKEY_CURRENT_USER\Software is shared between
// the views, while HKEY_LOCAL_MACHINE\Software of the 32-bit view lives under
// Software\Wow6432Node; the view is therefore shown under HKEY_LOCAL_MACHINE,
// which is writable because Wine runs every process elevated.
#include "run/install_result.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "registry_keys.h"
#include "support/test_support.h"

namespace {

using run_tests::ClientStatePath;
using run_tests::DwordBytes;
using run_tests::KeyExists;
using run_tests::RegistryValue;
using run_tests::TestKey;
using run_tests::UniqueTestGuid;
using run_tests::WideBytes;

constexpr REGSAM VIEW_32 = KEY_WOW64_32KEY;
constexpr REGSAM VIEW_64 = KEY_WOW64_64KEY;
constexpr REGSAM RECORD_ACCESS = KEY_QUERY_VALUE | KEY_SET_VALUE;

const wchar_t RESULT[] = L"InstallerResult";
const wchar_t ERROR_VALUE[] = L"InstallerError";
const wchar_t EXTRA[] = L"InstallerExtraCode1";

// A REG_DWORD value as a test expects to find it.
void ExpectDword(const TestKey& key, const wchar_t* name, uint32_t expected) {
  SCOPED_TRACE(testing_support::Narrow(name));
  const RegistryValue value = key.Get(name);
  ASSERT_TRUE(value.present);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value.type);
  EXPECT_EQ(DwordBytes(expected), value.data);
}

// A configuration whose record goes to a client-state key of the test's own.
class InstallResultTest : public ::testing::Test {
 protected:
  InstallResultTest() : guid_(UniqueTestGuid()) { config_.app_guid = guid_.c_str(); }

  std::wstring guid_;
  InvocationConfig config_;
};

// ----------------------------------------------------- OpenClientStateKey

TEST_F(InstallResultTest, OpensTheKeyNamedByPrefixAndGuidInThe32BitView) {
  EXPECT_EQ(73u, ClientStatePath(STABLE_APP_GUID).size());
  TestKey key(HKEY_LOCAL_MACHINE, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(key.ok());
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ClientStatePath(guid_), VIEW_64))
      << "the test needs a key present in the 32-bit view only";
  key.SetDword(L"Marker", 42);

  RegistryKey holder;
  ASSERT_EQ(0u, OpenClientStateKey(HKEY_LOCAL_MACHINE, guid_.c_str(),
                                   RECORD_ACCESS, holder));
  ASSERT_NE(nullptr, holder.handle);
  uint32_t marker = 0;
  EXPECT_EQ(0u, ReadDwordValue(holder, L"Marker", marker));
  EXPECT_EQ(42u, marker);
  CloseKey(holder);
  EXPECT_EQ(nullptr, holder.handle);
  CloseKey(holder);  // safe on an empty holder
}

TEST_F(InstallResultTest, KeyIsOpenedWithTheCallersAccessOnly) {
  TestKey key(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(key.ok());
  RegistryKey holder;
  ASSERT_EQ(0u, OpenClientStateKey(HKEY_CURRENT_USER, guid_.c_str(),
                                   KEY_QUERY_VALUE, holder));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_ACCESS_DENIED),
            WriteDwordValue(holder, RESULT, 1));
  ASSERT_EQ(0u, OpenClientStateKey(HKEY_CURRENT_USER, guid_.c_str(),
                                   RECORD_ACCESS, holder));
  EXPECT_EQ(0u, WriteDwordValue(holder, RESULT, 1));
  ExpectDword(key, RESULT, 1);
}

TEST_F(InstallResultTest, MissingKeyIsReportedByTheOpenAndNotCreated) {
  RegistryKey holder;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND),
            OpenClientStateKey(HKEY_CURRENT_USER, guid_.c_str(), RECORD_ACCESS,
                               holder));
  EXPECT_EQ(nullptr, holder.handle);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32));
}

TEST_F(InstallResultTest, KeyPathMustFitThePathCapacity) {
  // The prefix is 35 characters: a GUID of 224 makes a path of 259, the
  // most that fits with its terminator; one of 225 does not fit.
  const std::wstring fits = L"{" + std::wstring(222, L'F') + L"}";
  const std::wstring too_long = L"{" + std::wstring(223, L'F') + L"}";
  ASSERT_EQ(259u, ClientStatePath(fits).size());
  ASSERT_EQ(260u, ClientStatePath(too_long).size());

  TestKey longest(HKEY_CURRENT_USER, ClientStatePath(fits), VIEW_32);
  ASSERT_TRUE(longest.ok());
  TestKey own(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(own.ok());
  own.SetDword(L"Marker", 7);

  RegistryKey holder;
  ASSERT_EQ(0u, OpenClientStateKey(HKEY_CURRENT_USER, fits.c_str(),
                                   RECORD_ACCESS, holder));
  ASSERT_EQ(0u, OpenClientStateKey(HKEY_CURRENT_USER, guid_.c_str(),
                                   RECORD_ACCESS, holder));
  const HKEY held = holder.handle;

  EXPECT_EQ(RC_STATE_KEY_TOO_LONG,
            OpenClientStateKey(HKEY_CURRENT_USER, too_long.c_str(),
                               RECORD_ACCESS, holder));
  EXPECT_EQ(held, holder.handle) << "the holder is left as it was";
  uint32_t marker = 0;
  EXPECT_EQ(0u, ReadDwordValue(holder, L"Marker", marker));
  EXPECT_EQ(7u, marker);
}

// --------------------------------------------------------- ReadDwordValue

TEST_F(InstallResultTest, ReadsOnlyAFourByteDword) {
  TestKey key(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(key.ok());
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    uint32_t status;
  };
  const Case cases[] = {
      {"DWORD", REG_DWORD, DwordBytes(0x12345678), 0},
      {"DWORD 0", REG_DWORD, DwordBytes(0), 0},
      {"DWORD of 2 bytes", REG_DWORD, std::string("\1\0", 2), ERROR_NO_DATA},
      {"DWORD of no bytes", REG_DWORD, "", ERROR_NO_DATA},
      {"DWORD of 5 bytes", REG_DWORD, std::string("\1\0\0\0\0", 5),
       ERROR_MORE_DATA},
      {"string that fits", REG_SZ, WideBytes(L"1", true), ERROR_NOT_SUPPORTED},
      {"longer string", REG_SZ, WideBytes(L"123", true), ERROR_MORE_DATA},
      {"binary of 4 bytes", REG_BINARY, DwordBytes(1), ERROR_NOT_SUPPORTED},
      {"binary of 8 bytes", REG_BINARY, std::string(8, '\1'), ERROR_MORE_DATA},
      {"big-endian DWORD", REG_DWORD_BIG_ENDIAN, DwordBytes(1),
       ERROR_NOT_SUPPORTED},
      {"QWORD", REG_QWORD, std::string(8, '\0'), ERROR_MORE_DATA},
  };
  RegistryKey holder;
  ASSERT_EQ(0u, OpenClientStateKey(HKEY_CURRENT_USER, guid_.c_str(),
                                   RECORD_ACCESS, holder));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    key.Set(L"Value", c.type, c.data);
    ASSERT_EQ(c.data, key.Get(L"Value").data) << "stored as given";
    uint32_t value = 0xEEEEEEEE;
    EXPECT_EQ(c.status, ReadDwordValue(holder, L"Value", value));
    if (c.status == 0) EXPECT_EQ(DwordBytes(value), c.data);
  }
  uint32_t value = 0;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND),
            ReadDwordValue(holder, L"Missing", value));
}

// --------------------------------------------------- ReportInstallFailure

TEST_F(InstallResultTest, FailureIsRecordedUnlessANonZeroResultIsThere) {
  struct Case {
    const char* name;
    DWORD result_type;      // REG_NONE: no "InstallerResult" before
    std::string result_data;
    RunOutcome outcome;
    bool recorded;
  };
  const Case cases[] = {
      {"no result before", REG_NONE, "", {116, 5}, true},
      {"result 0 before", REG_DWORD, DwordBytes(0), {116, 5}, true},
      {"setup's own exit code", REG_DWORD, DwordBytes(0), {7, 0}, true},
      {"no archive", REG_NONE, "", {112, 2}, true},
      {"all bits", REG_NONE, "", {0xFFFFFFFF, 0xFFFFFFFF}, true},
      {"result as a string", REG_SZ, WideBytes(L"3", true), {105, 0}, true},
      {"result as a DWORD of 2 bytes", REG_DWORD, std::string("\3\0", 2),
       {108, 0}, true},
      {"result as 8 bytes of binary", REG_BINARY, std::string(8, '\3'),
       {109, 0}, true},
      {"result 1 before", REG_DWORD, DwordBytes(1), {116, 5}, false},
      {"result 3 before", REG_DWORD, DwordBytes(3), {7, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestKey key(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
    ASSERT_TRUE(key.ok());
    key.SetDword(ERROR_VALUE, 1111);
    key.Set(EXTRA, REG_SZ, WideBytes(L"old", true));
    if (c.result_type != REG_NONE) key.Set(RESULT, c.result_type, c.result_data);

    ReportInstallFailure(config_, c.outcome);

    if (c.recorded) {
      ExpectDword(key, RESULT, 1);
      ExpectDword(key, ERROR_VALUE, c.outcome.exit_code);
      ExpectDword(key, EXTRA, c.outcome.os_error);
    } else {
      EXPECT_EQ(c.result_data, key.Get(RESULT).data);
      ExpectDword(key, ERROR_VALUE, 1111);
      EXPECT_EQ(WideBytes(L"old", true), key.Get(EXTRA).data);
    }
    EXPECT_EQ(3u, key.ValueCount());
  }
}

TEST_F(InstallResultTest, SuccessfulOutcomeRecordsNothing) {
  TestKey key(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(key.ok());
  ReportInstallFailure(config_, RunOutcome{0, 5});
  EXPECT_EQ(0u, key.ValueCount());
}

TEST_F(InstallResultTest, NothingIsRecordedOrCreatedWithoutTheKey) {
  // The parent exists, the application's own key does not.
  TestKey parent(HKEY_CURRENT_USER, L"Software\\Morvex\\Update\\ClientState",
                 VIEW_32);
  ASSERT_TRUE(parent.ok());
  ReportInstallFailure(config_, RunOutcome{116, 5});
  ReportInstallSuccess(config_, 3);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_64));
}

// A key path that does not fit is never opened, even when a key of that
// name exists: neither record writes anything. No channel's GUID comes near
// this (the path is 73 characters), so a run never meets it.
TEST_F(InstallResultTest, KeyPathThatDoesNotFitRecordsNothing) {
  const std::wstring too_long = L"{" + std::wstring(223, L'E') + L"}";
  TestKey key(HKEY_CURRENT_USER, ClientStatePath(too_long), VIEW_32);
  ASSERT_TRUE(key.ok());
  config_.app_guid = too_long.c_str();
  ReportInstallFailure(config_, RunOutcome{116, 5});
  ReportInstallSuccess(config_, 3);
  EXPECT_EQ(0u, key.ValueCount());
}

TEST_F(InstallResultTest, RecordGoesToTheRootOfTheInstallLevel) {
  TestKey machine(HKEY_LOCAL_MACHINE, ClientStatePath(guid_), VIEW_32);
  TestKey user(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(machine.ok());
  ASSERT_TRUE(user.ok());

  config_.system_level = true;
  ReportInstallFailure(config_, RunOutcome{116, 32});
  ExpectDword(machine, ERROR_VALUE, 116);
  EXPECT_EQ(0u, user.ValueCount());

  config_.system_level = false;
  ReportInstallFailure(config_, RunOutcome{124, 193});
  ExpectDword(user, ERROR_VALUE, 124);
  ExpectDword(machine, ERROR_VALUE, 116);
}

TEST_F(InstallResultTest, RecordUsesOnlyThe32BitView) {
  // The key exists in the 64-bit view only: nothing is written there, and
  // nothing appears in the 32-bit view.
  const std::wstring path = ClientStatePath(guid_);
  {
    TestKey native(HKEY_LOCAL_MACHINE, path, VIEW_64);
    ASSERT_TRUE(native.ok());
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path, VIEW_32));
    config_.system_level = true;
    ReportInstallFailure(config_, RunOutcome{116, 5});
    ReportInstallSuccess(config_, 1);
    EXPECT_EQ(0u, native.ValueCount());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path, VIEW_32));
  }
  // The key exists in the 32-bit view only: the values land there, and the
  // 64-bit view gains nothing. Wine, like Windows, keeps that view's key
  // under Wow6432Node.
  TestKey redirected(HKEY_LOCAL_MACHINE, path, VIEW_32);
  ASSERT_TRUE(redirected.ok());
  ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE,
                        L"Software\\Wow6432Node\\Morvex\\Update\\ClientState\\" +
                            guid_,
                        VIEW_64));
  ReportInstallFailure(config_, RunOutcome{116, 5});
  ExpectDword(redirected, RESULT, 1);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path, VIEW_64));
}

TEST(ChannelRecord, EachChannelRecordsInItsOwnKey) {
  // These are the real channels' keys. The per-user ones are used by the
  // installers that other tests run, so this test works with the
  // machine-wide keys, and stays away when any of them exists already.
  const WideChar* const guids[] = {STABLE_APP_GUID, BETA_APP_GUID,
                                   DEV_APP_GUID, SXS_APP_GUID};
  for (const WideChar* guid : guids) {
    if (KeyExists(HKEY_LOCAL_MACHINE, ClientStatePath(guid), VIEW_32)) {
      GTEST_SKIP() << "a machine-wide client-state key of a real channel "
                      "exists";
    }
  }
  TestKey stable(HKEY_LOCAL_MACHINE, ClientStatePath(STABLE_APP_GUID), VIEW_32);
  TestKey beta(HKEY_LOCAL_MACHINE, ClientStatePath(BETA_APP_GUID), VIEW_32);
  TestKey dev(HKEY_LOCAL_MACHINE, ClientStatePath(DEV_APP_GUID), VIEW_32);
  TestKey sxs(HKEY_LOCAL_MACHINE, ClientStatePath(SXS_APP_GUID), VIEW_32);
  const TestKey* keys[] = {&stable, &beta, &dev, &sxs};
  const struct {
    const wchar_t* command_line;
    uint32_t exit_code;
  } runs[] = {{L"prog.exe --system-level", 201},
              {L"prog.exe --system-level --brivel-beta", 202},
              {L"prog.exe --brivel-dev --system-level", 203},
              {L"prog.exe --brivel-sxs --system-level", 204}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(testing_support::Narrow(runs[i].command_line));
    ASSERT_TRUE(keys[i]->ok());
    InvocationConfig config;
    ASSERT_TRUE(ParseCommandLine(config, runs[i].command_line));
    ReportInstallFailure(config, RunOutcome{runs[i].exit_code, 0});
    ResetInvocation(config);
  }
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ExpectDword(*keys[i], ERROR_VALUE, runs[i].exit_code);
    EXPECT_EQ(3u, keys[i]->ValueCount());
  }
}

// ---------------------------------------------------------- success record

TEST_F(InstallResultTest, SuccessRecordsOnlyTheLargestAttemptCount) {
  struct Case {
    int32_t largest_attempt_count;
    uint32_t expected;
  };
  const Case cases[] = {{-1, 0x30000}, {0, 0x30000},  {1, 0x30000},
                        {2, 0x30001},  {3, 0x30002},  {100, 0x30063}};
  TestKey key(HKEY_CURRENT_USER, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(key.ok());
  key.SetDword(RESULT, 5);
  key.SetDword(ERROR_VALUE, 9);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.largest_attempt_count);
    EXPECT_EQ(c.expected, SuccessExtraCode(c.largest_attempt_count));
    ReportInstallSuccess(config_, c.largest_attempt_count);
    ExpectDword(key, EXTRA, c.expected);
    ExpectDword(key, RESULT, 5);
    ExpectDword(key, ERROR_VALUE, 9);
    EXPECT_EQ(3u, key.ValueCount());
  }
}

TEST_F(InstallResultTest, SuccessReplacesAnExtraCodeOfAnotherType) {
  TestKey key(HKEY_LOCAL_MACHINE, ClientStatePath(guid_), VIEW_32);
  ASSERT_TRUE(key.ok());
  key.Set(EXTRA, REG_SZ, WideBytes(L"old", true));
  config_.system_level = true;
  ReportInstallSuccess(config_, 2);
  ExpectDword(key, EXTRA, 0x30001);
  EXPECT_EQ(1u, key.ValueCount());
}

}  // namespace
