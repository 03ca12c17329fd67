// The work directory's security: the volume's access lists, the protected
// list with the token's default owner, and what happens when it cannot be
// built.
#include "workarea/work_dir.h"

#include <cstdio>
#include <string>
#include <vector>

#include "work_dir_test_support.h"

namespace {

using testing_support::DirectoryExists;
using testing_support::ListDirectory;
using testing_support::Narrow;
using work_dir_seams::Seams;
using work_dir_testing::WorkDirTest;

const wchar_t FIXED_SDDL[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";

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

// Where the volume keeps no access lists (FAT32, exFAT), where it is a
// share (whose server maps or refuses the client's SIDs, and owns what is
// made there), and where it cannot be asked, the directory is made with
// default security and no owner is needed; the error of the volume query
// is not reported. Wine's volumes keep lists and are local, so the seams
// give the other answers.
TEST_F(WorkDirTest, VolumeWithoutALocalListGetsDefaultSecurity) {
  using work_dir_seams::State;
  const struct {
    const char* name;
    void (*arm)(State&);
  } cases[] = {
      {"no access lists", [](State& s) { s.clear_persistent_acls = true; }},
      {"a share", [](State& s) { s.remote_volume = true; }},
      {"volume flags unavailable",
       [](State& s) { s.fail_volume_information = ERROR_NOT_READY; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    work_dir_seams::Reset();
    c.arm(Seams());
    PathBuffer path;
    EXPECT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
    EXPECT_TRUE(DirectoryExists(path.text));
    EXPECT_EQ(1, Seams().volume_information_calls);
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

// Windows keeps the list as given: read back from the directory itself, it
// is the one handed to CreateDirectoryW, still protected.
TEST_F(WorkDirTest, DirectoryKeepsTheListItWasGiven) {
  if (testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Windows only: Wine stores no access list (reading one "
                    "back gives one made from the Unix mode)";
  }
  PathBuffer path;
  ASSERT_EQ((RunOutcome{RC_OK, 0}), CreateWorkDir(parent_.c_str(), path));
  ASSERT_EQ(1u, Seams().attributes.size());
  if (!Seams().attributes[0].present) {
    GTEST_SKIP() << "the temporary folder's volume keeps no access lists";
  }
  DWORD size = 0;
  GetFileSecurityW(path.text, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<uint8_t> stored(size);
  ASSERT_TRUE(size > 0 && GetFileSecurityW(path.text, DACL_SECURITY_INFORMATION,
                                           stored.data(), size, &size));
  EXPECT_EQ(DescribeDacl(Seams().attributes[0].descriptor),
            DescribeDacl(stored));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(stored.data(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
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
