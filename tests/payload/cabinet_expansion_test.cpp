// Expansion of a cabinet's member: its bytes, date and attributes, and what
// is left when the cabinet is broken or the destination cannot be written.
#include "payload/cabinet_expansion.h"

#include <string>
#include <vector>

#include "cabinet_test_support.h"

namespace {

using namespace cabinet_testing;
using payload_seams::Seams;
using testing_support::FileExists;
using testing_support::ListDirectory;
using testing_support::Narrow;

TEST_F(CabinetExpansionTest, GcabRecordedTheDateAndAttributesTheTestsExpect) {
  for (const CabinetCase& c : ONE_MEMBER_CABINETS) {
    SCOPED_TRACE(c.name);
    const std::string bytes = ReadFileBytes(PayloadPath(c.cabinet));
    const size_t record = FirstMemberRecord(bytes);
    EXPECT_EQ(MEMBER_DOS_DATE, Read16(bytes, record + DATE_IN_RECORD));
    EXPECT_EQ(MEMBER_DOS_TIME, Read16(bytes, record + TIME_IN_RECORD));
    EXPECT_EQ(GCAB_ATTRIBUTES, Read16(bytes, record + ATTRIBUTES_IN_RECORD));
  }
}

// The member is called member.dat; its bytes go to the destination, a new
// file. One already there was put there by someone else: it is neither
// replaced nor removed.
TEST_F(CabinetExpansionTest, MemberOfAnyNameGoesToANewDestination) {
  for (const CabinetCase& c : ONE_MEMBER_CABINETS) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(ExpandCabinet(PayloadPath(c.cabinet).c_str(),
                              destination_.c_str()));

    EXPECT_EQ(std::vector<std::wstring>{L"setup.exe"},
              ListDirectory(out_.path()));
    EXPECT_TRUE(ReadFileBytes(destination_) == member_);
    SetFileAttributesW(destination_.c_str(), FILE_ATTRIBUTE_NORMAL);

    WriteFileBytes(destination_, "someone else's setup");
    EXPECT_FALSE(ExpandCabinet(PayloadPath(c.cabinet).c_str(),
                               destination_.c_str()));
    EXPECT_EQ("someone else's setup", ReadFileBytes(destination_));
    DeleteFileW(destination_.c_str());
  }
}

// The DOS date and time are local time, turned into UTC for the creation
// time; the other times are left to the writing. Wine keeps no creation
// time it is given (Linux file systems have no settable birth time), so
// there the record the installer handed to SetFileInformationByHandle is
// what shows it; on Windows the file itself is checked as well.
TEST_F(CabinetExpansionTest, MemberDateBecomesCreationTimeInUtc) {
  const FILETIME expected =
      ExpectedCreationTime(MEMBER_DOS_DATE, MEMBER_DOS_TIME);
  for (const CabinetCase& c : ONE_MEMBER_CABINETS) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    DeleteFileW(destination_.c_str());

    ASSERT_TRUE(ExpandCabinet(PayloadPath(c.cabinet).c_str(),
                              destination_.c_str()));

    ASSERT_EQ(1, Seams().basic_info_calls);
    const FILE_BASIC_INFO& basic = Seams().last_basic_info;
    EXPECT_EQ(AsInteger(expected), basic.CreationTime.QuadPart);
    EXPECT_EQ(0, basic.LastAccessTime.QuadPart);
    EXPECT_EQ(0, basic.LastWriteTime.QuadPart);
    EXPECT_EQ(0, basic.ChangeTime.QuadPart);

    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(destination_.c_str(),
                                     GetFileExInfoStandard, &data));
    // Last written now, not at the member's date.
    EXPECT_GT(AsInteger(data.ftLastWriteTime), AsInteger(expected));
    if (!RunningUnderWine()) {
      EXPECT_EQ(AsInteger(expected), AsInteger(data.ftCreationTime));
    }
  }
}

