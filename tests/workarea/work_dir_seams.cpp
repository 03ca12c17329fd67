#include "work_dir_seams.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>

#include "support/test_support.h"

namespace work_dir_seams {
namespace {

using testing_support::ArmedFailure;

State state;

HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  if (testing_support::IsSystemLibraryLoad(path, flags, L"advapi32.dll")) {
    ++state.platform_calls;
    if (ArmedFailure(state.fail_generator_load)) return nullptr;
    return GetModuleHandleW(state.generator_missing ? L"kernel32.dll"
                                                    : nullptr);
  }
  return REAL_FUNCTION(L"kernel32.dll", LoadLibraryExW)(path, file, flags);
}

BOOL WINAPI FakeCreateDirectoryW(LPCWSTR path,
                                 LPSECURITY_ATTRIBUTES attributes) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", CreateDirectoryW);
  ++state.platform_calls;
  state.created_paths.push_back(path ? path : L"");
  CapturedAttributes captured;
  if (attributes) {
    captured.present = true;
    captured.length = attributes->nLength;
    captured.inherit_handle = attributes->bInheritHandle;
    if (attributes->lpSecurityDescriptor) {
      const DWORD size =
          GetSecurityDescriptorLength(attributes->lpSecurityDescriptor);
      const auto* bytes =
          static_cast<const uint8_t*>(attributes->lpSecurityDescriptor);
      captured.descriptor.assign(bytes, bytes + size);
    }
  }
  state.attributes.push_back(captured);
  // A "\\?\" path is not subject to the limit.
  if (state.windows_directory_path_limit && path &&
      wcsncmp(path, L"\\\\?\\", 4) != 0 && wcslen(path) > MAX_PATH - 12 - 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  return real(path, attributes);
}

BOOL WINAPI FakeGetVolumeInformationByHandleW(HANDLE file, LPWSTR name,
                                              DWORD name_size, LPDWORD serial,
                                              LPDWORD component_length,
                                              LPDWORD flags, LPWSTR system_name,
                                              DWORD system_name_size) {
  const auto real =
      REAL_FUNCTION(L"kernel32.dll", GetVolumeInformationByHandleW);
  ++state.platform_calls;
  ++state.volume_information_calls;
  if (ArmedFailure(state.fail_volume_information)) return FALSE;
  const BOOL ok = real(file, name, name_size, serial, component_length, flags,
                       system_name, system_name_size);
  if (ok && flags && state.clear_persistent_acls) {
    *flags &= ~static_cast<DWORD>(FILE_PERSISTENT_ACLS);
  }
  return ok;
}

BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access,
                                 PHANDLE token) {
  const auto real = REAL_FUNCTION(L"advapi32.dll", OpenProcessToken);
  ++state.platform_calls;
  ++state.open_token_calls;
  if (ArmedFailure(state.fail_open_token)) return FALSE;
  const BOOL ok = real(process, access, token);
  if (ok) {
    state.token = *token;
    state.token_closed = false;
  }
  return ok;
}

BOOL WINAPI FakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type,
                                    LPVOID buffer, DWORD size,
                                    PDWORD returned) {
  const auto real = REAL_FUNCTION(L"advapi32.dll", GetTokenInformation);
  ++state.platform_calls;
  if (ArmedFailure(buffer ? state.fail_owner_query
                          : state.fail_owner_size_probe)) {
    return FALSE;
  }
  return real(token, type, buffer, size, returned);
}

HLOCAL WINAPI FakeLocalAlloc(UINT flags, SIZE_T size) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", LocalAlloc);
  ++state.platform_calls;
  if (ArmedFailure(state.fail_local_alloc)) return nullptr;
  HLOCAL block = real(flags, size);
  if (block) {
    ++state.local_blocks_handed_out;
    state.live_local_blocks.insert(block);
  }
  return block;
}

HLOCAL WINAPI FakeLocalFree(HLOCAL block) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", LocalFree);
  ++state.platform_calls;
  state.live_local_blocks.erase(block);
  const HLOCAL result = real(block);
  if (state.clean_up_error) SetLastError(state.clean_up_error);
  return result;
}

BOOL WINAPI FakeConvertSidToStringSidW(PSID sid, LPWSTR* text) {
  const auto real = REAL_FUNCTION(L"advapi32.dll", ConvertSidToStringSidW);
  ++state.platform_calls;
  if (ArmedFailure(state.fail_sid_conversion)) return FALSE;
  if (state.sid_text_length) {
    const auto real_alloc = REAL_FUNCTION(L"kernel32.dll", LocalAlloc);
    std::wstring long_sid = L"S-1-5-21";
    while (long_sid.size() < state.sid_text_length) long_sid += L"-1";
    long_sid.resize(state.sid_text_length);
    const size_t bytes = (long_sid.size() + 1) * sizeof(wchar_t);
    *text = static_cast<LPWSTR>(real_alloc(LMEM_FIXED, bytes));
    std::memcpy(*text, long_sid.c_str(), bytes);
  } else if (!real(sid, text)) {
    return FALSE;
  }
  ++state.local_blocks_handed_out;
  state.live_local_blocks.insert(*text);
  return TRUE;
}

