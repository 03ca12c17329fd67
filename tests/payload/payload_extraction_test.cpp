#include "payload/payload_extraction.h"

#include <string>
#include <vector>

#include "cabinet_stand_in.h"
#include "payload_seams.h"
#include "workarea/removal.h"
#include "payload_test_support.h"
#include "support/test_support.h"

namespace {

using payload_testing::FixturePath;
using payload_testing::InstallerImage;
using payload_testing::PayloadPath;
using payload_testing::ResourceBytes;
using testing_support::DirectoryExists;
using testing_support::FileExists;
using testing_support::ListDirectory;
using testing_support::MakeDirectoryOfLength;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

// What one call of ExtractPayload left in its outputs.
struct Extraction {
  RunOutcome outcome = {};
  std::wstring setup_path;
  std::wstring archive_name;
  std::wstring archive_type;
  int32_t largest_attempt_count = 0;
};

Extraction Extract(HMODULE module, const std::wstring& work_dir,
                   int32_t largest_attempt_count = 0) {
  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  // Left-overs of an earlier use: the stage empties its outputs on entry.
  BoundedCopy(setup_path.text, PATH_CAPACITY, L"stale setup path");
  BoundedCopy(archive_name.text, PATH_CAPACITY, L"stale archive name");
  BoundedCopy(archive_type.text, RESOURCE_TYPE_CAPACITY, L"XX");
  Extraction result;
  result.largest_attempt_count = largest_attempt_count;
  result.outcome =
      ExtractPayload(module, work_dir.c_str(), setup_path, archive_name,
                     archive_type, result.largest_attempt_count);
  result.setup_path = setup_path.text;
  result.archive_name = archive_name.text;
  result.archive_type = archive_type.text;
  return result;
}

// A name of exactly length characters: prefix, then X. The fixture
// installers are built with the same names (tests/payload/CMakeLists.txt).
std::wstring LongName(const std::wstring& prefix, size_t length) {
  return prefix + std::wstring(length - prefix.size(), L'X');
}

std::vector<std::wstring> Names(std::initializer_list<std::wstring> names) {
  return std::vector<std::wstring>(names);
}

class PayloadExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    payload_seams::Reset();
    setup_bytes_ = ReadFileBytes(PayloadPath(L"setup.bin"));
    archive_bytes_ = ReadFileBytes(PayloadPath(L"archive.bin"));
    ASSERT_FALSE(setup_bytes_.empty());
    ASSERT_FALSE(archive_bytes_.empty());
  }
  void TearDown() override { payload_seams::Reset(); }

  std::string setup_bytes_;
  std::string archive_bytes_;
};

// One fixture installer per row, each a layout the search must classify.
// setup_file is what setup_path names inside the work directory (empty: the
// stage leaves setup_path empty); written says whether a file with setup's
// bytes is there afterwards, alone in the work directory; expanded whether a
// compressed file was removed, which raises the largest attempt count.
struct LayoutCase {
  const char* name;
  const wchar_t* fixture;
  RunOutcome outcome;
  std::wstring archive_name;
  std::wstring archive_type;
  std::wstring setup_file;
  bool written;
  bool expanded;
};

