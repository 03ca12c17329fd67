#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <map>

std::ostream& operator<<(std::ostream& out, const RunOutcome& outcome) {
  return out << "{" << outcome.exit_code << ", " << outcome.os_error << "}";
}

bool operator==(const RunOutcome& a, const RunOutcome& b) {
  return a.exit_code == b.exit_code && a.os_error == b.os_error;
}

namespace testing_support {

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                       static_cast<int>(text.size()), nullptr,
                                       0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                       static_cast<int>(text.size()), nullptr,
                                       0);
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), size);
  return out;
}

std::wstring BuildDir() {
  wchar_t value[1024];
  const DWORD length =
      GetEnvironmentVariableW(L"BRIVEL_BUILD_DIR", value, 1024);
  std::wstring dir;
  if (length > 0 && length < 1024) {
    dir = value;
    if (!dir.empty() && dir[0] == L'/') dir = L"Z:" + dir;
  } else {
    // The test program lives in <build>\tests\<folder>\.
    wchar_t own[1024];
    GetModuleFileNameW(nullptr, own, 1024);
    dir = own;
    for (int up = 0; up < 3; ++up) dir = dir.substr(0, dir.find_last_of(L"\\/"));
  }
  std::replace(dir.begin(), dir.end(), L'/', L'\\');
  while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  return dir;
}

std::wstring BuildPath(const std::wstring& relative) {
  std::wstring path = BuildDir() + L"\\" + relative;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base = temp;
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  for (unsigned attempt = 0;; ++attempt) {
    std::wstring candidate = base + L"\\brivel-test-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount()) + L"-" +
                             std::to_wstring(attempt);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring TempDir::Join(const std::wstring& name) const {
  return path_ + L"\\" + name;
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
  } else {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveDirectoryW(path.c_str());
    } else {
      DeleteFileW(path.c_str());
    }
  }
}

std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length) {
  // Names of at most this many characters, well below the component limit.
  constexpr size_t STEP_NAME = 100;
  std::wstring path = base;
  wchar_t letter = L'a';
  while (path.size() < length) {
    if (length < path.size() + 2) return L"";  // no room for "\" + a name
    const size_t room = length - path.size() - 1;
    // Leave at least two characters for a last step.
    const size_t name = room <= STEP_NAME ? room : STEP_NAME - 2;
    path += L"\\" + std::wstring(name, letter++);
    const std::wstring prefixed = L"\\\\?\\" + path;
    if (!CreateDirectoryW(prefixed.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return L"";
    }
  }
  return path.size() == length ? path : L"";
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> ListDirectory(const std::wstring& path) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << Narrow(path) << " " << GetLastError();
  DWORD written = 0;
  if (!bytes.empty()) {
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                          &written, nullptr));
  }
  CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    bytes.append(chunk, read);
  }
  CloseHandle(file);
  return bytes;
}

void CopyFileOrDie(const std::wstring& from, const std::wstring& to) {
  ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
      << Narrow(from) << " -> " << Narrow(to) << ": " << GetLastError();
}

ProcessResult RunProcess(const std::wstring& command_line,
                         const std::wstring& current_directory,
                         const std::vector<std::wstring>& environment) {
  return RunProgram(L"", command_line, current_directory, environment);
}

ProcessResult RunProgram(const std::wstring& application,
                         const std::wstring& command_line,
                         const std::wstring& current_directory,
                         const std::vector<std::wstring>& environment) {
  ProcessResult result;
  std::vector<wchar_t> block;
  if (!environment.empty()) {
    // This process's environment with the given entries added or replaced.
    std::map<std::wstring, std::wstring> entries;
    wchar_t* own = GetEnvironmentStringsW();
    for (wchar_t* entry = own; *entry; entry += wcslen(entry) + 1) {
      std::wstring text = entry;
      const size_t equals = text.find(L'=', 1);
      entries[text.substr(0, equals)] = text;
    }
    FreeEnvironmentStringsW(own);
    for (const std::wstring& text : environment) {
      entries[text.substr(0, text.find(L'=', 1))] = text;
    }
    for (const auto& entry : entries) {
      block.insert(block.end(), entry.second.begin(), entry.second.end());
      block.push_back(0);
    }
    block.push_back(0);
  }
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.empty() ? nullptr : application.c_str(),
                      line.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT,
                      block.empty() ? nullptr : block.data(),
                      current_directory.empty() ? nullptr
                                                : current_directory.c_str(),
                      &startup, &process)) {
    result.start_error = GetLastError();
    return result;
  }
  result.started = true;
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hProcess);
  return result;
}

std::wstring ProbeReport::Value(const std::wstring& key) const {
  for (const auto& entry : entries) {
    if (entry.first == key) return entry.second;
  }
  return {};
}

std::vector<std::wstring> ProbeReport::Values(const std::wstring& key) const {
  std::vector<std::wstring> values;
  for (const auto& entry : entries) {
    if (entry.first == key) values.push_back(entry.second);
  }
  return values;
}

ProbeReport ReadProbeReport(const std::wstring& path) {
  ProbeReport report;
  const std::wstring text = Widen(ReadFileBytes(path));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) continue;
    std::wstring value;
    for (size_t i = equals + 1; i < line.size(); ++i) {
      if (line[i] != L'\\' || i + 1 == line.size()) {
        value += line[i];
        continue;
      }
      const wchar_t code = line[++i];
      if (code == L't') {
        value += L'\t';
      } else if (code == L'n') {
        value += L'\n';
      } else if (code == L'r') {
        value += L'\r';
      } else if (code == L'x' && i + 2 < line.size()) {
        value += static_cast<wchar_t>(
            std::wcstoul(line.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
      } else {
        value += code;
      }
    }
    report.entries.emplace_back(line.substr(0, equals), value);
  }
  return report;
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") !=
         nullptr;
}

bool RunningElevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation),
                      &size);
  CloseHandle(token);
  return elevation.TokenIsElevated != 0;
}

FARPROC ImportedFunction(const wchar_t* module, const char* name) {
  HMODULE loaded = GetModuleHandleW(module);
  if (loaded == nullptr) loaded = LoadLibraryW(module);
  return GetProcAddress(loaded, name);
}

bool IsSystemLibraryLoad(LPCWSTR path, DWORD flags, const wchar_t* library) {
  return path != nullptr && (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0 &&
         lstrcmpiW(path, library) == 0;
}

DWORD FakeModuleFileName(const std::wstring& path, DWORD result, DWORD error,
                         LPWSTR buffer, DWORD size) {
  if (size > 0) {
    const size_t copied = path.size() < size ? path.size() : size - 1;
    path.copy(buffer, copied);
    buffer[copied] = 0;
  }
  SetLastError(error);
  return result;
}

std::string Fnv1a64Hex(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char byte : bytes) {
    hash ^= static_cast<uint8_t>(byte);
    hash *= 0x100000001b3ull;
  }
  char text[17];
  for (int i = 15; i >= 0; --i) {
    text[i] = "0123456789abcdef"[hash & 0xF];
    hash >>= 4;
  }
  text[16] = 0;
  return text;
}

}  // namespace testing_support
