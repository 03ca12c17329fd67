// Shared helpers of the GoogleTest programs (x64 twin under Wine).
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
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

// Creates a chain of directories under base (an existing directory, no
// trailing backslash) and returns the deepest one, without a trailing
// backslash: exactly length characters. Empty when length leaves no room for
// a name or creation fails. Created through the \\?\ prefix, which Windows
// needs beyond MAX_PATH - 12 characters; Wine accepts long paths either way.
std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length);

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

// RunProcess with an explicit application name (lpApplicationName), so that
// command_line reaches the program exactly as given even when it does not
// begin with the program's path, is unquoted, holds control characters or
// is empty.
ProcessResult RunProgram(const std::wstring& application,
                         const std::wstring& command_line,
                         const std::wstring& current_directory = L"",
                         const std::vector<std::wstring>& environment = {});

// What helpers/setup_probe.exe recorded in the file named by its
// BRIVEL_PROBE_REPORT: one entry per "key=value" line, in order, values
// unescaped (a key such as "sibling" may repeat). Empty when the file is
// missing.
struct ProbeReport {
  std::vector<std::pair<std::wstring, std::wstring>> entries;

  // The first value of key, or "" when there is none.
  std::wstring Value(const std::wstring& key) const;
  // Every value of key, in the order written.
  std::vector<std::wstring> Values(const std::wstring& key) const;
};
ProbeReport ReadProbeReport(const std::wstring& path);

// The FNV-1a 64 checksum of bytes as 16 lower-case hexadecimal digits, as
// setup_probe.exe reports an archive's.
std::string Fnv1a64Hex(const std::string& bytes);

// True under Wine (its ntdll exports wine_get_version), where a test that
// expects Windows' own answer is skipped with the reason.
bool RunningUnderWine();
// True when this process's token is elevated (TokenElevation).
bool RunningElevated();

// Wide <-> UTF-8 for messages.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// The address of name in module, loading the module when the program has not
// loaded it yet (a DLL whose only import a seam replaces is never loaded).
FARPROC ImportedFunction(const wchar_t* module, const char* name);

// The real function behind an import that a link seam replaces, looked up on
// first use and kept in slot: a plain pointer of static storage that starts
// out null. Never an initialised function-local static: the guard of a
// thread-safe static can itself reach a seamed function during start-up (a
// handle closed, a wait, a sleep) and deadlock on re-entry.
template <typename F>
F RealFunction(F& slot, const wchar_t* module, const char* name) {
  if (slot == nullptr) {
    slot = reinterpret_cast<F>(
        reinterpret_cast<void*>(ImportedFunction(module, name)));
  }
  return slot;
}

// For a fake whose fault is armed with the error to fail with: when error is
// not zero, leaves it as the last-error value and returns true.
inline bool ArmedFailure(DWORD error) {
  if (error == 0) return false;
  SetLastError(error);
  return true;
}

// The product loads SHELL32 and ADVAPI32's generator at run time from the
// system directory (LoadLibraryExW of a bare name with
// LOAD_LIBRARY_SEARCH_SYSTEM32) and looks its functions up by name. A test
// program stands in for such a library by exporting those functions under
// their own names, and its LoadLibraryExW fake answers the load with the
// program's own module when this says it is one.
bool IsSystemLibraryLoad(LPCWSTR path, DWORD flags, const wchar_t* library);

// What a faked GetModuleFileNameW hands back: as much of path as fits in
// buffer (size elements) with a terminator, error as the last-error value,
// and result as the return value.
DWORD FakeModuleFileName(const std::wstring& path, DWORD result, DWORD error,
                         LPWSTR buffer, DWORD size);

}  // namespace testing_support

// RealFunction with a slot of its own for each use, named by the function
// itself: REAL_FUNCTION(L"kernel32.dll", WriteFile)(file, data, ...).
#define REAL_FUNCTION(module, name)                                \
  ([](const wchar_t* in_module) {                                  \
    static decltype(&name) slot = nullptr;                         \
    return ::testing_support::RealFunction(slot, in_module, #name); \
  }(module))
