#include "workarea/output_file.h"

#include <string>
#include <vector>

#include "output_file_seams.h"
#include "support/test_support.h"

namespace {

using output_file_seams::Seams;
using testing_support::FileExists;
using testing_support::MakeDirectoryOfLength;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr DWORD SHARE_ALL =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Bytes whose value depends on their offset, so a chunk written from the
// wrong place shows.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
  }
  return bytes;
}

ResourceSpan SpanOf(const std::string& bytes, size_t size) {
  ResourceSpan span;
  span.data = reinterpret_cast<const uint8_t*>(bytes.data());
  span.size = size;
  return span;
}

// Opens path as someone else would; returns the error, 0 when it opened.
DWORD OpenError(const std::wstring& path, DWORD access, DWORD share) {
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    output_file_seams::Reset();
    file_ = temp_.Join(L"setup.exe");
  }

  testing_support::TempDir temp_;
  std::wstring file_;
};

TEST_F(OutputFileTest, WritesSpanInChunksOfAtMostEightMebibytes) {
  struct Case {
    const char* name;
    size_t size;
    std::vector<DWORD> writes;
  };
  const Case cases[] = {
      {"empty span, no write", 0, {}},
      {"one byte", 1, {1}},
      {"a setup below one chunk", 6033560, {6033560}},
      {"exactly one chunk", WRITE_CHUNK_SIZE, {WRITE_CHUNK_SIZE}},
      {"one byte over a chunk", WRITE_CHUNK_SIZE + 1, {WRITE_CHUNK_SIZE, 1}},
  };
  const std::string bytes = Pattern(WRITE_CHUNK_SIZE + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    output_file_seams::Reset();
    DeleteFileW(file_.c_str());
    EXPECT_TRUE(WriteSpanToFile(SpanOf(bytes, c.size), file_.c_str()));
    EXPECT_EQ(c.writes, Seams().write_sizes);
    ASSERT_TRUE(FileExists(file_));
    EXPECT_TRUE(ReadFileBytes(file_) == bytes.substr(0, c.size));
  }
}