BOOL WINAPI FakeConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
    PULONG size) {
  const auto real = REAL_FUNCTION(
      L"advapi32.dll", ConvertStringSecurityDescriptorToSecurityDescriptorW);
  ++state.platform_calls;
  if (ArmedFailure(state.fail_descriptor_conversion)) return FALSE;
  if (!real(text, revision, descriptor, size)) return FALSE;
  ++state.local_blocks_handed_out;
  state.live_local_blocks.insert(*descriptor);
  return TRUE;
}

BOOL WINAPI FakeGetFileInformationByHandleEx(HANDLE file,
                                             FILE_INFO_BY_HANDLE_CLASS type,
                                             LPVOID data, DWORD size) {
  const auto real =
      REAL_FUNCTION(L"kernel32.dll", GetFileInformationByHandleEx);
  // A share's redirector answers the protocol query; Wine answers it
  // nowhere.
  if (type == FileRemoteProtocolInfo && state.remote_volume) return TRUE;
  const BOOL ok = real(file, type, data, size);
  if (ok && type == FileBasicInfo && state.held_attributes) {
    static_cast<FILE_BASIC_INFO*>(data)->FileAttributes =
        state.held_attributes;
  }
  return ok;
}

// A SID no token of the test has, for a directory someone else made.
SID foreign_sid = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {4242}};

DWORD WINAPI FakeGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                                 SECURITY_INFORMATION wanted, PSID* owner,
                                 PSID* group, PACL* dacl, PACL* sacl,
                                 PSECURITY_DESCRIPTOR* descriptor) {
  const auto real = REAL_FUNCTION(L"advapi32.dll", GetSecurityInfo);
  if (state.fail_owner_read) return state.fail_owner_read;
  const DWORD status =
      real(handle, type, wanted, owner, group, dacl, sacl, descriptor);
  if (status == ERROR_SUCCESS && owner && state.foreign_owner) {
    *owner = &foreign_sid;
  }
  return status;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  const auto real = REAL_FUNCTION(L"kernel32.dll", CloseHandle);
  if (state.token && handle == state.token) state.token_closed = true;
  const BOOL ok = real(handle);
  if (state.clean_up_error) SetLastError(state.clean_up_error);
  return ok;
}

}  // namespace

State& Seams() { return state; }

void Reset() { state = State(); }

}  // namespace work_dir_seams

using namespace work_dir_seams;

extern "C" {

// The stand-in for ADVAPI32's generator.
__declspec(dllexport) BOOLEAN WINAPI SystemFunction036(PVOID buffer,
                                                       ULONG length) {
  const auto real = REAL_FUNCTION(L"advapi32.dll", SystemFunction036);
  ++state.platform_calls;
  ++state.random_calls;
  if (state.generator_fails) return FALSE;
  if (state.random_bytes.empty()) return real(buffer, length);
  const auto bytes = state.random_bytes.front();
  state.random_bytes.pop_front();
  std::memcpy(buffer, bytes.data(), length < 4 ? length : 4);
  return TRUE;
}

decltype(&LoadLibraryExW) __imp_LoadLibraryExW = FakeLoadLibraryExW;
decltype(&CreateDirectoryW) __imp_CreateDirectoryW = FakeCreateDirectoryW;
decltype(&GetVolumeInformationByHandleW) __imp_GetVolumeInformationByHandleW =
    FakeGetVolumeInformationByHandleW;
decltype(&OpenProcessToken) __imp_OpenProcessToken = FakeOpenProcessToken;
decltype(&GetTokenInformation) __imp_GetTokenInformation =
    FakeGetTokenInformation;
decltype(&LocalAlloc) __imp_LocalAlloc = FakeLocalAlloc;
decltype(&LocalFree) __imp_LocalFree = FakeLocalFree;
decltype(&ConvertSidToStringSidW) __imp_ConvertSidToStringSidW =
    FakeConvertSidToStringSidW;
decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW)
    __imp_ConvertStringSecurityDescriptorToSecurityDescriptorW =
        FakeConvertStringSecurityDescriptorToSecurityDescriptorW;
decltype(&CloseHandle) __imp_CloseHandle = FakeCloseHandle;
decltype(&GetFileInformationByHandleEx) __imp_GetFileInformationByHandleEx =
    FakeGetFileInformationByHandleEx;
decltype(&GetSecurityInfo) __imp_GetSecurityInfo = FakeGetSecurityInfo;
}
