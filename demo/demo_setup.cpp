// The demo's setup program: what an installer built by tools/demo runs from
// its work directory. Like the installer it has no run-time library (raw
// entry point, bounded strings on the stack, KERNEL32 and SHELL32 only).
// The archive's layout and checks are in demo_archive.cpp, the log in
// install_log.cpp.
//
// It takes the three switches the installer composes,
//   --mini-installer-path="M" --archive-resource-name="N"
//   --archive-resource-type="T"
// opens M as a data file, reads resource N of type T (the demo archive, whose
// layout make_demo_archive.py writes and which only this program reads),
// checks the whole archive, and writes its files into the target folder:
// %BRIVEL_DEMO_TARGET% when set, else %LOCALAPPDATA%\BrivelDemo. Arguments
// after the three switches (the installer passes its own on) are logged and
// otherwise ignored; when a switch appears twice the first one counts, so an
// argument passed through cannot redirect setup.
//
// It leaves "install.log" in the target folder: its own path (the installer's
// work directory is the folder it runs from), its command line, the archive it
// read and the files it wrote, and its exit code:
//   0                       installed
//   DEMO_BAD_COMMAND_LINE   a switch is missing or empty, or the line cannot
//                           be split
//   DEMO_ARCHIVE_UNREADABLE M cannot be opened as a data file, or has no
//                           resource N of type T
//   DEMO_ARCHIVE_INVALID    the archive breaks a rule of its layout; nothing
//                           is written
//   DEMO_TARGET_FAILED      the target folder or the log cannot be made
//   DEMO_WRITE_FAILED       a file could not be written (it is removed again)
#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"
#include "demo/demo_archive.h"
#include "demo/install_log.h"

#include <shellapi.h>

