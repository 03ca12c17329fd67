#include "workarea/work_dir.h"

#include <aclapi.h>
#include <sddl.h>

#include "base/stack_protection.h"
#include "base/system_library.h"
#include "workarea/output_file.h"

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

// The hold: listing (data access, so the share mode below binds others),
// attributes and owner. Sharing reading and writing but not deletion, so
// nobody can rename or remove the directory while it is held; files inside
// can still be created and deleted. A link or junction standing at the name
// is opened itself, never followed.
constexpr DWORD HOLD_ACCESS =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD HOLD_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD HOLD_FLAGS =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// Room for a TOKEN_OWNER or TOKEN_USER record with the largest SID.
constexpr DWORD TOKEN_SID_BLOCK_SIZE = 128;

// ERROR_SUCCESS when the process token names sid as its default owner or
// as its user, ERROR_INVALID_OWNER when it names neither, or the error of
// reading the token. A directory the process creates is owned by the
// token's default owner; Wine records the user instead. Either is this
// process's own; any other owner means that someone else put the directory
// there.
DWORD CompareWithToken(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return CallGetLastError();
  }
  DWORD result = ERROR_INVALID_OWNER;
  const TOKEN_INFORMATION_CLASS classes[] = {TokenOwner, TokenUser};
  for (const TOKEN_INFORMATION_CLASS type : classes) {
    // Read only once the query has filled it.
    alignas(8) uint8_t block[TOKEN_SID_BLOCK_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, type, block, sizeof(block), &size)) {
      result = CallGetLastError();
      break;
    }
    // TOKEN_OWNER and TOKEN_USER both begin with the SID's address.
    if (EqualSid(*reinterpret_cast<PSID*>(block), sid)) {
      result = ERROR_SUCCESS;
      break;
    }
  }
  CallCloseHandle(token);
  return result;
}

// Checks that the object held at the work directory's name is the plain
// directory this process made. ERROR_SUCCESS; ERROR_DIRECTORY for a file, a
// link or a junction; ERROR_INVALID_OWNER for another owner's directory
// (looked at only where owners mean something, see BuildWorkDirSecurity);
// or the error of a query. The attributes come from FileBasicInfo, which
// every volume answers: FAT32, exFAT and CDFS refuse FileAttributeTagInfo
// with ERROR_INVALID_PARAMETER (the classes of FatCommonQueryInformation),
// and the reparse tag it adds is not needed, since any reparse point at
// the name is refused.
DWORD CheckHeldDirectory(HANDLE handle, bool check_owner) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                    sizeof(basic))) {
    return CallGetLastError();
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return ERROR_DIRECTORY;
  }
  if (!check_owner) return ERROR_SUCCESS;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result =
      GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                      &owner, nullptr, nullptr, nullptr, &descriptor);
  if (result == ERROR_SUCCESS) {
    result = CompareWithToken(owner);
    LocalFree(descriptor);
  }
  return result;
}

// Opens and checks the directory just created at path (no final
// backslash) into hold.
RunOutcome HoldCreatedDirectory(const WideChar* path, bool check_owner,
                                WorkDirHold& hold) {
  const HANDLE handle = OpenToHold(path, HOLD_ACCESS, HOLD_SHARE, HOLD_FLAGS);
  DWORD error = CallGetLastError();
  if (handle != INVALID_HANDLE_VALUE) {
    error = CheckHeldDirectory(handle, check_owner);
    if (error == ERROR_SUCCESS) {
      hold.handle = handle;
      return {RC_OK, 0};
    }
    CallCloseHandle(handle);
  }
  // The directory this run created goes again if it is still there and
  // empty: RemoveDirectoryW removes nothing else, so nothing of anyone
  // else's is lost (a link put at the name goes itself, never its target).
  RemoveDirectoryW(path);
  return {RC_WORK_DIR_FAILED, error};
}

