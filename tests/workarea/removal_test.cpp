#include "workarea/removal.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "attribute_seam.h"
#include "sleep_seam.h"
#include "support/test_support.h"

namespace {

using testing_support::DirectoryExists;
using testing_support::FileExists;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

// A file held open by another process without delete sharing
// (workarea_file_holder, built beside this program).
class HeldFile {
 public:
  HeldFile() = default;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile() { Release(); }

  // Returns once the holder has the file open; hold_ms 0: until Release.
  void Start(const std::wstring& path, DWORD hold_ms) {
    static int serial = 0;
    const std::wstring suffix = std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++serial);
    const std::wstring ready_name = L"brivel-holder-ready-" + suffix;
    const std::wstring release_name = L"brivel-holder-release-" + suffix;
    ready_ = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    release_ = CreateEventW(nullptr, TRUE, FALSE, release_name.c_str());
    ASSERT_TRUE(ready_ && release_);

    wchar_t own[MAX_PATH];
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring holder = own;
    holder = holder.substr(0, holder.find_last_of(L'\\')) +
             L"\\workarea_file_holder.exe";
    std::wstring line = L"\"" + holder + L"\" \"" + path + L"\" " +
                        ready_name + L" " + release_name + L" " +
                        (hold_ms ? std::to_wstring(hold_ms) : L"infinite");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                               0, nullptr, nullptr, &startup, &process))
        << Narrow(holder) << ": " << GetLastError();
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    // The bound only keeps a broken holder from hanging the test.
    const HANDLE either[] = {ready_, process_};
    const DWORD which = WaitForMultipleObjects(2, either, FALSE, 60000);
    DWORD exit_code = 0;
    GetExitCodeProcess(process_, &exit_code);
    ASSERT_EQ(WAIT_OBJECT_0, which) << "holder exit code " << exit_code;
  }

  // Lets go of the file and waits until the holder has ended.
  void Release() {
    if (release_) SetEvent(release_);
    if (process_) WaitForSingleObject(process_, INFINITE);
    for (HANDLE* handle : {&process_, &ready_, &release_}) {
      if (*handle) CloseHandle(*handle);
      *handle = nullptr;
    }
  }

 private:
  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  HANDLE process_ = nullptr;
};

class RemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sleep_seam::Reset();
    attribute_seam::Reset();
    file_ = temp_.Join(L"setup.exe");
  }

  testing_support::TempDir temp_;
  std::wstring file_;
};

TEST_F(RemovalTest, EndsAtTheFirstAttemptWithoutWaiting) {
  using attribute_seam::Rule;
  enum Make { NOTHING, PLAIN_FILE, READ_ONLY_FILE, EMPTY_DIRECTORY };
  struct Case {
    const char* name;
    const wchar_t* relative_path;
    Make make;
    bool removed;
    Rule rule = Rule::WINE;
  };
  const Case cases[] = {
      {"missing path", L"missing", NOTHING, true},
      {"missing parent", L"missing\\setup.exe", NOTHING, true},
      {"plain file", L"plain", PLAIN_FILE, true},
      {"read-only file", L"read-only", READ_ONLY_FILE, true},
      // Under Windows' rules read-only is then the file's only attribute,
      // and clearing it must not write an attribute word of 0.
      {"read-only file, Windows' attribute rule", L"read-only-alone",
       READ_ONLY_FILE, true, Rule::WINDOWS},
      {"empty directory", L"empty", EMPTY_DIRECTORY, true},
      // An error outside the handled set (ERROR_INVALID_NAME) stops at once.
      {"invalid name", L"bad<name>", NOTHING, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = temp_.Join(c.relative_path);
    if (c.make == EMPTY_DIRECTORY) {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    } else if (c.make != NOTHING) {
      WriteFileBytes(path, "bytes");
    }
    if (c.make == READ_ONLY_FILE) {
      ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    sleep_seam::Reset();
    attribute_seam::SetRule(c.rule);
    int32_t attempts = 0;
    EXPECT_EQ(c.removed, RemoveWithRetries(path.c_str(), attempts));
    attribute_seam::SetRule(Rule::WINE);
    EXPECT_EQ(1, attempts);
    EXPECT_EQ(0, sleep_seam::Calls());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
  }
  EXPECT_TRUE(testing_support::ListDirectory(temp_.path()).empty());
}

// Windows' attribute rules, which attribute_seam's WINDOWS rule applies
// under Wine: a file made read-only reports read-only alone, and an
// attribute word of 0 written through SetFileInformationByHandle changes
// nothing ("FILE_BASIC_INFO structure").
TEST_F(RemovalTest, WindowsKeepsOnlyTheAttributesWritten) {
  if (testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Windows only: Wine reports every file as archived";
  }
  WriteFileBytes(file_, "bytes");
  ASSERT_TRUE(SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_READONLY}, GetFileAttributesW(file_.c_str()));
  const HANDLE file = CreateFileW(file_.c_str(), FILE_WRITE_ATTRIBUTES, 7,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  FILE_BASIC_INFO nothing = {};
  EXPECT_TRUE(
      SetFileInformationByHandle(file, FileBasicInfo, &nothing, sizeof(nothing)));
  CloseHandle(file);
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_READONLY}, GetFileAttributesW(file_.c_str()));
  SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The one test that waits for real: the holder lets go after a while of its
// own, and the routine's real 100 ms waits ride it out.
TEST_F(RemovalTest, WaitsForAFileHeldByAnotherProcess) {
  WriteFileBytes(file_, "bytes");
  HeldFile holder;
  ASSERT_NO_FATAL_FAILURE(holder.Start(file_, 350));
  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(file_.c_str(), attempts));
  EXPECT_GE(attempts, 2);
  EXPECT_LT(attempts, REMOVAL_ATTEMPT_LIMIT);
  EXPECT_EQ(attempts - 1, sleep_seam::Calls());
  EXPECT_FALSE(FileExists(file_));
}

