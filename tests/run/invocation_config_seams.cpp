#include "invocation_config_seams.h"

#include <shellapi.h>

#include <cwchar>

#include "support/test_support.h"

namespace seams {

DWORD split_error = 0;
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
  machine_variable_reads = 0;
  freed_count = 0;
}

}  // namespace seams

namespace {

using testing_support::ArmedFailure;

LPWSTR* WINAPI FakeCommandLineToArgvW(LPCWSTR command_line, int* count) {
  if (ArmedFailure(seams::split_error)) return nullptr;
  const auto real = REAL_FUNCTION(L"shell32.dll", CommandLineToArgvW);
  return real(command_line, count);
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
decltype(&CommandLineToArgvW) __imp_CommandLineToArgvW = FakeCommandLineToArgvW;
decltype(&GetEnvironmentVariableW) __imp_GetEnvironmentVariableW =
    FakeGetEnvironmentVariableW;
decltype(&LocalFree) __imp_LocalFree = FakeLocalFree;
}
