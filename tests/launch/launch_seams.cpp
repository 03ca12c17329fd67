#include "launch_seams.h"

#include <cstdio>

#include "support/test_support.h"

namespace launch_seams {

Record record;
Faults faults;

namespace {

bool Active() {
  return record.recording && GetCurrentThreadId() == record.thread;
}

BOOL WINAPI FakeCreateProcessW(LPCWSTR application, LPWSTR command_line,
                               LPSECURITY_ATTRIBUTES process_attributes,
                               LPSECURITY_ATTRIBUTES thread_attributes,
                               BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR directory, LPSTARTUPINFOW startup,
                               LPPROCESS_INFORMATION information) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", CreateProcessW);
  const BOOL created =
      real(application, command_line, process_attributes, thread_attributes,
           inherit, flags, environment, directory, startup, information);
  const DWORD error = GetLastError();
  if (Active()) {
    ++record.create_calls;
    record.calls.push_back(created ? "create" : "create-failed");
    char creation[96];
    snprintf(creation, sizeof(creation),
             "flags=0x%08lX inherit=%d environment=%s directory=%s",
             static_cast<unsigned long>(flags), inherit,
             environment ? "given" : "own", directory ? "given" : "own");
    record.creation = creation;
    if (created) record.created = *information;
  }
  SetLastError(error);
  return created;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", CloseHandle);
  if (Active()) record.calls.push_back("close " + Name(handle));
  return real(handle);
}

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", WaitForSingleObject);
  if (Active()) record.calls.push_back("wait " + Name(handle));
  if (Active() && faults.fail_wait) {
    SetLastError(faults.wait_error);
    return faults.wait_result;
  }
  return real(handle, milliseconds);
}

BOOL WINAPI FakeGetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", GetExitCodeProcess);
  if (Active()) record.calls.push_back("exit-code " + Name(process));
  if (Active() && faults.fail_exit_code) {
    SetLastError(faults.exit_code_error);
    return FALSE;
  }
  return real(process, exit_code);
}

DWORD WINAPI FakeGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", GetModuleFileNameW);
  if (!faults.fake_module_file_name || !Active()) {
    return real(module, buffer, size);
  }
  record.calls.push_back("module-file-name");
  return testing_support::FakeModuleFileName(
      faults.module_file_name, faults.module_file_name_result,
      faults.module_file_name_error, buffer, size);
}

}  // namespace

void StartRecording() {
  record.thread = GetCurrentThreadId();
  record.recording = true;
}

void StopRecording() { record.recording = false; }

void ResetLaunchSeams() {
  record = Record();
  faults = Faults();
}

std::string Name(HANDLE handle) {
  if (handle != nullptr && handle == record.created.hProcess) return "process";
  if (handle != nullptr && handle == record.created.hThread) return "thread";
  char text[32];
  std::snprintf(text, sizeof(text), "other %p", handle);
  return text;
}

}  // namespace launch_seams

extern "C" {
decltype(&CreateProcessW) __imp_CreateProcessW =
    launch_seams::FakeCreateProcessW;
decltype(&CloseHandle) __imp_CloseHandle = launch_seams::FakeCloseHandle;
decltype(&WaitForSingleObject) __imp_WaitForSingleObject =
    launch_seams::FakeWaitForSingleObject;
decltype(&GetExitCodeProcess) __imp_GetExitCodeProcess =
    launch_seams::FakeGetExitCodeProcess;
decltype(&GetModuleFileNameW) __imp_GetModuleFileNameW =
    launch_seams::FakeGetModuleFileNameW;
}