TEST_F(RemovalTest, RemovesAHeldFileAtTheFirstAttemptAfterItIsLetGo) {
  WriteFileBytes(file_, "bytes");
  HeldFile holder;
  ASSERT_NO_FATAL_FAILURE(holder.Start(file_, 0));
  sleep_seam::SetRealSleep(false);
  sleep_seam::SetAction([&](int wait) {
    if (wait == 3) holder.Release();
  });
  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(file_.c_str(), attempts));
  EXPECT_EQ(4, attempts);
  EXPECT_FALSE(FileExists(file_));
}

TEST_F(RemovalTest, GivesUpOnAFileHeldThroughout) {
  WriteFileBytes(file_, "bytes");
  HeldFile holder;
  ASSERT_NO_FATAL_FAILURE(holder.Start(file_, 0));
  sleep_seam::SetRealSleep(false);
  int32_t attempts = 0;
  EXPECT_FALSE(RemoveWithRetries(file_.c_str(), attempts));
  EXPECT_EQ(REMOVAL_ATTEMPT_LIMIT, attempts);
  EXPECT_EQ(REMOVAL_ATTEMPT_LIMIT - 1, sleep_seam::Calls());
  holder.Release();
  EXPECT_EQ("bytes", ReadFileBytes(file_));
}

// A clear that reports success and changes nothing sends the routine back
// to its deletion open; each such round is counted, so the routine ends at
// the attempt limit instead of going round for ever.
TEST_F(RemovalTest, ClearsThatDoNotTakeEffectAreCountedAsWaits) {
  WriteFileBytes(file_, "bytes");
  ASSERT_TRUE(SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_READONLY));
  attribute_seam::SetRule(attribute_seam::Rule::INEFFECTIVE_CLEARS);
  sleep_seam::SetRealSleep(false);
  int32_t attempts = 0;
  EXPECT_FALSE(RemoveWithRetries(file_.c_str(), attempts));
  EXPECT_EQ(REMOVAL_ATTEMPT_LIMIT, attempts);
  EXPECT_EQ(REMOVAL_ATTEMPT_LIMIT - 1, sleep_seam::Calls());
  EXPECT_EQ(REMOVAL_ATTEMPT_LIMIT, attribute_seam::BasicInfoWrites());
  attribute_seam::SetRule(attribute_seam::Rule::WINE);
  SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// This process's own handle, opened with delete sharing, keeps a file that
// is marked for deletion in place until it closes.
TEST_F(RemovalTest, WaitsForAPendingDeletion) {
  WriteFileBytes(file_, "bytes");
  HANDLE other = CreateFileW(
      file_.c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  sleep_seam::SetRealSleep(false);
  sleep_seam::SetAction([&](int wait) {
    if (wait == 3) CloseHandle(other);
  });
  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(file_.c_str(), attempts));
  EXPECT_EQ(4, attempts);
  EXPECT_FALSE(FileExists(file_));
}

