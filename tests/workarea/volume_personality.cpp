// Windows' answers of one kind of volume, under Wine, which answers every
// file query the same on every volume (a vfat mount included): a link seam
// of the volume kit, whose installers carry this object beside the
// installer's own and the strict Control Flow Guard validator. It defines
// the import slots of the calls whose answers differ from volume to volume,
// so that the installer's own code calls these; each passes through to the
// real function, except where the volume answers otherwise.
//
// The volume is named by the environment variable BRIVEL_VOLUME: "ntfs",
// "fat32", "exfat", "smb" (a Windows workgroup server without SMB 3.x,
// sharing an NTFS volume) or "samba" (smbd with its default settings).
// Unset, every call passes through (Wine's own answers). Any other name
// ends the process at once with VOLUME_UNKNOWN, so that a mistyped name
// never passes for a run under Wine's answers.
//
// Sources (docs/volumes.md has the whole table):
// - FAT: microsoft/Windows-driver-samples filesys/fastfat: fileinfo.c
//   FatCommonQueryInformation answers only the All, Basic, Standard,
//   Internal, Ea, Position, Name, NormalizedName, AlternateName and
//   NetworkOpen classes and fails every other with STATUS_INVALID_PARAMETER
//   (87); FatCommonSetInformation has no DispositionEx case; volinfo.c
//   FatQueryFsAttributeInfo reports CASE_PRESERVED_NAMES and
//   UNICODE_ON_DISK only; fatinit.c registers no security requests, so the
//   I/O manager answers with a world descriptor (owner Everyone: ReactOS's
//   IopGetSetSecurityObject, inferred, not documented by Microsoft), and
//   create.c never reads a create descriptor. exFAT's driver is not public:
//   its answers here are FAT's (winfsp #661 and microsoft/STL #6180 report
//   the same refusals; "File System Functionality Comparison": no access
//   lists).
// - SMB: MS-SMB2 3.3.5.20.1, a server without SMB 3.x MUST fail
//   FileIdInformation with STATUS_NOT_SUPPORTED (50); 3.3.5.20.2, the
//   volume's attributes are the server volume's. Owners are the server's:
//   a workgroup server records its own local account, never the client's
//   SID (inferred).
// - Samba (samba-team/samba 4614f04b06): smb2_trans2.c answers no class 59
//   (FileIdInformation: STATUS_INVALID_INFO_CLASS, 87); vfs.c reports
//   FILE_PERSISTENT_ACLS whenever "nt acl support" is on (the default), with
//   CASE_SENSITIVE_SEARCH, CASE_PRESERVED_NAMES, UNICODE_ON_DISK and
//   OBJECT_IDS; posix_acls.c fails a create whose list names a SID it
//   cannot map (ERROR_ACCESS_DENIED) and maps owners from Unix ones
//   (S-1-22-1-uid).
// - Every share: FileRemoteProtocolInfo is answered by the client's
//   redirector; local file systems do not know the class (inferred: 87).
#include "base/windows_api.h"

#include <aclapi.h>
#include <stdint.h>

namespace {

constexpr UINT VOLUME_UNKNOWN = 0xB0100001;
// The classes of Windows 10 that this target's headers hide
// (FILE_INFO_BY_HANDLE_CLASS).
constexpr int FILE_DISPOSITION_INFO_EX = 21;
constexpr int FILE_RENAME_INFO_EX = 22;
// The network provider type of SMB (winnetwk.h).
constexpr ULONG WNNC_NET_SMB_PROVIDER = 0x00020000;

enum Owner { OWNER_REAL, OWNER_WORLD, OWNER_SERVER_ACCOUNT, OWNER_UNIX_USER };

struct Personality {
  const wchar_t* name;
  DWORD flags;             // the file-system flags of the volume
  bool fat_classes;        // only FatCommonQueryInformation's classes
  DWORD file_id_refusal;   // FileIdInfo refused with this, 0: answered
  bool remote;             // a share: the redirector answers its protocol
  Owner owner;             // whose owner a query of it reports
  bool drops_descriptor;   // the create descriptor is never read
  bool refuses_local_sids; // a list naming S-1-5-21-... fails the create
};

constexpr DWORD NTFS_FLAGS =
    FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
    FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION |
    FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS |
    FILE_SUPPORTS_OBJECT_IDS | FILE_NAMED_STREAMS |
    FILE_SUPPORTS_HARD_LINKS | FILE_SUPPORTS_OPEN_BY_FILE_ID;
constexpr DWORD FAT_FLAGS = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
constexpr DWORD SAMBA_FLAGS =
    FILE_PERSISTENT_ACLS | FILE_CASE_SENSITIVE_SEARCH |
    FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
    FILE_SUPPORTS_OBJECT_IDS;

constexpr Personality PERSONALITIES[] = {
    {L"ntfs", NTFS_FLAGS, false, 0, false, OWNER_REAL, false, false},
    {L"fat32", FAT_FLAGS, true, ERROR_INVALID_PARAMETER, false, OWNER_WORLD,
     true, false},
    {L"exfat", FAT_FLAGS, true, ERROR_INVALID_PARAMETER, false, OWNER_WORLD,
     true, false},
    {L"smb", NTFS_FLAGS, false, ERROR_NOT_SUPPORTED, true,
     OWNER_SERVER_ACCOUNT, false, false},
    {L"samba", SAMBA_FLAGS, false, ERROR_INVALID_PARAMETER, true,
     OWNER_UNIX_USER, false, true},
};

// SIDs with room for five sub-authorities, laid out as SID is.
struct WideSid {
  BYTE revision;
  BYTE sub_authority_count;
  SID_IDENTIFIER_AUTHORITY authority;
  DWORD sub_authority[5];
};
WideSid world_sid = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {0}};
// A workgroup server's own account: its machine's SID, never the client's.
WideSid server_account_sid = {
    SID_REVISION, 5, SECURITY_NT_AUTHORITY, {21, 1111, 2222, 3333, 1001}};
