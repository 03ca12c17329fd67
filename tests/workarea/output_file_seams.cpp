#include "output_file_seams.h"

#include "support/test_support.h"

namespace output_file_seams {
namespace {

State state;

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags,
                              HANDLE template_file) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", CreateFileW);
  ++state.create_file_calls;
  if (disposition == OPEN_EXISTING && state.before_open_existing) {
    state.before_open_existing(path);
  }
  return real(path, access, share, security, disposition, flags,
              template_file);
}

BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD size,
                          LPDWORD written, LPOVERLAPPED overlapped) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", WriteFile);
  ++state.write_calls;
  state.write_sizes.push_back(size);
  if (state.write_calls == state.fail_write_number) {
    SetLastError(state.fail_write_error);
    return FALSE;
  }
  return real(file, data, size, written, overlapped);
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", CloseHandle);
  ++state.close_calls;
  const BOOL ok = real(handle);
  if (state.clean_up_error) SetLastError(state.clean_up_error);
  if (state.fail_close) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ok;
}

BOOL WINAPI FakeSetFileInformationByHandle(HANDLE file,
                                           FILE_INFO_BY_HANDLE_CLASS type,
                                           LPVOID data, DWORD size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", SetFileInformationByHandle);
  ++state.set_information_calls;
  const BOOL ok = real(file, type, data, size);
  if (state.clean_up_error) SetLastError(state.clean_up_error);
  return ok;
}

BOOL WINAPI FakeDuplicateHandle(HANDLE source_process, HANDLE source,
                                HANDLE target_process, LPHANDLE target,
                                DWORD access, BOOL inherit, DWORD options) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", DuplicateHandle);
  ++state.duplicate_calls;
  return real(source_process, source, target_process, target, access, inherit,
              options);
}

BOOL WINAPI FakeGetFileInformationByHandleEx(HANDLE file,
                                             FILE_INFO_BY_HANDLE_CLASS type,
                                             LPVOID data, DWORD size) {
  const auto real =
      REAL_FUNCTION(L"kernel32.dll", GetFileInformationByHandleEx);
  if (type == FileIdInfo && state.refuse_file_id) {
    SetLastError(state.refuse_file_id);
    return FALSE;
  }
  return real(file, type, data, size);
}

}  // namespace

State& Seams() { return state; }

void Reset() { state = State(); }

}  // namespace output_file_seams

using namespace output_file_seams;

extern "C" {
decltype(&CreateFileW) __imp_CreateFileW = FakeCreateFileW;
decltype(&WriteFile) __imp_WriteFile = FakeWriteFile;
decltype(&CloseHandle) __imp_CloseHandle = FakeCloseHandle;
decltype(&SetFileInformationByHandle) __imp_SetFileInformationByHandle =
    FakeSetFileInformationByHandle;
decltype(&DuplicateHandle) __imp_DuplicateHandle = FakeDuplicateHandle;
decltype(&GetFileInformationByHandleEx) __imp_GetFileInformationByHandleEx =
    FakeGetFileInformationByHandleEx;
}
