// setup_probe.exe: the setup program that test installers carry. It records
// exactly what it was given, shows whether it can read the archive through
// the three switches of its command line, and exits with a chosen code.
//
// Environment:
//   BRIVEL_PROBE_REPORT   file to write the report into (UTF-8, replaced);
//                         no report when unset
//   BRIVEL_PROBE_EXIT     exit code, decimal or 0x-hexadecimal, all 32 bits;
//                         0 when unset, PROBE_BAD_SETTING when unreadable
//   BRIVEL_PROBE_HOLD_MS  when set, a copy of the probe is started that
//                         sleeps this long: as the running image of the
//                         probe's own file it keeps that file from being
//                         deleted for a while after the probe ended
//   BRIVEL_PROBE_RENAME_OWN_DIRECTORY  when set, the probe tries to rename
//                         the directory it runs from (and puts it back)
//   BRIVEL_PROBE_WAIT_FILE when set, the probe waits after its report is
//                         written and closed until this file exists (at
//                         most WAIT_FILE_LIMIT_MS), then exits: scenarios
//                         act while setup runs (end its installer, plant
//                         links in its directory) and then let it go
//
// The report holds one "key=value" line each, in this order:
//   command_line=       GetCommandLineW exactly
//   own_path=           GetModuleFileNameW
//   current_directory=  GetCurrentDirectoryW
//   windir=, systemroot=  the two variables as setup inherited them from the
//                       installer (empty when missing)
//   sibling=NAME        one line per entry of the probe's own directory
//   archive_opened=1    the archive was found through the switches, then
//   archive_size=N      its size in bytes (decimal) and
//   archive_fnv=H       its FNV-1a 64 checksum (16 lower-case hex digits)
//   archive_opened=0    otherwise, then
//   archive_error=STEP:ERROR  the step that failed and its last error
//   hold_started=0|1    only when BRIVEL_PROBE_HOLD_MS is set
//   rename_own_directory=ERROR  only when BRIVEL_PROBE_RENAME_OWN_DIRECTORY
//                       is set: the rename's error, 0 when it was renamed
// Values escape a backslash as \\, tab, line feed and carriage return as
// \t \n \r, and other control characters as \xHH, so that every record
// stays on one line.
//
// No run-time library: raw entry point, KERNEL32 only, static buffers (a
// frame this large would need a stack probe).
#include <stddef.h>
#include <stdint.h>

#include "base/windows_api.h"
#include "tests/support/setup_probe_report.h"

