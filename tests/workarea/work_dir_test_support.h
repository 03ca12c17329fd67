// Shared by the work directory's tests: the fixture, with a parent folder
// of its own and the process token's default owner read the way an
// administrator would, and every seam reset.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sleep_seam.h"
#include "support/test_support.h"
#include "work_dir_seams.h"

namespace work_dir_testing {

// The process token's default owner, read the way an administrator would.
inline std::wstring ReadOwnerSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::vector<uint8_t> block(512);
  DWORD size = 0;
  std::wstring text;
  LPWSTR sid = nullptr;
  if (GetTokenInformation(token, TokenOwner, block.data(),
                          static_cast<DWORD>(block.size()), &size) &&
      ConvertSidToStringSidW(
          reinterpret_cast<TOKEN_OWNER*>(block.data())->Owner, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

class WorkDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner_sid_ = ReadOwnerSid();  // before the seams are cleared
    work_dir_seams::Reset();
    sleep_seam::Reset();
    parent_ = temp_.path() + L"\\";
    ASSERT_FALSE(owner_sid_.empty());
  }

  testing_support::TempDir temp_;
  std::wstring parent_;
  std::wstring owner_sid_;
};

}  // namespace work_dir_testing
