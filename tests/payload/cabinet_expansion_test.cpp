#include "payload/cabinet_expansion.h"

#include <cstring>
#include <string>
#include <vector>

#include "payload_seams.h"
#include "payload_test_support.h"
#include "support/test_support.h"

// The cabinets are made by gcab at build time (tests/payload/CMakeLists.txt)
// from members written by make_payloads.py. What gcab lets a cabinet say:
// - the member's DOS date and time: the file's modification time, written
//   as UTC fields whatever the build's time zone;
// - the attributes: always _A_ARCH (0x20), plus _A_NAME_IS_UTF (0x80) when
//   the member's name is outside ASCII. A read-only member file (chmod a-w)
//   is recorded as 0x20 all the same; hidden and system cannot be said.
// So the tests that need other attribute bits, or a date that does not
// convert, edit the member's record (CFFILE) of a gcab cabinet; the library
// checks no sum over that record.
//
// Under Wine, the library is Wine's own cabinet.dll. It drives the same
// callbacks and notifications, with two differences from Windows's: when the
// member's data cannot be read or decoded it still sends the close-file
// notification before FDICopy fails (see BrokenCabinetFailsAndLeavesNoFile),
// and it takes no notice of a write callback that fails, so a failed write
// of the member cannot be shown there.

namespace {

using payload_seams::Seams;
using payload_testing::PayloadPath;
using testing_support::FileExists;
using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

// make_payloads.py stamps member.dat with 2021-03-04 05:06:08.
constexpr WORD MEMBER_DOS_DATE = ((2021 - 1980) << 9) | (3 << 5) | 4;
constexpr WORD MEMBER_DOS_TIME = (5 << 11) | (6 << 5) | (8 / 2);
constexpr USHORT GCAB_ATTRIBUTES = 0x20;  // _A_ARCH

// Offsets in a cabinet without reserved fields: the first member's record
// (CFFILE) starts where the header's coffFiles says; date, time and
// attributes lie 10, 12 and 14 bytes into it.
constexpr size_t FILES_OFFSET_FIELD = 16;
constexpr size_t DATE_IN_RECORD = 10;
constexpr size_t TIME_IN_RECORD = 12;
constexpr size_t ATTRIBUTES_IN_RECORD = 14;
// The first folder's first data block (CFDATA) starts where the folder
// record (right after the 36-byte header) says; its data follows a
// checksum and two counts.
constexpr size_t DATA_OFFSET_FIELD = 36;
constexpr size_t DATA_HEADER_SIZE = 8;

uint32_t Read32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

uint16_t Read16(const std::string& bytes, size_t at) {
  uint16_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

void Write16(std::string& bytes, size_t at, uint16_t value) {
  std::memcpy(&bytes[at], &value, sizeof(value));
}

size_t FirstMemberRecord(const std::string& cabinet) {
  return Read32(cabinet, FILES_OFFSET_FIELD);
}

FILETIME ExpectedCreationTime(WORD date, WORD time) {
  FILETIME local = {};
  FILETIME utc = {};
  EXPECT_TRUE(DosDateTimeToFileTime(date, time, &local));
  EXPECT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  return utc;
}

int64_t AsInteger(const FILETIME& time) {
  return (static_cast<int64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") !=
         nullptr;
}

class CabinetExpansionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    payload_seams::Reset();
    member_ = ReadFileBytes(PayloadPath(L"members/member.dat"));
    ASSERT_FALSE(member_.empty());
    destination_ = out_.Join(L"setup.exe");
  }
  void TearDown() override { payload_seams::Reset(); }

  // A copy of a gcab cabinet with its first member's record edited.
  std::wstring EditedCabinet(const wchar_t* cabinet, const wchar_t* name,
                             uint16_t attributes, uint16_t date) {
    std::string bytes = ReadFileBytes(PayloadPath(cabinet));
    const size_t record = FirstMemberRecord(bytes);
    Write16(bytes, record + ATTRIBUTES_IN_RECORD, attributes);
    Write16(bytes, record + DATE_IN_RECORD, date);
    const std::wstring path = in_.Join(name);
    WriteFileBytes(path, bytes);
    return path;
  }

  TempDir in_;   // cabinets made by the tests
  TempDir out_;  // where the member goes, and nothing else
  std::wstring destination_;
  std::string member_;
};

struct CabinetCase {
  const char* name;
  const wchar_t* cabinet;
};
const CabinetCase ONE_MEMBER_CABINETS[] = {
    {"MSZIP", L"member_mszip.cab"},
    {"stored", L"member_stored.cab"},
};

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

// The member is called member.dat; its bytes go to the destination, which
// is replaced when it exists.
TEST_F(CabinetExpansionTest, MemberOfAnyNameReplacesDestination) {
  for (const CabinetCase& c : ONE_MEMBER_CABINETS) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(destination_, "an older setup, longer than nothing");

    EXPECT_TRUE(ExpandCabinet(PayloadPath(c.cabinet).c_str(),
                              destination_.c_str()));

    EXPECT_EQ(std::vector<std::wstring>{L"setup.exe"},
              ListDirectory(out_.path()));
    EXPECT_TRUE(ReadFileBytes(destination_) == member_);
    SetFileAttributesW(destination_.c_str(), FILE_ATTRIBUTE_NORMAL);
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
// or with data that fails its checksum or its decoding) must be reported
// false too, and the destination, created by then, deleted. Wine's library
// sends the close-file notification for the member even on its error path
// (FDICopy then returns FALSE with FDIERROR_CORRUPT_CABINET); the expansion
// still fails because fewer bytes than the member's announced size were
// written. Wine does not verify the checksums of stored data, so a stored
// member whose bytes were altered in place (same size) is caught on Windows
// only.
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
    bool needs_checksum_verification = false;
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
      {"stored data corrupted (its checksum no longer matches)",
       corrupted(stored), true, true},
  };
  for (const Case& c : cases) {
    if (c.needs_checksum_verification && RunningUnderWine()) continue;
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

// The handler asks the library to stop after the first member (it returns
// -1 from the close-file notification). Wine's library takes any non-zero
// value there as "go on" and announces the second member as well, whose
// copy-file notification creates the destination afresh: the destination
// then holds the second member. A library that stops leaves the first.
TEST_F(CabinetExpansionTest, TwoMemberCabinetLeavesOneWholeMember) {
  const std::string second = ReadFileBytes(PayloadPath(L"members/second.dat"));

  EXPECT_TRUE(ExpandCabinet(PayloadPath(L"two_members.cab").c_str(),
                            destination_.c_str()));

  EXPECT_EQ(std::vector<std::wstring>{L"setup.exe"},
            ListDirectory(out_.path()));
  const std::string written = ReadFileBytes(destination_);
  if (RunningUnderWine()) {
    EXPECT_TRUE(written == second) << "holds " << written.size() << " bytes";
  } else {
    EXPECT_TRUE(written == member_ || written == second)
        << "holds " << written.size() << " bytes";
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

TEST_F(CabinetExpansionTest, SourceWithoutBackslashAfterFirstCharacterFails) {
  for (const wchar_t* source : {L"member_mszip.cab", L"\\member_mszip.cab"}) {
    SCOPED_TRACE(Narrow(source));
    EXPECT_FALSE(ExpandCabinet(source, destination_.c_str()));
    EXPECT_NE(nullptr, LoadedCabinetLibrary().module);
    EXPECT_FALSE(FileExists(destination_));
  }
}

TEST_F(CabinetExpansionTest, SecondCallLoadsNothingNew) {
  const std::wstring cabinet = PayloadPath(L"member_stored.cab");
  ASSERT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  const HMODULE loaded = LoadedCabinetLibrary().module;
  ASSERT_NE(nullptr, loaded);
  payload_seams::Reset();

  EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));

  EXPECT_EQ(std::vector<std::wstring>{}, Seams().library_loads);
  EXPECT_EQ(loaded, LoadedCabinetLibrary().module);
  EXPECT_NE(nullptr, LoadedCabinetLibrary().fdi_copy);
}

// A failed load leaves the record empty, and the next call starts again
// from the first candidate; a candidate whose expansion does not fit is
// skipped without a load.
TEST_F(CabinetExpansionTest, FailedLoadIsRetriedFromFirstCandidate) {
  const std::wstring cabinet = PayloadPath(L"member_stored.cab");
  wchar_t windir[MAX_PATH] = {};
  wchar_t systemroot[MAX_PATH] = {};
  ASSERT_NE(0u, GetEnvironmentVariableW(L"WINDIR", windir, MAX_PATH));
  ASSERT_NE(0u, GetEnvironmentVariableW(L"SYSTEMROOT", systemroot, MAX_PATH));
  const std::wstring first = std::wstring(windir) + L"\\system32\\cabinet.dll";
  const std::wstring second =
      std::wstring(systemroot) + L"\\system32\\cabinet.dll";
  const std::wstring third = L"C:\\Windows\\system32\\cabinet.dll";

  CabinetLibrary& library = LoadedCabinetLibrary();
  library = CabinetLibrary{};  // as at the start of a process
  Seams().fail_library_loads = true;
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE("failing call " + std::to_string(call));
    Seams().library_loads.clear();
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    EXPECT_EQ((std::vector<std::wstring>{first, second, third}),
              Seams().library_loads);
    EXPECT_EQ(nullptr, library.module);
  }
  {
    SCOPED_TRACE("%WINDIR% expands beyond 259 characters");
    const std::wstring long_windir = L"C:\\" + std::wstring(240, L'w');
    ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", long_windir.c_str()));
    Seams().library_loads.clear();
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    SetEnvironmentVariableW(L"WINDIR", windir);
    EXPECT_EQ((std::vector<std::wstring>{second, third}),
              Seams().library_loads);
  }
  EXPECT_FALSE(FileExists(destination_));

  Seams().fail_library_loads = false;
  Seams().library_loads.clear();
  EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  EXPECT_EQ(std::vector<std::wstring>{first}, Seams().library_loads);
  EXPECT_NE(nullptr, library.module);
}

// A library that loads but lacks the decompression entry points (here the
// real KERNEL32, handed back for cabinet.dll through the seam): the
// expansion fails, and the library stays loaded, so a later call loads
// nothing and looks the entry points up again.
TEST_F(CabinetExpansionTest, LibraryWithoutTheEntryPointsFailsAndStaysLoaded) {
  const std::wstring cabinet = PayloadPath(L"member_stored.cab");
  CabinetLibrary& library = LoadedCabinetLibrary();
  const CabinetLibrary saved = library;
  library = CabinetLibrary{};
  Seams().substitute_library = L"kernel32.dll";
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE("call " + std::to_string(call));
    Seams().library_loads.clear();
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    EXPECT_EQ(call == 1 ? 1u : 0u, Seams().library_loads.size());
    EXPECT_EQ(GetModuleHandleW(L"kernel32.dll"), library.module);
    EXPECT_EQ(nullptr, library.fdi_create);
    EXPECT_EQ(nullptr, library.fdi_copy);
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
  }
  library = saved;
}

// The cabinet's name and directory go to the library as UTF-8 in blocks of
// the process heap, and the library's own memory comes from the same heap:
// when one of those blocks cannot be had, the expansion fails, frees what
// it took and leaves no file. The calls are, in order, the file name's
// block, the directory's, and the library context's inside FDICreate.
TEST_F(CabinetExpansionTest, ProcessHeapExhaustionFailsAndFreesEverything) {
  const std::wstring cabinet = PayloadPath(L"member_mszip.cab");
  ASSERT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  ASSERT_TRUE(DeleteFileW(destination_.c_str()));
  struct Case {
    const char* name;
    int failing_call;
  };
  const Case cases[] = {
      {"the file name's UTF-8 block", 1},
      {"the directory's UTF-8 block", 2},
      {"FDICreate's context", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    Seams().fail_heap_alloc_number = c.failing_call;
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    // Both conversions are tried before either result is looked at; after a
    // failed FDICreate nothing more is asked for.
    EXPECT_EQ(c.failing_call < 3 ? 2 : 3, Seams().heap_alloc_calls);
    EXPECT_EQ(0, Seams().live_heap_blocks);
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
  }
}

}  // namespace
