#include "support/plain_text.h"

namespace plain {
namespace {

constexpr DWORD STATUS_NO_MEMORY_CODE = 0xC0000017;

[[noreturn]] void OutOfMemory() { ExitProcess(STATUS_NO_MEMORY_CODE); }

void WriteTo(DWORD which, const char* text, size_t count) {
  const HANDLE handle = GetStdHandle(which);
  while (count > 0) {
    const DWORD chunk = count > 65536 ? 65536 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(handle, text, chunk, &written, nullptr) || written == 0) {
      return;
    }
    text += written;
    count -= written;
  }
}

}  // namespace

template <typename Char>
Text<Char>::~Text() {
  if (data_) HeapFree(GetProcessHeap(), 0, data_);
}

template <typename Char>
void Text<Char>::Reserve(size_t size) {
  if (data_ && size <= capacity_) return;
  size_t capacity = capacity_ < 64 ? 64 : capacity_;
  while (capacity < size) capacity *= 2;
  const size_t bytes = (capacity + 1) * sizeof(Char);
  void* grown =
      data_ ? HeapReAlloc(GetProcessHeap(), 0, data_, bytes)
            : HeapAlloc(GetProcessHeap(), 0, bytes);
  if (grown == nullptr) OutOfMemory();
  data_ = static_cast<Char*>(grown);
  capacity_ = capacity;
  data_[size_] = 0;
}

template <typename Char>
Text<Char>& Text<Char>::Add(const Char* text, size_t count) {
  Reserve(size_ + count);
  for (size_t i = 0; i < count; ++i) data_[size_ + i] = text[i];
  size_ += count;
  data_[size_] = 0;
  return *this;
}

template <typename Char>
Text<Char>& Text<Char>::AddNumber(uint64_t value, unsigned base,
                                  unsigned min_digits) {
  Char digits[24];
  unsigned count = 0;
  do {
    const unsigned digit = static_cast<unsigned>(value % base);
    digits[count++] = static_cast<Char>(digit < 10 ? '0' + digit
                                                   : 'A' + digit - 10);
    value /= base;
  } while ((value != 0 || count < min_digits) && count < 24);
  for (unsigned i = 0; i < count / 2; ++i) {
    const Char swap = digits[i];
    digits[i] = digits[count - 1 - i];
    digits[count - 1 - i] = swap;
  }
  return Add(digits, count);
}

template <typename Char>
void Text<Char>::Truncate(size_t size) {
  if (size >= size_) return;
  size_ = size;
  data_[size_] = 0;
}

template <typename Char>
Char* Text<Char>::Resize(size_t size) {
  Reserve(size);
  size_ = size;
  data_[size_] = 0;
  return data_;
}

template class Text<char>;
template class Text<wchar_t>;

void AppendUtf8(Bytes& out, const wchar_t* text, size_t count) {
  if (count == 0) return;
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text,
                                         static_cast<int>(count), nullptr, 0,
                                         nullptr, nullptr);
  if (needed <= 0) return;
  const size_t held = out.size();
  char* bytes = out.Resize(held + static_cast<size_t>(needed));
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), bytes + held,
                      needed, nullptr, nullptr);
}

void AppendUtf16(Wide& out, const char* text, size_t count) {
  if (count == 0) return;
  const int needed =
      MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0);
  if (needed <= 0) return;
  const size_t held = out.size();
  wchar_t* chars = out.Resize(held + static_cast<size_t>(needed));
  MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(count), chars + held,
                      needed);
}

bool ReadWholeFile(const wchar_t* path, Bytes& out, DWORD& error) {
  out.Clear();
  const HANDLE file = CreateFileW(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  constexpr DWORD CHUNK = 65536;
  for (;;) {
    const size_t held = out.size();
    char* buffer = out.Resize(held + CHUNK);
    DWORD read = 0;
    if (!ReadFile(file, buffer + held, CHUNK, &read, nullptr)) {
      error = GetLastError();
      out.Truncate(held);
      CloseHandle(file);
      return false;
    }
    out.Truncate(held + read);
    if (read == 0) break;
  }
  CloseHandle(file);
  error = 0;
  return true;
}

bool WriteWholeFile(const wchar_t* path, const Bytes& bytes, DWORD& error) {
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  const char* at = bytes.c_str();
  size_t left = bytes.size();
  while (left > 0) {
    const DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, at, chunk, &written, nullptr)) {
      error = GetLastError();
      CloseHandle(file);
      return false;
    }
    at += written;
    left -= written;
  }
  CloseHandle(file);
  error = 0;
  return true;
}

void Print(const char* text) { WriteTo(STD_OUTPUT_HANDLE, text, Length(text)); }

void Print(const Bytes& text) {
  WriteTo(STD_OUTPUT_HANDLE, text.c_str(), text.size());
}

void PrintWide(const wchar_t* text) {
  Bytes utf8;
  AppendUtf8(utf8, text, Length(text));
  Print(utf8);
}

void PrintError(const char* text) {
  WriteTo(STD_ERROR_HANDLE, text, Length(text));
}

bool ReadVariable(const wchar_t* name, Wide& out) {
  out.Clear();
  DWORD size = 256;
  for (;;) {
    wchar_t* buffer = out.Resize(size);
    SetLastError(0);
    const DWORD length = GetEnvironmentVariableW(name, buffer, size + 1);
    if (length == 0) {
      out.Clear();
      return GetLastError() != ERROR_ENVVAR_NOT_FOUND;  // set, but empty
    }
    if (length <= size) {
      out.Truncate(length);
      return true;
    }
    size = length;
  }
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void OwnFolder(Wide& out) {
  DWORD size = MAX_PATH;
  for (;;) {
    wchar_t* buffer = out.Resize(size);
    const DWORD length = GetModuleFileNameW(nullptr, buffer, size + 1);
    if (length == 0) {
      out.Clear();
      return;
    }
    if (length <= size) {
      out.Truncate(length);
      break;
    }
    size *= 2;
  }
  size_t cut = out.size();
  while (cut > 0 && out.c_str()[cut - 1] != L'\\') --cut;
  out.Truncate(cut > 0 ? cut - 1 : 0);
}

void LongPath(Wide& out, const wchar_t* path) {
  if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) {
    out.Set(path);
  } else if (StartsWith(path, L"\\\\")) {
    // A share's path takes the UNC form: "\\server\share" is
    // "\\?\UNC\server\share" ("Naming Files, Paths, and Namespaces").
    out.Set(L"\\\\?\\UNC\\").Add(path + 2);
  } else {
    out.Set(L"\\\\?\\").Add(path);
  }
}

void RemoveTree(const wchar_t* path) {
  Wide long_path;
  LongPath(long_path, path);
  const DWORD attributes = GetFileAttributesW(long_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(long_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(long_path.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    Wide pattern, entry;
    pattern.Set(long_path.c_str()).Add(L"\\*");
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (Equal(data.cFileName, L".") || Equal(data.cFileName, L"..")) {
          continue;
        }
        entry.Set(long_path.c_str()).AddChar(L'\\').Add(data.cFileName);
        RemoveTree(entry.c_str());
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
  }
  RemoveDirectoryW(long_path.c_str());
}

}  // namespace plain
