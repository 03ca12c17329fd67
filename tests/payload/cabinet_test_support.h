// Shared by the cabinet expansion tests: the gcab cabinets' known member
// date and attributes, the offsets of the cabinet format the tests edit, and
// the fixture with a folder for the cabinets they make and one for the
// destination.
//
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
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "payload_seams.h"
#include "payload_test_support.h"
#include "support/test_support.h"

namespace cabinet_testing {

using payload_testing::PayloadPath;
using testing_support::ReadFileBytes;
using testing_support::RunningUnderWine;
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

inline uint32_t Read32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

inline uint16_t Read16(const std::string& bytes, size_t at) {
  uint16_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

inline void Write16(std::string& bytes, size_t at, uint16_t value) {
  std::memcpy(&bytes[at], &value, sizeof(value));
}

// A copy of a cabinet with the data of its first folder's last data block
// (CFDATA) turned to garbage; the blocks are walked from the folder record's
// offset and count, each a checksum, two counts and the data.
inline std::string WithLastDataBlockGarbled(std::string bytes) {
  size_t block = Read32(bytes, DATA_OFFSET_FIELD);
  const uint16_t blocks = Read16(bytes, DATA_OFFSET_FIELD + 4);
  for (uint16_t i = 1; i < blocks; ++i) {
    block += DATA_HEADER_SIZE + Read16(bytes, block + 4);
  }
  const size_t size = Read16(bytes, block + 4);
  for (size_t i = block + DATA_HEADER_SIZE;
       i < block + DATA_HEADER_SIZE + size && i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
  }
  return bytes;
}

inline size_t FirstMemberRecord(const std::string& cabinet) {
  return Read32(cabinet, FILES_OFFSET_FIELD);
}

inline FILETIME ExpectedCreationTime(WORD date, WORD time) {
  FILETIME local = {};
  FILETIME utc = {};
  EXPECT_TRUE(DosDateTimeToFileTime(date, time, &local));
  EXPECT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  return utc;
}

inline int64_t AsInteger(const FILETIME& time) {
  return (static_cast<int64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
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
inline const CabinetCase ONE_MEMBER_CABINETS[] = {
    {"MSZIP", L"member_mszip.cab"},
    {"stored", L"member_stored.cab"},
};

}  // namespace cabinet_testing
