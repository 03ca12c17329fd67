// What the payload tests share: where the fixture installers and payload
// files lie, and an installer loaded as a data file.
#pragma once

#include <windows.h>

#include <string>

namespace payload_testing {

// A fixture installer, built by tools/package (fixtures/payload/NAME).
std::wstring FixturePath(const std::wstring& name);

// A payload file or cabinet made by the build (tests/payload/payloads/NAME).
std::wstring PayloadPath(const std::wstring& name);

// An installer loaded as a data file and image resource: its resources can
// be walked, found and locked as in the running installer, and nothing of
// it runs. The bytes stay mapped until the object goes.
class InstallerImage {
 public:
  explicit InstallerImage(const std::wstring& path);
  ~InstallerImage();
  InstallerImage(const InstallerImage&) = delete;
  InstallerImage& operator=(const InstallerImage&) = delete;

  HMODULE module() const { return module_; }
  DWORD load_error() const { return load_error_; }

 private:
  HMODULE module_ = nullptr;
  DWORD load_error_ = 0;
};

// The bytes of resource name of type in module, found as setup finds the
// archive; *found tells whether it was there.
std::string ResourceBytes(HMODULE module, const wchar_t* name,
                          const wchar_t* type, bool* found);

}  // namespace payload_testing
