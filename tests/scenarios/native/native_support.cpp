#include "scenarios/native/native_support.h"

namespace native {
namespace {

using plain::Equal;
using plain::Length;
using plain::StartsWith;

// A stalled installer ends the case rather than the whole run.
constexpr DWORD RUN_LIMIT_MS = 180000;

bool IsDotEntry(const wchar_t* name) {
  return Equal(name, L".") || Equal(name, L"..");
}

// The archive's FNV-1a 64 checksum, as the probe writes it: 16 lower-case
// hexadecimal digits.
void Fnv1a64(const Bytes& bytes, Wide& out) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < bytes.size(); ++i) {
    hash ^= static_cast<uint8_t>(bytes.c_str()[i]);
    hash *= 0x100000001b3ull;
  }
  out.Clear();
  for (int shift = 60; shift >= 0; shift -= 4) {
    out.AddChar(L"0123456789abcdef"[(hash >> shift) & 0xF]);
  }
}

}  // namespace

void BuildPath(Wide& out, const wchar_t* relative) {
  Wide dir;
  if (plain::ReadVariable(L"BRIVEL_BUILD_DIR", dir) && !dir.empty()) {
    out.Set(dir.c_str()[0] == L'/' ? L"Z:" : L"").Add(dir);
  } else {
    plain::OwnFolder(out);
    for (int up = 0; up < 2; ++up) {
      size_t cut = out.size();
      while (cut > 0 && out.c_str()[cut - 1] != L'\\') --cut;
      out.Truncate(cut > 0 ? cut - 1 : 0);
    }
  }
  wchar_t* chars = out.data();
  for (size_t i = 0; i < out.size(); ++i) {
    if (chars[i] == L'/') chars[i] = L'\\';
  }
  while (!out.empty() && out.c_str()[out.size() - 1] == L'\\') {
    out.Truncate(out.size() - 1);
  }
  out.AddChar(L'\\').Add(relative);
}

Folder::Folder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return;
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    path_.Set(temp);
    while (!path_.empty() && path_.c_str()[path_.size() - 1] == L'\\') {
      path_.Truncate(path_.size() - 1);
    }
    path_.Add(L"\\brivel-native-").AddNumber(GetCurrentProcessId())
        .AddChar(L'-').AddNumber(GetTickCount64() % 100000)
        .AddChar(L'-').AddNumber(attempt);
    if (CreateDirectoryW(path_.c_str(), nullptr)) return;
  }
  path_.Clear();
}

Folder::~Folder() {
  if (!path_.empty()) RemoveTree(path_.c_str());
}

void Folder::Join(Wide& out, const wchar_t* name) const {
  out.Set(path_.c_str()).AddChar(L'\\').Add(name);
}

