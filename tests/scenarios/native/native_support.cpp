#include "scenarios/native/native_support.h"

#include <sddl.h>

namespace native {
namespace {

using plain::Equal;
using plain::Length;
using plain::StartsWith;

// A stalled installer ends the case rather than the whole run.
constexpr DWORD RUN_LIMIT_MS = 180000;

constexpr wchar_t CLIENT_STATE_LEVELS[][48] = {
    L"Software", L"Morvex", L"Update", L"ClientState",
    L"{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}"};
constexpr int LEVELS = 5;

constexpr wchar_t MORVEX_KEY[] = L"Software\\Morvex";
constexpr const wchar_t* RECORD_VALUES[] = {
    L"InstallerResult", L"InstallerError", L"InstallerExtraCode1"};
constexpr wchar_t CLEANUP_VALUE[] = L"BrivelInstallerCleanup";

// What PrepareRemoval took out of the registry, for RestoreRemovalSetting
// (zero until then, as static storage starts).
struct SavedSetting {
  bool taken;
  DWORD type;
  DWORD size;
  BYTE data[512];
};
SavedSetting g_saved_setting;

void LevelPath(Wide& out, int levels) {
  out.Clear();
  for (int i = 0; i < levels; ++i) {
    if (i > 0) out.AddChar(L'\\');
    out.Add(CLIENT_STATE_LEVELS[i]);
  }
}

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
  BuildPath(source, L"fixtures\\");
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

ClientStateKey::ClientStateKey(HKEY root) : root_(root) {
  Wide path;
  for (int levels = 1; levels <= LEVELS; ++levels) {
    LevelPath(path, levels);
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(root_, path.c_str(), 0,
                                      KEY_READ | KEY_WOW64_32KEY, &key);
    if (opened == ERROR_SUCCESS) {
      RegCloseKey(key);
      continue;
    }
    made_from_ = levels;
    break;
  }
  LevelPath(path, LEVELS);
  error_ = static_cast<DWORD>(RegCreateKeyExW(
      root_, path.c_str(), 0, nullptr, 0,
      KEY_READ | KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key_, nullptr));
  if (error_ != 0) {
    key_ = nullptr;
    made_from_ = -1;
    return;
  }
  // Empty for the case: the values a key of an earlier run kept go.
  for (const wchar_t* name : RECORD_VALUES) RegDeleteValueW(key_, name);
}

ClientStateKey::~ClientStateKey() {
  if (key_ != nullptr) RegCloseKey(key_);
  Wide path;
  if (made_from_ < 0) {
    // The key was there before: only the values this run may have left go.
    LevelPath(path, LEVELS);
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                      &key) == ERROR_SUCCESS) {
      for (const wchar_t* name : RECORD_VALUES) RegDeleteValueW(key, name);
      RegCloseKey(key);
    }
    return;
  }
  for (int levels = LEVELS; levels >= made_from_; --levels) {
    LevelPath(path, levels);
    RegDeleteKeyExW(root_, path.c_str(), KEY_WOW64_32KEY, 0);
  }
}

bool ClientStateKey::Dword(const wchar_t* name, DWORD& value) const {
  DWORD type = 0, size = sizeof(value);
  return key_ != nullptr &&
         RegQueryValueExW(key_, name, nullptr, &type,
                          reinterpret_cast<BYTE*>(&value), &size) == 0 &&
         type == REG_DWORD && size == sizeof(value);
}

DWORD ClientStateKey::ValueCount() const {
  DWORD values = 0;
  if (key_ == nullptr ||
      RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, &values, nullptr, nullptr, nullptr,
                       nullptr) != 0) {
    return 0;
  }
  return values;
}

void ClientStateKey::SetDword(const wchar_t* name, DWORD value) {
  if (key_ == nullptr) return;
  RegSetValueExW(key_, name, 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void ClientStateKey::ExpectRecord(CaseContext& context, const DWORD* result,
                                  const DWORD* error, const DWORD* extra) const {
  const struct {
    const wchar_t* name;
    const char* what;
    const DWORD* expected;
  } values[] = {{L"InstallerResult", "InstallerResult", result},
                {L"InstallerError", "InstallerError", error},
                {L"InstallerExtraCode1", "InstallerExtraCode1", extra}};
  for (const auto& v : values) {
    DWORD got = 0;
    const bool present = Dword(v.name, got);
    if (v.expected == nullptr) {
      if (present) {
        Bytes message;
        message.Add(v.what).Add(" is recorded (").AddNumber(got)
            .Add(") where nothing should be");
        context.Fail(message);
      }
    } else if (!present) {
      Bytes message;
      message.Add(v.what).Add(" is not recorded");
      context.Fail(message);
    } else {
      context.ExpectNumber(v.what, got, *v.expected);
    }
  }
}

void PrepareRemoval(Bytes& failure) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;  // no setting at all
  }
  SavedSetting& saved = g_saved_setting;
  saved.size = sizeof(saved.data);
  const LONG read = RegQueryValueExW(key, CLEANUP_VALUE, nullptr, &saved.type,
                                     saved.data, &saved.size);
  if (read == ERROR_SUCCESS) {
    const LONG removed = RegDeleteValueW(key, CLEANUP_VALUE);
    saved.taken = removed == ERROR_SUCCESS;
    if (!saved.taken) {
      failure.Add("cannot take BrivelInstallerCleanup out for the run: error ")
          .AddNumber(static_cast<DWORD>(removed));
    }
  } else if (read != ERROR_FILE_NOT_FOUND) {
    failure.Add("cannot read BrivelInstallerCleanup: error ")
        .AddNumber(static_cast<DWORD>(read));
  }
  RegCloseKey(key);
}

void RestoreRemovalSetting() {
  SavedSetting& saved = g_saved_setting;
  if (!saved.taken) return;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, MORVEX_KEY, 0, KEY_SET_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegSetValueExW(key, CLEANUP_VALUE, 0, saved.type, saved.data, saved.size);
    RegCloseKey(key);
  }
  saved.taken = false;
}

bool TokenOwnerSid(Wide& out) {
  out.Clear();
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(8) BYTE block[512];
  DWORD size = 0;
  LPWSTR text = nullptr;
  const bool ok = GetTokenInformation(token, TokenOwner, block, sizeof(block),
                                      &size) &&
                  ConvertSidToStringSidW(
                      reinterpret_cast<TOKEN_OWNER*>(block)->Owner, &text);
  CloseHandle(token);
  if (!ok) return false;
  out.Set(text);
  LocalFree(text);
  return true;
}

}  // namespace native