// In a fresh work directory a file at the path was put there by someone
// else: it is neither replaced nor removed.
TEST_F(OutputFileTest, WriteRefusesAnExistingFile) {
  WriteFileBytes(file_, "someone else's file");
  const std::string bytes = "new";
  EXPECT_FALSE(WriteSpanToFile(SpanOf(bytes, bytes.size()), file_.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_EQ("someone else's file", ReadFileBytes(file_));
}

// A write cannot be made to fail for real part-way through, so the seam
// fails one WriteFile call, and makes the clean-up calls leave an error of
// their own behind, as platform calls may.
TEST_F(OutputFileTest, FailedWriteLeavesNoFileAndReportsItsOwnError) {
  struct Case {
    const char* name;
    size_t size;
    int failing_write;
    DWORD error;
  };
  const Case cases[] = {
      {"first and only write", 10, 1, ERROR_DISK_FULL},
      {"second write after a full chunk", WRITE_CHUNK_SIZE + 1, 2,
       ERROR_DISK_FULL},
      {"second write, handle disk full", WRITE_CHUNK_SIZE + 1, 2,
       ERROR_HANDLE_DISK_FULL},
  };
  const std::string bytes = Pattern(WRITE_CHUNK_SIZE + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    output_file_seams::Reset();
    Seams().fail_write_number = c.failing_write;
    Seams().fail_write_error = c.error;
    Seams().clean_up_error = ERROR_INVALID_FUNCTION;
    EXPECT_FALSE(WriteSpanToFile(SpanOf(bytes, c.size), file_.c_str()));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_EQ(c.failing_write, Seams().write_calls);
    EXPECT_FALSE(FileExists(file_));
    EXPECT_TRUE(testing_support::ListDirectory(temp_.path()).empty());
  }
}

// A close that reports failure changes nothing: the written file is kept
// and the call succeeds; after a failed write, the write's error is still
// the one reported and the file still goes.
TEST_F(OutputFileTest, CloseResultIsNeverConsulted) {
  struct Case {
    const char* name;
    int failing_write;
    bool written;
  };
  const Case cases[] = {
      {"every write succeeds", 0, true},
      {"the write fails", 1, false},
  };
  const std::string bytes = "setup's bytes";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    output_file_seams::Reset();
    Seams().fail_close = true;
    Seams().fail_write_number = c.failing_write;
    Seams().fail_write_error = ERROR_DISK_FULL;
    EXPECT_EQ(c.written,
              WriteSpanToFile(SpanOf(bytes, bytes.size()), file_.c_str()));
    EXPECT_EQ(1, Seams().close_calls);
    if (c.written) {
      EXPECT_EQ(bytes, ReadFileBytes(file_));
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
      EXPECT_FALSE(FileExists(file_));
    }
    output_file_seams::Reset();
    DeleteFileW(file_.c_str());
  }
}

TEST_F(OutputFileTest, FailedCreateReportsCreateFileError) {
  const std::wstring path = temp_.Join(L"missing\\setup.exe");
  const std::string bytes = "x";
  EXPECT_FALSE(WriteSpanToFile(SpanOf(bytes, 1), path.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(0, Seams().write_calls);

  OutputFile output;
  EXPECT_FALSE(CreateOutputFile(output, path.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_FALSE(IsOutputFileOpen(output));
  EXPECT_EQ(L"", std::wstring(output.path.text));
}

TEST_F(OutputFileTest, PathLimit) {
  struct Case {
    size_t length;
    bool fits;
  };
  const Case cases[] = {{259, true}, {260, false}};
  const std::wstring name = L"setup.exe";
  for (const Case& c : cases) {
    SCOPED_TRACE("path of " + std::to_string(c.length));
    const std::wstring base = temp_.Join(std::to_wstring(c.length));
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    const std::wstring path =
        MakeDirectoryOfLength(base, c.length - name.size() - 1) + L"\\" + name;
    ASSERT_EQ(c.length, path.size());
    output_file_seams::Reset();
    OutputFile output;
    SetLastError(0x1234);
    EXPECT_EQ(c.fits, CreateOutputFile(output, path.c_str()));
    EXPECT_EQ(c.fits, IsOutputFileOpen(output));
    if (c.fits) {
      EXPECT_EQ(Narrow(path), Narrow(output.path.text));
      EXPECT_TRUE(FileExists(path));
    } else {
      EXPECT_EQ(0x1234u, GetLastError());
      EXPECT_EQ(0, Seams().create_file_calls);
      EXPECT_EQ(L"", std::wstring(output.path.text));
      EXPECT_FALSE(FileExists(path));
    }
  }
}

// While it is written nobody else may open the file at all; once held,
// others may read it but not write, delete or rename it. Released, it is
// free again.
TEST_F(OutputFileTest, WrittenFileIsSharedWithNobodyAndHeldFileOnlyForReading) {
  struct Case {
    const char* name;
    DWORD access;
    DWORD while_written;
    DWORD while_held;
  };
  const Case cases[] = {
      {"reading", GENERIC_READ, ERROR_SHARING_VIOLATION, 0},
      {"writing", GENERIC_WRITE, ERROR_SHARING_VIOLATION,
       ERROR_SHARING_VIOLATION},
      {"deleting or renaming", DELETE, ERROR_SHARING_VIOLATION,
       ERROR_SHARING_VIOLATION},
  };
  OutputFile output;
  ASSERT_TRUE(CreateOutputFile(output, file_.c_str()));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " while written");
    EXPECT_EQ(c.while_written, OpenError(file_, c.access, SHARE_ALL));
  }
  ASSERT_TRUE(HoldOutputFile(output));
  EXPECT_EQ(Narrow(file_), Narrow(output.path.text));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " while held");
    EXPECT_EQ(c.while_held, OpenError(file_, c.access, SHARE_ALL));
  }
  EXPECT_FALSE(MoveFileExW(file_.c_str(), temp_.Join(L"moved").c_str(), 0));
  CloseOutputFile(output);
  EXPECT_EQ(0u, OpenError(file_, GENERIC_WRITE | DELETE, SHARE_ALL));
}

// The writing handle shares nothing, so the hold can only be taken once it
// is closed; whatever stands at the path by then must be the file written.
TEST_F(OutputFileTest, HoldFailsWhenTheFileWasSwappedMeanwhile) {
  struct Case {
    const char* name;
    void (*meanwhile)(const wchar_t* path);
    DWORD error;
  };
  const Case cases[] = {
      {"another file put in its place",
       [](const wchar_t* path) {
         MoveFileExW(path, (std::wstring(path) + L".old").c_str(), 0);
         WriteFileBytes(path, "another file");
       },
       ERROR_FILE_INVALID},
      {"removed", [](const wchar_t* path) { DeleteFileW(path); },
       ERROR_FILE_NOT_FOUND},
  };
  const std::string bytes = "setup";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    output_file_seams::Reset();
    DeleteFileW(file_.c_str());
    Seams().before_open_existing = c.meanwhile;
    OutputFile held;
    EXPECT_FALSE(WriteSpanToFile(SpanOf(bytes, bytes.size()), file_.c_str(),
                                 &held));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_FALSE(IsOutputFileOpen(held));
    EXPECT_EQ(L"", std::wstring(held.path.text));
  }
  output_file_seams::Reset();
}