namespace {

constexpr DWORD DEMO_OK = 0;
constexpr DWORD DEMO_BAD_COMMAND_LINE = 31;
constexpr DWORD DEMO_ARCHIVE_UNREADABLE = 32;
constexpr DWORD DEMO_ARCHIVE_INVALID = 33;
constexpr DWORD DEMO_TARGET_FAILED = 34;
constexpr DWORD DEMO_WRITE_FAILED = 35;

// Data written per WriteFile call, so a size always fits a DWORD.
constexpr DWORD WRITE_CHUNK = 1 << 20;

// ---------------------------------------------------------------- paths

// The folder to install into, without a trailing backslash. False when
// neither variable gives one that fits PATH_CAPACITY with room for a file
// name.
bool ResolveTarget(PathBuffer& target) {
  // GetEnvironmentVariableW returns the size it needs when the value does
  // not fit, and 0 when the variable is absent or empty.
  DWORD length = GetEnvironmentVariableW(L"BRIVEL_DEMO_TARGET", target.text,
                                         PATH_CAPACITY);
  if (length == 0) {
    length = GetEnvironmentVariableW(L"LOCALAPPDATA", target.text,
                                     PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) return false;
    if (!BoundedAppend(target.text, PATH_CAPACITY, L"\\BrivelDemo"))
      return false;
    length = static_cast<DWORD>(BoundedLength(target.text, PATH_CAPACITY));
  } else if (length >= PATH_CAPACITY) {
    target.text[0] = 0;
    return false;
  }
  // Keep a drive root's own backslash ("C:\").
  while (length > 3 && target.text[length - 1] == L'\\')
    target.text[--length] = 0;
  return length + 1 + MAX_NAME_BYTES < PATH_CAPACITY;
}

// Creates the folder and any missing folder above it. Failures on the way
// up are expected (drive roots, folders that exist); only the result counts.
bool CreateFolderPath(PathBuffer& folder) {
  const uint64_t length = BoundedLength(folder.text, PATH_CAPACITY);
  for (uint64_t i = 1; i < length; ++i) {
    if (folder.text[i] != L'\\') continue;
    folder.text[i] = 0;
    CreateDirectoryW(folder.text, nullptr);
    folder.text[i] = L'\\';
  }
  CreateDirectoryW(folder.text, nullptr);
  const DWORD attributes = GetFileAttributesW(folder.text);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ComposeFilePath(const PathBuffer& folder, const WideChar* name,
                     PathBuffer& path) {
  return BoundedCopy(path.text, PATH_CAPACITY, folder.text) &&
         BoundedAppend(path.text, PATH_CAPACITY, L"\\") &&
         BoundedAppend(path.text, PATH_CAPACITY, name);
}

// ---------------------------------------------------------------- switches

struct SetupSwitches {
  const WideChar* installer_path = nullptr;
  const WideChar* resource_name = nullptr;
  const WideChar* resource_type = nullptr;
};

// The value after "--name=" (the split has removed the quotes), first
// occurrence only.
void TakeSwitch(const WideChar* argument, const WideChar* prefix,
                const WideChar*& value) {
  if (value != nullptr || !HasPrefixNoCase(argument, prefix)) return;
  value = argument + BoundedLength(prefix, PATH_CAPACITY);
}

SetupSwitches ParseSwitches(WideChar** arguments, int count) {
  SetupSwitches switches;
  for (int i = 1; i < count; ++i) {
    TakeSwitch(arguments[i], L"--mini-installer-path=",
               switches.installer_path);
    TakeSwitch(arguments[i], L"--archive-resource-name=",
               switches.resource_name);
    TakeSwitch(arguments[i], L"--archive-resource-type=",
               switches.resource_type);
  }
  return switches;
}

bool IsMissing(const WideChar* value) {
  return value == nullptr || value[0] == 0;
}

// ---------------------------------------------------------------- install

// Writes one file whole, or removes what it began. The last-error value is
// left for the caller on failure.
bool WriteWholeFile(const WideChar* path, const uint8_t* data, uint32_t size) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  uint32_t done = 0;
  while (done < size) {
    const DWORD chunk = size - done < WRITE_CHUNK ? size - done : WRITE_CHUNK;
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS;
    if (!WriteFile(file, data + done, chunk, &written, nullptr))
      error = GetLastError();
    else if (written != chunk)
      error = ERROR_WRITE_FAULT;
    if (error != ERROR_SUCCESS) {
      CloseHandle(file);
      DeleteFileW(path);
      SetLastError(error);
      return false;
    }
    done += chunk;
  }
  CloseHandle(file);
  return true;
}

DWORD InstallEntries(const DemoArchive& archive, const PathBuffer& target,
                     InstallLog& log) {
  for (uint32_t i = 0; i < archive.count; ++i) {
    const ArchiveEntry& entry = archive.entries[i];
    BoundedBuffer<NAME_CAPACITY> name;
    WideName(entry, name);
    PathBuffer path;
    if (!ComposeFilePath(target, name.text, path)) {
      LogFailure(log, "path too long for an entry", ERROR_FILENAME_EXCED_RANGE);
      return DEMO_WRITE_FAILED;
    }
    if (!WriteWholeFile(path.text, entry.data, entry.size)) {
      const DWORD error = GetLastError();
      LogAscii(log, "failed: ");
      LogWide(log, name.text);
      LogEnd(log);
      LogFailure(log, "cannot write the file", error);
      return DEMO_WRITE_FAILED;
    }
    LogAscii(log, "wrote: ");
    LogWide(log, name.text);
    LogAscii(log, " (");
    LogNumber(log, entry.size);
    LogAscii(log, " bytes)");
    LogEnd(log);
  }
  return DEMO_OK;
}

// Reads the archive out of the installer and installs it.
DWORD InstallFromInstaller(const SetupSwitches& switches,
                           const PathBuffer& target, InstallLog& log) {
  // As a data file: the installer's image is mapped for reading, none of its
  // code runs, and the archive is never copied.
  HMODULE installer = LoadLibraryExW(switches.installer_path, nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE);
  if (installer == nullptr) {
    LogFailure(log, "cannot open the installer as a data file", GetLastError());
    return DEMO_ARCHIVE_UNREADABLE;
  }
  DWORD result = DEMO_ARCHIVE_UNREADABLE;
  const uint8_t* data = nullptr;
  DWORD size = 0;
  HRSRC found = FindResourceW(installer, switches.resource_name,
                              switches.resource_type);
  if (found == nullptr) {
    LogFailure(log, "no such resource in the installer", GetLastError());
  } else {
    size = SizeofResource(installer, found);
    HGLOBAL loaded = size != 0 ? LoadResource(installer, found) : nullptr;
    data = static_cast<const uint8_t*>(loaded ? LockResource(loaded) : nullptr);
    if (data == nullptr)
      LogFailure(log, "cannot load the archive resource", GetLastError());
  }
  if (data != nullptr) {
    LogAscii(log, "archive: ");
    LogWide(log, switches.resource_name);
    LogAscii(log, " (type ");
    LogWide(log, switches.resource_type);
    LogAscii(log, "), ");
    LogNumber(log, size);
    LogAscii(log, " bytes");
    LogEnd(log);
    DemoArchive archive;
    const char* problem = ReadArchive(data, size, archive);
    if (problem != nullptr) {
      LogAscii(log, "error: bad archive: ");
      LogAscii(log, problem);
      LogEnd(log);
      result = DEMO_ARCHIVE_INVALID;
    } else {
      LogAscii(log, "archive checked: ");
      LogNumber(log, archive.count);
      LogAscii(log, " files, CRC-32 ");
      LogHex32(log, archive.checksum);
      LogEnd(log);
      result = InstallEntries(archive, target, log);
    }
  }
  FreeLibrary(installer);
  return result;
}

DWORD RunDemoSetup() {
  PathBuffer target;
  if (!ResolveTarget(target) || !CreateFolderPath(target))
    return DEMO_TARGET_FAILED;
  InstallLog log;
  {
    PathBuffer log_path;
    if (!ComposeFilePath(target, LOG_NAME, log_path)) return DEMO_TARGET_FAILED;
    log.file = CreateFileW(log_path.text, GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (log.file == INVALID_HANDLE_VALUE) return DEMO_TARGET_FAILED;
  }

  LogAscii(log, "Brivel demo setup\r\n");
  {
    PathBuffer own_path;
    const DWORD length = GetModuleFileNameW(nullptr, own_path.text,
                                            PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) own_path.text[0] = 0;
    LogAscii(log, "setup: ");
    LogWide(log, own_path.text);
    LogEnd(log);
  }
  const WideChar* command_line = GetCommandLineW();
  LogAscii(log, "command line: ");
  LogWide(log, command_line);
  LogEnd(log);
  LogAscii(log, "target: ");
  LogWide(log, target.text);
  LogEnd(log);

  DWORD result = DEMO_BAD_COMMAND_LINE;
  int count = 0;
  WideChar** arguments = CommandLineToArgvW(command_line, &count);
  if (arguments == nullptr) {
    LogFailure(log, "the command line cannot be split", GetLastError());
  } else {
    const SetupSwitches switches = ParseSwitches(arguments, count);
    if (IsMissing(switches.installer_path) ||
        IsMissing(switches.resource_name) ||
        IsMissing(switches.resource_type)) {
      LogAscii(log,
               "error: --mini-installer-path, --archive-resource-name and "
               "--archive-resource-type are all needed\r\n");
    } else {
      LogAscii(log, "installer: ");
      LogWide(log, switches.installer_path);
      LogEnd(log);
      result = InstallFromInstaller(switches, target, log);
    }
    LocalFree(arguments);
  }

  LogAscii(log, "result: ");
  LogNumber(log, result);
  LogAscii(log, result == DEMO_OK ? " (installed)\r\n" : " (failed)\r\n");
  CloseHandle(log.file);
  return result;
}

}  // namespace

extern "C" [[noreturn]] void DemoSetupEntry() { ExitProcess(RunDemoSetup()); }
