#include "payload_seams.h"

#include "support/test_support.h"

namespace payload_seams {
namespace {

State state;

BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD size,
                          LPDWORD written, LPOVERLAPPED overlapped) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", WriteFile);
  ++state.write_calls;
  if (state.write_calls == state.fail_write_number) {
    SetLastError(state.fail_write_error);
    return FALSE;
  }
  return real(file, data, size, written, overlapped);
}

HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", LoadLibraryExW);
  state.library_loads.push_back(path ? path : L"");
  if (state.fail_library_loads) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (state.stand_in_library) return GetModuleHandleW(nullptr);
  if (!state.substitute_library.empty()) {
    return real(state.substitute_library.c_str(), file, flags);
  }
  return real(path, file, flags);
}

LPVOID WINAPI FakeHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", HeapAlloc);
  ++state.heap_alloc_calls;
  if (state.heap_alloc_calls == state.fail_heap_alloc_number) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  LPVOID block = real(heap, flags, size);
  if (block) ++state.live_heap_blocks;
  return block;
}

BOOL WINAPI FakeHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", HeapFree);
  if (block) --state.live_heap_blocks;
  return real(heap, flags, block);
}

HGLOBAL WINAPI FakeLoadResource(HMODULE module, HRSRC found) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", LoadResource);
  if (state.fail_load_resource) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return real(module, found);
}

LPVOID WINAPI FakeLockResource(HGLOBAL loaded) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", LockResource);
  if (state.fail_lock_resource) return nullptr;
  return real(loaded);
}

BOOL WINAPI FakeSetFileInformationByHandle(HANDLE file,
                                           FILE_INFO_BY_HANDLE_CLASS type,
                                           LPVOID data, DWORD size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", SetFileInformationByHandle);
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
  const auto real = REAL_FUNCTION(L"kernel32.dll", DuplicateHandle);
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
decltype(&HeapAlloc) __imp_HeapAlloc = FakeHeapAlloc;
decltype(&HeapFree) __imp_HeapFree = FakeHeapFree;
decltype(&LoadResource) __imp_LoadResource = FakeLoadResource;
decltype(&LockResource) __imp_LockResource = FakeLockResource;
}