TEST_F(CabinetExpansionTest, AttributesAreMaskedToReadOnlyHiddenSystemArchive) {
  struct Case {
    const char* name;
    const wchar_t* cabinet;
    bool edit;
    uint16_t member_attributes;
    DWORD expected;
  };
  const Case cases[] = {
      {"archive, as gcab records it", L"member_stored.cab", false, 0x20, 0x20},
      {"read-only alone", L"member_stored.cab", true, 0x01, 0x01},
      {"read-only and archive", L"member_mszip.cab", true, 0x21, 0x21},
      {"hidden", L"member_stored.cab", true, 0x22, 0x22},
      {"system", L"member_stored.cab", true, 0x24, 0x24},
      {"all four", L"member_mszip.cab", true, 0x27, 0x27},
      {"executable bit dropped", L"member_stored.cab", true, 0x61, 0x21},
      {"UTF-8-name bit, set by gcab for r\xC3\xA9glage.bin, dropped",
       L"utf8_name.cab", false, 0xA0, 0x20},
      {"every low bit", L"member_stored.cab", true, 0xFF, 0x27},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    std::wstring cabinet = PayloadPath(c.cabinet);
    if (c.edit) {
      cabinet = EditedCabinet(c.cabinet, L"edited.cab", c.member_attributes,
                              MEMBER_DOS_DATE);
    } else {
      const std::string bytes = ReadFileBytes(cabinet);
      ASSERT_EQ(c.member_attributes,
                Read16(bytes, FirstMemberRecord(bytes) + ATTRIBUTES_IN_RECORD));
    }

    EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));

    EXPECT_EQ(c.expected, Seams().last_basic_info.FileAttributes);
    // Wine reports every regular file as archived, whatever was set.
    const DWORD on_disk =
        c.expected | (RunningUnderWine() ? FILE_ATTRIBUTE_ARCHIVE : 0);
    EXPECT_EQ(on_disk, GetFileAttributesW(destination_.c_str()));
    SetFileAttributesW(destination_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(destination_.c_str());
  }
}

TEST_F(CabinetExpansionTest, UnconvertibleMemberDateLeavesTimesAlone) {
  // Month 13.
  const uint16_t bad_date = ((2021 - 1980) << 9) | (13 << 5) | 4;
  FILETIME ignored;
  ASSERT_FALSE(DosDateTimeToFileTime(bad_date, MEMBER_DOS_TIME, &ignored));
  const std::wstring cabinet =
      EditedCabinet(L"member_mszip.cab", L"bad-date.cab", 0x21, bad_date);

  EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));

  ASSERT_EQ(1, Seams().basic_info_calls);
  const FILE_BASIC_INFO& basic = Seams().last_basic_info;
  EXPECT_EQ(0, basic.CreationTime.QuadPart);
  EXPECT_EQ(0, basic.LastAccessTime.QuadPart);
  EXPECT_EQ(0, basic.LastWriteTime.QuadPart);
  EXPECT_EQ(0, basic.ChangeTime.QuadPart);
  EXPECT_EQ(0x21u, basic.FileAttributes);
  EXPECT_EQ(0x21u, GetFileAttributesW(destination_.c_str()));
  EXPECT_TRUE(ReadFileBytes(destination_) == member_);
}

// A cabinet the library rejects before it announces the member leaves no
// destination at all. One that breaks inside the member's data (cut short,
// or with data that fails its decoding) must be reported false too, and
// the destination, created by then, deleted. Wine's library sends the
// close-file notification for the member even on its error path (FDICopy
// then returns FALSE with FDIERROR_CORRUPT_CABINET); the expansion still
// fails because fewer bytes than the member's announced size were written.
TEST_F(CabinetExpansionTest, BrokenCabinetFailsAndLeavesNoFile) {
  const std::string mszip = ReadFileBytes(PayloadPath(L"member_mszip.cab"));
  const std::string stored = ReadFileBytes(PayloadPath(L"member_stored.cab"));
  const size_t record = FirstMemberRecord(mszip);
  auto corrupted = [](std::string bytes) {
    const size_t data = Read32(bytes, DATA_OFFSET_FIELD) + DATA_HEADER_SIZE;
    for (size_t i = data; i < data + 64 && i < bytes.size(); ++i) {
      bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    }
    return bytes;
  };
  struct Case {
    const char* name;
    std::string bytes;
    bool breaks_inside_data;
  };
  const Case cases[] = {
      {"not a cabinet", ReadFileBytes(PayloadPath(L"not_a_cabinet.bin")),
       false},
      {"empty file", "", false},
      {"cut inside the header", mszip.substr(0, 20), false},
      {"cut inside the member's record", mszip.substr(0, record + 8), false},
      {"MSZIP cabinet cut in half", mszip.substr(0, mszip.size() / 2), true},
      {"stored cabinet cut one byte short",
       stored.substr(0, stored.size() - 1), true},
      {"MSZIP data corrupted", corrupted(mszip), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring cabinet = in_.Join(L"broken.cab");
    WriteFileBytes(cabinet, c.bytes);
    payload_seams::Reset();

    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));

    EXPECT_FALSE(FileExists(destination_));
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
    if (!c.breaks_inside_data) EXPECT_EQ(0, Seams().basic_info_calls);
  }
}

