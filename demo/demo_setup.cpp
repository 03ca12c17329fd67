// The demo's setup program: what an installer built by tools/demo runs from
// its work directory. Like the installer it has no run-time library (raw
// entry point, bounded strings on the stack, KERNEL32 and SHELL32 only).
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

#include <shellapi.h>

namespace {

constexpr DWORD DEMO_OK = 0;
constexpr DWORD DEMO_BAD_COMMAND_LINE = 31;
constexpr DWORD DEMO_ARCHIVE_UNREADABLE = 32;
constexpr DWORD DEMO_ARCHIVE_INVALID = 33;
constexpr DWORD DEMO_TARGET_FAILED = 34;
constexpr DWORD DEMO_WRITE_FAILED = 35;

// The archive, all numbers little-endian:
//   magic "BRVDEMO1" | u32 count | count x (u16 name bytes | UTF-8 name |
//   u32 size | bytes) | u32 CRC-32 of everything before it
// Names are plain file names (no folders); the trailer must end the resource
// exactly.
constexpr uint8_t ARCHIVE_MAGIC[8] = {'B', 'R', 'V', 'D', 'E', 'M', 'O', '1'};
constexpr uint32_t MAX_ENTRIES = 64;
constexpr uint32_t MAX_NAME_BYTES = 128;
constexpr uint64_t NAME_CAPACITY = MAX_NAME_BYTES + 1;
constexpr WideChar LOG_NAME[] = L"install.log";

// Data written per WriteFile call, so a size always fits a DWORD.
constexpr DWORD WRITE_CHUNK = 1 << 20;

// ---------------------------------------------------------------- the log

struct InstallLog {
  HANDLE file = INVALID_HANDLE_VALUE;
};

void LogBytes(InstallLog& log, const void* bytes, DWORD count) {
  DWORD written = 0;
  // A log that cannot be written must not stop the install.
  if (log.file != INVALID_HANDLE_VALUE && count != 0)
    WriteFile(log.file, bytes, count, &written, nullptr);
}

void LogAscii(InstallLog& log, const char* text) {
  DWORD count = 0;
  while (text[count] != 0) ++count;
  LogBytes(log, text, count);
}

// UTF-8 of text, converted in slices small enough for a stack buffer; a
// slice never ends between the two halves of a surrogate pair.
void LogWide(InstallLog& log, const WideChar* text) {
  constexpr int SLICE = 128;
  char utf8[SLICE * 3 + 8];
  while (*text != 0) {
    int count = 0;
    while (count < SLICE && text[count] != 0) ++count;
    if (count == SLICE && text[count] != 0 && text[count - 1] >= 0xD800 &&
        text[count - 1] <= 0xDBFF)
      --count;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, count, utf8,
                                          sizeof(utf8), nullptr, nullptr);
    if (bytes > 0) LogBytes(log, utf8, static_cast<DWORD>(bytes));
    text += count;
  }
}

void LogNumber(InstallLog& log, uint64_t value) {
  char digits[24];
  int at = sizeof(digits);
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  LogBytes(log, digits + at, static_cast<DWORD>(sizeof(digits) - at));
}