// Samba's mapping of Unix user 1000 (S-1-22-1-1000).
WideSid unix_user_sid = {SID_REVISION, 2, {{0, 0, 0, 0, 0, 22}}, {1, 1000}};

// The personality named by BRIVEL_VOLUME, looked up once; null: none.
const Personality* Volume() {
  static int chosen = -2;  // -2: not looked up yet, -1: none
  if (chosen == -2) {
    wchar_t name[16];
    const DWORD length = GetEnvironmentVariableW(L"BRIVEL_VOLUME", name, 16);
    chosen = -1;
    if (length != 0) {
      if (length >= 16) ExitProcess(VOLUME_UNKNOWN);
      for (int i = 0; i < static_cast<int>(sizeof(PERSONALITIES) /
                                            sizeof(PERSONALITIES[0]));
           ++i) {
        if (lstrcmpiW(name, PERSONALITIES[i].name) == 0) chosen = i;
      }
      if (chosen == -1) ExitProcess(VOLUME_UNKNOWN);
    }
  }
  return chosen < 0 ? nullptr : &PERSONALITIES[chosen];
}

FARPROC Real(const wchar_t* module, const char* name) {
  return GetProcAddress(
      LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), name);
}

template <typename F>
F RealKernel32(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(Real(L"kernel32.dll", name)));
}

template <typename F>
F RealAdvapi32(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(Real(L"advapi32.dll", name)));
}

bool FatAnswers(FILE_INFO_BY_HANDLE_CLASS type) {
  switch (type) {
    case FileBasicInfo:
    case FileStandardInfo:
    case FileNameInfo:
    case FileNormalizedNameInfo:
    // Directory listings are another request, which FAT answers.
    case FileIdBothDirectoryInfo:
    case FileIdBothDirectoryRestartInfo:
    case FileFullDirectoryInfo:
    case FileFullDirectoryRestartInfo:
      return true;
    default:
      return false;
  }
}

