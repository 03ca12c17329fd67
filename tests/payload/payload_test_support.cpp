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

}  // namespace payload_testing