TEST_F(PayloadExtractionTest, EachLayoutGivesItsOutcomeAndOutputs) {
  const LayoutCase cases[] = {
      // Setups that reach the disk.
      {"archive and setup in BN, the layout in use", L"layout_bn.exe",
       {RC_OK, 0}, L"BRIVEL.7Z", L"BN", L"setup.exe", true, false},
      {"setup compressed by tools/package into BL as SETUP.EX_",
       L"layout_bl.exe", {RC_OK, 0}, L"BRIVEL.7Z", L"BN", L"setup.exe", true,
       true},
      {"stored cabinet in BL named SETUP.CAB, member named tool.bin",
       L"layout_bl_stored.exe", {RC_OK, 0}, L"BRIVEL.7Z", L"BN", L"setup.exe",
       true, true},
      {"setup in B7 (packaged as Setup-x), written under its own name",
       L"layout_b7.exe", {RC_OK, 0}, L"BRIVEL.7Z", L"BN", L"SETUP-X", true,
       false},
      {"setup in B7 with a name outside ASCII after the prefix",
       L"layout_b7_non_ascii.exe", {RC_OK, 0}, L"BRIVEL.7Z", L"BN",
       L"SETUP\u00C9.EXE", true, false},
      {"the prefixes alone (packaged as brivel and setup)",
       L"prefixes_alone.exe", {RC_OK, 0}, L"BRIVEL", L"BN", L"setup.exe", true,
       false},
      {"archive name of 259 characters", L"archive_name_259.exe", {RC_OK, 0},
       LongName(L"BRIVEL", 259), L"BN", L"setup.exe", true, false},
      {"setup name of 259 characters in BN, written as setup.exe",
       L"setup_name_259.exe", {RC_OK, 0}, L"BRIVEL.7Z", L"B7", L"setup.exe",
       true, false},
      {"integer identifiers in B7 and after the payload in BN",
       L"integer_ids.exe", {RC_OK, 0}, L"BRIVEL.7Z", L"BN", L"setup.exe", true,
       false},

      // Nothing found.
      {"no payload types at all", L"no_payload.exe",
       {RC_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"", L"", L"", false,
       false},
      {"setup without an archive", L"setup_only.exe",
       {RC_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"", L"", L"", false,
       false},
      {"archive without a setup", L"archive_only.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_FILE_NOT_FOUND}, L"BRIVEL.7Z", L"BN",
       L"", false, false},
      // A zero-byte resource ends the walk of BN silently: it sorts before
      // SETUP.EXE, which is then never seen, and is not taken for setup.
      {"zero-byte SETUP.0 before SETUP.EXE in BN", L"zero_byte.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_FILE_NOT_FOUND}, L"BRIVEL.7Z", L"B7",
       L"", false, false},

      // Second archive or setup: 112 until the archive's type is recorded.
      {"second archive in the archive's own type",
       L"two_archives_same_type.exe", {RC_ARCHIVE_NOT_FOUND, ERROR_TOO_MANY_NAMES},
       L"BRIVEL.7Z", L"", L"", false, false},
      {"second archive in a later type", L"two_archives_later_type.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_TOO_MANY_NAMES}, L"BRIVEL.FIRST", L"B7",
       L"", false, false},
      {"second setup in the same type, archive in B7",
       L"two_setups_same_type.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_TOO_MANY_NAMES}, L"BRIVEL.7Z", L"B7", L"",
       false, false},
      {"second setup in BN after one in BL, archive in B7",
       L"two_setups_archive_b7.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_TOO_MANY_NAMES}, L"BRIVEL.7Z", L"B7", L"",
       false, false},
      {"second setup in BN after one in BL, archive in BN itself",
       L"two_setups_archive_bn.exe",
       {RC_ARCHIVE_NOT_FOUND, ERROR_TOO_MANY_NAMES}, L"BRIVEL.7Z", L"", L"",
       false, false},

      // Names of 260 characters.
      {"archive name of 260 characters", L"archive_name_260.exe",
       {RC_ARCHIVE_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE}, L"", L"", L"", false,
       false},
      {"setup name of 260 characters, archive in B7", L"setup_name_260.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_FILENAME_EXCED_RANGE}, L"BRIVEL.7Z",
       L"B7", L"", false, false},

      // Names that are neither.
      {"stray name in B7, archive in BN", L"stray_in_b7.exe",
       {RC_ARCHIVE_NOT_FOUND, ERROR_INVALID_DATA}, L"", L"", L"", false, false},
      {"stray name before setup in BN, archive in B7", L"stray_in_bn.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_INVALID_DATA}, L"BRIVEL.7Z", L"B7", L"",
       false, false},
      {"stray name after the archive in the archive's own type",
       L"stray_after_archive.exe", {RC_ARCHIVE_NOT_FOUND, ERROR_INVALID_DATA},
       L"BRIVEL.7Z", L"", L"", false, false},
      {"SETU.EXE, four letters of the prefix", L"short_of_prefix.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_INVALID_DATA}, L"BRIVEL.7Z", L"B7", L"",
       false, false},
      {"XSETUP.EXE, something before the prefix", L"before_prefix.exe",
       {RC_SETUP_NOT_EXTRACTED, ERROR_INVALID_DATA}, L"BRIVEL.7Z", L"B7", L"",
       false, false},
      // U+0130 (capital I with dot above) lower-cases to "i" under the
      // platform's own case mapping; only A-Z are folded, so BR\u0130VEL.7Z
      // is no archive.
      {"BR\u0130VEL.7Z, a letter outside ASCII in the prefix",
       L"non_ascii_prefix.exe", {RC_ARCHIVE_NOT_FOUND, ERROR_INVALID_DATA}, L"",
       L"", L"", false, false},

      // A cabinet the library cannot expand: the compressed file is removed
      // and setup_path names the expanded file, which is not there.
      {"corrupt cabinet in BL", L"corrupt_cabinet.exe",
       {RC_SETUP_NOT_EXTRACTED, 0}, L"BRIVEL.7Z", L"BN", L"setup.exe", false,
       true},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    InstallerImage image(FixturePath(c.fixture));
    ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
    TempDir temp;
    const std::wstring work_dir = temp.path() + L"\\";

    const Extraction result = Extract(image.module(), work_dir);

    EXPECT_EQ(c.outcome, result.outcome);
    EXPECT_EQ(Narrow(c.archive_name), Narrow(result.archive_name));
    EXPECT_EQ(Narrow(c.archive_type), Narrow(result.archive_type));
    EXPECT_EQ(Narrow(c.setup_file.empty() ? L"" : work_dir + c.setup_file),
              Narrow(result.setup_path));
    if (c.written) {
      EXPECT_EQ(Names({c.setup_file}), ListDirectory(temp.path()));
      EXPECT_TRUE(ReadFileBytes(result.setup_path) == setup_bytes_)
          << "setup's bytes differ from the packaged file";
    } else {
      EXPECT_EQ(Names({}), ListDirectory(temp.path()));
    }
    if (c.expanded) {
      EXPECT_GE(result.largest_attempt_count, 1);
    } else {
      EXPECT_EQ(0, result.largest_attempt_count);
    }
    // What setup reads: the archive, found by the recorded name and type in
    // the installer itself.
    if (!c.archive_type.empty()) {
      bool found = false;
      const std::string archive =
          ResourceBytes(image.module(), result.archive_name.c_str(),
                        result.archive_type.c_str(), &found);
      EXPECT_TRUE(found);
      EXPECT_TRUE(archive == archive_bytes_)
          << "the archive setup would read differs from the packaged file";
    }
  }
}

// The work directory's path plus setup's file name must fit 259 characters;
// for a compressed setup so must the path of the expanded "setup.exe".
TEST_F(PayloadExtractionTest, SetupPathsMustFitPathCapacity) {
  struct Case {
    const char* name;
    const wchar_t* fixture;
    size_t work_dir_length;
    RunOutcome outcome;
    const wchar_t* setup_file;  // what setup_path names in the work directory
    const wchar_t* left_file;   // the one file left there, or nullptr
    const wchar_t* left_bytes;  // payload file holding its bytes
  };
  const Case cases[] = {
      {"BN: work directory + setup.exe is 259 characters", L"layout_bn.exe",
       250, {RC_OK, 0}, L"setup.exe", L"setup.exe", L"setup.bin"},
      {"BN: one character more", L"layout_bn.exe", 251,
       {RC_PATH_TOO_LONG, 0}, L"", nullptr, nullptr},
      {"BL as SETUP.C: both paths fit", L"layout_bl_short.exe", 250,
       {RC_OK, 0}, L"setup.exe", L"setup.exe", L"setup.bin"},
      {"BL as SETUP.C: SETUP.C fits, setup.exe does not",
       L"layout_bl_short.exe", 251, {RC_PATH_TOO_LONG, 0}, L"SETUP.C",
       L"SETUP.C", L"tool_stored.cab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallerImage image(FixturePath(c.fixture));
    ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
    TempDir temp;
    const std::wstring work_dir_only =
        MakeDirectoryOfLength(temp.path(), c.work_dir_length - 1);
    const std::wstring work_dir = work_dir_only + L"\\";
    ASSERT_EQ(c.work_dir_length, work_dir.size());
    ASSERT_TRUE(DirectoryExists(work_dir));

    const Extraction result = Extract(image.module(), work_dir);

    EXPECT_EQ(c.outcome, result.outcome);
    EXPECT_EQ(Narrow(work_dir + c.setup_file), Narrow(result.setup_path));
    EXPECT_EQ(L"BRIVEL.7Z", result.archive_name);
    EXPECT_EQ(L"BN", result.archive_type);
    if (c.left_file == nullptr) {
      EXPECT_EQ(Names({}), ListDirectory(work_dir_only));
    } else {
      EXPECT_EQ(Names({c.left_file}), ListDirectory(work_dir_only));
      EXPECT_TRUE(ReadFileBytes(work_dir + c.left_file) ==
                  ReadFileBytes(PayloadPath(c.left_bytes)));
    }
  }
}

TEST_F(PayloadExtractionTest, FailedSetupWriteLeavesNoFile) {
  InstallerImage image(FixturePath(L"layout_bn.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  {
    SCOPED_TRACE("setup's first write fails with a full disk");
    TempDir temp;
    payload_seams::Seams().fail_write_number =
        payload_seams::Seams().write_calls + 1;
    payload_seams::Seams().fail_write_error = ERROR_DISK_FULL;
    const Extraction result = Extract(image.module(), temp.path() + L"\\");
    EXPECT_EQ((RunOutcome{RC_PAYLOAD_WRITE_FAILED, ERROR_DISK_FULL}),
              result.outcome);
    EXPECT_EQ(Narrow(temp.Join(L"setup.exe")), Narrow(result.setup_path));
    EXPECT_EQ(L"BRIVEL.7Z", result.archive_name);
    EXPECT_EQ(L"BN", result.archive_type);
    EXPECT_EQ(Names({}), ListDirectory(temp.path()));
  }
  {
    SCOPED_TRACE("a directory stands where setup.exe goes");
    payload_seams::Reset();
    TempDir temp;
    ASSERT_TRUE(CreateDirectoryW(temp.Join(L"setup.exe").c_str(), nullptr));
    const Extraction result = Extract(image.module(), temp.path() + L"\\");
    EXPECT_EQ((RunOutcome{RC_PAYLOAD_WRITE_FAILED, ERROR_FILE_EXISTS}),
              result.outcome);
    EXPECT_EQ(Narrow(temp.Join(L"setup.exe")), Narrow(result.setup_path));
    EXPECT_TRUE(DirectoryExists(temp.Join(L"setup.exe")));
    EXPECT_FALSE(FileExists(temp.Join(L"setup.exe")));
  }
  payload_seams::Reset();
}

TEST_F(PayloadExtractionTest, RemovalOfCompressedSetupOnlyRaisesLargestCount) {
  InstallerImage image(FixturePath(L"layout_bl.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  for (const int32_t before : {-5, 0, 1000}) {
    SCOPED_TRACE("largest attempt count before: " + std::to_string(before));
    TempDir temp;
    const Extraction result =
        Extract(image.module(), temp.path() + L"\\", before);
    EXPECT_EQ((RunOutcome{RC_OK, 0}), result.outcome);
    if (before < 1) {
      EXPECT_GE(result.largest_attempt_count, 1);
    } else {
      EXPECT_EQ(before, result.largest_attempt_count);
    }
  }
}

// A cabinet library that fails inside the member and never hands back the
// handle it was given: extraction ends with {115, 0}, and each removal that
// follows, the cabinet's, setup's path and the work directory, is done at
// its first attempt, so the work directory goes without a wait.
TEST_F(PayloadExtractionTest, LibraryKeepingItsHandleLeavesNothingToWaitFor) {
  InstallerImage image(FixturePath(L"layout_bl.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  TempDir temp;
  const std::wstring work_dir = temp.Join(L"BV_00000.tmp");
  ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
  cabinet_stand_in::StandInLibrary stand_in(
      cabinet_stand_in::Behaviour::FAILS_KEEPING);

  const Extraction result = Extract(image.module(), work_dir + L"\\");

  EXPECT_EQ((RunOutcome{RC_SETUP_NOT_EXTRACTED, 0}), result.outcome);
  EXPECT_EQ(1, stand_in.observed().copies);
  EXPECT_EQ(1, result.largest_attempt_count);
  EXPECT_EQ(Narrow(work_dir + L"\\setup.exe"), Narrow(result.setup_path));
  for (const std::wstring& path : {result.setup_path, work_dir}) {
    SCOPED_TRACE(Narrow(path));
    int32_t attempts = 0;
    EXPECT_TRUE(RemoveWithRetries(path.c_str(), attempts));
    EXPECT_EQ(1, attempts);
  }
  EXPECT_FALSE(DirectoryExists(work_dir));
}

}  // namespace