void LogHex32(InstallLog& log, uint32_t value) {
  char text[11] = {'0', 'x'};
  for (int i = 0; i < 8; ++i)
    text[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
  LogBytes(log, text, 10);
}

void LogEnd(InstallLog& log) { LogBytes(log, "\r\n", 2); }

// "error: <what> (error N)" with the last-error value read by the caller.
void LogFailure(InstallLog& log, const char* what, DWORD error) {
  LogAscii(log, "error: ");
  LogAscii(log, what);
  LogAscii(log, " (error ");
  LogNumber(log, error);
  LogAscii(log, ")");
  LogEnd(log);
}

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

// ---------------------------------------------------------------- archive

uint32_t Crc32(const uint8_t* bytes, uint64_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint64_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

struct ArchiveEntry {
  const uint8_t* name = nullptr;
  uint32_t name_bytes = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

struct DemoArchive {
  uint32_t count = 0;
  uint32_t checksum = 0;
  ArchiveEntry entries[MAX_ENTRIES];
};

struct ArchiveReader {
  const uint8_t* data;
  uint64_t size;
  uint64_t position;
};

bool Take(ArchiveReader& reader, uint64_t count, const uint8_t*& at) {
  if (reader.size - reader.position < count) return false;
  at = reader.data + reader.position;
  reader.position += count;
  return true;
}

bool TakeNumber(ArchiveReader& reader, uint64_t width, uint32_t& value) {
  const uint8_t* at = nullptr;
  if (!Take(reader, width, at)) return false;
  value = 0;
  for (uint64_t i = width; i > 0; --i) value = (value << 8) | at[i - 1];
  return true;
}

// The entry's name as UTF-16, if it is valid UTF-8 and fits.
bool WideName(const ArchiveEntry& entry, BoundedBuffer<NAME_CAPACITY>& name) {
  const int count = MultiByteToWideChar(
      CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(entry.name),
      static_cast<int>(entry.name_bytes), name.text, NAME_CAPACITY - 1);
  if (count <= 0) {
    name.text[0] = 0;
    return false;
  }
  name.text[count] = 0;
  return true;
}

// A plain file name that Windows accepts and that is not the log's.
bool IsPlainFileName(const WideChar* name) {
  uint64_t length = 0;
  for (; name[length] != 0; ++length) {
    const WideChar c = name[length];
    if (c < 0x20) return false;
    for (const WideChar* bad = L"\\/:*?\"<>|"; *bad != 0; ++bad)
      if (c == *bad) return false;
  }
  if (length == 0) return false;
  // Windows drops a trailing dot or space, which would make a different file.
  const WideChar last = name[length - 1];
  if (last == L'.' || last == L' ') return false;
  return lstrcmpiW(name, LOG_NAME) != 0;
}

// Checks the whole archive before anything is written. Null on success,
// otherwise what is wrong.
const char* ReadArchive(const uint8_t* data, uint64_t size,
                        DemoArchive& archive) {
  ArchiveReader reader{data, size, 0};
  if (size < sizeof(ARCHIVE_MAGIC) + 8) return "too short for a demo archive";
  for (uint64_t i = 0; i < sizeof(ARCHIVE_MAGIC); ++i)
    if (data[i] != ARCHIVE_MAGIC[i]) return "no demo archive header";
  reader.position = sizeof(ARCHIVE_MAGIC);

  const uint64_t body = size - 4;
  archive.checksum = 0;
  for (int i = 0; i < 4; ++i)
    archive.checksum |= static_cast<uint32_t>(data[body + i]) << (8 * i);
  if (Crc32(data, body) != archive.checksum) return "checksum mismatch";
  reader.size = body;

  if (!TakeNumber(reader, 4, archive.count)) return "truncated entry count";
  if (archive.count == 0 || archive.count > MAX_ENTRIES)
    return "entry count out of range";
  for (uint32_t i = 0; i < archive.count; ++i) {
    ArchiveEntry& entry = archive.entries[i];
    if (!TakeNumber(reader, 2, entry.name_bytes) ||
        !Take(reader, entry.name_bytes, entry.name) ||
        !TakeNumber(reader, 4, entry.size) ||
        !Take(reader, entry.size, entry.data))
      return "truncated entry";
    if (entry.name_bytes == 0 || entry.name_bytes > MAX_NAME_BYTES)
      return "entry name length out of range";
    BoundedBuffer<NAME_CAPACITY> name;
    if (!WideName(entry, name)) return "entry name is not UTF-8";
    if (!IsPlainFileName(name.text)) return "entry name is not a plain file name";
    for (uint32_t j = 0; j < i; ++j) {
      BoundedBuffer<NAME_CAPACITY> earlier;
      WideName(archive.entries[j], earlier);
      if (lstrcmpiW(name.text, earlier.text) == 0) return "duplicate entry name";
    }
  }
  if (reader.position != reader.size) return "data after the last entry";
  return nullptr;
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
