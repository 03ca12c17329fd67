#include "payload_test_support.h"

#include "support/test_support.h"

namespace payload_testing {

std::wstring FixturePath(const std::wstring& name) {
  return testing_support::BuildPath(L"fixtures/payload/" + name);
}

std::wstring PayloadPath(const std::wstring& name) {
  return testing_support::BuildPath(L"tests/payload/payloads/" + name);
}

InstallerImage::InstallerImage(const std::wstring& path) {
  module_ = LoadLibraryExW(
      path.c_str(), nullptr,
      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module_ == nullptr) load_error_ = GetLastError();
}

InstallerImage::~InstallerImage() {
  if (module_) FreeLibrary(module_);
}

std::string ResourceBytes(HMODULE module, const wchar_t* name,
                          const wchar_t* type, bool* found) {
  *found = false;
  HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) return {};
  const DWORD size = SizeofResource(module, resource);
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (data == nullptr) return {};
  *found = true;
  return std::string(static_cast<const char*>(data), size);
}

std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length) {
  // Components of at most 100 characters, sized so that the last one lands
  // on length exactly: base + ("\" + name)... + "\".
  std::wstring path = base;
  for (;;) {
    if (path.size() + 1 >= length) break;
    const size_t remaining = length - path.size() - 1;  // before the last "\"
    if (remaining < 2) break;
    size_t name_length = remaining - 1 < 100 ? remaining - 1 : 100;
    // Never leave a single character over: a component needs a "\" and a name.
    if (remaining - (name_length + 1) == 1) --name_length;
    path += L"\\" + std::wstring(name_length, L'd');
    CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
  }
  path += L"\\";
  return path;
}

}  // namespace payload_testing
