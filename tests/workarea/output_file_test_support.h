// Shared by the output file's tests: spans of known bytes, another
// party's open, and a fixture with a file path in a folder of its own.
#pragma once

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "output_file_seams.h"
#include "support/test_support.h"
#include "workarea/output_file.h"

namespace output_file_testing {

constexpr DWORD SHARE_ALL =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Bytes whose value depends on their offset, so a chunk written from the
// wrong place shows.
inline std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
  }
  return bytes;
}

inline ResourceSpan SpanOf(const std::string& bytes, size_t size) {
  ResourceSpan span;
  span.data = reinterpret_cast<const uint8_t*>(bytes.data());
  span.size = size;
  return span;
}

// Opens path as someone else would; returns the error, 0 when it opened.
inline DWORD OpenError(const std::wstring& path, DWORD access, DWORD share) {
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    output_file_seams::Reset();
    file_ = temp_.Join(L"setup.exe");
  }

  testing_support::TempDir temp_;
  std::wstring file_;
};

}  // namespace output_file_testing
