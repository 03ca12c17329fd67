#include "workarea/work_dir.h"

#include <sddl.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "sleep_seam.h"
#include "support/test_support.h"
#include "work_dir_seams.h"

namespace {

using testing_support::DirectoryExists;
using testing_support::ListDirectory;
using testing_support::MakeDirectoryOfLength;
using testing_support::Narrow;
using work_dir_seams::Seams;

using Bytes = std::array<uint8_t, 4>;

const wchar_t FIXED_SDDL[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";

// The process token's default owner, read the way an administrator would.
std::wstring ReadOwnerSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::vector<uint8_t> block(512);
  DWORD size = 0;
  std::wstring text;
  LPWSTR sid = nullptr;
  if (GetTokenInformation(token, TokenOwner, block.data(),
                          static_cast<DWORD>(block.size()), &size) &&
      ConvertSidToStringSidW(
          reinterpret_cast<TOKEN_OWNER*>(block.data())->Owner, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring copy = text;
  LocalFree(text);
  return copy;
}

// One access-allowed entry of the list, spelled out: type, inheritance
// flags, access mask and SID.
std::string DescribeAce(BYTE type, BYTE flags, ACCESS_MASK mask,
                        const std::wstring& sid) {
  char text[64];
  snprintf(text, sizeof(text), "type %u flags 0x%02X mask 0x%08lX ",
           unsigned{type}, unsigned{flags}, static_cast<unsigned long>(mask));
  return text + Narrow(sid);
}

// The discretionary list of a self-relative descriptor, entry by entry, read
// from the descriptor's own structure rather than from its text form.
std::vector<std::string> DescribeDacl(std::vector<uint8_t>& descriptor) {
  std::vector<std::string> entries;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl,
                                 &defaulted) ||
      !present || !dacl) {
    return entries;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* raw = nullptr;
    if (!GetAce(dacl, index, &raw)) break;
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    entries.push_back(DescribeAce(ace->Header.AceType, ace->Header.AceFlags,
                                  ace->Mask, SidText(&ace->SidStart)));
  }
  return entries;
}

class WorkDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner_sid_ = ReadOwnerSid();  // before the seams are cleared
    work_dir_seams::Reset();
    sleep_seam::Reset();
    parent_ = temp_.path() + L"\\";
    ASSERT_FALSE(owner_sid_.empty());
  }

  testing_support::TempDir temp_;
  std::wstring parent_;
  std::wstring owner_sid_;
};

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

TEST_F(WorkDirTest, VolumeWithoutPersistentAclsGetsDefaultSecurity) {
  Seams().clear_persistent_acls = true;
  PathBuffer path;
  EXPECT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
  EXPECT_TRUE(DirectoryExists(path.text));
  EXPECT_EQ(1, Seams().volume_information_calls);
  ASSERT_EQ(1u, Seams().attributes.size());
  EXPECT_FALSE(Seams().attributes[0].present);
  // No owner is needed when there is no list to put it in.
  EXPECT_EQ(0, Seams().open_token_calls);
}

// A volume that cannot be determined is no failure either: the directory
// is made with default security and the error of the volume query is not
// reported. Neither query fails for a real local folder under Wine.
TEST_F(WorkDirTest, UndeterminableVolumeGetsDefaultSecurity) {
  using work_dir_seams::State;
  struct Case {
    const char* name;
    void (*arm)(State&);
    int volume_information_calls;
  };
  const Case cases[] = {
      {"volume root unknown",
       [](State& s) { s.fail_volume_path = ERROR_INVALID_NAME; }, 0},
      {"volume flags unavailable",
       [](State& s) { s.fail_volume_information = ERROR_NOT_READY; }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    c.arm(Seams());
    PathBuffer path;
    EXPECT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
    EXPECT_TRUE(DirectoryExists(path.text));
    EXPECT_EQ(c.volume_information_calls, Seams().volume_information_calls);
    ASSERT_EQ(1u, Seams().attributes.size());
    EXPECT_FALSE(Seams().attributes[0].present);
    EXPECT_EQ(0, Seams().open_token_calls);
    RemoveDirectoryW(path.text);
  }
}

// Wine does not keep a directory's access list (reading it back gives one
// made from the Unix mode), so what is checked is the descriptor handed to
// CreateDirectoryW.
TEST_F(WorkDirTest, DirectoryGetsTheProtectedListWithTheTokenOwnerLast) {
  PathBuffer path;
  ASSERT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
  ASSERT_EQ(1u, Seams().attributes.size());
  work_dir_seams::CapturedAttributes& captured = Seams().attributes[0];
  ASSERT_TRUE(captured.present);
  EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), captured.length);
  EXPECT_FALSE(captured.inherit_handle);
  ASSERT_FALSE(captured.descriptor.empty());

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(captured.descriptor.data(),
                                           &control, &revision));
  EXPECT_EQ(SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
            control & (SE_DACL_PRESENT | SE_DACL_PROTECTED |
                       SE_DACL_AUTO_INHERITED));

  constexpr BYTE INSIDE = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE |
                          INHERIT_ONLY_ACE;
  constexpr BYTE ALLOW = ACCESS_ALLOWED_ACE_TYPE;
  const std::vector<std::string> expected = {
      DescribeAce(ALLOW, 0, FILE_ALL_ACCESS, L"S-1-5-32-544"),
      DescribeAce(ALLOW, INSIDE, GENERIC_ALL, L"S-1-5-32-544"),
      DescribeAce(ALLOW, 0, FILE_ALL_ACCESS, L"S-1-5-18"),
      DescribeAce(ALLOW, INSIDE, GENERIC_ALL, L"S-1-5-18"),
      DescribeAce(ALLOW, INSIDE, GENERIC_ALL, L"S-1-3-0"),
      DescribeAce(ALLOW, 0, FILE_ALL_ACCESS, owner_sid_),
  };
  EXPECT_EQ(expected, DescribeDacl(captured.descriptor));

  // The same list as text. The platform writes the three inheritance flags
  // of an entry in its own order ("OICIIO", Wine as Windows) where the
  // composed text has "OIIOCI"; the flags are the same, so the order is
  // brought into line before comparing.
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      captured.descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
      &text, nullptr));
  std::wstring rendered = text;
  LocalFree(text);
  for (size_t at; (at = rendered.find(L"OICIIO")) != std::wstring::npos;) {
    rendered.replace(at, 6, L"OIIOCI");
  }
  EXPECT_EQ(Narrow(FIXED_SDDL + owner_sid_ + L")"), Narrow(rendered));
}