BOOL Refuse(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL WINAPI VolumeGetFileInformationByHandleEx(HANDLE file,
                                               FILE_INFO_BY_HANDLE_CLASS type,
                                               LPVOID data, DWORD size) {
  const Personality* volume = Volume();
  if (volume != nullptr) {
    if (volume->fat_classes && !FatAnswers(type)) {
      return Refuse(ERROR_INVALID_PARAMETER);
    }
    if (type == FileIdInfo && volume->file_id_refusal != 0) {
      return Refuse(volume->file_id_refusal);
    }
    if (type == FileRemoteProtocolInfo) {
      if (!volume->remote) return Refuse(ERROR_INVALID_PARAMETER);
      if (size < sizeof(FILE_REMOTE_PROTOCOL_INFO)) {
        return Refuse(ERROR_BAD_LENGTH);
      }
      auto* protocol = static_cast<FILE_REMOTE_PROTOCOL_INFO*>(data);
      __builtin_memset(protocol, 0, sizeof(*protocol));
      protocol->StructureVersion = 1;
      protocol->StructureSize = sizeof(*protocol);
      protocol->Protocol = WNNC_NET_SMB_PROVIDER;
      protocol->ProtocolMajorVersion = 2;
      protocol->ProtocolMinorVersion = 1;
      return TRUE;
    }
  }
  return RealKernel32<decltype(&GetFileInformationByHandleEx)>(
      "GetFileInformationByHandleEx")(file, type, data, size);
}

BOOL WINAPI VolumeSetFileInformationByHandle(HANDLE file,
                                             FILE_INFO_BY_HANDLE_CLASS type,
                                             LPVOID data, DWORD size) {
  const Personality* volume = Volume();
  // FAT and exFAT know the plain disposition class only.
  if (volume != nullptr && volume->fat_classes &&
      (type == FILE_DISPOSITION_INFO_EX || type == FILE_RENAME_INFO_EX)) {
    return Refuse(ERROR_INVALID_PARAMETER);
  }
  return RealKernel32<decltype(&SetFileInformationByHandle)>(
      "SetFileInformationByHandle")(file, type, data, size);
}

BOOL WINAPI VolumeGetVolumeInformationByHandleW(
    HANDLE file, LPWSTR name, DWORD name_size, LPDWORD serial,
    LPDWORD component_length, LPDWORD flags, LPWSTR system_name,
    DWORD system_name_size) {
  const BOOL answered = RealKernel32<decltype(&GetVolumeInformationByHandleW)>(
      "GetVolumeInformationByHandleW")(file, name, name_size, serial,
                                       component_length, flags, system_name,
                                       system_name_size);
  const Personality* volume = Volume();
  if (answered && volume != nullptr && flags != nullptr) {
    *flags = volume->flags;
  }
  return answered;
}

DWORD WINAPI VolumeGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION wanted, PSID* owner,
                                   PSID* group, PACL* dacl, PACL* sacl,
                                   PSECURITY_DESCRIPTOR* descriptor) {
  const DWORD status = RealAdvapi32<decltype(&GetSecurityInfo)>(
      "GetSecurityInfo")(handle, type, wanted, owner, group, dacl, sacl,
                         descriptor);
  const Personality* volume = Volume();
  if (status != ERROR_SUCCESS || volume == nullptr || owner == nullptr) {
    return status;
  }
  switch (volume->owner) {
    case OWNER_WORLD:
      *owner = &world_sid;
      break;
    case OWNER_SERVER_ACCOUNT:
      *owner = &server_account_sid;
      break;
    case OWNER_UNIX_USER:
      *owner = &unix_user_sid;
      break;
    case OWNER_REAL:
      break;
  }
  return status;
}

// Whether the descriptor's list names a SID of a machine or a domain
// (S-1-5-21-...), which a workgroup Samba server cannot map.
bool NamesLocalSid(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL list = nullptr;
  if (!RealAdvapi32<decltype(&GetSecurityDescriptorDacl)>(
          "GetSecurityDescriptorDacl")(descriptor, &present, &list,
                                       &defaulted) ||
      !present || list == nullptr) {
    return false;
  }
  const auto get_ace = RealAdvapi32<decltype(&GetAce)>("GetAce");
  for (DWORD index = 0; index < list->AceCount; ++index) {
    void* entry = nullptr;
    if (!get_ace(list, index, &entry)) return false;
    const auto* sid = reinterpret_cast<const WideSid*>(
        &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart);
    if (sid->authority.Value[5] == 5 && sid->sub_authority_count > 0 &&
        sid->sub_authority[0] == SECURITY_NT_NON_UNIQUE) {
      return true;
    }
  }
  return false;
}

BOOL WINAPI VolumeCreateDirectoryW(LPCWSTR path,
                                   LPSECURITY_ATTRIBUTES attributes) {
  const Personality* volume = Volume();
  const auto real =
      RealKernel32<decltype(&CreateDirectoryW)>("CreateDirectoryW");
  const bool described = attributes != nullptr &&
                         attributes->lpSecurityDescriptor != nullptr;
  if (volume != nullptr && described) {
    if (volume->drops_descriptor) return real(path, nullptr);
    if (volume->refuses_local_sids &&
        NamesLocalSid(attributes->lpSecurityDescriptor)) {
      return Refuse(ERROR_ACCESS_DENIED);
    }
  }
  return real(path, attributes);
}

}  // namespace

extern "C" {
decltype(&GetFileInformationByHandleEx) __imp_GetFileInformationByHandleEx =
    VolumeGetFileInformationByHandleEx;
decltype(&SetFileInformationByHandle) __imp_SetFileInformationByHandle =
    VolumeSetFileInformationByHandle;
decltype(&GetVolumeInformationByHandleW) __imp_GetVolumeInformationByHandleW =
    VolumeGetVolumeInformationByHandleW;
decltype(&GetSecurityInfo) __imp_GetSecurityInfo = VolumeGetSecurityInfo;
decltype(&CreateDirectoryW) __imp_CreateDirectoryW = VolumeCreateDirectoryW;
}
