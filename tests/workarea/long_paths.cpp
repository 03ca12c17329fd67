#include "long_paths.h"

#include <windows.h>

namespace long_paths {

std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length) {
  // Each step adds a backslash and a name; the last name leaves room for the
  // trailing backslash. Names stay well below the 255-character limit.
  constexpr size_t STEP_NAME = 100;
  std::wstring path = base;
  wchar_t letter = L'a';
  for (;;) {
    if (length < path.size() + 3) return L"";
    const size_t room = length - path.size() - 2;
    const size_t name = room <= STEP_NAME + 20 ? room : STEP_NAME;
    path += L"\\" + std::wstring(name, letter++);
    const std::wstring prefixed = L"\\\\?\\" + path;
    if (!CreateDirectoryW(prefixed.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return L"";
    }
    if (name == room) return path + L"\\";
  }
}

}  // namespace long_paths