TEST_F(WorkDirTest, ReleasesTheTokenAndEveryPlatformAllocation) {
  PathBuffer path;
  ASSERT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
  // The token information block, the SID string and the descriptor.
  EXPECT_EQ(3, Seams().local_blocks_handed_out);
  EXPECT_TRUE(Seams().live_local_blocks.empty());
  EXPECT_TRUE(Seams().token_closed);
}

TEST_F(WorkDirTest, UnavailableOwnerEndsWithItsErrorAndNothingCreated) {
  using work_dir_seams::State;
  struct Case {
    const char* name;
    void (*arm)(State&);
    DWORD error;  // 0: any error
  };
  const Case cases[] = {
      {"token cannot be opened",
       [](State& s) { s.fail_open_token = ERROR_ACCESS_DENIED; },
       ERROR_ACCESS_DENIED},
      {"owner size unknown",
       [](State& s) { s.fail_owner_size_probe = ERROR_NO_TOKEN; },
       ERROR_NO_TOKEN},
      {"owner cannot be read",
       [](State& s) { s.fail_owner_query = ERROR_BAD_LENGTH; },
       ERROR_BAD_LENGTH},
      {"no memory for the owner",
       [](State& s) { s.fail_local_alloc = ERROR_NOT_ENOUGH_MEMORY; },
       ERROR_NOT_ENOUGH_MEMORY},
      {"owner SID has no text",
       [](State& s) { s.fail_sid_conversion = ERROR_INVALID_SID; },
       ERROR_INVALID_SID},
      {"descriptor text rejected",
       [](State& s) { s.fail_descriptor_conversion = ERROR_INVALID_PARAMETER; },
       ERROR_INVALID_PARAMETER},
      {"owner SID text beyond the descriptor's capacity",
       [](State& s) { s.sid_text_length = 207; }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    c.arm(Seams());
    // The releases after the failure must not hide its error.
    Seams().clean_up_error = ERROR_INVALID_FUNCTION;
    PathBuffer path;
    const RunOutcome outcome = CreateWorkDir(parent_.c_str(), path);
    EXPECT_EQ(RC_WORK_DIR_ACL_FAILED, outcome.exit_code) << outcome;
    if (c.error) EXPECT_EQ(c.error, outcome.os_error);
    EXPECT_NE(0u, outcome.os_error);
    EXPECT_TRUE(Seams().created_paths.empty());
    EXPECT_TRUE(ListDirectory(temp_.path()).empty());
    EXPECT_TRUE(Seams().live_local_blocks.empty());
    if (Seams().token) EXPECT_TRUE(Seams().token_closed);
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

TEST(ComposeWorkDirSddl, OwnerSidLimit) {
  const std::wstring fixed = FIXED_SDDL;
  struct Case {
    size_t sid_length;
    bool fits;
  };
  const Case cases[] = {{12, true}, {206, true}, {207, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("SID of " + std::to_string(c.sid_length));
    const std::wstring sid = L"S-1-5-" + std::wstring(c.sid_length - 6, L'7');
    SddlBuffer sddl;
    BoundedCopy(sddl.text, SDDL_CAPACITY, L"stale");
    EXPECT_EQ(c.fits, ComposeWorkDirSddl(sid.c_str(), sddl));
    EXPECT_EQ(Narrow(c.fits ? fixed + sid + L")" : L""), Narrow(sddl.text));
  }
}

}  // namespace
