// The work directory's name: its digits, its length limits, the attempts
// and the generator it is drawn from.
#include "workarea/work_dir.h"

#include <array>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "work_dir_test_support.h"

namespace {

using testing_support::DirectoryExists;
using testing_support::ListDirectory;
using testing_support::MakeDirectoryOfLength;
using testing_support::Narrow;
using work_dir_seams::Seams;
using work_dir_testing::WorkDirTest;

using Bytes = std::array<uint8_t, 4>;

TEST_F(WorkDirTest, NameCarriesTheFirstFiveDigitsOfTheRandomBytes) {
  struct Case {
    const char* name;
    Bytes bytes;
    const wchar_t* digits;
  };
  const Case cases[] = {
      {"digits in delivery order", {0x3F, 0x0A, 0x9C, 0x11}, L"3F0A9"},
      {"upper case letters", {0xAB, 0xCD, 0xEF, 0x01}, L"ABCDE"},
      {"upper digit of byte 2 only", {0x01, 0x23, 0x45, 0x67}, L"01234"},
      {"all zero", {0x00, 0x00, 0x00, 0x00}, L"00000"},
      {"all ones", {0xFF, 0xFF, 0xFF, 0xFF}, L"FFFFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    Seams().random_bytes.push_back(c.bytes);
    PathBuffer path;
    EXPECT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
    const std::wstring expected = parent_ + L"BV_" + c.digits + L".tmp\\";
    EXPECT_EQ(Narrow(expected), Narrow(path.text));
    EXPECT_TRUE(DirectoryExists(expected));
    EXPECT_EQ(1, Seams().random_calls);
  }
}

TEST_F(WorkDirTest, RealGeneratorGivesTheSameShape) {
  PathBuffer path;
  ASSERT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
  const std::wstring text = path.text;
  ASSERT_EQ(parent_.size() + 13, text.size()) << Narrow(text);
  EXPECT_EQ(parent_ + L"BV_", text.substr(0, parent_.size() + 3));
  for (wchar_t digit : text.substr(parent_.size() + 3, 5)) {
    EXPECT_TRUE((digit >= L'0' && digit <= L'9') ||
                (digit >= L'A' && digit <= L'F'))
        << Narrow(text);
  }
  EXPECT_EQ(L".tmp\\", text.substr(text.size() - 5));
  EXPECT_TRUE(DirectoryExists(text));
  EXPECT_EQ(std::vector<std::wstring>{text.substr(parent_.size(), 12)},
            ListDirectory(temp_.path()));
}

// The parent may be at most 235 characters: the directory's own path is
// then 247 characters, the longest Windows' CreateDirectoryW creates, and
// 248 with its final backslash. The rule is applied through the seam (Wine
// creates longer ones): every parent either gets its directory under it or
// ends with RC_PATH_TOO_LONG before any platform call, never after ten
// refused attempts.
TEST_F(WorkDirTest, ParentLengthLimit) {
  struct Case {
    size_t parent_length;
    bool parent_exists;
    RunOutcome outcome;
  };
  const Case cases[] = {
      {235, true, {RC_OK, 0}},
      {236, true, {RC_PATH_TOO_LONG, 0}},
      {246, true, {RC_PATH_TOO_LONG, 0}},
      {247, true, {RC_PATH_TOO_LONG, 0}},
      {257, false, {RC_PATH_TOO_LONG, 0}},  // "BV_" itself does not fit
      {260, false, {RC_PATH_TOO_LONG, 0}},  // the parent itself does not fit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("parent of " + std::to_string(c.parent_length));
    std::wstring parent;
    if (c.parent_exists) {
      parent =
          MakeDirectoryOfLength(temp_.path(), c.parent_length - 1) + L"\\";
    } else {
      parent = parent_ + std::wstring(c.parent_length - parent_.size() - 1,
                                      L'x') + L"\\";
    }
    ASSERT_EQ(c.parent_length, parent.size());
    work_dir_seams::Reset();
    Seams().windows_directory_path_limit = true;
    PathBuffer path;
    EXPECT_EQ(c.outcome, CreateWorkDir(parent.c_str(), path));
    if (c.outcome.exit_code == RC_OK) {
      EXPECT_EQ(248u, BoundedLength(path.text, PATH_CAPACITY));
      EXPECT_TRUE(DirectoryExists(path.text));
    } else {
      EXPECT_EQ(0, Seams().platform_calls);
      if (c.parent_exists) EXPECT_TRUE(ListDirectory(parent).empty());
    }
  }
}

// The rule the seam applies above is Windows' own: CreateDirectoryW makes
// a directory of 247 characters and refuses one of 248 with
// ERROR_FILENAME_EXCED_RANGE. Wine makes both, so only Windows can show
// that the seam answers as it does.
TEST_F(WorkDirTest, SeamsDirectoryLimitIsWindowsOwn) {
  if (testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Windows only: Wine creates directories longer than 247 "
                    "characters";
  }
  const std::wstring parent = MakeDirectoryOfLength(temp_.path(), 235);
  ASSERT_EQ(235u, parent.size());
  for (const size_t length : {247, 248}) {
    for (const bool seam : {false, true}) {
      SCOPED_TRACE(std::to_string(length) + (seam ? " through the seam" : ""));
      work_dir_seams::Reset();
      Seams().windows_directory_path_limit = seam;
      const std::wstring path =
          parent + L"\\" + std::wstring(length - 236, seam ? L's' : L'w');
      const BOOL made = CreateDirectoryW(path.c_str(), nullptr);
      const DWORD error = made ? 0 : GetLastError();
      EXPECT_EQ(length <= 247, made != FALSE);
      EXPECT_EQ(made ? 0u : DWORD{ERROR_FILENAME_EXCED_RANGE}, error);
      if (made) RemoveDirectoryW(path.c_str());
    }
  }
}

TEST_F(WorkDirTest, TakenNameIsFollowedByANewOne) {
  ASSERT_TRUE(CreateDirectoryW((parent_ + L"BV_11223.tmp").c_str(), nullptr));
  work_dir_seams::Reset();
  Seams().random_bytes = {{0x11, 0x22, 0x33, 0x44}, {0x55, 0x66, 0x77, 0x88}};
  PathBuffer path;
  EXPECT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
  EXPECT_EQ(Narrow(parent_ + L"BV_55667.tmp\\"), Narrow(path.text));
  EXPECT_EQ((std::vector<std::wstring>{parent_ + L"BV_11223.tmp",
                                       parent_ + L"BV_55667.tmp"}),
            Seams().created_paths);
  EXPECT_EQ((std::vector<std::wstring>{L"BV_11223.tmp", L"BV_55667.tmp"}),
            ListDirectory(temp_.path()));
  EXPECT_EQ(0, sleep_seam::Calls());
}

TEST_F(WorkDirTest, TenFailedAttemptsEndAtOnceWithoutWaiting) {
  // Ten names for the generator to deliver, all taken before the call.
  std::deque<Bytes> queued;
  std::vector<std::wstring> taken;
  for (int n = 0; n < WORK_DIR_NAME_ATTEMPTS; ++n) {
    queued.push_back({static_cast<uint8_t>(0xA0 + n), 0x12, 0x30, 0x00});
    wchar_t name[16];
    swprintf(name, 16, L"BV_%02X123.tmp", 0xA0 + n);
    taken.push_back(name);
    ASSERT_TRUE(CreateDirectoryW((parent_ + name).c_str(), nullptr));
  }
  // A parent that is a file: no name can be created under it.
  const std::wstring file = temp_.Join(L"plain-file");
  testing_support::WriteFileBytes(file, "x");
  std::vector<std::wstring> present = taken;
  present.push_back(L"plain-file");

  struct Case {
    const char* name;
    std::wstring parent;
    bool queued_names;
  };
  const Case cases[] = {
      {"every name taken", parent_, true},
      {"parent is a file", file + L"\\", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    if (c.queued_names) Seams().random_bytes = queued;
    PathBuffer path;
    EXPECT_EQ((RunOutcome{RC_WORK_DIR_FAILED, 0}),
              CreateWorkDir(c.parent.c_str(), path));
    EXPECT_EQ(WORK_DIR_NAME_ATTEMPTS,
              static_cast<int>(Seams().created_paths.size()));
    EXPECT_EQ(WORK_DIR_NAME_ATTEMPTS, Seams().random_calls);
    EXPECT_EQ(0, sleep_seam::Calls());
    if (c.queued_names) {
      std::vector<std::wstring> expected;
      for (const std::wstring& name : taken) expected.push_back(parent_ + name);
      EXPECT_EQ(expected, Seams().created_paths);
    }
    EXPECT_EQ(present, ListDirectory(temp_.path()));
  }
}

// A name drawn without the system's generator would be one anybody could
// foresee and make first: when the generator cannot be had (ADVAPI32 or its
// SystemFunction036, looked up at run time) or fails, nothing is created and
// the outcome carries the reason.
TEST_F(WorkDirTest, GeneratorThatCannotBeHadCreatesNothing) {
  using work_dir_seams::State;
  const struct {
    const char* name;
    void (*arm)(State&);
    RunOutcome outcome;
  } cases[] = {
      {"ADVAPI32 cannot be loaded",
       [](State& s) { s.fail_generator_load = ERROR_MOD_NOT_FOUND; },
       {RC_WORK_DIR_FAILED, ERROR_MOD_NOT_FOUND}},
      {"no generator in it", [](State& s) { s.generator_missing = true; },
       {RC_WORK_DIR_FAILED, ERROR_PROC_NOT_FOUND}},
      {"the generator fails", [](State& s) { s.generator_fails = true; },
       {RC_WORK_DIR_FAILED, ERROR_GEN_FAILURE}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    c.arm(Seams());
    PathBuffer path;
    EXPECT_EQ(c.outcome, CreateWorkDir(parent_.c_str(), path));
    EXPECT_TRUE(Seams().created_paths.empty());
    EXPECT_TRUE(ListDirectory(temp_.path()).empty());
    EXPECT_TRUE(Seams().live_local_blocks.empty());
  }
}

// What stands at the name right after the creation must be the plain
// directory this process made; anything else ends the stage with 109 and
// the reason, no handle stays open, and the directory goes again when it
// is empty. Owners are compared only on a local volume that keeps lists.
// Wine keeps no owners and makes no links, so the seams stand in for them.
TEST_F(WorkDirTest, HoldThatCannotBeTakenEndsWith109) {
  using work_dir_seams::State;
  const struct {
    const char* name;
    void (*arm)(State&);
    RunOutcome outcome;
  } cases[] = {
      {"a junction stands there",
       [](State& s) {
         s.held_attributes =
             FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
       },
       {RC_WORK_DIR_FAILED, ERROR_DIRECTORY}},
      {"someone else owns it", [](State& s) { s.foreign_owner = true; },
       {RC_WORK_DIR_FAILED, ERROR_INVALID_OWNER}},
      {"its owner cannot be read",
       [](State& s) { s.fail_owner_read = ERROR_ACCESS_DENIED; },
       {RC_WORK_DIR_FAILED, ERROR_ACCESS_DENIED}},
      {"no owner is looked at where the volume keeps none",
       [](State& s) {
         s.foreign_owner = true;
         s.clear_persistent_acls = true;
       },
       {RC_OK, 0}},
      {"nor on a share, whose server owns what is made there",
       [](State& s) {
         s.foreign_owner = true;
         s.remote_volume = true;
       },
       {RC_OK, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    c.arm(Seams());
    PathBuffer path;
    WorkDirHold hold;
    EXPECT_EQ(c.outcome, CreateWorkDir(parent_.c_str(), path, &hold));
    EXPECT_EQ(c.outcome.exit_code == RC_OK,
              hold.handle != INVALID_HANDLE_VALUE);
    ReleaseWorkDir(hold);
    ASSERT_EQ(1u, Seams().created_paths.size());
    const std::wstring created = Seams().created_paths[0];
    // Gone again when the hold failed; otherwise there, and nothing holds
    // it any more.
    EXPECT_EQ(c.outcome.exit_code == RC_OK,
              RemoveDirectoryW(created.c_str()) != FALSE);
    EXPECT_TRUE(Seams().live_local_blocks.empty());
  }
}

}  // namespace
