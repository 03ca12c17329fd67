#include "invocation_config_seams.h"

#include <cwchar>

#include "support/test_support.h"

namespace seams {

DWORD split_error = 0;
DWORD shell32_load_error = 0;
bool shell32_lacks_split = false;
int machine_variable_reads = 0;
HLOCAL freed[MAX_FREED] = {};
int freed_count = 0;

int TimesFreed(const void* block) {
  int times = 0;
  for (int i = 0; i < freed_count && i < MAX_FREED; ++i) {
    if (freed[i] == block) ++times;
  }
  return times;
}

void Reset() {
  split_error = 0;
  shell32_load_error = 0;
  shell32_lacks_split = false;
  machine_variable_reads = 0;
  freed_count = 0;
}

}  // namespace seams

namespace {

using testing_support::ArmedFailure;

HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  if (testing_support::IsSystemLibraryLoad(path, flags, L"shell32.dll")) {
    if (ArmedFailure(seams::shell32_load_error)) return nullptr;
    return GetModuleHandleW(seams::shell32_lacks_split ? L"kernel32.dll"
                                                       : nullptr);
  }
  return REAL_FUNCTION(L"kernel32.dll", LoadLibraryExW)(path, file, flags);
}

DWORD WINAPI FakeGetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer,
                                         DWORD size) {
  if (name != nullptr && wcscmp(name, L"MorvexUpdateIsMachine") == 0) {
    ++seams::machine_variable_reads;
  }
  const auto real = REAL_FUNCTION(L"kernel32.dll", GetEnvironmentVariableW);
  return real(name, buffer, size);
}

HLOCAL WINAPI FakeLocalFree(HLOCAL block) {
  if (block != nullptr && seams::freed_count < seams::MAX_FREED) {
    seams::freed[seams::freed_count] = block;
  }
  if (block != nullptr) ++seams::freed_count;
  const auto real = REAL_FUNCTION(L"kernel32.dll", LocalFree);
  return real(block);
}

}  // namespace

extern "C" {

// The stand-in for SHELL32's function.
__declspec(dllexport) LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR command_line,
                                                        int* count) {
  if (ArmedFailure(seams::split_error)) return nullptr;
  const auto real = REAL_FUNCTION(L"shell32.dll", CommandLineToArgvW);
  return real(command_line, count);
}

decltype(&LoadLibraryExW) __imp_LoadLibraryExW = FakeLoadLibraryExW;
decltype(&GetEnvironmentVariableW) __imp_GetEnvironmentVariableW =
    FakeGetEnvironmentVariableW;
decltype(&LocalFree) __imp_LocalFree = FakeLocalFree;
}
