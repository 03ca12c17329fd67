#include "registry_keys.h"

#include <cstdio>

namespace run_tests {

std::wstring ClientStatePath(const std::wstring& guid) {
  return L"Software\\Morvex\\Update\\ClientState\\" + guid;
}

std::wstring UniqueTestGuid() {
  static unsigned counter = 0;
  wchar_t text[64];
  swprintf(text, 64, L"{7E570000-%04X-4000-8000-%08lX%04X}",
           ++counter & 0xFFFF, GetCurrentProcessId(), GetTickCount() & 0xFFFF);
  return text;
}

std::wstring ScratchKeyPath() {
  return L"Software\\BrivelInstallerTest" + UniqueTestGuid();
}

RegistryValue ReadValue(HKEY root, const std::wstring& path, REGSAM view,
                        const wchar_t* name) {
  RegistryValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
      ERROR_SUCCESS) {
    return value;
  }
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) ==
      ERROR_SUCCESS) {
    value.data.resize(size);
    if (RegQueryValueExW(key, name, nullptr, &value.type,
                         reinterpret_cast<BYTE*>(value.data.data()),
                         &size) == ERROR_SUCCESS) {
      value.present = true;
      value.data.resize(size);
    }
  }
  RegCloseKey(key);
  return value;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::string DwordBytes(uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof(value));
}

std::string WideBytes(const std::wstring& text, bool terminator) {
  const size_t count = text.size() + (terminator ? 1 : 0);
  return std::string(reinterpret_cast<const char*>(text.c_str()),
                     count * sizeof(wchar_t));
}

TestKey::TestKey(HKEY root, const std::wstring& path, REGSAM view)
    : root_(root), path_(path), view_(view) {
  // Walk the path one level at a time to learn which levels are new.
  size_t end = 0;
  while (end != std::wstring::npos) {
    end = path.find(L'\\', end + 1);
    const std::wstring level = path.substr(0, end);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(root, level.c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
      return;
    }
    if (disposition == REG_CREATED_NEW_KEY) created_.push_back(level);
    if (end == std::wstring::npos) {
      handle_ = key;
    } else {
      RegCloseKey(key);
    }
  }
}

TestKey::~TestKey() {
  if (handle_) RegCloseKey(handle_);
  for (auto level = created_.rbegin(); level != created_.rend(); ++level) {
    RegDeleteKeyExW(root_, level->c_str(), view_, 0);
  }
}

void TestKey::Set(const wchar_t* name, DWORD type, const std::string& data) {
  // RegSetValueExW would lengthen string data whose next character in memory
  // happens to be a terminator (Windows does this, and Wine with it); the
  // native call stores the bytes exactly as given.
  struct CountedString {
    USHORT length;
    USHORT maximum_length;
    PWSTR buffer;
  };
  using SetValueKey = LONG(WINAPI*)(HANDLE, CountedString*, ULONG, ULONG,
                                    const void*, ULONG);
  const auto set_value_key =
      reinterpret_cast<SetValueKey>(reinterpret_cast<void*>(GetProcAddress(
          GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  std::wstring text = name;
  const USHORT bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  CountedString counted = {bytes, bytes, text.data()};
  set_value_key(handle_, &counted, 0, type, data.data(),
                static_cast<ULONG>(data.size()));
}

void TestKey::SetDword(const wchar_t* name, uint32_t value) {
  Set(name, REG_DWORD, DwordBytes(value));
}

RegistryValue TestKey::Get(const wchar_t* name) const {
  return ReadValue(root_, path_, view_, name);
}

DWORD TestKey::ValueCount() const {
  DWORD count = 0;
  RegQueryInfoKeyW(handle_, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, &count, nullptr, nullptr, nullptr, nullptr);
  return count;
}

}  // namespace run_tests
