// The record and its handle: whom the file is shared with while written
// and while held, a swap caught by the hold, deletion marks, duplicates,
// and closing.
#include "workarea/output_file.h"

#include <string>
#include <vector>

#include "output_file_test_support.h"

namespace {

using namespace output_file_testing;
using output_file_seams::Seams;
using testing_support::FileExists;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

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
// is closed; whatever stands at the path by then must be the file written,
// told by FileIdInfo or, where the volume refuses that class, by the index
// GetFileInformationByHandle gives (FAT32, exFAT and Samba refuse it with
// 87, a share without SMB 3.x with 50). Wine answers it everywhere; the
// seam refuses it as those volumes do.
TEST_F(OutputFileTest, HoldFailsWhenTheFileWasSwappedMeanwhile) {
  struct Case {
    const char* name;
    void (*meanwhile)(const wchar_t* path);
    DWORD error;
  };
  const Case cases[] = {
      {"nothing happened", nullptr, 0},
      {"another file put in its place",
       [](const wchar_t* path) {
         MoveFileExW(path, (std::wstring(path) + L".old").c_str(), 0);
         WriteFileBytes(path, "another file");
       },
       ERROR_FILE_INVALID},
      {"removed", [](const wchar_t* path) { DeleteFileW(path); },
       ERROR_FILE_NOT_FOUND},
  };
  const struct {
    const char* name;
    DWORD refusal;
  } volumes[] = {{"FileIdInfo answered", 0},
                 {"refused with 87", ERROR_INVALID_PARAMETER},
                 {"refused with 50", ERROR_NOT_SUPPORTED},
                 {"refused with 1", ERROR_INVALID_FUNCTION}};
  const std::string bytes = "setup";
  for (const auto& volume : volumes) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(volume.name) + ", " + c.name);
      output_file_seams::Reset();
      DeleteFileW(file_.c_str());
      DeleteFileW((file_ + L".old").c_str());
      Seams().before_open_existing = c.meanwhile;
      Seams().refuse_file_id = volume.refusal;
      OutputFile held;
      const bool held_it = WriteSpanToFile(SpanOf(bytes, bytes.size()),
                                           file_.c_str(), &held);
      const DWORD error = held_it ? 0 : GetLastError();
      EXPECT_EQ(c.error, error);
      EXPECT_EQ(held_it, IsOutputFileOpen(held));
    }
  }
  // Any other refusal is no volume's answer: the hold fails with it.
  output_file_seams::Reset();
  DeleteFileW(file_.c_str());
  Seams().refuse_file_id = ERROR_ACCESS_DENIED;
  OutputFile held;
  EXPECT_FALSE(WriteSpanToFile(SpanOf(bytes, bytes.size()), file_.c_str(),
                               &held));
  EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED}, GetLastError());
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