TEST_F(OutputFileTest, MarkedFileStaysUntilItsDuplicateCloses) {
  OutputFile output;
  ASSERT_TRUE(CreateOutputFile(output, file_.c_str()));
  const HANDLE duplicate = DuplicateOutputFileHandle(output);
  ASSERT_NE(INVALID_HANDLE_VALUE, duplicate);
  EXPECT_TRUE(MarkOutputFileForDeletion(output));
  CloseOutputFile(output);
  EXPECT_FALSE(IsOutputFileOpen(output));
  EXPECT_TRUE(FileExists(file_));
  CloseHandle(duplicate);
  EXPECT_FALSE(FileExists(file_));
}

TEST_F(OutputFileTest, DuplicateWritesToTheSameOpenFile) {
  OutputFile output;
  ASSERT_TRUE(CreateOutputFile(output, file_.c_str()));
  const HANDLE duplicate = DuplicateOutputFileHandle(output);
  ASSERT_NE(INVALID_HANDLE_VALUE, duplicate);
  EXPECT_NE(OutputFileHandle(output), duplicate);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(OutputFileHandle(output), "abc", 3, &written, nullptr));
  EXPECT_TRUE(WriteFile(duplicate, "def", 3, &written, nullptr));
  CloseHandle(duplicate);
  CloseOutputFile(output);
  EXPECT_EQ("abcdef", ReadFileBytes(file_));
}

TEST_F(OutputFileTest, CreatingAgainClosesTheEarlierFileWithoutMarkingIt) {
  struct Case {
    const char* name;
    bool mark_first;
  };
  const Case cases[] = {{"unmarked file stays", false},
                        {"marked file goes", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring first = temp_.Join(L"first.bin");
    const std::wstring second = temp_.Join(L"second.bin");
    OutputFile output;
    ASSERT_TRUE(CreateOutputFile(output, first.c_str()));
    if (c.mark_first) ASSERT_TRUE(MarkOutputFileForDeletion(output));
    EXPECT_TRUE(CreateOutputFile(output, second.c_str()));
    EXPECT_EQ(Narrow(second), Narrow(output.path.text));
    EXPECT_EQ(!c.mark_first, FileExists(first));
    // The earlier handle is closed: the file can be opened for reading.
    if (!c.mark_first) EXPECT_EQ(0u, OpenError(first, GENERIC_READ, SHARE_ALL));
    EXPECT_TRUE(FileExists(second));
    CloseOutputFile(output);
    DeleteFileW(first.c_str());
    DeleteFileW(second.c_str());
  }
}

TEST_F(OutputFileTest, ClosingAnEmptyRecordMakesNoPlatformCall) {
  OutputFile output;
  CloseOutputFile(output);
  EXPECT_EQ(0, Seams().close_calls);

  ASSERT_TRUE(CreateOutputFile(output, file_.c_str()));
  output_file_seams::Reset();
  CloseOutputFile(output);
  CloseOutputFile(output);
  EXPECT_EQ(1, Seams().close_calls);
  EXPECT_EQ(L"", std::wstring(output.path.text));
  EXPECT_TRUE(FileExists(file_));
}

TEST_F(OutputFileTest, DroppingTheRecordClosesItsFile) {
  {
    OutputFile output;
    ASSERT_TRUE(CreateOutputFile(output, file_.c_str()));
    output_file_seams::Reset();
  }
  EXPECT_EQ(1, Seams().close_calls);
  EXPECT_EQ(0u, OpenError(file_, GENERIC_READ, SHARE_ALL));
}

TEST_F(OutputFileTest, EmptyRecordRefusesMarkAndDuplicate) {
  OutputFile output;
  EXPECT_FALSE(MarkOutputFileForDeletion(output));
  EXPECT_EQ(INVALID_HANDLE_VALUE, DuplicateOutputFileHandle(output));
  EXPECT_EQ(0, Seams().set_information_calls);
  EXPECT_EQ(0, Seams().duplicate_calls);
}

}  // namespace
