#include "workarea/work_dir.h"

#include <sddl.h>

#include "base/system_library.h"

namespace {

const WideChar WORK_DIR_PREFIX[] = L"BV_";
const WideChar WORK_DIR_SUFFIX[] = L".tmp";
// Protected ("P"), so nothing is inherited from the folder the installer
// was started from. Administrators and Local System get full access to the
// directory and, inherit-only, to everything created in it; Creator Owner
// gives each file full rights to its own owner. The owner SID completes the
// last entry.
const WideChar SDDL_FIXED_PART[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";
const WideChar SDDL_CLOSING[] = L")";

constexpr uint64_t RANDOM_BYTES = 4;
constexpr uint64_t NAME_DIGITS = 5;
// What follows "BV_" in the directory's own path: five digits and ".tmp".
constexpr uint64_t NAME_TAIL = NAME_DIGITS + 4;
// CreateDirectoryW refuses a directory path longer than MAX_PATH - 12
// characters with the terminator, so that an 8.3 name still fits inside
// ("Naming Files, Paths, and Namespaces"; the CreateDirectoryW page): 247
// characters at most, whatever the volume. Wine takes longer ones.
constexpr uint64_t DIRECTORY_PATH_LIMIT = MAX_PATH - 12 - 1;

}  // namespace

bool GetOwnerSidString(LPWSTR* sid_string) {
  *sid_string = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  if (size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return false;
  }
  void* block = LocalAlloc(LMEM_ZEROINIT, size);
  if (block == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return false;
  }
  bool converted = false;
  DWORD error = ERROR_SUCCESS;
  if (GetTokenInformation(token, TokenOwner, block, size, &size)) {
    converted = ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(block)->Owner,
                                       sid_string) != FALSE;
  }
  if (!converted) error = GetLastError();
  LocalFree(block);
  CloseHandle(token);
  // The caller reports the failure's own error, not that of the releases.
  if (!converted) SetLastError(error);
  return converted;
}

bool ComposeWorkDirSddl(const WideChar* owner_sid, SddlBuffer& sddl) {
  sddl.text[0] = 0;
  if (BoundedAppend(sddl.text, SDDL_CAPACITY, SDDL_FIXED_PART) &&
      BoundedAppend(sddl.text, SDDL_CAPACITY, owner_sid) &&
      BoundedAppend(sddl.text, SDDL_CAPACITY, SDDL_CLOSING)) {
    return true;
  }
  sddl.text[0] = 0;
  return false;
}

bool BuildWorkDirSecurity(const WideChar* parent,
                          PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  PathBuffer volume;
  if (!GetVolumePathNameW(parent, volume.text, PATH_CAPACITY)) return true;
  DWORD flags = 0;
  if (!GetVolumeInformationW(volume.text, nullptr, 0, nullptr, nullptr, &flags,
                             nullptr, 0)) {
    return true;
  }
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return true;

  LPWSTR owner_sid = nullptr;
  if (!GetOwnerSidString(&owner_sid)) return false;
  SddlBuffer sddl;
  if (!ComposeWorkDirSddl(owner_sid, sddl)) {
    LocalFree(owner_sid);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  const bool built = ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         sddl.text, SDDL_REVISION_1, descriptor, nullptr) !=
                     FALSE;
  const DWORD error = GetLastError();
  LocalFree(owner_sid);
  if (!built) {
    *descriptor = nullptr;
    SetLastError(error);
  }
  return built;
}

RunOutcome CreateWorkDir(const WideChar* parent, PathBuffer& path) {
  RunOutcome outcome = {RC_PATH_TOO_LONG, 0};
  if (!BoundedCopy(path.text, PATH_CAPACITY, parent)) return outcome;
  if (!BoundedAppend(path.text, PATH_CAPACITY, WORK_DIR_PREFIX)) {
    return outcome;
  }
  const uint64_t length = BoundedLength(path.text, PATH_CAPACITY);
  // A name the platform would refuse is not tried ten times over.
  if (length + NAME_TAIL > DIRECTORY_PATH_LIMIT) return outcome;

  SECURITY_ATTRIBUTES attributes = {};
  attributes.nLength = sizeof(attributes);
  attributes.bInheritHandle = FALSE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildWorkDirSecurity(parent, &descriptor)) {
    outcome = {RC_WORK_DIR_ACL_FAILED, GetLastError()};
    path.text[0] = 0;
    return outcome;
  }
  attributes.lpSecurityDescriptor = descriptor;

  outcome = {RC_WORK_DIR_FAILED, 0};
  for (int attempt = 0; attempt < WORK_DIR_NAME_ATTEMPTS; ++attempt) {
    uint8_t random[RANDOM_BYTES] = {};
    // Without the generator the name would be one anybody could foresee
    // and make first: nothing is created then.
    if (!DrawRandomBytes(random, RANDOM_BYTES)) {
      outcome = {RC_WORK_DIR_FAILED, GetLastError()};
      break;
    }
    BytesToHexWide(random, RANDOM_BYTES, path.text + length,
                   PATH_CAPACITY - length);
    path.text[length + NAME_DIGITS] = 0;
    BoundedAppend(path.text, PATH_CAPACITY, WORK_DIR_SUFFIX);
    // Creation fails on a name that exists, so no run ever enters a
    // directory it did not create.
    if (CreateDirectoryW(path.text, descriptor ? &attributes : nullptr)) {
      BoundedAppend(path.text, PATH_CAPACITY, L"\\");
      outcome = {RC_OK, 0};
      break;
    }
  }
  if (descriptor) LocalFree(descriptor);
  if (outcome.exit_code != RC_OK) path.text[0] = 0;
  return outcome;
}
