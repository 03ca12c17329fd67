// Shared helpers of the GoogleTest programs (x64 twin under Wine).
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/run_outcome.h"

// Prints an outcome as {exit_code, os_error} so that a failure reads
// {116, 112} rather than a byte dump.
std::ostream& operator<<(std::ostream& out, const RunOutcome& outcome);
bool operator==(const RunOutcome& a, const RunOutcome& b);

namespace testing_support {

// The build folder (where fixtures and helper programs live) as a Windows
// path with backslashes and no trailing backslash, e.g.
// Z:\work\main\build\x64. Taken from BRIVEL_BUILD_DIR (a Unix path, set by
// CTest) when set, otherwise from where the test program lives.
std::wstring BuildDir();

// BuildDir() + "\" + relative, with forward slashes turned into backslashes.
std::wstring BuildPath(const std::wstring& relative);

// A uniquely named directory under the Windows temporary folder, removed
// with everything under it (read-only attributes cleared first) when the
// object goes. path() ends without a backslash.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  // path() + "\" + name
  std::wstring Join(const std::wstring& name) const;

 private:
  std::wstring path_;
};

// Removes a directory tree (not following links or junctions). Best effort.
void RemoveTree(const std::wstring& path);

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
// Names of the entries of a directory (no "." or ".."), sorted.
std::vector<std::wstring> ListDirectory(const std::wstring& path);

void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
void CopyFileOrDie(const std::wstring& from, const std::wstring& to);

// The result of running a program to its end.
struct ProcessResult {
  bool started = false;
  DWORD start_error = 0;
  DWORD exit_code = 0;  // all 32 bits
};

// Runs command_line (application name taken from it) with an optional
// current directory and extra environment variables ("NAME=value" entries
// added to, or replacing in, this process's environment), waits without a
// time limit and returns its full exit code.
ProcessResult RunProcess(const std::wstring& command_line,
                         const std::wstring& current_directory = L"",
                         const std::vector<std::wstring>& environment = {});

// Wide <-> UTF-8 for messages.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace testing_support
