// Writing a resource's bytes to a new file: the chunks, a file already at
// the path, failures of the create, a write or a close, the path limit.
#include "workarea/output_file.h"

#include <string>
#include <vector>

#include "output_file_test_support.h"

namespace {

using namespace output_file_testing;
using output_file_seams::Seams;
using testing_support::FileExists;
using testing_support::MakeDirectoryOfLength;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

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

}  // namespace
