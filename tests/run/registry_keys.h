// Real registry keys for the tests of run/: created by a test, in a chosen
// registry view, and removed again with exactly the levels the test created,
// so keys that were there before are left alone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace run_tests {

// The client-state key path of an application GUID.
std::wstring ClientStatePath(const std::wstring& guid);

// A GUID-shaped string (38 characters, braces included) that no real
// application uses and no other test program running at the same time
// produces: it carries the process id and a counter.
std::wstring UniqueTestGuid();

// A key path of the test's own directly under Software, with no parent
// shared with tests running at the same time.
std::wstring ScratchKeyPath();

// One value as the registry holds it.
struct RegistryValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::string data;
};

// Reads a value in the given view (KEY_WOW64_32KEY or KEY_WOW64_64KEY);
// present is false when the key or the value is missing.
RegistryValue ReadValue(HKEY root, const std::wstring& path, REGSAM view,
                        const wchar_t* name);
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view);

// The bytes of a DWORD and of a wide string (optionally without its
// terminator), as the registry stores them.
std::string DwordBytes(uint32_t value);
std::string WideBytes(const std::wstring& text, bool terminator);

// A key created for one test, with every missing level of its path; the
// levels it created are deleted, deepest first, when it goes (values and
// all, but never a level that now has sub-keys someone else made).
class TestKey {
 public:
  TestKey(HKEY root, const std::wstring& path, REGSAM view);
  ~TestKey();
  TestKey(const TestKey&) = delete;
  TestKey& operator=(const TestKey&) = delete;

  // False when the key could not be created.
  bool ok() const { return handle_ != nullptr; }
  HKEY handle() const { return handle_; }
  const std::wstring& path() const { return path_; }

  // Stores exactly the bytes given, whatever the type.
  void Set(const wchar_t* name, DWORD type, const std::string& data);
  void SetDword(const wchar_t* name, uint32_t value);
  RegistryValue Get(const wchar_t* name) const;
  // Number of values the key holds.
  DWORD ValueCount() const;

 private:
  HKEY root_;
  std::wstring path_;
  REGSAM view_;
  HKEY handle_ = nullptr;
  std::vector<std::wstring> created_;  // outermost first
};

}  // namespace run_tests
