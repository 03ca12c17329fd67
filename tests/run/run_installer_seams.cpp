#include "run_installer_seams.h"

#include <cwchar>
#include <string>

#include "support/test_support.h"

namespace run_seams {
namespace {

using testing_support::ArmedFailure;

State state;
bool armed = false;
DWORD armed_thread = 0;

bool Active() { return armed && GetCurrentThreadId() == armed_thread; }

const wchar_t CLEANUP_SETTING_KEY[] = L"Software\\Morvex";
const wchar_t CLIENT_STATE_PREFIX[] =
    L"Software\\Morvex\\Update\\ClientState\\";

// SHELL32 from the system directory is this program, which exports the
// stand-in for CommandLineToArgvW below.
HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  if (Active() &&
      testing_support::IsSystemLibraryLoad(path, flags, L"shell32.dll")) {
    if (ArmedFailure(state.shell32_load_error)) return nullptr;
    return GetModuleHandleW(nullptr);
  }
  return REAL_FUNCTION(L"kernel32.dll", LoadLibraryExW)(path, file, flags);
}

DWORD WINAPI FakeGetModuleFileNameW(HMODULE module, LPWSTR buffer,
                                    DWORD size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", GetModuleFileNameW);
  if (!Active()) return real(module, buffer, size);
  ++state.module_file_name_calls;
  if (!state.fake_module_file_name) return real(module, buffer, size);
  return testing_support::FakeModuleFileName(
      state.module_file_name, state.module_file_name_result,
      state.module_file_name_error, buffer, size);
}

BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access,
                                 PHANDLE token) {
  if (Active() && ArmedFailure(state.fail_open_token)) return FALSE;
  return REAL_FUNCTION(L"advapi32.dll", OpenProcessToken)(process, access,
                                                         token);
}

BOOL WINAPI FakeCreateDirectoryW(LPCWSTR path,
                                 LPSECURITY_ATTRIBUTES attributes) {
  if (Active()) {
    state.created_directories.push_back(path ? path : L"");
    if (ArmedFailure(state.fail_create_directory)) return FALSE;
  }
  return REAL_FUNCTION(L"kernel32.dll", CreateDirectoryW)(path, attributes);
}

BOOL WINAPI FakeSetProcessWorkingSetSize(HANDLE process, SIZE_T minimum,
                                         SIZE_T maximum) {
  if (Active()) {
    ++state.trim_calls;
    state.trim_minimum = minimum;
    state.trim_maximum = maximum;
    if (ArmedFailure(state.fail_trim)) return FALSE;
  }
  return REAL_FUNCTION(L"kernel32.dll", SetProcessWorkingSetSize)(
      process, minimum, maximum);
}

LSTATUS WINAPI FakeRegOpenKeyExW(HKEY root, LPCWSTR sub_key, DWORD options,
                                 REGSAM access, PHKEY result) {
  const auto real = REAL_FUNCTION(L"advapi32.dll", RegOpenKeyExW);
  if (Active() && sub_key != nullptr) {
    if (wcscmp(sub_key, CLEANUP_SETTING_KEY) == 0) return ERROR_FILE_NOT_FOUND;
    const size_t prefix = wcslen(CLIENT_STATE_PREFIX);
    if (wcsncmp(sub_key, CLIENT_STATE_PREFIX, prefix) == 0) {
      state.client_state_opens.push_back(sub_key);
      if (state.client_state_redirect.empty()) return ERROR_FILE_NOT_FOUND;
      return real(root, state.client_state_redirect.c_str(), options, access,
                  result);
    }
  }
  return real(root, sub_key, options, access, result);
}

LSTATUS WINAPI FakeRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved,
                                  DWORD type, const BYTE* data, DWORD size) {
  if (Active() && name != nullptr && state.fail_value_write == name) {
    return ERROR_ACCESS_DENIED;
  }
  return REAL_FUNCTION(L"advapi32.dll", RegSetValueExW)(
      key, name, reserved, type, data, size);
}

DWORD OpenError(LPCWSTR path, DWORD access) {
  const HANDLE file = CreateFileW(
      path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

// Tries, as someone else with access to the folder would, what the run's
// holds must refuse just as setup is started, then starts it.
BOOL WINAPI FakeCreateProcessW(LPCWSTR application, LPWSTR command_line,
                               LPSECURITY_ATTRIBUTES process_attributes,
                               LPSECURITY_ATTRIBUTES thread_attributes,
                               BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR directory, LPSTARTUPINFOW startup,
                               LPPROCESS_INFORMATION information) {
  if (Active() && application != nullptr) {
    state.at_process_creation.push_back(OpenError(application, GENERIC_WRITE));
    state.at_process_creation.push_back(OpenError(application, DELETE));
    const wchar_t* name = wcsrchr(application, L'\\');
    const std::wstring work_dir(application, name);
    const std::wstring moved = work_dir + L".moved";
    const bool renamed = MoveFileExW(work_dir.c_str(), moved.c_str(), 0);
    state.at_process_creation.push_back(renamed ? 0 : GetLastError());
    if (renamed) MoveFileExW(moved.c_str(), work_dir.c_str(), 0);
  }
  return REAL_FUNCTION(L"kernel32.dll", CreateProcessW)(
      application, command_line, process_attributes, thread_attributes,
      inherit, flags, environment, directory, startup, information);
}

}  // namespace

State& Seams() { return state; }

void Reset() {
  armed = false;
  state = State();
}

void Arm() {
  armed_thread = GetCurrentThreadId();
  armed = true;
}

void Disarm() { armed = false; }

}  // namespace run_seams

using namespace run_seams;

extern "C" {

__declspec(dllexport) LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR command_line,
                                                        int* count) {
  if (Active() && ArmedFailure(state.split_error)) return nullptr;
  return REAL_FUNCTION(L"shell32.dll", CommandLineToArgvW)(command_line, count);
}

decltype(&LoadLibraryExW) __imp_LoadLibraryExW = FakeLoadLibraryExW;
decltype(&GetModuleFileNameW) __imp_GetModuleFileNameW = FakeGetModuleFileNameW;
decltype(&OpenProcessToken) __imp_OpenProcessToken = FakeOpenProcessToken;
decltype(&CreateDirectoryW) __imp_CreateDirectoryW = FakeCreateDirectoryW;
decltype(&SetProcessWorkingSetSize) __imp_SetProcessWorkingSetSize =
    FakeSetProcessWorkingSetSize;
decltype(&RegOpenKeyExW) __imp_RegOpenKeyExW = FakeRegOpenKeyExW;
decltype(&RegSetValueExW) __imp_RegSetValueExW = FakeRegSetValueExW;
decltype(&CreateProcessW) __imp_CreateProcessW = FakeCreateProcessW;
}