TEST_F(RemovalTest, DirectoryGoesOnlyOnceEmpty) {
  struct Case {
    const char* name;
    int emptied_at_wait;  // 0: never
    bool removed;
    int32_t attempts;
  };
  const Case cases[] = {
      {"entry stays", 0, false, REMOVAL_ATTEMPT_LIMIT},
      {"entry deleted at the fifth wait", 5, true, 6},
  };
  const std::wstring directory = temp_.Join(L"BV_12345.tmp");
  const std::wstring inner = directory + L"\\setup.exe";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CreateDirectoryW(directory.c_str(), nullptr);
    WriteFileBytes(inner, "bytes");
    sleep_seam::Reset();
    sleep_seam::SetRealSleep(false);
    sleep_seam::SetAction([&](int wait) {
      if (wait == c.emptied_at_wait) DeleteFileW(inner.c_str());
    });
    int32_t attempts = 0;
    EXPECT_EQ(c.removed, RemoveWithRetries(directory.c_str(), attempts));
    EXPECT_EQ(c.attempts, attempts);
    EXPECT_EQ(c.attempts - 1, sleep_seam::Calls());
    EXPECT_EQ(!c.removed, DirectoryExists(directory));
    EXPECT_EQ(!c.removed, FileExists(inner));
    testing_support::RemoveTree(directory);
  }
}

// Links: the link goes, its target and what the target holds stay.
enum class LinkKind { FILE_SYMLINK, DIRECTORY_SYMLINK, JUNCTION };

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

// A mount-point reparse buffer: the substitute and print names of the
// junction's target, one after the other.
struct MountPointBuffer {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  wchar_t names[512];
};

// Makes a junction at link (an empty directory) to target. Empty on
// success, otherwise why not.
std::string MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return "no directory";
  HANDLE handle = CreateFileW(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return "cannot open the directory";
  const std::wstring substitute = L"\\??\\" + target;
  MountPointBuffer buffer = {};
  buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.substitute_length = static_cast<WORD>(substitute.size() * 2);
  buffer.print_offset = buffer.substitute_length + 2;
  buffer.print_length = static_cast<WORD>(target.size() * 2);
  std::memcpy(buffer.names, substitute.c_str(), buffer.substitute_length);
  std::memcpy(reinterpret_cast<char*>(buffer.names) + buffer.print_offset,
              target.c_str(), buffer.print_length);
  buffer.data_length = 8 + buffer.print_offset + buffer.print_length + 2;
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &buffer,
                      8 + buffer.data_length, nullptr, 0, &returned, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!ok) {
    RemoveDirectoryW(link.c_str());
    return "FSCTL_SET_REPARSE_POINT fails with " + std::to_string(error) +
           " (Wine 8 does not support it)";
  }
  return "";
}

void PrintTo(LinkKind kind, std::ostream* out) {
  switch (kind) {
    case LinkKind::FILE_SYMLINK: *out << "FileSymbolicLink"; break;
    case LinkKind::DIRECTORY_SYMLINK: *out << "DirectorySymbolicLink"; break;
    case LinkKind::JUNCTION: *out << "Junction"; break;
  }
}

class LinkRemovalTest : public RemovalTest,
                        public ::testing::WithParamInterface<LinkKind> {};

TEST_P(LinkRemovalTest, RemovesTheLinkNotItsTarget) {
  const bool file_target = GetParam() == LinkKind::FILE_SYMLINK;
  const std::wstring target = temp_.Join(L"target");
  const std::wstring target_file =
      file_target ? target : target + L"\\kept.txt";
  if (!file_target) ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  WriteFileBytes(target_file, "kept");
  const std::wstring link = temp_.Join(L"link");

  std::string failure;
  if (GetParam() == LinkKind::JUNCTION) {
    failure = MakeJunction(link, target);
  } else {
    const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                        (file_target ? 0 : SYMBOLIC_LINK_FLAG_DIRECTORY);
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) {
      failure = "CreateSymbolicLinkW fails with " +
                std::to_string(GetLastError());
    }
  }
  // Wine 8's CreateSymbolicLinkW reports success without creating anything,
  // and its FSCTL_SET_REPARSE_POINT is not supported: no link to remove.
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (failure.empty() && (attributes == INVALID_FILE_ATTRIBUTES ||
                          !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    failure = "CreateSymbolicLinkW reported success but made no link (as "
              "Wine 8 does)";
  }
  if (!failure.empty()) GTEST_SKIP() << "no link on this platform: " << failure;

  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(link.c_str(), attempts));
  EXPECT_EQ(1, attempts);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(link.c_str()));
  EXPECT_EQ("kept", ReadFileBytes(target_file));
  if (!file_target) EXPECT_TRUE(DirectoryExists(target));
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkRemovalTest,
    ::testing::Values(LinkKind::FILE_SYMLINK, LinkKind::DIRECTORY_SYMLINK,
                      LinkKind::JUNCTION),
    [](const ::testing::TestParamInfo<LinkKind>& info) {
      return ::testing::PrintToString(info.param);
    });

}  // namespace