// Windows' library checks the checksum of stored data, so a stored member
// whose bytes were altered in place (same size) fails as above; Wine's
// library does not check it.
TEST_F(CabinetExpansionTest, StoredDataThatFailsItsChecksumFails) {
  if (RunningUnderWine()) {
    GTEST_SKIP() << "Windows only: Wine's cabinet library does not check "
                    "the checksums of stored data";
  }
  const std::wstring cabinet = in_.Join(L"broken.cab");
  WriteFileBytes(cabinet, WithLastDataBlockGarbled(
                              ReadFileBytes(PayloadPath(L"member_stored.cab"))));
  EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
}

// The copy-file notification cannot give the library a handle: it returns
// -1, which aborts the copy. A destination that was created is marked for
// deletion and goes when it is closed.
TEST_F(CabinetExpansionTest, DestinationThatCannotBeWrittenFails) {
  const std::wstring cabinet = PayloadPath(L"member_mszip.cab");
  {
    SCOPED_TRACE("the destination is a directory: nothing is created");
    ASSERT_TRUE(CreateDirectoryW(destination_.c_str(), nullptr));
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    EXPECT_TRUE(testing_support::DirectoryExists(destination_));
    EXPECT_EQ(0, Seams().disposition_calls);
    RemoveDirectoryW(destination_.c_str());
  }
  {
    SCOPED_TRACE("the new file's handle cannot be duplicated");
    payload_seams::Reset();
    Seams().fail_duplicate = true;
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    Seams().fail_duplicate = false;
    EXPECT_EQ(1, Seams().disposition_calls);
    EXPECT_EQ(0, Seams().basic_info_calls);
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
  }
}

// Setup is the cabinet's first member. The handler asks the library to stop
// after it (-1 from the close-file notification); Wine's library takes that
// as "go on" and announces the second member too, which the handler skips,
// so that neither a second member nor its failure can take the first one's
// place. The second member's data lie in the cabinet's last data block.
TEST_F(CabinetExpansionTest, TwoMemberCabinetLeavesTheFirstMember) {
  const std::string cabinet = ReadFileBytes(PayloadPath(L"two_members.cab"));
  ASSERT_GE(Read16(cabinet, DATA_OFFSET_FIELD + 4), 2);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"both members whole", cabinet},
      {"the second member's data garbled", WithLastDataBlockGarbled(cabinet)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = in_.Join(L"two.cab");
    WriteFileBytes(path, c.bytes);

    EXPECT_TRUE(ExpandCabinet(path.c_str(), destination_.c_str()));

    EXPECT_EQ(std::vector<std::wstring>{L"setup.exe"},
              ListDirectory(out_.path()));
    const std::string written = ReadFileBytes(destination_);
    EXPECT_TRUE(written == member_) << "holds " << written.size() << " bytes";
    DeleteFileW(destination_.c_str());
  }
}

// The cabinet's path reaches the library as UTF-8 and comes back to the
// open callback, which must turn it into the same UTF-16 path.
TEST_F(CabinetExpansionTest, CabinetPathOutsideAsciiIsOpened) {
  const std::wstring folder = in_.Join(L"\u00E9t\u00E9 \u65E5\u672C");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring cabinet = folder + L"\\r\u00E9glage \u65E5\u672C.cab";
  ASSERT_TRUE(CopyFileW(PayloadPath(L"member_mszip.cab").c_str(),
                        cabinet.c_str(), TRUE));

  EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));

  EXPECT_TRUE(ReadFileBytes(destination_) == member_);
}

}  // namespace