namespace {

using namespace probe;


// The exit code when BRIVEL_PROBE_EXIT or BRIVEL_PROBE_HOLD_MS cannot be read
// as a number: unlikely to be mistaken for any code a test chooses.
constexpr DWORD PROBE_BAD_SETTING = 0xB0B0BAD0;

const wchar_t HOLD_SWITCH[] = L" --hold ";

// BRIVEL_PROBE_WAIT_FILE: how often the file is looked for, and the longest
// wait, so that a probe whose test died does not run for ever.
constexpr DWORD WAIT_FILE_POLL_MS = 20;
constexpr DWORD WAIT_FILE_LIMIT_MS = 300000;

wchar_t g_value[TEXT_CAPACITY];
wchar_t g_path[TEXT_CAPACITY];
wchar_t g_archive_path[TEXT_CAPACITY];
wchar_t g_archive_name[TEXT_CAPACITY];
wchar_t g_archive_type[TEXT_CAPACITY];
wchar_t g_child_command[TEXT_CAPACITY];

// The variable's value in g_value; false when it is not set (or too long).
bool ReadVariable(const wchar_t* name) {
  const DWORD length = GetEnvironmentVariableW(name, g_value, TEXT_CAPACITY);
  if (length == 0 || length >= TEXT_CAPACITY) {
    g_value[0] = 0;
    return false;
  }
  return true;
}


void ReportSiblings(Report& report, const wchar_t* own_path) {
  // The directory of own_path, then "\*".
  if (!Copy(g_path, TEXT_CAPACITY, own_path)) return;
  DWORD cut = Length(g_path);
  while (cut > 0 && g_path[cut - 1] != L'\\') --cut;
  g_path[cut] = 0;
  if (!Append(g_path, TEXT_CAPACITY, L"*")) return;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(g_path, &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* name = entry.cFileName;
    if ((name[0] == L'.' && name[1] == 0) ||
        (name[0] == L'.' && name[1] == L'.' && name[2] == 0)) {
      continue;
    }
    report.Line(L"sibling", name);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

void ReportOwnDirectoryRename(Report& report, const wchar_t* own_path) {
  static wchar_t renamed[TEXT_CAPACITY];
  if (!Copy(g_path, TEXT_CAPACITY, own_path)) return;
  DWORD cut = Length(g_path);
  while (cut > 0 && g_path[cut - 1] != L'\\') --cut;
  if (cut == 0) return;
  g_path[cut - 1] = 0;
  if (!Copy(renamed, TEXT_CAPACITY, g_path) ||
      !Append(renamed, TEXT_CAPACITY, L".renamed")) {
    return;
  }
  DWORD error = 0;
  if (MoveFileExW(g_path, renamed, 0)) {
    MoveFileExW(renamed, g_path, 0);
  } else {
    error = GetLastError();
  }
  static wchar_t text[16];
  text[0] = 0;
  AppendNumber(text, 16, error, 10, 1);
  report.Line(L"rename_own_directory", text);
}

void ReportArchiveFailure(Report& report, const wchar_t* step, DWORD error) {
  report.Line(L"archive_opened", L"0");
  g_value[0] = 0;
  Append(g_value, TEXT_CAPACITY, step);
  Append(g_value, TEXT_CAPACITY, L":");
  AppendNumber(g_value, TEXT_CAPACITY, error, 10, 1);
  report.Line(L"archive_error", g_value);
}

// Opens the archive the way setup does: the executable named by
// --mini-installer-path as a data file, the resource named by the other
// two switches.
void ReportArchive(Report& report, const wchar_t* command_line) {
  if (!SwitchValue(command_line, L"--mini-installer-path=\"", g_archive_path) ||
      !SwitchValue(command_line, L"--archive-resource-name=\"",
                   g_archive_name) ||
      !SwitchValue(command_line, L"--archive-resource-type=\"",
                   g_archive_type)) {
    ReportArchiveFailure(report, L"switches", 0);
    return;
  }
  HMODULE module =
      LoadLibraryExW(g_archive_path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    ReportArchiveFailure(report, L"LoadLibraryExW", GetLastError());
    return;
  }
  HRSRC resource = FindResourceW(module, g_archive_name, g_archive_type);
  if (resource == nullptr) {
    ReportArchiveFailure(report, L"FindResourceW", GetLastError());
    return;
  }
  const DWORD size = SizeofResource(module, resource);
  HGLOBAL loaded = LoadResource(module, resource);
  const uint8_t* bytes =
      loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr) {
    ReportArchiveFailure(report, L"LoadResource", GetLastError());
    return;
  }
  uint64_t fnv = 0xcbf29ce484222325ull;
  for (DWORD i = 0; i < size; ++i) {
    fnv ^= bytes[i];
    fnv *= 0x100000001b3ull;
  }
  // The module stays mapped until the probe exits.
  report.Line(L"archive_opened", L"1");
  g_value[0] = 0;
  AppendNumber(g_value, TEXT_CAPACITY, size, 10, 1);
  report.Line(L"archive_size", g_value);
  g_value[0] = 0;
  AppendNumber(g_value, TEXT_CAPACITY, fnv, 16, 16);
  report.Line(L"archive_fnv", g_value);
}

// Starts "<own path>" --hold <ms>: no window, no inherited handles.
bool StartHolder(const wchar_t* own_path, const wchar_t* milliseconds) {
  g_child_command[0] = 0;
  if (!Append(g_child_command, TEXT_CAPACITY, L"\"") ||
      !Append(g_child_command, TEXT_CAPACITY, own_path) ||
      !Append(g_child_command, TEXT_CAPACITY, L"\"") ||
      !Append(g_child_command, TEXT_CAPACITY, HOLD_SWITCH) ||
      !Append(g_child_command, TEXT_CAPACITY, milliseconds)) {
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(own_path, g_child_command, nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// Waits until `path` exists (it can be opened), or the limit has passed.
void WaitForFile(const wchar_t* path) {
  for (DWORD waited = 0; waited < WAIT_FILE_LIMIT_MS;
       waited += WAIT_FILE_POLL_MS) {
    HANDLE file = CreateFileW(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return;
    }
    Sleep(WAIT_FILE_POLL_MS);
  }
}

}  // namespace

extern "C" [[noreturn]] void ProbeEntry() {
  const wchar_t* command_line = GetCommandLineW();

  // The holding copy: sleep, then end.
  const wchar_t* rest = SkipProgramName(command_line);
  if (StartsWith(rest, HOLD_SWITCH)) {
    DWORD milliseconds = 0;
    if (!ParseNumber(rest + Length(HOLD_SWITCH), milliseconds)) {
      ExitProcess(PROBE_BAD_SETTING);
    }
    Sleep(milliseconds);
    ExitProcess(0);
  }

  DWORD exit_code = 0;
  if (ReadVariable(L"BRIVEL_PROBE_EXIT") && !ParseNumber(g_value, exit_code)) {
    exit_code = PROBE_BAD_SETTING;
  }

  HANDLE file = INVALID_HANDLE_VALUE;
  if (ReadVariable(L"BRIVEL_PROBE_REPORT")) {
    file = CreateFileW(g_value, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  Report report(file);
  report.Line(L"command_line", command_line);

  static wchar_t own_path[TEXT_CAPACITY];
  const DWORD own_length = GetModuleFileNameW(nullptr, own_path, TEXT_CAPACITY);
  if (own_length == 0 || own_length >= TEXT_CAPACITY) own_path[0] = 0;
  report.Line(L"own_path", own_path);

  const DWORD directory_length = GetCurrentDirectoryW(TEXT_CAPACITY, g_value);
  if (directory_length == 0 || directory_length >= TEXT_CAPACITY) {
    g_value[0] = 0;
  }
  report.Line(L"current_directory", g_value);
  ReadVariable(L"WINDIR");
  report.Line(L"windir", g_value);
  ReadVariable(L"SYSTEMROOT");
  report.Line(L"systemroot", g_value);

  ReportSiblings(report, own_path);
  ReportArchive(report, command_line);
  if (ReadVariable(L"BRIVEL_PROBE_RENAME_OWN_DIRECTORY")) {
    ReportOwnDirectoryRename(report, own_path);
  }

  if (ReadVariable(L"BRIVEL_PROBE_HOLD_MS")) {
    DWORD milliseconds = 0;
    bool started = false;
    if (ParseNumber(g_value, milliseconds)) {
      static wchar_t text[16];
      text[0] = 0;
      AppendNumber(text, 16, milliseconds, 10, 1);
      started = StartHolder(own_path, text);
    } else {
      exit_code = PROBE_BAD_SETTING;
    }
    report.Line(L"hold_started", started ? L"1" : L"0");
  }
  report.Close();
  // The report is complete before the wait starts.
  if (ReadVariable(L"BRIVEL_PROBE_WAIT_FILE")) WaitForFile(g_value);
  ExitProcess(exit_code);
}