bool MakeFolderOfLength(const wchar_t* base, size_t length, Wide& out) {
  // Names of at most this many characters, well below the component limit.
  constexpr size_t STEP_NAME = 100;
  out.Set(base);
  wchar_t letter = L'a';
  Wide long_path;
  while (out.size() < length) {
    if (length < out.size() + 2) return false;  // no room for "\" + a name
    const size_t room = length - out.size() - 1;
    // Leave at least two characters for a last step.
    const size_t name = room <= STEP_NAME ? room : STEP_NAME - 2;
    out.AddChar(L'\\');
    for (size_t i = 0; i < name; ++i) out.AddChar(letter);
    ++letter;
    LongPath(long_path, out.c_str());
    if (!CreateDirectoryW(long_path.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return out.size() == length;
}

bool TempVolumeKeepsAccessLists() {
  wchar_t temp[MAX_PATH + 1], root[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  DWORD flags = 0;
  if (length == 0 || length > MAX_PATH ||
      !GetVolumePathNameW(temp, root, MAX_PATH + 1) ||
      !GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags,
                             nullptr, 0)) {
    return false;
  }
  return (flags & FILE_PERSISTENT_ACLS) != 0 &&
         GetDriveTypeW(root) != DRIVE_REMOTE;
}

void ListFolder(const wchar_t* path, Wide& out) {
  out.Clear();
  // Few entries: an insertion into the sorted text is cheap enough.
  Wide pattern, name;
  LongPath(pattern, path);
  pattern.Add(L"\\*");
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (IsDotEntry(data.cFileName)) continue;
    // Find the first line that sorts after this name, ordinal.
    size_t at = 0;
    const wchar_t* text = out.c_str();
    while (at < out.size()) {
      size_t end = at;
      while (text[end] != L'\n') ++end;
      name.Set(L"").Add(text + at, end - at);
      if (lstrcmpW(name.c_str(), data.cFileName) > 0) break;
      at = end + 1;
    }
    Wide rest;
    rest.Set(out.c_str() + at);
    out.Truncate(at);
    out.Add(data.cFileName).AddChar(L'\n').Add(rest);
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

bool ProbeValue(const Wide& report, const wchar_t* key, Wide& value) {
  value.Clear();
  const size_t key_length = Length(key);
  const wchar_t* line = report.c_str();
  while (*line != 0) {
    const wchar_t* end = line;
    while (*end != 0 && *end != L'\n') ++end;
    if (StartsWith(line, key) && line[key_length] == L'=') {
      for (const wchar_t* c = line + key_length + 1; c < end; ++c) {
        if (*c != L'\\' || c + 1 == end) {
          value.AddChar(*c);
          continue;
        }
        const wchar_t code = *++c;
        if (code == L'x' && c + 2 < end) {
          wchar_t hex = 0;
          for (int i = 1; i <= 2; ++i) {
            const wchar_t d = c[i];
            hex = static_cast<wchar_t>(
                hex * 16 + (d <= L'9' ? d - L'0' : (d | 0x20) - L'a' + 10));
          }
          value.AddChar(hex);
          c += 2;
        } else {
          value.AddChar(code == L't'   ? L'\t'
                        : code == L'n' ? L'\n'
                        : code == L'r' ? L'\r'
                                       : code);
        }
      }
      return true;
    }
    line = *end == 0 ? end : end + 1;
  }
  return false;
}

InstallerRun::InstallerRun(CaseContext& context, const wchar_t* fixture,
                           const wchar_t* folder, const wchar_t* name)
    : context_(context) {
  if (own_.path().empty()) {
    context_.Fail("cannot make a folder under the temporary folder");
    return;
  }
  if (folder != nullptr) {
    folder_.Set(folder);
  } else {
    own_.Join(folder_, L"app");
    CreateDirectoryW(folder_.c_str(), nullptr);
  }
  installer_.Set(folder_.c_str()).AddChar(L'\\').Add(name);
  own_.Join(cwd_, L"cwd");
  own_.Join(report_, L"report.txt");
  CreateDirectoryW(cwd_.c_str(), nullptr);
  Wide source, from, to;
  // Under a volume's answers (BRIVEL_VOLUME, which CTest sets), the
  // fixtures of the strict kit, whose seam gives them.
  Wide volume;
  BuildPath(source, L"fixtures\\");
  if (plain::ReadVariable(L"BRIVEL_VOLUME", volume) && !volume.empty()) {
    source.Add(L"strict\\");
  }
  source.Add(fixture);
  LongPath(from, source.c_str());
  LongPath(to, installer_.c_str());
  ok_ = CopyFileW(from.c_str(), to.c_str(), TRUE) != 0;
  if (!ok_) {
    Bytes message;
    message.Add("cannot copy the fixture ");
    plain::AppendUtf8(message, source);
    message.Add(": error ").AddNumber(GetLastError());
    context_.Fail(message);
  }
  Setting(L"BRIVEL_PROBE_REPORT", report_.c_str());
}

InstallerRun::~InstallerRun() {
  if (process_ != nullptr) Wait();
  for (int i = 0; i < settings_; ++i) {
    SetEnvironmentVariableW(setting_names_[i].c_str(), nullptr);
  }
}

void InstallerRun::Setting(const wchar_t* name, const wchar_t* value) {
  SetEnvironmentVariableW(name, value);
  for (int i = 0; i < settings_; ++i) {
    if (Equal(setting_names_[i].c_str(), name)) return;
  }
  if (settings_ < SETTINGS) setting_names_[settings_++].Set(name);
}

bool InstallerRun::Start(const wchar_t* arguments) {
  if (!ok_) return false;
  DeleteFileW(report_.c_str());
  Wide command_line;
  command_line.AddChar(L'"').Add(installer_).AddChar(L'"').Add(arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(installer_.c_str(), command_line.data(), nullptr, nullptr,
                      FALSE, 0, nullptr, cwd_.c_str(), &startup, &process)) {
    Bytes message;
    message.Add("the installer did not start: error ").AddNumber(GetLastError());
    context_.Fail(message);
    return false;
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  return true;
}

bool InstallerRun::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

DWORD InstallerRun::Wait() {
  if (process_ == nullptr) return 0xFFFFFFFF;
  DWORD exit_code = 0xFFFFFFFF;
  if (WaitForSingleObject(process_, RUN_LIMIT_MS) != WAIT_OBJECT_0) {
    TerminateProcess(process_, 0xFFFFFFFF);
    WaitForSingleObject(process_, RUN_LIMIT_MS);
    context_.Fail("the installer did not end in time: ended");
  } else {
    GetExitCodeProcess(process_, &exit_code);
  }
  CloseHandle(process_);
  process_ = nullptr;
  return exit_code;
}

DWORD InstallerRun::Run(const wchar_t* arguments) {
  return Start(arguments) ? Wait() : 0xFFFFFFFF;
}

bool InstallerRun::Report(Wide& out) const {
  Bytes bytes;
  DWORD error = 0;
  out.Clear();
  if (!plain::ReadWholeFile(report_.c_str(), bytes, error)) return false;
  plain::AppendUtf16(out, bytes.c_str(), bytes.size());
  return true;
}

bool InstallerRun::ReportWritten() const {
  return GetFileAttributesW(report_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void InstallerRun::ExpectSetupRan(Wide& setup_path) {
  Wide report, value, expected;
  setup_path.Clear();
  if (!context_.Expect(Report(report), "setup ran (it wrote its report)")) {
    return;
  }
  ProbeValue(report, L"own_path", setup_path);
  // <folder>\BV_XXXXX.tmp\setup.exe, five upper-case hexadecimal digits.
  const wchar_t* path = setup_path.c_str();
  bool shaped = StartsWith(path, folder_.c_str()) &&
                setup_path.size() == folder_.size() + 23 &&
                StartsWith(path + folder_.size(), L"\\BV_") &&
                Equal(path + folder_.size() + 9, L".tmp\\setup.exe");
  for (size_t i = 0; shaped && i < 5; ++i) {
    const wchar_t d = path[folder_.size() + 4 + i];
    shaped = (d >= L'0' && d <= L'9') || (d >= L'A' && d <= L'F');
  }
  if (!shaped) {
    context_.ExpectText("setup's path", path, L"<folder>\\BV_XXXXX.tmp\\setup.exe");
  }
  Wide siblings;
  for (const wchar_t* at = report.c_str(); (at = plain::Find(at, L"\nsibling="));) {
    at += 9;
    while (*at != 0 && *at != L'\n') siblings.AddChar(*at++);
    siblings.AddChar(L'\n');
  }
  context_.ExpectText("entries beside setup", siblings.c_str(), L"setup.exe\n");
  ProbeValue(report, L"current_directory", value);
  context_.ExpectText("setup's current directory", value.c_str(), cwd_.c_str());
  ProbeValue(report, L"archive_opened", value);
  context_.ExpectText("archive opened through the switches", value.c_str(), L"1");

  Bytes archive;
  DWORD error = 0;
  BuildPath(expected, L"fixtures\\scenario_archive.bin");
  if (!context_.Expect(plain::ReadWholeFile(expected.c_str(), archive, error),
                       "the scenario archive can be read")) {
    return;
  }
  ProbeValue(report, L"archive_size", value);
  expected.Clear();
  expected.AddNumber(archive.size());
  context_.ExpectText("archive size", value.c_str(), expected.c_str());
  ProbeValue(report, L"archive_fnv", value);
  Fnv1a64(archive, expected);
  context_.ExpectText("archive checksum", value.c_str(), expected.c_str());
}

void InstallerRun::ExpectOnlyTheInstallerLeft() {
  Wide entries, expected;
  ListFolder(folder_.c_str(), entries);
  const wchar_t* name = installer_.c_str() + folder_.size() + 1;
  expected.Set(name).AddChar(L'\n');
  context_.ExpectText("left in the installer's folder", entries.c_str(),
                      expected.c_str());
}

}  // namespace native
