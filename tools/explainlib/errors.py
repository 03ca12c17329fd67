"""Names and texts of the Windows errors an installer's detail can hold, and
of the exception codes a process can end with.

The names are those of the Windows SDK's winerror.h and ntstatus.h; the texts
are their messages, shortened. The code-integrity errors 4551 to 4583 are
missing from mingw-w64 10's headers; their names are the SDK's
(https://microsoft.github.io/windows-docs-rs/doc/windows/Win32/Foundation/constant.ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION.html
and the constants beside it).
"""

WINDOWS_ERRORS = {
    0: ("ERROR_SUCCESS", "the operation completed successfully"),
    1: ("ERROR_INVALID_FUNCTION", "incorrect function"),
    2: ("ERROR_FILE_NOT_FOUND", "the system cannot find the file specified"),
    3: ("ERROR_PATH_NOT_FOUND", "the system cannot find the path specified"),
    5: ("ERROR_ACCESS_DENIED", "access is denied"),
    6: ("ERROR_INVALID_HANDLE", "the handle is invalid"),
    8: ("ERROR_NOT_ENOUGH_MEMORY", "not enough memory resources are available"),
    13: ("ERROR_INVALID_DATA", "the data is invalid"),
    14: ("ERROR_OUTOFMEMORY", "not enough memory resources are available"),
    19: ("ERROR_WRITE_PROTECT", "the media is write protected"),
    21: ("ERROR_NOT_READY", "the device is not ready"),
    31: ("ERROR_GEN_FAILURE", "a device attached to the system is not functioning"),
    32: ("ERROR_SHARING_VIOLATION", "the process cannot access the file because it is being "
                                    "used by another process"),
    33: ("ERROR_LOCK_VIOLATION", "another process has locked a portion of the file"),
    39: ("ERROR_HANDLE_DISK_FULL", "the disk is full"),
    50: ("ERROR_NOT_SUPPORTED", "the request is not supported"),
    53: ("ERROR_BAD_NETPATH", "the network path was not found"),
    59: ("ERROR_UNEXP_NET_ERR", "an unexpected network error occurred"),
    64: ("ERROR_NETNAME_DELETED", "the specified network name is no longer available"),
    68: ("ERROR_TOO_MANY_NAMES", "the name limit for the local computer network adapter card "
                                 "was exceeded"),
    80: ("ERROR_FILE_EXISTS", "the file exists"),
    87: ("ERROR_INVALID_PARAMETER", "the parameter is incorrect"),
    112: ("ERROR_DISK_FULL", "there is not enough space on the disk"),
    123: ("ERROR_INVALID_NAME", "the filename, directory name, or volume label syntax is "
                               "incorrect"),
    126: ("ERROR_MOD_NOT_FOUND", "the specified module could not be found"),
    127: ("ERROR_PROC_NOT_FOUND", "the specified procedure could not be found"),
    145: ("ERROR_DIR_NOT_EMPTY", "the directory is not empty"),
    183: ("ERROR_ALREADY_EXISTS", "cannot create a file when that file already exists"),
    193: ("ERROR_BAD_EXE_FORMAT", "the file is not a valid application for this operating "
                                 "system"),
    206: ("ERROR_FILENAME_EXCED_RANGE", "the filename or extension is too long"),
    216: ("ERROR_EXE_MACHINE_TYPE_MISMATCH", "this version of the file is not compatible with "
                                            "the version of Windows you're running"),
    225: ("ERROR_VIRUS_INFECTED", "the file contains a virus or potentially unwanted software"),
    226: ("ERROR_VIRUS_DELETED", "the file contained a virus or potentially unwanted software "
                                "and was deleted"),
    267: ("ERROR_DIRECTORY", "the directory name is invalid"),
    740: ("ERROR_ELEVATION_REQUIRED", "the requested operation requires elevation"),
    1006: ("ERROR_FILE_INVALID", "the volume for a file has been externally altered so that "
                                "the opened file is no longer valid"),
    1260: ("ERROR_ACCESS_DISABLED_BY_POLICY", "this program is blocked by group policy"),
    1307: ("ERROR_INVALID_OWNER", "this security ID may not be assigned as the owner of this "
                                 "object"),
    1392: ("ERROR_FILE_CORRUPT", "the file or directory is corrupted and unreadable"),
    1450: ("ERROR_NO_SYSTEM_RESOURCES", "insufficient system resources exist to complete the "
                                       "requested service"),
    1920: ("ERROR_CANT_ACCESS_FILE", "the file cannot be accessed by the system"),
    4551: ("ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION", "an Application Control policy has "
                                                      "blocked this file"),
    4556: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS", "the file is classed as malicious"),
    4557: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_PUA", "the file is classed as a potentially "
                                                   "unwanted application"),
    4558: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_DANGEROUS_EXT", "the file has a dangerous "
                                                             "extension"),
    4559: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE", "the file's reputation cannot be "
                                                       "checked offline"),
    4580: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE", "the file is classed as "
                                                               "unfriendly"),
    4581: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_UNATTAINABLE", "the file's reputation cannot be "
                                                            "had now; try again later"),
    4582: ("ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE", "the file is explicitly "
                                                                  "denied"),
    4583: ("ERROR_SYSTEM_INTEGRITY_WHQL_NOT_SATISFIED", "the file does not meet the policy's "
                                                       "WHQL signing requirement"),
    8235: ("ERROR_DS_REFERRAL", "a referral was returned from the server"),
    14001: ("ERROR_SXS_CANT_GEN_ACTCTX", "the application has failed to start because its "
                                         "side-by-side configuration is incorrect"),
}

# What a process ends with when an exception ends it (ntstatus.h).
EXCEPTION_CODES = {
    0xC0000005: ("STATUS_ACCESS_VIOLATION", "an access violation"),
    0xC000001D: ("STATUS_ILLEGAL_INSTRUCTION", "an illegal instruction"),
    0xC0000135: ("STATUS_DLL_NOT_FOUND", "a library the program imports is not there"),
    0xC0000139: ("STATUS_ENTRYPOINT_NOT_FOUND", "a function the program imports is missing"),
    0xC0000142: ("STATUS_DLL_INIT_FAILED", "a library failed to initialise"),
    0xC000007B: ("STATUS_INVALID_IMAGE_FORMAT", "an image not for this machine, or damaged"),
    0xC00000FD: ("STATUS_STACK_OVERFLOW", "the stack overflowed"),
    0xC0000409: ("STATUS_STACK_BUFFER_OVERRUN", "a failed stack check or a fast fail"),
    0xC000013A: ("STATUS_CONTROL_C_EXIT", "the process was ended by Ctrl+C"),
}

# HRESULT_FROM_WIN32: FACILITY_WIN32 with the failure bit.
HRESULT_WIN32 = 0x80070000


def windows_error(value):
    """(name, text) of a Windows error, also when given as an HRESULT
    (0x8007xxxx); (None, None) when it is not known here."""
    if value & 0xFFFF0000 == HRESULT_WIN32:
        value &= 0xFFFF
    return WINDOWS_ERRORS.get(value, (None, None))
