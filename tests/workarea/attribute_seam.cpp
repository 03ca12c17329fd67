#include "attribute_seam.h"

#include <windows.h>

#include "support/test_support.h"

namespace {

using attribute_seam::Rule;

constexpr int RUNAWAY_WRITES = 1000;

Rule rule = Rule::WINE;
int basic_info_writes = 0;

BOOL WINAPI FakeGetFileInformationByHandleEx(HANDLE file,
                                             FILE_INFO_BY_HANDLE_CLASS type,
                                             LPVOID data, DWORD size) {
  const auto real =
      REAL_FUNCTION(L"kernel32.dll", GetFileInformationByHandleEx);
  const BOOL ok = real(file, type, data, size);
  if (ok && rule != Rule::WINE && type == FileBasicInfo) {
    auto* basic = static_cast<FILE_BASIC_INFO*>(data);
    if ((basic->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      basic->FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE);
    }
  }
  return ok;
}

BOOL WINAPI FakeSetFileInformationByHandle(HANDLE file,
                                           FILE_INFO_BY_HANDLE_CLASS type,
                                           LPVOID data, DWORD size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", SetFileInformationByHandle);
  if (type == FileBasicInfo) {
    if (++basic_info_writes > RUNAWAY_WRITES) {
      SetLastError(ERROR_TOO_MANY_POSTS);
      return FALSE;
    }
    if (rule == Rule::INEFFECTIVE_CLEARS) return TRUE;
    if (rule == Rule::WINDOWS &&
        static_cast<const FILE_BASIC_INFO*>(data)->FileAttributes == 0) {
      return TRUE;
    }
  }
  return real(file, type, data, size);
}

}  // namespace

extern "C" {
decltype(&GetFileInformationByHandleEx) __imp_GetFileInformationByHandleEx =
    FakeGetFileInformationByHandleEx;
decltype(&SetFileInformationByHandle) __imp_SetFileInformationByHandle =
    FakeSetFileInformationByHandle;
}

namespace attribute_seam {

void Reset() {
  rule = Rule::WINE;
  basic_info_writes = 0;
}

void SetRule(Rule new_rule) { rule = new_rule; }

int BasicInfoWrites() { return basic_info_writes; }

}  // namespace attribute_seam
