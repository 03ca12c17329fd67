#include "payload_seams.h"

namespace payload_seams {
namespace {

State state;

// Looked up on every call: a function-local static would take the run-time
// library's initialisation lock, which itself may duplicate a handle.
template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD size,
                          LPDWORD written, LPOVERLAPPED overlapped) {
  const auto real = Real<decltype(&WriteFile)>("WriteFile");
  ++state.write_calls;
  if (state.write_calls == state.fail_write_number) {
    SetLastError(state.fail_write_error);
    return FALSE;
  }
  return real(file, data, size, written, overlapped);
}

HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  const auto real = Real<decltype(&LoadLibraryExW)>("LoadLibraryExW");
  state.library_loads.push_back(path ? path : L"");
  if (state.fail_library_loads) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return real(path, file, flags);
}

BOOL WINAPI FakeSetFileInformationByHandle(HANDLE file,
                                           FILE_INFO_BY_HANDLE_CLASS type,
                                           LPVOID data, DWORD size) {
  const auto real = Real<decltype(&SetFileInformationByHandle)>(
      "SetFileInformationByHandle");
  if (type == FileBasicInfo && size == sizeof(FILE_BASIC_INFO)) {
    ++state.basic_info_calls;
    state.last_basic_info = *static_cast<const FILE_BASIC_INFO*>(data);
  }
  if (type == FileDispositionInfo) ++state.disposition_calls;
  return real(file, type, data, size);
}

BOOL WINAPI FakeDuplicateHandle(HANDLE source_process, HANDLE source,
                                HANDLE target_process, LPHANDLE target,
                                DWORD access, BOOL inherit, DWORD options) {
  const auto real =
      Real<decltype(&DuplicateHandle)>("DuplicateHandle");
  if (state.fail_duplicate) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return real(source_process, source, target_process, target, access, inherit,
              options);
}

}  // namespace

State& Seams() { return state; }

void Reset() { state = State(); }

}  // namespace payload_seams

using namespace payload_seams;

extern "C" {
decltype(&WriteFile) __imp_WriteFile = FakeWriteFile;
decltype(&LoadLibraryExW) __imp_LoadLibraryExW = FakeLoadLibraryExW;
decltype(&SetFileInformationByHandle) __imp_SetFileInformationByHandle =
    FakeSetFileInformationByHandle;
decltype(&DuplicateHandle) __imp_DuplicateHandle = FakeDuplicateHandle;
}