// What the parent's volume says of itself, read through a handle of the
// parent rather than by the root path GetVolumePathNameW gives, which on a
// SUBST drive need not be a volume root that GetVolumeInformationW
// answers: access lists kept (FILE_PERSISTENT_ACLS), and whether the volume
// is remote. Only a share's redirector answers FileRemoteProtocolInfo;
// local file systems refuse the class. False when the parent cannot be
// opened or its volume not asked.
FRAME_WITHOUT_ARRAYS
bool ReadParentVolume(const WideChar* parent, DWORD& flags, bool& remote) {
  const HANDLE handle = CreateFileW(
      parent, FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool read = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr,
                                                  nullptr, &flags, nullptr,
                                                  0) != FALSE;
  FILE_REMOTE_PROTOCOL_INFO protocol;
  remote = GetFileInformationByHandleEx(handle, FileRemoteProtocolInfo,
                                        &protocol, sizeof(protocol)) != FALSE;
  CallCloseHandle(handle);
  return read;
}

}  // namespace

void ReleaseWorkDir(WorkDirHold& hold) {
  HANDLE held = hold.handle;
  hold.handle = INVALID_HANDLE_VALUE;
  if (held != INVALID_HANDLE_VALUE) CallCloseHandle(held);
}

FRAME_WITHOUT_ARRAYS
bool GetOwnerSidString(LPWSTR* sid_string) {
  *sid_string = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  if (size == 0 || CallGetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    const DWORD error = CallGetLastError();
    CallCloseHandle(token);
    SetLastError(error);
    return false;
  }
  void* block = LocalAlloc(LMEM_ZEROINIT, size);
  if (block == nullptr) {
    const DWORD error = CallGetLastError();
    CallCloseHandle(token);
    SetLastError(error);
    return false;
  }
  bool converted = false;
  DWORD error = ERROR_SUCCESS;
  if (GetTokenInformation(token, TokenOwner, block, size, &size)) {
    converted = ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(block)->Owner,
                                       sid_string) != FALSE;
  }
  if (!converted) error = CallGetLastError();
  LocalFree(block);
  CallCloseHandle(token);
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
  DWORD flags = 0;
  bool remote = false;
  if (!ReadParentVolume(parent, flags, remote)) return true;
  // On a share the server's rules apply: it maps or refuses the client's
  // SIDs (Samba fails a create whose list names a SID it cannot map, with
  // ERROR_ACCESS_DENIED), and it owns what is made there.
  if ((flags & FILE_PERSISTENT_ACLS) == 0 || remote) return true;

  LPWSTR owner_sid = nullptr;
  if (!GetOwnerSidString(&owner_sid)) return false;
  SddlBuffer sddl;
  bool built = false;
  DWORD error = ERROR_INSUFFICIENT_BUFFER;
  if (ComposeWorkDirSddl(owner_sid, sddl)) {
    built = ConvertStringSecurityDescriptorToSecurityDescriptorW(
                sddl.text, SDDL_REVISION_1, descriptor, nullptr) != FALSE;
    error = CallGetLastError();
  }
  LocalFree(owner_sid);
  if (!built) {
    *descriptor = nullptr;
    SetLastError(error);
  }
  return built;
}

RunOutcome CreateWorkDir(const WideChar* parent, PathBuffer& path,
                         WorkDirHold* hold) {
  WorkDirHold own_hold;
  WorkDirHold& held = hold ? *hold : own_hold;
  ReleaseWorkDir(held);
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
    outcome = {RC_WORK_DIR_ACL_FAILED, CallGetLastError()};
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
      outcome = {RC_WORK_DIR_FAILED, CallGetLastError()};
      break;
    }
    BytesToHexWide(random, RANDOM_BYTES, path.text + length,
                   PATH_CAPACITY - length);
    path.text[length + NAME_DIGITS] = 0;
    BoundedAppend(path.text, PATH_CAPACITY, WORK_DIR_SUFFIX);
    // Creation fails on a name that exists, so no run ever enters a
    // directory it did not create.
    if (CreateDirectoryW(path.text, descriptor ? &attributes : nullptr)) {
      // Held from here on, so that the name keeps naming this directory.
      outcome = HoldCreatedDirectory(path.text, descriptor != nullptr, held);
      if (outcome.exit_code == RC_OK) {
        BoundedAppend(path.text, PATH_CAPACITY, L"\\");
      }
      break;
    }
  }
  if (descriptor) LocalFree(descriptor);
  if (outcome.exit_code != RC_OK) path.text[0] = 0;
  return outcome;
}
